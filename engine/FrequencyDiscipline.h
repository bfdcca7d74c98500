#pragma once
#include <cstdint>
#include <string>

#include "engine/Handlers.h"
#include "platform/Clock.h"

namespace engine {

// Estimates the clock's drift from the series of corrections and trims the per-tick clock
// adjustment so that the clock keeps time by itself; once a rate is set, later corrections
// are worked off by small temporary changes of rate (phase adjustment) instead of steps.
// One object per process: its state lives as long as the engine.
class FrequencyDiscipline {
public:
    enum class Mode {
        Stepped,  // the clock has just been stepped by the correction
        Small,    // the correction was too small to step for; the clock was not touched
    };

    // trimClock false: compute and report as usual but never change the system's adjustment
    // (the engine's "never touch the clock" setting).
    FrequencyDiscipline(platform::Clock& clock, MessageHandler& messages, std::string source,
                        int maxSlew = 100, bool trimClock = true);

    // Feeds one correction (seconds, positive when the clock is behind) taken at `now` (time
    // value). true when a new frequency was set; `drift` (seconds per day the clock gains)
    // is only meaningful then.
    bool update(double correction, Mode mode, double now, double& drift);

    // The state, for status displays and tests.
    uint32_t baseAdjustment() const { return base_; }
    bool phaseAdjusting() const { return phaseAdjusting_; }
    int samples() const { return static_cast<int>(n_); }
    int phaseCount() const { return phaseCount_; }
    int zeroCrossings() const { return zeroCrossings_; }

private:
    // Works a correction off by a temporary change of rate; never sets a new frequency.
    void adjustPhase(double correction, Mode mode, int sign, bool small,
                     const platform::TimeAdjustment& current);
    void restartSeries(double now);
    void setSystemAdjustment(int64_t adjustment);

    platform::Clock& clock_;
    MessageHandler& messages_;
    std::string source_;
    int maxSlew_;
    bool trimClock_;

    bool started_ = false;
    double start_ = 0.0;  // T0, time value
    double n_ = 0.0;
    double sumX_ = 0.0;
    double sumY_ = 0.0;
    double sumXY_ = 0.0;
    double sumXX_ = 0.0;
    double steppedOffset_ = 0.0;
    double previousDrift_ = 0.0;
    uint32_t base_ = 0;  // B: 0 until a frequency has been set
    bool phaseAdjusting_ = false;
    int zeroCrossings_ = 0;
    int phaseCount_ = 0;
    int lastSign_ = 0;
};

}  // namespace engine
