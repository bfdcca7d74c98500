#include "engine/ClockCorrection.h"

#include <cmath>

#include "core/ErrorText.h"
#include "core/Format.h"
#include "core/TimeValue.h"
#include "engine/CReg.h"

namespace engine {

namespace {

constexpr double kNanosecondsPerSecond = 1e9;
constexpr uint32_t kLargestSecondsValue = 1000000;  // Max above this is stored in ns
constexpr double kVeryLarge = 31536000.0;           // 365 days
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

double CorrectionSettings::maxFromStored(uint32_t stored) {
    if (stored > kLargestSecondsValue) {
        return stored / kNanosecondsPerSecond;
    }
    return stored;
}

CorrectionSettings CorrectionSettings::read(const CReg& parameters) {
    CorrectionSettings s;
    s.set = config::readFlag(parameters, "Set");
    s.maxSeconds = maxFromStored(config::readDword(parameters, "Max"));
    s.allowMax = config::readFlag(parameters, "AllowMax");
    s.minMs = config::readDword(parameters, "Min");
    s.noTell = config::readFlag(parameters, "NoTell");
    s.adjustPoll = config::readFlag(parameters, "AdjustPoll");
    s.adjustFreq = config::readFlag(parameters, "AdjustFreq");
    s.often = config::readFlag(parameters, "Often");
    s.switchOk = config::readFlag(parameters, "SwitchOK");
    s.startTop = config::readFlag(parameters, "StartTop");
    s.maxSlew = config::readNumber(parameters, "MaxSlew");
    return s;
}

ClockCorrection::ClockCorrection(Deliverable deliverable, CorrectionSettings settings,
                                 CorrectionHost& host)
    : deliverable_(deliverable),
      host_(host),
      settings_(settings),
      // With Set 0 the discipline still estimates and reports, but never trims the rate.
      discipline_(host.clock(), host.messages(), kMessageSource, settings_.maxSlew, settings_.set) {
}

void ClockCorrection::setSettings(const CorrectionSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

double ClockCorrection::lastSetTime() const {
    std::lock_guard lock(mutex_);
    return lastSet_;
}

std::string ClockCorrection::nowText() const {
    return core::statusTimeText(core::calendarFromUnix(host_.clock().now()));
}

void ClockCorrection::writeDrift(double drift) {
    (void)host_.parameters().writeText("Drift", core::format("%0.3f seconds/day", drift));
}

void ClockCorrection::scheduleRateChange(double now) {
    host_.scheduleRateChange(discipline_.nextChange(now));
}

void ClockCorrection::rateTimer() {
    std::lock_guard lock(mutex_);
    const double now = core::timeValueNow(host_.clock());
    discipline_.timer(now);
    scheduleRateChange(now);
}

void ClockCorrection::settleRate() {
    std::lock_guard lock(mutex_);
    discipline_.settle(core::timeValueNow(host_.clock()));
    host_.scheduleRateChange(-1.0);
}

uint8_t ClockCorrection::apply(double correction, const std::string& source) {
    std::lock_guard lock(mutex_);
    core::MessageHandler& messages = host_.messages();

    const double now = core::timeValueNow(host_.clock());
    if (!driftStarted_) {
        driftStart_ = now;
        driftAccumulator_ = 0.0;
        driftStarted_ = true;
    }
    const double limit = settings_.maxSeconds;
    const double magnitude = std::fabs(correction);

    if (magnitude > kVeryLarge) {
        messages.warn(kMessageSource, "Very large correction of %.3f second%s", correction,
                      core::plural(correction));
    }

    uint8_t result = kNothingDecided;
    bool clamped = false;
    if (settings_.allowMax && limit != 0 && limit < magnitude) {
        messages.warn(kMessageSource, "Correction of %.3f second%s too large", correction,
                      core::plural(correction));
        correction = std::copysign(limit, correction);
        clamped = true;
        result = kClockWrong;
    }

    if (deliverable_ == Deliverable::Service) {
        host_.clock().enablePrivilege();
    }

    // A correction that is not a number, or one that would carry the clock outside the
    // calendar the system can hold, is refused whatever Max says.
    const bool impossible = !std::isfinite(correction) || !representable(now + correction);
    if (impossible || (!clamped && limit != 0 && limit < magnitude)) {
        messages.warn(kMessageSource, "Correction of %.3f second%s too large", correction,
                      core::plural(correction));
        result = kNothingDecided;
    } else if (settings_.minMs != 0 && settings_.minMs / 1000.0 > magnitude) {
        result = tooSmall(correction, magnitude, source, now);
        afterResult();
    } else {
        result = step(correction, clamped, source, now, result);
    }

    // The entry's "info" records every result, whatever was decided. No source, no entry.
    if (!source.empty()) {
        const CReg& parameters = host_.parameters();
        CReg entry(parameters.path() + "\\" + kServerDetailsSubkey + "\\" + source,
                   parameters.root());
        (void)entry.writeText("info", nowText());
    }

    if (settings_.adjustPoll && result != kNothingDecided) {
        (void)host_.adaptPoll(result == kClockGood);
    }

    if (settings_.switchOk) {
        host_.signalSwitch();
    } else if (settings_.startTop) {
        host_.signalTop();
    }
    return result;
}

uint8_t ClockCorrection::tooSmall(double correction, double magnitude, const std::string& source,
                                  double now) {
    core::MessageHandler& messages = host_.messages();
    synchronised_.store(true);
    host_.kickWatchdog();

    if (deliverable_ == Deliverable::Desktop) {
        messages.warn(kMessageSource, "Correction of %.3f second%s too small", correction,
                      core::plural(correction));
        return kClockGood;
    }

    CReg& parameters = host_.parameters();
    std::string delta;
    if (settings_.adjustFreq) {
        messages.info(kMessageSource, "Correction of %.3f second%s used to adjust clock frequency",
                      correction, core::plural(correction));
        double drift = 0.0;
        if (discipline_.update(correction, FrequencyDiscipline::Mode::Small, now, drift)) {
            messages.debug(kMessageSource, "%0.3f seconds/day", drift);
            writeDrift(drift);
        }
        scheduleRateChange(now);
        delta = core::format("%.3f second%s (Frequency adjusted)", correction,
                             core::plural(correction));
    } else {
        messages.info(kMessageSource, "Correction of %.3f second%s too small", correction,
                      core::plural(correction));
        delta = core::format("%.3f second%s (Ignored, too small)", correction,
                             core::plural(correction));
    }
    (void)parameters.writeText("LastDelta", delta);
    (void)parameters.writeText("LastContact", nowText());
    (void)parameters.writeText("TimeSource", source);
    return magnitude < settings_.minMs / 10000.0 ? kClockGood : kClockWrong;
}

uint8_t ClockCorrection::step(double correction, bool clamped, const std::string& source,
                              double now, uint8_t result) {
    core::MessageHandler& messages = host_.messages();
    if (!settings_.set) {
        if (correction != 0) {
            messages.info(kMessageSource, "The time would be corrected by %.3f second%s",
                          correction, core::plural(correction));
        } else {
            messages.info(kMessageSource, "The time is already correct");
        }
        return result;
    }

    platform::Clock& clock = host_.clock();
    if (deliverable_ == Deliverable::Desktop) {
        clock.enablePrivilege();
    }
    // Reporting can block (a log file on a slow disk): step from the clock as it is now, not
    // as it was when the call began.
    const platform::Status stepped =
        clock.step(core::unixFromTimeValue(core::timeValueNow(clock) + correction));
    if (!stepped.ok()) {
        messages.warn(kMessageSource, "Failed to set the time (%s)",
                      core::systemErrorText(stepped.error).c_str());
        return result;
    }
    if (!settings_.noTell) {
        host_.announceTimeChange();
    }

    const bool service = deliverable_ == Deliverable::Service;
    const std::string delta =
        core::format(service ? "%.3f second%s (Clock stepped)" : "%.3f second%s", correction,
                     core::plural(correction));
    if (correction != 0) {
        messages.info(kMessageSource, "The time has been corrected by %s", delta.c_str());
        result = kClockWrong;
    } else {
        messages.info(kMessageSource, "The time is already correct");
        result = kClockGood;
    }

    if (!service || !settings_.adjustFreq || clamped) {
        const double elapsed = now - driftStart_;
        if (std::trunc(elapsed) != 0) {
            driftAccumulator_ += correction;
            const double drift = driftAccumulator_ / elapsed * -kSecondsPerDay;
            if (service) {
                messages.debug(kMessageSource, "%0.3f seconds/day", drift);
            }
            writeDrift(drift);
        }
    } else {
        double drift = 0.0;
        if (discipline_.update(correction, FrequencyDiscipline::Mode::Stepped, now, drift)) {
            messages.debug(kMessageSource, "%0.3f seconds/day", drift);
            writeDrift(drift);
        }
        scheduleRateChange(now);
    }

    CReg& parameters = host_.parameters();
    (void)parameters.writeText("LastContact", nowText());
    (void)parameters.writeText("LastDelta", delta);
    (void)parameters.writeText("TimeSource", source);
    messages.debug(kMessageSource, "From: %s By: %s", source.c_str(), delta.c_str());
    lastSet_ = now;
    synchronised_.store(true);
    host_.kickWatchdog();
    afterResult();
    return result;
}

// The desktop program's one-shot mode ends with the first accepted result.
void ClockCorrection::afterResult() {
    if (deliverable_ == Deliverable::Desktop && !settings_.often && !host_.shiftHeld() &&
        !host_.holdOpen()) {
        host_.requestClose();
    }
}

}  // namespace engine
