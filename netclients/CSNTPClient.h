#pragma once
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

    // `server` may be null (no SNTP server running): every request then fails to send.
    CSNTPClient(core::MessageHandler& messages, core::TimeHandler& time, std::string serverAddress,
                int pollMinutes, bool rejectNtp, engine::DialupGate* dialup,
                engine::SntpExchange* server);
    ~CSNTPClient() override;

    void stop() override;

private:
    // Reports itself started even without a server, before ending.
    bool beginPolling() override;
    // One exchange, then the reply event cleared of anything filed meanwhile.
    Outcome measure() override;
    Outcome askServer();

    const bool rejectNtp_;
    engine::SntpExchange* const exchange_;
};

// Listens through the SNTP server for NTP broadcasts, optionally from one sender, and sets the
// clock from them at most once per poll interval. It asks no server, so it has no poll loop.
class CSNTPBroadcastClient : public engine::CTimeClient {
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
