#pragma once
#include <atomic>
#include <cstdint>

#include "engine/CTimeClient.h"
#include "platform/Socket.h"
#include "wire/NtpPacket.h"

namespace engine {
class DialupGate;
class SntpExchange;
}  // namespace engine

namespace netclients {

// The alternative SNTP client: the same exchange as the SNTP client, but sent from the SNTP
// server's socket (so from the NTP port), with the answer handed over by the server thread.
class CSNTPClient : public engine::CNetTimeClient {
public:
    static constexpr const char* kSourceName = "SNTP (alternative) Client";
    static constexpr platform::Millis kDefaultReplyTimeout{15000};
    static constexpr long long kDialupRetryMs = 5000;

    // `server` may be null (no SNTP server running): every request then fails to send.
    CSNTPClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                int pollMinutes, bool rejectNtp, engine::DialupGate* dialup,
                engine::SntpExchange* server);
    ~CSNTPClient() override;

    void setReplyTimeout(platform::Millis timeout) { replyTimeoutMs_.store(timeout.count()); }
    platform::Millis replyTimeout() const { return platform::Millis(replyTimeoutMs_.load()); }

    void run() override;
    void stop() override;

private:
    enum class Outcome { Done, NoReply, Stopped };
    Outcome poll();

    const bool rejectNtp_;
    engine::DialupGate* const dialup_;
    engine::SntpExchange* const exchange_;
    std::atomic<long long> replyTimeoutMs_{kDefaultReplyTimeout.count()};
};

// Listens through the SNTP server for NTP broadcasts, optionally from one sender, and sets the
// clock from them at most once per poll interval.
class CSNTPBroadcastClient : public engine::CNetTimeClient {
public:
    static constexpr const char* kSourceName = "SNTP Broadcast Client";

    CSNTPBroadcastClient(core::MessageHandler& messages, core::TimeHandler& time,
                         std::string senderName, int pollMinutes, engine::SntpExchange* server);
    ~CSNTPBroadcastClient() override;

    void run() override;
    void stop() override;

private:
    engine::SntpExchange* const exchange_;
};

}  // namespace netclients
