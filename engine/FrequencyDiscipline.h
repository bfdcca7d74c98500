#pragma once
#include <cstdint>
#include <string>

#include "core/Handlers.h"
#include "platform/Clock.h"

namespace engine {

// Estimates the clock's drift from the series of corrections and trims the per-tick clock
// adjustment so that the clock keeps time by itself; once a rate is set, later corrections
// are worked off by temporary changes of rate (slews) instead of steps.
//
// The adjustment unit is coarse (one unit of 156,250 is 6.4 ppm), so the base rate is kept
// with its fraction: the clock alternates between the two neighbouring integers in the right
// proportion. A slew runs only as long as it takes to deliver the correction it was started
// for. Both need the rate changed between corrections: the owner calls `timer` once
// `nextChange` seconds have passed (and `settle` when it stops), so the phase a correction
// removes never depends on the time between corrections.
//
// The samples are the corrections with everything the discipline and the steps put into the
// clock since the series began added back, so one series carries on across new frequencies
// and slews and keeps refining the rate. One object per process: its state lives as long as
// the engine.
class FrequencyDiscipline {
public:
    enum class Mode {
        Stepped,  // the clock has just been stepped by the correction
        Small,    // the correction was too small to step for; the clock was not touched
    };

    // trimClock false: compute and report as usual but never change the system's adjustment
    // (the engine's "never touch the clock" setting).
    FrequencyDiscipline(platform::Clock& clock, core::MessageHandler& messages, std::string source,
                        int maxSlew = 100, bool trimClock = true);

    // Feeds one correction (seconds, positive when the clock is behind) taken at `now` (time
    // value). true when a new frequency was set; `drift` (seconds per day the clock gains)
    // is only meaningful then.
    bool update(double correction, Mode mode, double now, double& drift);

    // Seconds after `now` at which `timer` must be called to end a slew or to move to the
    // other integer of the base rate; negative when nothing is pending.
    double nextChange(double now) const;
    // Makes the change that is due (nothing when called early or with nothing pending).
    void timer(double now);
    // Ends any slew and leaves the clock at the integer nearest the base rate: the owner
    // stops calling `timer`.
    void settle(double now);

    // The change of rate (units) that works a correction off: one unit up to 10 ms, else one
    // more per 10 ms, at most maxSlew; the sign of the correction, 0 counting as negative.
    static int64_t slewStep(double correction, int maxSlew);

    // The state, for status displays, benchmarks and tests.
    uint32_t baseAdjustment() const;           // B, the base rate's integer part; 0 until set
    double baseRate() const { return base_; }  // B with its fraction; 0 until set
    bool phaseAdjusting() const { return phaseAdjusting_; }
    bool slewing() const { return slewing_; }
    int samples() const { return n_; }
    int phaseCount() const { return phaseCount_; }
    int zeroCrossings() const { return zeroCrossings_; }

private:
    bool estimate(double& drift) const;
    // The series' line at `x` seconds from the latest sample; false while there is none.
    bool lineAt(double x, double& y) const;
    // The correction the series' line gives for the latest sample, with what was put into
    // the clock since T0 taken out again: the present offset, filtered.
    double fittedCorrection(double measured) const;
    // B := base, unless it is further from the tick increment than is believable.
    void setFrequency(double base, const platform::TimeAdjustment& current);
    // Starts a temporary change of rate that delivers `target` seconds, then returns to base.
    void slew(double target, double now, const platform::TimeAdjustment& current);
    void reassess();
    void restartSeries(double reference);
    // Adds the phase the rate in force put in since the last change.
    void account(double now);
    // Back to the base rate: the integer below or above B, whichever the balance calls for.
    void followBase(double now);
    bool setSystemAdjustment(int64_t adjustment, double now);

    platform::Clock& clock_;
    core::MessageHandler& messages_;
    std::string source_;
    int maxSlew_;
    bool trimClock_;

    // The series.
    bool started_ = false;
    double seriesTime_ = 0.0;  // seconds since T0, as the clock would count at the reference
    double origin_ = 0.0;      // seriesTime_ of the latest sample: x is counted from here
    double reference_ = 0.0;   // the rate (units per tick) the samples are measured against
    int n_ = 0;                // samples since T0
    double weight_ = 0.0;      // their weight, the older ones counting for less
    double sumX_ = 0.0;
    double sumY_ = 0.0;
    double sumXY_ = 0.0;
    double sumXX_ = 0.0;
    double applied_ = 0.0;  // seconds put into the clock since T0 by steps and rate changes
    double previousDrift_ = 0.0;
    // How far measurements usually land off the line (weighted sum of squares, and weight).
    double scatter_ = 0.0;
    double scatterWeight_ = 0.0;

    // The rate.
    double increment_ = 0.0;
    double base_ = 0.0;       // B with its fraction, 0 until a frequency has been set
    double inForce_ = 0.0;    // the adjustment the clock runs at (increment when not trimmed)
    double changedAt_ = 0.0;  // when inForce_ was last changed or accounted
    bool slewing_ = false;
    double due_ = 0.0;      // when the next change is due; 0: none
    double balance_ = 0.0;  // unit-seconds the base rate's integers ran ahead of B

    bool phaseAdjusting_ = false;
    int zeroCrossings_ = 0;
    int phaseCount_ = 0;
    int lastSign_ = 0;
};

}  // namespace engine
