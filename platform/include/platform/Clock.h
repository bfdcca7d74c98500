#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Result.h"

namespace platform {

// UTC as the system hands it out: whole seconds since 1970 and milliseconds.
struct UnixTime {
    int64_t seconds = 0;
    int milliseconds = 0;
};

// The per-tick clock adjustment in Windows' units: the clock advances `adjustment` 100-ns
// units every tick of `increment` units, so it runs at adjustment/increment of its rate.
struct TimeAdjustment {
    uint32_t adjustment = 0;
    uint32_t increment = 0;
    bool disabled = true;  // true: the system keeps its own rate (adjustment == increment)
};

inline constexpr uint32_t kTickIncrement = 156250;  // 15.625 ms in 100-ns units

class Clock {
public:
    virtual ~Clock() = default;
    virtual UnixTime now() const = 0;
    // Monotonic time for waits and deadlines: never stepped or trimmed with the wall clock.
    // The real clocks read steady_clock, so a deadline from here matches an OS wait.
    virtual std::chrono::steady_clock::time_point monotonic() const {
        return std::chrono::steady_clock::now();
    }
    // Steps the clock (needs the privilege to set the time).
    virtual Status step(const UnixTime& to) = 0;
    virtual Status getAdjustment(TimeAdjustment& out) const = 0;
    virtual Status setAdjustment(uint32_t adjustment, bool enable) = 0;
    // The start-up line every program logs: "Using system clock" or
    // "Using simulated clock, offset %+.3f s".
    virtual std::string description() const = 0;
    // Enables the privilege to set the time for this process (failures ignored).
    virtual void enablePrivilege() {}
};

// The real system clock.
std::unique_ptr<Clock> makeSystemClock();

// Whether this process holds the right to set the system clock, whichever clock it uses: a
// confined service may be started without it and should say so.
bool holdsTimePrivilege();

// The clock of this process: chosen once from KRONEL_CLOCK / KRONEL_CLOCK_OFFSET /
// KRONEL_CLOCK_PPM, replaceable by tests.
Clock& processClock();
void setProcessClock(std::unique_ptr<Clock> clock);

}  // namespace platform
