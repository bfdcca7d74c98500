#include "platform/SimulatedClock.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace platform {

double realUtcSeconds() {
    // system_clock counts from 1970 (C++20), on every system; timespec_get is missing from
    // the older Windows C runtime.
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    return static_cast<double>(seconds.count()) +
           std::chrono::duration<double>(sinceEpoch - seconds).count();
}

SimulatedClock::SimulatedClock(double offsetSeconds, double ppm, TrueTimeSource trueTime)
    : trueTime_(std::move(trueTime)), ppm_(ppm) {
    const auto* function = trueTime_.target<double (*)()>();
    realTime_ = function != nullptr && *function == &realUtcSeconds;
    baseTrue_ = trueTime_();
    baseOffset_ = offsetSeconds;
}

double SimulatedClock::rate() const {
    const double ticks = adjustment_.disabled ? 1.0
                                              : static_cast<double>(adjustment_.adjustment) /
                                                    static_cast<double>(adjustment_.increment);
    return ticks * (1.0 + ppm_ * 1e-6);
}

// Kept as an offset from true time rather than an absolute reading, so offsets stay exact to
// well below a microsecond even though absolute readings are ~2e9.
double SimulatedClock::offsetLocked(double trueNow) const {
    return baseOffset_ + (trueNow - baseTrue_) * (rate() - 1.0);
}

double SimulatedClock::nowSeconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const double trueNow = trueTime_();
    return trueNow + offsetLocked(trueNow);
}

UnixTime SimulatedClock::now() const {
    const double t = nowSeconds();
    const double whole = std::floor(t);
    int ms = static_cast<int>((t - whole) * 1000.0);
    if (ms > 999) {
        ms = 999;
    }
    return {static_cast<int64_t>(whole), ms};
}

std::chrono::steady_clock::time_point SimulatedClock::monotonic() const {
    if (realTime_) {
        return std::chrono::steady_clock::now();
    }
    const std::chrono::duration<double> trueNow(trueTime_());
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(trueNow));
}

Status SimulatedClock::step(const UnixTime& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    baseTrue_ = trueTime_();
    baseOffset_ = (static_cast<double>(to.seconds) - baseTrue_) + to.milliseconds / 1000.0;
    ++steps_;
    return Status::success();
}

Status SimulatedClock::getAdjustment(TimeAdjustment& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    out = adjustment_;
    return Status::success();
}

Status SimulatedClock::setAdjustment(uint32_t adjustment, bool enable) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Rebase first so the new rate applies from now on only.
    const double trueNow = trueTime_();
    baseOffset_ = offsetLocked(trueNow);
    baseTrue_ = trueNow;
    adjustment_.adjustment = enable ? adjustment : adjustment_.increment;
    adjustment_.disabled = !enable;
    return Status::success();
}

double SimulatedClock::offset() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const double trueNow = trueTime_();
    return offsetLocked(trueNow);
}

int SimulatedClock::steps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
}

std::string SimulatedClock::description() const {
    char text[96];
    std::snprintf(text, sizeof text, "Using simulated clock, offset %+.3f s", offset());
    return text;
}

}  // namespace platform
