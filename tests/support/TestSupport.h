#pragma once
// Helpers every test folder shares: temporary folders, files, environment variables set for
// one test.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "platform/Registry.h"

namespace testsupport {

namespace fs = std::filesystem;

inline std::string randomSuffix() {
    std::random_device random;
    return std::to_string(random()) + std::to_string(random());
}

// A folder of its own, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const char* stem = "kronel-test-")
        : path_(fs::temp_directory_path() / (std::string(stem) + randomSuffix())) {
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Sets (or, with nullopt, removes) one environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        apply(value);
    }
    ~ScopedEnvironment() { apply(old_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    void apply(const std::optional<std::string>& value) {
#ifdef _WIN32
        _putenv_s(name_.c_str(), value ? value->c_str() : "");
#else
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
#endif
    }
    std::string name_;
    std::optional<std::string> old_;
};

// A configuration store of its own for the life of the object.
class TempStore {
public:
    TempStore() { platform::setRegistryFile(path()); }
    ~TempStore() { platform::setRegistryFile(""); }
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;
    std::string path() const { return dir_.file("registry.reg"); }
    const fs::path& dir() const { return dir_.path(); }

private:
    TempDir dir_{"kronel-store-"};
};

// Polls `condition` until it holds or the deadline passes; the deadline only keeps a broken
// build from hanging the test.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
