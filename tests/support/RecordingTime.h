#pragma once
// A TimeHandler that records what a client hands the engine; `now` reads the clock it is given.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/Handlers.h"
#include "core/TimeValue.h"
#include "platform/Clock.h"

namespace testsupport {

class RecordingTime : public core::TimeHandler {
public:
    explicit RecordingTime(const platform::Clock& clock) : clock_(clock) {}

    void setTime(double correction) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            corrections_.push_back(correction);
        }
        changed_.notify_all();
    }
    void sourceFailed() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++failures_;
        }
        changed_.notify_all();
    }
    int pollExponent() override { return 6; }
    core::ReferenceId referenceId() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return reference_;
    }
    void setReferenceId(const core::ReferenceId& id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        reference_ = id;
    }
    void setSharedText(const std::string&) override {}
    std::string sharedText() override { return {}; }
    double now() override { return core::timeValueNow(clock_); }
    bool synchronised() override { return true; }
    void clearSynchronised() override {}

    // Waits until the client has reported `n` results (corrections and failures); the bound
    // only keeps a broken build from hanging.
    bool waitForResults(size_t n, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return corrections_.size() + failures_ >= n; });
    }
    std::vector<double> corrections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return corrections_;
    }
    size_t failures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    const platform::Clock& clock_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<double> corrections_;
    size_t failures_ = 0;
    core::ReferenceId reference_ = core::referenceIdFromText("LOCL");
};

}  // namespace testsupport
