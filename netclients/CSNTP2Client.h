#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/Socket.h"
#include "wire/NtpPacket.h"

namespace engine {
class DialupGate;
}

namespace netclients {

// The SNTP client: once per poll sends one request from a socket of its own, waits a bounded
// time for the answer from the server it asked, and hands the offset to the engine.
class CSNTP2Client : public engine::CNetTimeClient {
public:
    static constexpr const char* kSourceName = "SNTP Client";

    CSNTP2Client(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                 int pollMinutes, bool rejectNtp, engine::DialupGate* dialup);
    ~CSNTP2Client() override;

private:
    // One request, from a socket of its own, and its answer.
    Outcome measure() override;
    // The first datagram from `server` that answers `request` and the time it arrived, or
    // nothing after the reply time-out (`stopped` tells a stop apart).
    std::optional<wire::NtpPacket> awaitReply(platform::Socket& socket,
                                              const platform::Endpoint& server,
                                              const wire::NtpPacket& request, double& arrival,
                                              bool& stopped);

    const bool rejectNtp_;
};

}  // namespace netclients
