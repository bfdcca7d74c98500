#pragma once
#include <string>

#include "engine/CorrectionDecision.h"

namespace engine {

// The status values as the engine last wrote them to the store: the texts a front end shows.
struct StatusSnapshot {
    std::string lastDelta;
    std::string lastContact;
    std::string timeSource;
    std::string drift;
};

// What a front end shows of the engine at work. The service registers none; the desktop
// programs implement it. Called from any thread: the clients', the servers', the watchdog's
// and the one that runs the engine's steps.
class EngineObserver {
public:
    // The loop requests, for a front end that runs the engine's steps on its own thread.
    static constexpr int kSwitch = 0;
    static constexpr int kTop = 1;

    virtual ~EngineObserver() = default;

    // The engine has no thread of its own to wait on (the desktop program runs its steps):
    // the front end's loop is asked to switch to the next source or go back to the top.
    virtual void loopRequested(int which) { (void)which; }
    // A line the message log wrote.
    virtual void lineLogged(const std::string& line) { (void)line; }
    // A source's status text (a Status message, which is never logged).
    virtual void statusTextChanged(const std::string& source, const std::string& text) {
        (void)source;
        (void)text;
    }
    // The status values or the state shown beside them have changed.
    virtual void stateChanged() {}
    // A correction wrote status values; published before `corrected` of that correction.
    virtual void statusChanged(const StatusSnapshot& status) { (void)status; }
    // A correction was handled: the status values changed, a one-shot run may end.
    virtual void corrected(const CorrectionResult& result) { (void)result; }
    // A server has served: `kind` 1 for an answer, 2 for a round of broadcasts.
    virtual void serverActive(const std::string& server, int kind) {
        (void)server;
        (void)kind;
    }
};

}  // namespace engine
