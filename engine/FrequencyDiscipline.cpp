#include "engine/FrequencyDiscipline.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

namespace engine {

namespace {

constexpr double kSecondsPerDay = 86400.0;
// Two estimates this close to each other (relative) are taken as the clock's true drift.
constexpr double kStableDrift = 0.05;
// A base adjustment further than this from the tick increment is not believed.
constexpr double kLargestTrim = 0.02;
// Corrections up to this size move the rate by a single unit.
constexpr double kSmallCorrection = 0.01;
constexpr int kPhaseCallsBeforeReassess = 10;
// The spread of the sample times must stand well clear of the rounding error of the sums,
// or the regression divides by noise (or by zero when two samples share an instant).
constexpr double kSmallestTimeSpread = 1e-12;

// For the Debug lines only: an absurd estimate must not make the text conversion undefined.
int printable(double value) {
    if (!(value > INT_MIN)) {
        return INT_MIN;
    }
    if (!(value < INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(value);
}

}  // namespace

FrequencyDiscipline::FrequencyDiscipline(platform::Clock& clock, MessageHandler& messages,
                                         std::string source, int maxSlew, bool trimClock)
    : clock_(clock),
      messages_(messages),
      source_(std::move(source)),
      maxSlew_(std::max(maxSlew, 0)),
      trimClock_(trimClock) {}

bool FrequencyDiscipline::update(double correction, Mode mode, double now, double& drift) {
    platform::TimeAdjustment current;
    // Without the current rate there is nothing to scale an estimate by; this call changes
    // nothing and the next one tries again.
    if (!clock_.getAdjustment(current).ok() || current.increment == 0) {
        return false;
    }
    // While the system keeps its own rate, the clock runs as if adjustment == increment.
    if (current.disabled) {
        current.adjustment = current.increment;
    }

    const int sign = correction > 0 ? 1 : -1;
    const bool small = std::fabs(correction) <= kSmallCorrection;

    if (phaseAdjusting_ && base_ != 0) {
        adjustPhase(correction, mode, sign, small, current);
        lastSign_ = sign;
        return false;
    }

    // One more sample of the clock's accumulated offset against the time since T0.
    if (!started_) {
        restartSeries(now);
        started_ = true;
    }
    const double x = now - start_;
    const double y = steppedOffset_ + correction;
    n_ += 1.0;
    sumX_ += x;
    sumY_ += y;
    sumXY_ += x * y;
    sumXX_ += x * x;

    bool estimated = false;
    double estimate = 0.0;
    if (n_ > 1.0) {
        const double meanX = sumX_ / n_;
        const double meanY = sumY_ / n_;
        const double meanXX = sumXX_ / n_;
        const double spread = meanXX - meanX * meanX;
        if (spread > kSmallestTimeSpread * meanXX) {
            estimate = -kSecondsPerDay * (sumXY_ / n_ - meanY * meanX) / spread;
            // A drift of exactly 0 cannot be compared relative to itself below.
            estimated = std::isfinite(estimate) && estimate != 0.0;
        }
        if (estimated) {
            messages_.debug(source_, "Drift is %f", estimate);
        }
    }

    if (mode == Mode::Stepped) {
        steppedOffset_ += correction;
    }

    if (estimated && std::fabs((previousDrift_ - estimate) / estimate) < kStableDrift) {
        const double increment = current.increment;
        double base = std::trunc((kSecondsPerDay - estimate) * current.adjustment / kSecondsPerDay);
        if (!(std::fabs((base - increment) / increment) <= kLargestTrim)) {
            messages_.debug(source_, "Overlarge Frequency Adjustment %d, defaulting",
                            printable(base));
            base = increment;
        }
        base_ = static_cast<uint32_t>(base);
        // The first nudge towards the offset; none after a step, which removed it.
        int64_t nudge = small ? sign : (correction > 0 ? 2 : -2);
        if (mode == Mode::Stepped) {
            nudge = 0;
        }
        const int64_t adjustment = static_cast<int64_t>(base_) + nudge;
        messages_.debug(source_, "New Frequency was %d now %d",
                        static_cast<int>(current.adjustment), static_cast<int>(adjustment));
        setSystemAdjustment(adjustment);

        restartSeries(now);
        phaseAdjusting_ = true;
        phaseCount_ = 0;
        zeroCrossings_ = 0;
        drift = estimate;
        return true;
    }

    if (estimated) {
        previousDrift_ = estimate;
        drift = estimate;
    }
    lastSign_ = sign;
    return false;
}

void FrequencyDiscipline::adjustPhase(double correction, Mode mode, int sign, bool small,
                                      const platform::TimeAdjustment& current) {
    // After a step the offset is gone already: slewing for it as well would put it back
    // with the other sign. A stepped call returns to the base rate and reassesses.
    int64_t step = mode == Mode::Stepped ? 0 : sign;
    if (mode == Mode::Small && !small) {
        const double size = std::min(static_cast<double>(maxSlew_),
                                     std::trunc(std::fabs(correction) * 100.0) + 1.0);
        step = sign * static_cast<int64_t>(size);
    }
    const int64_t adjustment = static_cast<int64_t>(base_) + step;
    messages_.debug(source_, "Adjust Phase, Frequency was %d now %d",
                    static_cast<int>(current.adjustment), static_cast<int>(adjustment));
    setSystemAdjustment(adjustment);

    if (sign != lastSign_) {
        ++zeroCrossings_;
    }
    bool reassess = mode == Mode::Stepped;
    if (mode == Mode::Small) {
        const int before = phaseCount_++;
        reassess = before > kPhaseCallsBeforeReassess &&
                   zeroCrossings_ < phaseCount_ / kPhaseCallsBeforeReassess;
    }
    if (reassess) {
        phaseAdjusting_ = false;
        messages_.debug(source_, "Reassess frequency, phasecount=%d zerocross=%d", phaseCount_,
                        zeroCrossings_);
    }
}

void FrequencyDiscipline::restartSeries(double now) {
    start_ = now;
    n_ = 0.0;
    sumX_ = sumY_ = sumXY_ = sumXX_ = 0.0;
    steppedOffset_ = 0.0;
}

void FrequencyDiscipline::setSystemAdjustment(int64_t adjustment) {
    if (!trimClock_) {
        return;
    }
    const int64_t bounded = std::clamp<int64_t>(adjustment, 1, UINT32_MAX);
    // A refused change (no privilege) leaves the rate as it was; the next call reads it back.
    (void)clock_.setAdjustment(static_cast<uint32_t>(bounded), true);
}

}  // namespace engine
