#include "desktop/EngineLoop.h"

#include "engine/EngineObserver.h"
#include "engine/ServerList.h"
#include "platform/Seams.h"

namespace desktop {

void EngineLoop::configure(int switchDelayMs, int frequencyMinutes) {
    switchDelayMs_ = switchDelayMs;
    frequencyMinutes_ = frequencyMinutes;
}

void EngineLoop::reset() {
    driver_.stopTimer();
    state_ = State::Idle;
    topPending_ = false;
}

void EngineLoop::beginTopWait() {
    topPending_ = false;
    state_ = State::TopWait;
    driver_.startTimer(
        platform::scheduleWait(static_cast<long long>(frequencyMinutes_) * 60000 - 1000).count());
}

void EngineLoop::posted(int which) {
    if (which == engine::EngineObserver::kTop) {
        if (state_ == State::Idle) {
            beginTopWait();
        } else {
            topPending_ = true;
        }
        return;
    }
    switch (state_) {
        case State::Idle:
            state_ = State::SwitchWait;
            driver_.startTimer(platform::scheduleWait(switchDelayMs_).count());
            break;
        case State::SwitchWait:
            // A second switch ends the delay, as it ends the service's wait.
            driver_.stopTimer();
            timerFired();
            break;
        case State::TopWait:
            driver_.stopTimer();
            state_ = State::Idle;
            driver_.startSource(engine::ServerList::kTop);
            if (topPending_) {
                beginTopWait();
            }
            break;
    }
}

void EngineLoop::timerFired() {
    const State was = state_;
    state_ = State::Idle;
    if (was == State::SwitchWait) {
        driver_.startSource(engine::ServerList::kNext);
    } else if (was == State::TopWait) {
        driver_.startSource(engine::ServerList::kTop);
    } else {
        return;
    }
    if (topPending_ && state_ == State::Idle) {
        beginTopWait();
    }
}

}  // namespace desktop
