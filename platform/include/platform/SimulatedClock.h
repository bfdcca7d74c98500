#pragma once
#include <functional>
#include <mutex>

#include "platform/Clock.h"

namespace platform {

// True UTC in seconds since 1970 (real time, or a virtual time for benchmarks).
using TrueTimeSource = std::function<double()>;
double realUtcSeconds();

// A clock that only this process sees: true time plus an offset, running at
// (A/I)·(1 + ppm·1e-6). Steps and adjustments change nothing outside the object.
// Monotonic time moves with the true-time source alone: steady_clock under real time (so OS
// waits still match it), the virtual time itself under a virtual source.
class SimulatedClock : public Clock {
public:
    explicit SimulatedClock(double offsetSeconds = 0.0, double ppm = 0.0,
                            TrueTimeSource trueTime = realUtcSeconds);

    UnixTime now() const override;
    std::chrono::steady_clock::time_point monotonic() const override;
    Status step(const UnixTime& to) override;
    Status getAdjustment(TimeAdjustment& out) const override;
    Status setAdjustment(uint32_t adjustment, bool enable) override;
    std::string description() const override;

    // Seconds since 1970 as a double, at full resolution.
    double nowSeconds() const;
    // Current offset from true time, seconds (positive: the clock is ahead).
    double offset() const;
    int steps() const;

private:
    double offsetLocked(double trueNow) const;
    double rate() const;

    mutable std::mutex mutex_;
    TrueTimeSource trueTime_;
    bool realTime_;
    double ppm_;
    double baseTrue_;
    double baseOffset_;
    TimeAdjustment adjustment_{kTickIncrement, kTickIncrement, true};
    int steps_ = 0;
};

}  // namespace platform
