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
constexpr double kSecondsPerDay = 86400.0;

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
    writeStatus("Drift", core::format("%0.3f seconds/day", drift));
}

void ClockCorrection::writeStatus(const std::string& name, const std::string& text) {
    (void)host_.parameters().writeText(name, text);
    host_.statusWritten(name, text);
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

CorrectionLimits ClockCorrection::limits() const {
    return {settings_.maxSeconds, settings_.allowMax, settings_.minMs, settings_.set,
            settings_.adjustFreq};
}

void ClockCorrection::say(const CorrectionDecision& decision) {
    host_.messages().message(decision.level, kMessageSource, decision.message);
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
    const CorrectionDecision decision = decideCorrection(correction, now, limits(), deliverable_);
    for (const std::string& warning : decision.warnings) {
        messages.message(core::MessageLevel::Warn, kMessageSource, warning);
    }

    if (deliverable_ == Deliverable::Service) {
        host_.clock().enablePrivilege();
    }

    uint8_t result = decision.result;
    bool accepted = false;
    switch (decision.action) {
        case CorrectionAction::Refuse:
        case CorrectionAction::Report:
            say(decision);
            break;
        case CorrectionAction::Slew:
        case CorrectionAction::Ignore:
            tooSmall(decision, source, now);
            accepted = true;
            break;
        case CorrectionAction::Step:
            accepted = step(decision, source, now);
            if (!accepted) {
                result = decision.failedResult;
            }
            break;
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
    host_.corrected({decision.action, decision.correction, accepted,
                     deliverable_ == Deliverable::Desktop && !settings_.often});
    return result;
}

void ClockCorrection::tooSmall(const CorrectionDecision& decision, const std::string& source,
                               double now) {
    core::MessageHandler& messages = host_.messages();
    synchronised_.store(true);
    host_.kickWatchdog();
    say(decision);
    if (decision.delta.empty()) {
        return;  // the desktop program records nothing of it
    }
    if (decision.action == CorrectionAction::Slew) {
        double drift = 0.0;
        if (discipline_.update(decision.correction, FrequencyDiscipline::Mode::Small, now, drift)) {
            messages.debug(kMessageSource, "%0.3f seconds/day", drift);
            writeDrift(drift);
        }
        scheduleRateChange(now);
    }
    writeStatus("LastDelta", decision.delta);
    writeStatus("LastContact", nowText());
    writeStatus("TimeSource", source);
}

bool ClockCorrection::step(const CorrectionDecision& decision, const std::string& source,
                           double now) {
    core::MessageHandler& messages = host_.messages();
    const double correction = decision.correction;
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
        return false;
    }
    if (!settings_.noTell) {
        host_.announceTimeChange();
    }
    say(decision);

    const bool service = deliverable_ == Deliverable::Service;
    if (!service || !settings_.adjustFreq || decision.clamped) {
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

    writeStatus("LastContact", nowText());
    writeStatus("LastDelta", decision.delta);
    writeStatus("TimeSource", source);
    messages.debug(kMessageSource, "From: %s By: %s", source.c_str(), decision.delta.c_str());
    lastSet_ = now;
    synchronised_.store(true);
    host_.kickWatchdog();
    return true;
}

}  // namespace engine
