#pragma once
#include <atomic>
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
    static constexpr platform::Millis kDefaultReplyTimeout{15000};
    static constexpr long long kDialupRetryMs = 5000;

    CSNTP2Client(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                 int pollMinutes, bool rejectNtp, engine::DialupGate* dialup);
    ~CSNTP2Client() override;

    // How long one request waits for its answer; never scaled, since it bounds a network
    // round trip, not a schedule.
    void setReplyTimeout(platform::Millis timeout) { replyTimeoutMs_.store(timeout.count()); }
    platform::Millis replyTimeout() const { return platform::Millis(replyTimeoutMs_.load()); }

    void run() override;

private:
    enum class Outcome { Done, NoReply, Stopped, Fatal };

    // One exchange with the server; reports its result to the handlers.
    Outcome poll();
    // The first datagram from `server` that answers `request` and the time it arrived, or
    // nothing after the reply time-out (`stopped` tells a stop apart).
    std::optional<wire::NtpPacket> awaitReply(platform::Socket& socket,
                                              const platform::Endpoint& server,
                                              const wire::NtpPacket& request, double& arrival,
                                              bool& stopped);

    const bool rejectNtp_;
    engine::DialupGate* const dialup_;
    std::atomic<long long> replyTimeoutMs_{kDefaultReplyTimeout.count()};
};

}  // namespace netclients
