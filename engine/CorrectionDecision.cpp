#include "engine/CorrectionDecision.h"

#include <cmath>

#include "core/Format.h"
#include "core/TimeValue.h"

namespace engine {

namespace {

constexpr double kVeryLarge = 31536000.0;  // 365 days
constexpr double kSecondsPerDay = 86400.0;

// The years the system's calendar time can hold; a step outside them cannot be made.
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

bool representable(double timeValue) {
    static const double earliest =
        static_cast<double>(core::daysSinceUnixEpoch(kFirstYear, 1, 1)) * kSecondsPerDay +
        core::kNtpUnixOffset;
    static const double end =
        static_cast<double>(core::daysSinceUnixEpoch(kLastYear + 1, 1, 1)) * kSecondsPerDay +
        core::kNtpUnixOffset;
    return timeValue >= earliest && timeValue < end;
}

}  // namespace

CorrectionDecision decideCorrection(double correction, double now, const CorrectionLimits& limits,
                                    Deliverable deliverable) {
    using Action = CorrectionAction;
    CorrectionDecision d;
    const double limit = limits.maxSeconds;
    const double magnitude = std::fabs(correction);

    if (magnitude > kVeryLarge) {
        d.warnings.push_back(core::format("Very large correction of %.3f second%s", correction,
                                          core::plural(correction)));
    }
    if (limits.allowMax && limit != 0 && limit < magnitude) {
        d.warnings.push_back(core::format("Correction of %.3f second%s too large", correction,
                                          core::plural(correction)));
        correction = std::copysign(limit, correction);
        d.clamped = true;
    }
    d.correction = correction;
    // What a clamped result tells the poll adaptation when nothing better is known.
    const uint8_t before =
        d.clamped ? CorrectionDecision::kClockWrong : CorrectionDecision::kNothingDecided;

    // A correction that is not a number, or one that would carry the clock outside the
    // calendar the system can hold, is refused whatever Max says.
    const bool impossible = !std::isfinite(correction) || !representable(now + correction);
    if (impossible || (!d.clamped && limit != 0 && limit < magnitude)) {
        d.action = Action::Refuse;
        d.level = core::MessageLevel::Warn;
        d.message = core::format("Correction of %.3f second%s too large", correction,
                                 core::plural(correction));
        d.result = CorrectionDecision::kNothingDecided;
        return d;
    }

    if (limits.minMs != 0 && limits.minMs / 1000.0 > magnitude) {
        if (deliverable == Deliverable::Desktop) {
            d.action = Action::Ignore;
            d.level = core::MessageLevel::Warn;
            d.message = core::format("Correction of %.3f second%s too small", correction,
                                     core::plural(correction));
            d.result = CorrectionDecision::kClockGood;
            return d;
        }
        d.level = core::MessageLevel::Info;
        if (limits.adjustFreq) {
            d.action = Action::Slew;
            d.message = core::format("Correction of %.3f second%s used to adjust clock frequency",
                                     correction, core::plural(correction));
            d.delta = core::format("%.3f second%s (Frequency adjusted)", correction,
                                   core::plural(correction));
        } else {
            d.action = Action::Ignore;
            d.message = core::format("Correction of %.3f second%s too small", correction,
                                     core::plural(correction));
            d.delta = core::format("%.3f second%s (Ignored, too small)", correction,
                                   core::plural(correction));
        }
        d.result = magnitude < limits.minMs / 10000.0 ? CorrectionDecision::kClockGood
                                                      : CorrectionDecision::kClockWrong;
        return d;
    }

    d.level = core::MessageLevel::Info;
    if (!limits.set) {
        d.action = Action::Report;
        d.message = correction != 0 ? core::format("The time would be corrected by %.3f second%s",
                                                   correction, core::plural(correction))
                                    : "The time is already correct";
        d.result = before;
        return d;
    }
    d.action = Action::Step;
    d.delta = core::format(
        deliverable == Deliverable::Service ? "%.3f second%s (Clock stepped)" : "%.3f second%s",
        correction, core::plural(correction));
    if (correction != 0) {
        d.message = "The time has been corrected by " + d.delta;
        d.result = CorrectionDecision::kClockWrong;
    } else {
        d.message = "The time is already correct";
        d.result = CorrectionDecision::kClockGood;
    }
    d.failedResult = before;
    return d;
}

}  // namespace engine
