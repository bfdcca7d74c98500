#pragma once
#include <atomic>
#include <optional>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/Socket.h"
#include "wire/IcmpTimestamp.h"

namespace engine {
class DialupGate;
}

namespace netclients {

// The ICMP timestamp client: two timestamp requests over a raw socket, 100 ms apart; the pair
// tells the byte order the peer writes, the second gives the offset, corrected within the hour
// since the stamps count milliseconds since midnight.
class CicmpClient : public engine::CNetTimeClient {
public:
    static constexpr const char* kSourceName = "ICMP Timestamp Client";
    static constexpr platform::Millis kDefaultReplyTimeout{20000};
    static constexpr platform::Millis kSampleSpacing{100};
    static constexpr long long kDialupRetryMs = 5000;

    CicmpClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                int pollMinutes, engine::DialupGate* dialup);
    ~CicmpClient() override;

    void setReplyTimeout(platform::Millis timeout) { replyTimeoutMs_.store(timeout.count()); }
    platform::Millis replyTimeout() const { return platform::Millis(replyTimeoutMs_.load()); }

    void run() override;

private:
    enum class Outcome { Done, Stopped, Fatal };
    enum class Sampled { Ok, Failed, Stopped };

    Outcome poll();
    // One request and its reply; failures are reported here.
    Sampled sample(platform::Socket& socket, const platform::Endpoint& server,
                   wire::IcmpSample& out);
    // Milliseconds since midnight UTC, on the engine's clock.
    uint32_t millisecondsToday();

    engine::DialupGate* const dialup_;
    std::atomic<long long> replyTimeoutMs_{kDefaultReplyTimeout.count()};
};

}  // namespace netclients
