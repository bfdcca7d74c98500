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
// Each sample weighs this much less than the next: a memory of about 64 samples.
constexpr double kKeep = 1.0 - 1.0 / 64.0;
// A measurement this many times the usual miss off the line is a jump (once a few misses
// have been seen); below kSmallestJump (seconds) never.
constexpr double kJumpRatio = 5.0;
constexpr double kJumpSamples = 3.0;
constexpr double kSmallestJump = 0.001;
// How far (unit-seconds) the integers of the base rate may run ahead of or behind the base
// before the clock moves to the other one: a phase ripple of 8 / 156,250 s = 0.05 ms either
// way, with at most one change a minute.
constexpr double kBalanceLimit = 8.0;
// The clock the timer runs on and the clock it trims differ by the trim: a change this much
// early is taken as on time.
constexpr double kEarly = 0.002;
// Slews shorter than this deliver nothing the next measurement could see.
constexpr double kShortestSlew = 0.001;

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

FrequencyDiscipline::FrequencyDiscipline(platform::Clock& clock, core::MessageHandler& messages,
                                         std::string source, int maxSlew, bool trimClock)
    : clock_(clock),
      messages_(messages),
      source_(std::move(source)),
      maxSlew_(std::max(maxSlew, 0)),
      trimClock_(trimClock) {}

uint32_t FrequencyDiscipline::baseAdjustment() const {
    return static_cast<uint32_t>(std::lround(base_));
}

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
    increment_ = current.increment;
    const double inSystem = current.adjustment;

    if (!started_) {
        inForce_ = inSystem;
        changedAt_ = now;
        restartSeries(inSystem);
        started_ = true;
    } else if (inSystem != inForce_) {
        // Someone else changed the rate: what the series knows of the clock no longer holds.
        inForce_ = inSystem;
        slewing_ = false;
        due_ = 0.0;
        phaseAdjusting_ = false;
        changedAt_ = now;
        restartSeries(inSystem);
    }
    account(now);

    const int sign = correction > 0 ? 1 : -1;
    const bool wasAdjusting = phaseAdjusting_ && base_ != 0.0;

    if (wasAdjusting && mode == Mode::Stepped) {
        // The step took the offset away: slewing for it as well would put it back with the
        // other sign. Back to the base rate, and a new series from here.
        messages_.debug(source_, "Adjust Phase, Frequency was %d now %d",
                        static_cast<int>(current.adjustment), static_cast<int>(baseAdjustment()));
        followBase(now);
        if (sign != lastSign_) {
            ++zeroCrossings_;
        }
        reassess();
        restartSeries(base_);
        lastSign_ = sign;
        return false;
    }

    double y = applied_ + correction;
    const double shift = seriesTime_ - origin_;
    double predicted = 0.0;
    if (lineAt(shift, predicted)) {
        // A measurement far off the line the series has drawn is a jump of the clock or of
        // the reference, not a change of rate: it is taken as if it had been stepped in, so
        // the line keeps its slope, and the slew below removes all of it.
        const double miss = y - predicted;
        const double usual = scatterWeight_ > 0.0 ? std::sqrt(scatter_ / scatterWeight_) : 0.0;
        const double limit = std::max(kJumpRatio * usual, kSmallestJump);
        const bool jump = scatterWeight_ >= kJumpSamples && std::fabs(miss) > limit;
        if (jump) {
            applied_ -= miss;
            y -= miss;
        }
        const double counted = jump ? limit : miss;
        scatter_ = kKeep * scatter_ + counted * counted;
        scatterWeight_ = kKeep * scatterWeight_ + 1.0;
    }

    // One more sample of the clock's accumulated offset. Older samples count for less, so
    // that the line follows a rate that wanders; the sums are kept about the latest sample,
    // where the rounding of large sums cannot hurt, so x is 0 for it.
    sumXX_ = kKeep * (sumXX_ - 2.0 * shift * sumX_ + shift * shift * weight_);
    sumXY_ = kKeep * (sumXY_ - shift * sumY_);
    sumX_ = kKeep * (sumX_ - shift * weight_);
    sumY_ = kKeep * sumY_;
    weight_ = kKeep * weight_ + 1.0;
    origin_ = seriesTime_;
    sumY_ += y;
    ++n_;
    if (mode == Mode::Stepped) {
        applied_ += correction;
    }

    double estimate = 0.0;
    const bool estimated = this->estimate(estimate);
    if (estimated) {
        messages_.debug(source_, "Drift is %f", estimate);
    }

    // Once a series has set a frequency every later estimate of it is better, so it is
    // used at once. Before that the estimates must settle, unless the clock had to be
    // stepped: waiting for another estimate would only cost another step.
    bool newFrequency = false;
    if (estimated && (wasAdjusting || mode == Mode::Stepped ||
                      std::fabs((previousDrift_ - estimate) / estimate) < kStableDrift)) {
        const double base = reference_ * (kSecondsPerDay - estimate) / kSecondsPerDay;
        setFrequency(base, current);
        // Reported against the system's own rate, whichever rate this series started from.
        drift = kSecondsPerDay * (1.0 - base / increment_);
        newFrequency = true;
        if (!wasAdjusting) {
            phaseAdjusting_ = true;
            phaseCount_ = 0;
            zeroCrossings_ = 0;
        }
    } else if (estimated) {
        drift = estimate;
    }

    bool reassessNow = false;
    if (wasAdjusting) {
        if (sign != lastSign_) {
            ++zeroCrossings_;
        }
        const int before = phaseCount_++;
        reassessNow = before > kPhaseCallsBeforeReassess &&
                      zeroCrossings_ < phaseCount_ / kPhaseCallsBeforeReassess;
    }

    if (phaseAdjusting_ && mode == Mode::Small) {
        slew(fittedCorrection(correction), now, current);
    } else if (newFrequency && !slewing_) {
        followBase(now);
    }
    if (reassessNow) {
        // The offset keeps one sign: the rate is off in a way the series cannot see.
        reassess();
        restartSeries(base_);
    }

    if (estimated) {
        previousDrift_ = estimate;
    }
    lastSign_ = sign;
    return newFrequency;
}

