#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "config/Settings.h"
#include "core/Handlers.h"
#include "engine/CorrectionDecision.h"
#include "engine/FrequencyDiscipline.h"
#include "platform/Clock.h"

namespace engine {

class CReg;

// The settings of the set-time decision, read once from the parameters key.
struct CorrectionSettings {
    // The defaults are the schema's (config/Settings.h).
    bool set = config::defaultFlag("Set");             // 0 = never touch the clock, only report
    double maxSeconds = config::defaultNumber("Max");  // 0 = no upper limit
    bool allowMax = config::defaultFlag("AllowMax");   // clamp to Max, not refuse
    uint32_t minMs = config::setting("Min").number;    // 0 = no lower limit
    bool noTell = config::defaultFlag("NoTell");       // do not announce the change
    bool adjustPoll = config::defaultFlag("AdjustPoll");
    bool adjustFreq = config::defaultFlag("AdjustFreq");  // service
    bool often = config::defaultFlag("Often");  // desktop: 0 = close after the first result
    bool switchOk = config::defaultFlag("SwitchOK");
    bool startTop = config::defaultFlag("StartTop");
    int maxSlew = config::defaultNumber("MaxSlew");  // frequency discipline

    // A stored Max above 1,000,000 is taken as nanoseconds.
    static double maxFromStored(uint32_t stored);
    static CorrectionSettings read(const CReg& parameters);
};

// What the set-time operation needs from the program that owns it.
class CorrectionHost {
public:
    virtual ~CorrectionHost() = default;
    virtual platform::Clock& clock() = 0;
    virtual core::MessageHandler& messages() = 0;
    // The open parameters key: status values go here and "Server Details" lies below it.
    virtual CReg& parameters() = 0;
    virtual void kickWatchdog() = 0;
    // The running client's poll adaptation, which becomes the engine's interval for the next
    // wait; nothing when no client runs.
    virtual std::optional<int> adaptPoll(bool good) = 0;
    // Ask the engine loop to move to the next source / back to the top of the list.
    virtual void signalSwitch() = 0;
    virtual void signalTop() = 0;
    // Tell other programs that the time changed (the system's time-change broadcast).
    virtual void announceTimeChange() {}
    // A status value (LastDelta, LastContact, TimeSource or Drift) was written to the store.
    virtual void statusWritten(const std::string& /*name*/, const std::string& /*text*/) {}
    // Every correction once it is handled; the desktop's one-shot mode ends on it.
    virtual void corrected(const CorrectionResult& /*result*/) {}
    // Call `ClockCorrection::rateTimer` once `seconds` (monotonic) have passed, replacing any
    // earlier request; negative: nothing is due. The frequency discipline ends its slews so.
    virtual void scheduleRateChange(double /*seconds*/) {}
};

// The engine's handling of a correction: carries out what decideCorrection says (step the
// clock or trim its rate), records the result in the store, reports every decision, tells the
// watchdog, the poll interval and the engine loop, and hands the result to the host. One object per
// process: the drift accumulator, the synchronised flag and the frequency discipline live as long
// as it.
class ClockCorrection {
public:
    // The source name of the engine's own messages.
    static constexpr const char* kMessageSource = "Kronel";

    // Result codes of one call.
    static constexpr uint8_t kNothingDecided = CorrectionDecision::kNothingDecided;
    static constexpr uint8_t kClockGood = CorrectionDecision::kClockGood;
    static constexpr uint8_t kClockWrong = CorrectionDecision::kClockWrong;

    ClockCorrection(Deliverable deliverable, CorrectionSettings settings, CorrectionHost& host);

    // Applies a correction (seconds; positive: the clock is behind) measured by `source`, the
    // name of the running server entry. Calls are serialised.
    uint8_t apply(double correction, const std::string& source);

    // Servers read this from their own threads. The engine sets its start value (and clears
    // it on request); only accepted results set it afterwards.
    bool synchronised() const { return synchronised_.load(); }
    void setSynchronised(bool value) { synchronised_.store(value); }

    // The time value of the last successful step, 0 before the first.
    double lastSetTime() const;
    const CorrectionSettings& settings() const { return settings_; }
    // New limits for the calls that follow (the desktop program's settings pages). The drift
    // accumulator and the discipline carry over.
    void setSettings(const CorrectionSettings& settings);

    // The host's timer for the frequency discipline: makes the rate change that is due.
    void rateTimer();
    // The engine stops: any slew ends, the clock keeps the base rate.
    void settleRate();
    const FrequencyDiscipline& discipline() const { return discipline_; }

private:
    CorrectionLimits limits() const;
    void say(const CorrectionDecision& decision);
    void tooSmall(const CorrectionDecision& decision, const std::string& source, double now);
    // False when the clock would not be stepped.
    bool step(const CorrectionDecision& decision, const std::string& source, double now);
    void writeDrift(double drift);
    // To the store, and to the host for the front end's status snapshot.
    void writeStatus(const std::string& name, const std::string& text);
    void scheduleRateChange(double now);
    std::string nowText() const;

    const Deliverable deliverable_;
    CorrectionHost& host_;
    CorrectionSettings settings_;  // replaced only under mutex_
    FrequencyDiscipline discipline_;

    mutable std::mutex mutex_;
    bool driftStarted_ = false;
    double driftStart_ = 0.0;
    double driftAccumulator_ = 0.0;
    double lastSet_ = 0.0;
    std::atomic<bool> synchronised_{true};
};

}  // namespace engine
