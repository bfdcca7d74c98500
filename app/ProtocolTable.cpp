#include "app/ProtocolTable.h"

#include <array>

#include "netclients/CSNTP2Client.h"
#include "netclients/CSNTPClient.h"
#include "netclients/ChttpClient.h"
#include "netclients/CicmpClient.h"
#include "netclients/Crfc867Client.h"
#include "netclients/Crfc868Client.h"
#include "refclocks/Receivers.h"
#include "servers/CNTPBcastServer.h"
#include "servers/CSNTPServer.h"
#include "servers/RfcServers.h"

namespace app {

namespace {

constexpr std::array<const char*, 25> kDisplayNames = {
    "SNTP Client",              // 0 (or the alternative client, see displayName)
    "RFC868 UDP Client",        // 1
    "RFC868 TCP Client",        // 2
    "HTTP Client",              // 3
    "SNTP Broadcast Client",    // 4
    "Zodiac GPS Client",        // 5
    "NMEA Client",              // 6
    "RFC867 TCP Client",        // 7
    "RFC867 UDP Client",        // 8
    "Galleon Clock Client",     // 9
    "ICMP Timestamp Client",    // 10
    "Trimble Clock Client",     // 11
    "Praecis Clock Client",     // 12
    "Truetime Clock Client",    // 13
    "Spectracom Clock Client",  // 14
    "NeoClock Clock Client",    // 15
    "",                         // 16-19: not assigned
    "",
    "",
    "",
    "DCF77 Clock Client",     // 20
    "Pulse Clock Client",     // 21
    "EMCPro Clock Client",    // 22
    "IRIG-B Clock Client",    // 23
    "NMEA with 1PPS Client",  // 24
};

// The receivers, one row each in the receiver table; polled every `Frequency` minutes.
std::unique_ptr<engine::CTimeClient> receiver(const engine::ServerEntry& entry,
                                              const engine::ClientContext& context) {
    return refclocks::makeReceiver(entry.protocol,
                                   {entry.addr, context.frequencyMinutes, context.gpsPort,
                                    context.gpsSpeed, context.nmeaWakeup, context.nmeaAdjustMs},
                                   context.messages, context.time);
}

class ProtocolTable : public engine::ProtocolFactory {
public:
    std::string displayName(int protocol, bool sntpFix) const override {
        if (protocol == 0 && sntpFix) {
            return "SNTP (alternative) Client";
        }
        if (protocol < 0 || protocol >= static_cast<int>(kDisplayNames.size())) {
            return {};
        }
        return kDisplayNames[static_cast<size_t>(protocol)];
    }

    std::unique_ptr<engine::CTimeClient> createClient(
        const engine::ServerEntry& entry, const engine::ClientContext& context) override {
        switch (entry.protocol) {
            case 0:
                if (!context.sntpFix) {
                    return std::make_unique<netclients::CSNTP2Client>(
                        context.messages, context.time, entry.addr, context.frequencyMinutes,
                        entry.rejectNtp, context.dialup);
                }
                return std::make_unique<netclients::CSNTPClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    entry.rejectNtp, context.dialup, context.sntpServer);
            case 4:
                return std::make_unique<netclients::CSNTPBroadcastClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    context.sntpServer);
            case 1:
                return std::make_unique<netclients::Crfc868udpClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    context.dialup);
            case 2:
                return std::make_unique<netclients::Crfc868tcpClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    context.dialup);
            case 3:
                return std::make_unique<netclients::ChttpClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    entry.useProxy, context.proxy, context.dialup);
            case 7:
                return std::make_unique<netclients::Crfc867tcpClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    context.dialup);
            case 8:
                return std::make_unique<netclients::Crfc867udpClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    context.dialup);
            case 10:
                return std::make_unique<netclients::CicmpClient>(
                    context.messages, context.time, entry.addr, context.frequencyMinutes,
                    context.dialup);
            case 6:
                return receiver(entry, context);
            case 24:
                return receiver(entry, context);
            case 5:
                return receiver(entry, context);
            case 9:
                return receiver(entry, context);
            case 11:
                return receiver(entry, context);
            case 12:
                return receiver(entry, context);
            case 13:
                return receiver(entry, context);
            case 14:
                return receiver(entry, context);
            case 15:
                return receiver(entry, context);
            case 20:
                return receiver(entry, context);
            case 21:
                return receiver(entry, context);
            case 22:
                return receiver(entry, context);
            case 23:
                return receiver(entry, context);
            default:
                return nullptr;
        }
    }

    std::unique_ptr<engine::CTimeServer> createServer(engine::ServerKind kind,
                                                      const engine::ServerSettings& settings,
                                                      core::MessageHandler& messages,
                                                      core::TimeHandler& time) override {
        switch (kind) {
            case engine::ServerKind::Rfc868Tcp:
                return std::make_unique<servers::Crfc868tcpServer>(messages, time);
            case engine::ServerKind::Rfc868Udp:
                return std::make_unique<servers::Crfc868udpServer>(messages, time);
            case engine::ServerKind::Rfc867Tcp:
                return std::make_unique<servers::Crfc867tcpServer>(messages, time);
            case engine::ServerKind::Rfc867Udp:
                return std::make_unique<servers::Crfc867udpServer>(messages, time);
            case engine::ServerKind::Sntp:
                return std::make_unique<servers::CSNTPServer>(messages, time, settings.stratum);
            case engine::ServerKind::NtpBroadcast:
                return std::make_unique<servers::CNTPBcastServer>(
                    messages, time, settings.broadcastInterval, settings.stratum,
                    settings.broadcastAddresses, settings.multicastTtl);
        }
        return nullptr;
    }
};

}  // namespace

std::unique_ptr<engine::ProtocolFactory> makeProtocolTable() {
    return std::make_unique<ProtocolTable>();
}

}  // namespace app
