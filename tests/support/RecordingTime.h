#pragma once
// A TimeHandler that records what a source, a server or the watchdog hands the engine. `now`
// reads the clock it is given, or a simulated clock of its own; a test may put a fixed instant
// or an offset on top, and say whether the engine counts as synchronised.
// Header only: the cross build's tests use it too.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Handlers.h"
#include "core/TimeValue.h"
#include "platform/Clock.h"
#include "platform/SimulatedClock.h"

namespace testsupport {

class RecordingTime : public core::TimeHandler {
public:
    using Steady = std::chrono::steady_clock;

    struct Report {
        double correction;
        double localNow;  // the handler's now when the correction came
        Steady::time_point at;
    };

    explicit RecordingTime(const platform::Clock& clock) : clock_(clock) {}
    // A simulated clock of its own, `offsetSeconds` off the true time.
    explicit RecordingTime(double offsetSeconds = 0)
        : own_(std::make_unique<platform::SimulatedClock>(offsetSeconds)), clock_(*own_) {}

    void setTime(double correction) override {
        const double localNow = now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reports_.push_back({correction, localNow, Steady::now()});
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
        return core::timeValueNow(clock_) + offset_.load();
    }
    bool synchronised() override { return synchronised_.load(); }
    void clearSynchronised() override { synchronised_.store(false); }
    void stateChanged() override { ++stateChanges; }

    std::atomic<double> offset_{0};  // added to the clock's reading
    std::atomic<double> fixed_{0};   // when not 0, now() returns it
    std::atomic<bool> synchronised_{true};
    std::atomic<int> stateChanges{0};

    // Waits until the client has reported `n` results (corrections and failures); the bound
    // only keeps a broken build from hanging.
    bool waitForResults(size_t n, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return reports_.size() + failures_ >= n; });
    }
    // Waits until `n` corrections have come.
    bool waitForReports(size_t n, std::chrono::milliseconds patience) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return reports_.size() >= n; });
    }
    std::vector<Report> reports() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    std::vector<double> corrections() {
        std::vector<double> out;
        for (const Report& r : reports()) {
            out.push_back(r.correction);
        }
        return out;
    }
    size_t failures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    std::unique_ptr<platform::SimulatedClock> own_;
    const platform::Clock& clock_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
    size_t failures_ = 0;
    core::ReferenceId reference_ = core::referenceIdFromText("LOCL");
    std::string text_;
};

}  // namespace testsupport
