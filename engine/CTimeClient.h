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

class DialupGate;

// The base of the network clients that ask a server: the poll loop. While the dial-up gate
// holds the network back it looks again every 5 seconds; otherwise one measure() per poll
// interval, until a stop or a fault the client cannot get past.
class CNetTimeClient : public CTimeClient {
public:
    static constexpr platform::Millis kDefaultReplyTimeout{15000};
    static constexpr long long kDialupRetryMs = 5000;

    ~CNetTimeClient() override;

    // Bounds the wait for a server (connect, reply); never scaled, since it bounds a network
    // round trip, not a schedule.
    void setReplyTimeout(platform::Millis timeout) { replyTimeoutMs_.store(timeout.count()); }
    platform::Millis replyTimeout() const { return platform::Millis(replyTimeoutMs_.load()); }

    void run() override;

protected:
    // Done: the next poll follows after one interval. NoReply: the server did not answer and
    // is left alone for two. Stopped, Fatal: the client ends.
    enum class Outcome { Done, NoReply, Stopped, Fatal };

    CNetTimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                   std::string serverAddress, int pollMinutes, std::string sourceName,
                   DialupGate* dialup, platform::Millis replyTimeout = kDefaultReplyTimeout);

    // Before the first poll; false ends the client. By default a client without a server
    // ends at once, without reporting itself started.
    virtual bool beginPolling();
    // One exchange with the server, its result (or failure) reported to the handlers.
    virtual Outcome measure() = 0;

private:
    DialupGate* const dialup_;
    std::atomic<long long> replyTimeoutMs_;
};

}  // namespace engine
