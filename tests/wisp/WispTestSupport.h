#pragma once
// What the Wisp tests share: a console that keeps its lines, and a clock that runs on a
// virtual true time the test moves.
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SimulatedClock.h"
#include "wisp/Text.h"

namespace wisptest {

class RecordingConsole : public wisp::Console {
public:
    void line(const std::string& text) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool has(const std::string& text) const {
        for (const std::string& line : lines()) {
            if (line == text) {
                return true;
            }
        }
        return false;
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& line : lines()) {
            n += line.rfind(prefix, 0) == 0;
        }
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The number right after the text `before` in a peer's output, or NaN.
inline double numberAfter(const std::string& text, const std::string& before) {
    const size_t at = text.find(before);
    if (at == std::string::npos) {
        return std::nan("");
    }
    const char* start = text.c_str() + at + before.size();
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    return end == start ? std::nan("") : value;
}

// True time in Unix seconds that moves only when the test says so.
struct VirtualTime {
    double now = 1.8e9;
    platform::TrueTimeSource source() {
        return [this] { return now; };
    }
};

}  // namespace wisptest
