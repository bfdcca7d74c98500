#pragma once
#include <cstdint>

#include "platform/Clock.h"
#include "wisp/Text.h"

namespace wisp {

inline constexpr int64_t kNtpUnixOffset = 2208988800LL;

// A clock reading as NTP seconds: (Unix seconds + 2208988800) modulo 2^32, plus the
// milliseconds as 4294967 fraction units each over 2^32 - 1.
double ntpSeconds(const platform::UnixTime& time);
double ntpNow(const platform::Clock& clock);

// Steps above this many seconds; smaller corrections trim the clock's rate.
inline constexpr double kStepThreshold = 2.0;

// The clock correction of the Wisp programs: a step for a large delta, else a trim of the
// per-tick adjustment, with a best guess of the adjustment learnt on the way.
class ClockTrim {
public:
    ClockTrim(platform::Clock& clock, Console& console);

    // `delta` in seconds, positive when the clock is behind.
    void correct(double delta);

    // What has been learnt: the per-tick adjustment that last brought the delta down; 0 while
    // none is known.
    uint32_t bestGuess() const { return bestGuess_; }
    bool reestimating() const { return reestimate_; }

private:
    uint32_t nominalIncrement() const;
    void setAdjustment(uint32_t adjustment);

    platform::Clock& clock_;
    Console& console_;
    // The first small correction after start is measured against "none before, not positive";
    // the first guess may be learnt from the start.
    bool lastPositive_ = false;
    double lastDelta_ = 0.0;
    uint32_t bestGuess_ = 0;
    bool reestimate_ = true;
};

}  // namespace wisp
