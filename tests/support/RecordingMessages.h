#pragma once
// A MessageHandler that keeps every message it is given, for any thread to read back.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/Handlers.h"

namespace testsupport {

struct LoggedMessage {
    core::MessageLevel level;
    std::string source;
    std::string text;
};

class RecordingMessages : public core::MessageHandler {
public:
    void message(core::MessageLevel level, const std::string& source,
                 const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({level, source, text});
    }
    std::vector<LoggedMessage> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::string> texts(core::MessageLevel level) const {
        std::vector<std::string> out;
        for (const LoggedMessage& m : messages()) {
            if (m.level == level) {
                out.push_back(m.text);
            }
        }
        return out;
    }
    void serverActive(const std::string& server, int kind) override {
        std::lock_guard<std::mutex> lock(mutex_);
        activity_.emplace_back(server, kind);
    }
    // The activity notices, in order: server name and kind.
    std::vector<std::pair<std::string, int>> activity() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return activity_;
    }
    // true when a message of `level` contains `part`.
    bool has(core::MessageLevel level, const std::string& part) const {
        for (const LoggedMessage& m : messages()) {
            if (m.level == level && m.text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<LoggedMessage> messages_;
    std::vector<std::pair<std::string, int>> activity_;
};

}  // namespace testsupport