bool FrequencyDiscipline::estimate(double& drift) const {
    if (n_ < 2) {
        return false;
    }
    const double meanX = sumX_ / weight_;
    const double meanY = sumY_ / weight_;
    const double meanXX = sumXX_ / weight_;
    const double spread = meanXX - meanX * meanX;
    if (!(spread > kSmallestTimeSpread * meanXX)) {
        return false;
    }
    drift = -kSecondsPerDay * (sumXY_ / weight_ - meanY * meanX) / spread;
    // A drift of exactly 0 cannot be compared relative to itself.
    return std::isfinite(drift) && drift != 0.0;
}

bool FrequencyDiscipline::lineAt(double x, double& y) const {
    double drift = 0.0;
    if (!estimate(drift)) {
        return false;
    }
    const double slope = -drift / kSecondsPerDay;
    y = (sumY_ + slope * (x * weight_ - sumX_)) / weight_;
    return true;
}

double FrequencyDiscipline::fittedCorrection(double measured) const {
    double fitted = 0.0;
    // Two samples lie on their own line: nothing to filter.
    if (n_ < 3 || !lineAt(0.0, fitted)) {
        return measured;
    }
    return fitted - applied_;
}

void FrequencyDiscipline::setFrequency(double base, const platform::TimeAdjustment& current) {
    if (!(std::fabs((base - increment_) / increment_) <= kLargestTrim)) {
        messages_.debug(source_, "Overlarge Frequency Adjustment %d, defaulting",
                        printable(std::trunc(base)));
        base = increment_;
    }
    if (base_ == 0.0) {
        balance_ = 0.0;
    }
    base_ = base;
    messages_.debug(source_, "New Frequency was %d now %d", static_cast<int>(current.adjustment),
                    static_cast<int>(baseAdjustment()));
}

int64_t FrequencyDiscipline::slewStep(double correction, int maxSlew) {
    const int64_t sign = correction > 0 ? 1 : -1;
    const double magnitude = std::fabs(correction);
    if (!(magnitude > kSmallCorrection)) {
        return sign;
    }
    const double size =
        std::min(static_cast<double>(std::max(maxSlew, 0)), std::trunc(magnitude * 100.0) + 1.0);
    return sign * static_cast<int64_t>(size);
}

