#pragma once
// Helpers shared by the service tests: temporary directories, environment variables set for
// one test, and a message handler that records what it is given.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/Handlers.h"
#include "support/TestSupport.h"

namespace servicetest {

namespace fs = std::filesystem;

using testsupport::eventually;
using testsupport::readFile;
using testsupport::ScopedEnvironment;
using testsupport::TempDir;
using testsupport::writeFile;

struct LoggedMessage {
    engine::MessageLevel level;
    std::string source;
    std::string text;
};

class RecordingMessages : public engine::MessageHandler {
public:
    void message(engine::MessageLevel level, const std::string& source,
                 const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages_.push_back({level, source, text});
    }
    std::vector<LoggedMessage> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<LoggedMessage> messages_;
};

}  // namespace servicetest
