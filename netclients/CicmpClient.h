#pragma once
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

    CicmpClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                int pollMinutes, engine::DialupGate* dialup);
    ~CicmpClient() override;

private:
    enum class Sampled { Ok, Failed, Stopped };

    // Two samples and the offset from them.
    Outcome measure() override;
    // One request and its reply; failures are reported here.
    Sampled sample(platform::Socket& socket, const platform::Endpoint& server,
                   wire::IcmpSample& out);
    // Milliseconds since midnight UTC, on the engine's clock.
    uint32_t millisecondsToday();
};

}  // namespace netclients
