#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/Handlers.h"

namespace engine {

// The two programs that carry the set-time operation. They decide alike; the service also
// trims the clock's rate, the desktop program may close after one result.
enum class Deliverable { Service, Desktop };

// What is done with one correction.
enum class CorrectionAction {
    Refuse,  // too large, not a number, or off the calendar: the clock is left alone
    Report,  // Set 0: only says what would be done
    Step,    // the clock is stepped
    Slew,    // too small to step: the service trims the clock's rate with it
    Ignore,  // too small to matter
};

// The settings a correction is judged by.
struct CorrectionLimits {
    double maxSeconds = 3600;  // 0: no upper limit
    bool allowMax = false;     // clamp to maxSeconds instead of refusing
    uint32_t minMs = 500;      // 0: no lower limit
    bool set = true;           // false: never touch the clock
    bool adjustFreq = true;    // the service trims the rate with small corrections
};

// The decision on one correction, with the texts it reports; nothing is done yet.
struct CorrectionDecision {
    // Result codes: what the poll adaptation is told.
    static constexpr uint8_t kNothingDecided = 0;
    static constexpr uint8_t kClockGood = 1;
    static constexpr uint8_t kClockWrong = 255;

    CorrectionAction action = CorrectionAction::Refuse;
    double correction = 0.0;  // what is applied: clamped to Max under AllowMax
    bool clamped = false;
    // Warn lines said before anything is done, in order.
    std::vector<std::string> warnings;
    // The decision's own line; for Step, the line once the clock has been stepped.
    core::MessageLevel level = core::MessageLevel::Warn;
    std::string message;
    // LastDelta's text; empty: the result is not recorded in the status values.
    std::string delta;
    // For Step, the code once the clock has been stepped; a failed step leaves failedResult.
    uint8_t result = kNothingDecided;
    uint8_t failedResult = kNothingDecided;
};

// Decides what a correction (seconds; positive: the clock is behind) measured at `now` (time
// value) does under `limits`.
CorrectionDecision decideCorrection(double correction, double now, const CorrectionLimits& limits,
                                    Deliverable deliverable);

// A correction as it was handled, for whoever shows the engine's work.
struct CorrectionResult {
    CorrectionAction action = CorrectionAction::Refuse;
    double correction = 0.0;
    // The clock took the result (stepped, or too small to need a step).
    bool accepted = false;
    // The desktop program closes after its first accepted result (Often 0).
    bool oneShot = false;

    bool endsOneShot() const { return accepted && oneShot; }
};

}  // namespace engine
