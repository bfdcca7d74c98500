#pragma once
// A TimeHandler with a clock of its own (real time plus an offset, or a fixed instant) that
// records what clients hand it, and helpers to drive the servers over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/Handlers.h"
#include "core/TimeValue.h"
#include "platform/Clock.h"

namespace servertest {

constexpr std::chrono::milliseconds kPatience{10000};  // bounds waits, never an assertion

class FakeTime : public core::TimeHandler {
public:
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
    void setSharedText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ = text;
    }
    std::string sharedText() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    double now() override {
        const double fixed = fixed_.load();
        if (fixed != 0) {
            return fixed;
        }
        return core::timeValueNow(platform::processClock()) + offset_.load();
    }
    bool synchronised() override { return synchronised_.load(); }
    void clearSynchronised() override { synchronised_.store(false); }

    std::atomic<double> offset_{0};
    std::atomic<double> fixed_{0};  // when not 0, now() returns it
    std::atomic<bool> synchronised_{true};

    bool waitForResults(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience,
                                 [&] { return corrections_.size() + failures_ >= n; });
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
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<double> corrections_;
    size_t failures_ = 0;
    core::ReferenceId reference_ = core::referenceIdFromText("LOCL");
    std::string text_;
};

}  // namespace servertest
