#include "wisp/ClockTrim.h"
#include "core/Format.h"

#include <cmath>
#include <limits>

namespace wisp {

double ntpSeconds(const platform::UnixTime& time) {
    const auto seconds =
        static_cast<uint32_t>(static_cast<uint64_t>(time.seconds + kNtpUnixOffset));
    const uint32_t fraction = static_cast<uint32_t>(time.milliseconds) * 4294967U;
    return static_cast<double>(seconds) + static_cast<double>(fraction) / 4294967295.0;
}

double ntpNow(const platform::Clock& clock) {
    return ntpSeconds(clock.now());
}

ClockTrim::ClockTrim(platform::Clock& clock, Console& console) : clock_(clock), console_(console) {}

uint32_t ClockTrim::nominalIncrement() const {
    platform::TimeAdjustment current;
    if (clock_.getAdjustment(current) && current.increment != 0) {
        return current.increment;
    }
    return platform::kTickIncrement;
}

void ClockTrim::setAdjustment(uint32_t adjustment) {
    // The clock keeps running at its old rate when the system refuses; the next broadcast
    // tries again.
    (void)clock_.setAdjustment(adjustment, true);
}

void ClockTrim::correct(double delta) {
    if (!std::isfinite(delta)) {
        return;
    }
    clock_.enablePrivilege();

    const bool positive = delta > 0.0;
    if (reestimate_ && positive == lastPositive_ &&
        (positive ? delta <= lastDelta_ : delta >= lastDelta_)) {
        platform::TimeAdjustment current;
        if (clock_.getAdjustment(current)) {
            bestGuess_ = current.adjustment;
            console_.print("Best guess of frequency is %d", static_cast<int>(bestGuess_));
            reestimate_ = false;
        }
    }

    console_.print("Delta is %.3f second%s", delta, core::plural(delta));

    if (std::fabs(delta) > kStepThreshold) {
        const platform::UnixTime now = clock_.now();
        const double target = static_cast<double>(now.seconds) + now.milliseconds / 1000.0 + delta;
        const double whole = std::floor(target);
        int milliseconds = static_cast<int>((target - whole) * 1000.0);
        if (milliseconds > 999) {
            milliseconds = 999;
        }
        if (clock_.step({static_cast<int64_t>(whole), milliseconds})) {
            console_.print("The time has been corrected by %.3f second%s", delta,
                           core::plural(delta));
        } else {
            console_.print("Failed to set the time");
        }
        setAdjustment(nominalIncrement());
        reestimate_ = true;
        return;
    }

    console_.print("Slew clock");
    long long g = static_cast<long long>(std::fabs(delta) * 100.0);
    if (g < 1) {
        g = 1;
    }
    if (positive != lastPositive_) {
        setAdjustment(bestGuess_ != 0 ? bestGuess_ : nominalIncrement());
        reestimate_ = true;
    } else {
        platform::TimeAdjustment current;
        if (clock_.getAdjustment(current)) {
            long long next = static_cast<long long>(current.adjustment) + (positive ? g : -g);
            // The adjustment stays a rate the system can run at.
            if (next < 1) {
                next = 1;
            }
            if (next > std::numeric_limits<uint32_t>::max()) {
                next = std::numeric_limits<uint32_t>::max();
            }
            setAdjustment(static_cast<uint32_t>(next));
        }
    }
    lastPositive_ = positive;
    lastDelta_ = delta;
}

}  // namespace wisp
