#pragma once

#include "config/Settings.h"

namespace desktop {

// What the engine thread's wait does, for a window that runs the engine on its own thread and
// is woken by the private message instead of the switch and top events: a switch starts the
// next source after the switch delay, a top starts the top of the list after the polling
// interval, and a switch during either wait ends it at once.
class EngineLoop {
public:
    // The window's side: one single-shot timer and the engine's start-source.
    class Driver {
    public:
        virtual ~Driver() = default;
        // Replaces any running timer; `ms` is already scaled (KRONEL_TIME_SCALE).
        virtual void startTimer(long long ms) = 0;
        virtual void stopTimer() = 0;
        // ServerList::kNext or ServerList::kTop.
        virtual void startSource(int selector) = 0;
    };

    explicit EngineLoop(Driver& driver) : driver_(driver) {}

    // The settings the waits take, read again whenever the engine starts.
    void configure(int switchDelayMs, int frequencyMinutes);
    void setFrequency(int frequencyMinutes) { frequencyMinutes_ = frequencyMinutes; }

    // The private message: EngineObserver::kSwitch or EngineObserver::kTop.
    void posted(int which);
    void timerFired();
    // The engine stops: no wait is left running.
    void reset();

    bool waiting() const { return state_ != State::Idle; }

private:
    enum class State { Idle, SwitchWait, TopWait };
    void beginTopWait();

    Driver& driver_;
    State state_ = State::Idle;
    // A top request that came during a switch wait: the service's top event stays set until
    // its loop waits for it again.
    bool topPending_ = false;
    int switchDelayMs_ = config::defaultNumber("SwitchDelay");
    int frequencyMinutes_ = config::defaultNumber("Frequency");
};

}  // namespace desktop