void FrequencyDiscipline::slew(double target, double now, const platform::TimeAdjustment& current) {
    const double magnitude = std::fabs(target);
    const int64_t step = slewStep(target, maxSlew_);
    const int64_t adjustment = static_cast<int64_t>(baseAdjustment()) + step;
    // The base integer is within half a unit of B, so a step of one unit or more moves the
    // rate the right way.
    const double rate = static_cast<double>(adjustment) - base_;
    // How long, read off the clock that runs at the slewed rate.
    const double duration = magnitude * static_cast<double>(adjustment) / std::fabs(rate);
    if (step == 0 || duration < kShortestSlew) {
        if (slewing_) {
            followBase(now);
        }
        return;
    }
    messages_.debug(source_, "Adjust Phase, Frequency was %d now %d",
                    static_cast<int>(current.adjustment), static_cast<int>(adjustment));
    if (setSystemAdjustment(adjustment, now)) {
        slewing_ = true;
        due_ = now + duration;
    }
}

void FrequencyDiscipline::reassess() {
    phaseAdjusting_ = false;
    messages_.debug(source_, "Reassess frequency, phasecount=%d zerocross=%d", phaseCount_,
                    zeroCrossings_);
}

void FrequencyDiscipline::restartSeries(double reference) {
    seriesTime_ = 0.0;
    origin_ = 0.0;
    reference_ = reference;
    n_ = 0;
    weight_ = sumX_ = sumY_ = sumXY_ = sumXX_ = 0.0;
    applied_ = 0.0;
}

void FrequencyDiscipline::account(double now) {
    const double elapsed = now - changedAt_;
    if (elapsed > 0.0 && inForce_ > 0.0) {
        // Elapsed time is read off the clock itself, which runs at inForce_; the series counts
        // time as the clock would at the reference rate, where the drift is one straight line.
        applied_ += (inForce_ - reference_) / inForce_ * elapsed;
        seriesTime_ += elapsed * reference_ / inForce_;
        if (base_ != 0.0 && !slewing_) {
            balance_ += (inForce_ - base_) * elapsed;
        }
    }
    changedAt_ = now;
}

double FrequencyDiscipline::nextChange(double now) const {
    if (due_ == 0.0) {
        return -1.0;
    }
    return std::max(0.0, due_ - now);
}

void FrequencyDiscipline::timer(double now) {
    if (due_ == 0.0) {
        return;
    }
    account(now);
    if (now < due_ - kEarly) {
        return;
    }
    followBase(now);
}

void FrequencyDiscipline::followBase(double now) {
    account(now);
    slewing_ = false;
    due_ = 0.0;
    if (base_ == 0.0) {
        return;
    }
    const double low = std::floor(base_);
    const double fraction = base_ - low;
    if (fraction == 0.0) {
        balance_ = 0.0;
        (void)setSystemAdjustment(static_cast<int64_t>(low), now);
        return;
    }
    // The lower integer runs behind B by `fraction` units, the upper one ahead by the rest:
    // stay on one until the balance reaches the other side of its limit.
    if (balance_ > 0.0) {
        if (setSystemAdjustment(static_cast<int64_t>(low), now)) {
            due_ = now + (balance_ + kBalanceLimit) / fraction;
        }
    } else if (setSystemAdjustment(static_cast<int64_t>(low) + 1, now)) {
        due_ = now + (kBalanceLimit - balance_) / (1.0 - fraction);
    }
}

void FrequencyDiscipline::settle(double now) {
    account(now);
    due_ = 0.0;
    slewing_ = false;
    if (base_ != 0.0) {
        (void)setSystemAdjustment(static_cast<int64_t>(baseAdjustment()), now);
    }
}

bool FrequencyDiscipline::setSystemAdjustment(int64_t adjustment, double now) {
    if (!trimClock_) {
        return false;
    }
    const int64_t bounded = std::clamp<int64_t>(adjustment, 1, UINT32_MAX);
    // A refused change (no privilege) leaves the rate as it was; the next call reads it back.
    if (!clock_.setAdjustment(static_cast<uint32_t>(bounded), true).ok()) {
        return false;
    }
    account(now);
    inForce_ = static_cast<double>(bounded);
    return true;
}

}  // namespace engine
