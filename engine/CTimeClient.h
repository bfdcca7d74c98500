#pragma once
#include <atomic>
#include <string>

#include "core/ThreadObject.h"

namespace engine {

// The base of every time source: measures on its own thread and hands the engine a
// correction through the core::TimeHandler. Concrete classes call stop() in their destructor so
// their own members outlive the thread.
class CTimeClient : public core::ThreadObject {
public:
    static constexpr platform::Millis kStopPatience{3000};

    CTimeClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                int pollMinutes, std::string sourceName);
    ~CTimeClient() override;

    virtual void start();
    virtual void stop();

    const std::string& serverAddress() const { return server_; }
    const std::string& sourceName() const { return name(); }
    int pollMinutes() const { return pollMinutes_.load(); }

    // Adapts the poll interval after a result and returns the new one: the step doubles while
    // results keep the same quality, restarts at 1 when it changes, and is at most 10; the
    // interval never drops below 10 minutes. The step and last quality are process-wide.
    int adaptPoll(bool good);
    static void resetPollAdaptation();

    // "Waiting for 1 week 1 minute": the status text for the minutes left.
    static std::string waitingText(int minutesLeft);

protected:
    // Waits the poll interval on the stop event, showing the time left. false when stopped
    // (an interval of 0 stops the client at once).
    bool waitForNextPoll();
    // Waits up to `ms` on the stop event; false when stopped.
    bool pause(platform::Millis ms);

    std::string server_;
    std::atomic<int> pollMinutes_;
};

// The base of the network clients.
class CNetTimeClient : public CTimeClient {
public:
    using CTimeClient::CTimeClient;
    ~CNetTimeClient() override;
};

}  // namespace engine
