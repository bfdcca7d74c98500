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

using engine::ClientContext;
using engine::ServerEntry;
using ClientPointer = std::unique_ptr<engine::CTimeClient>;

ClientPointer sntpClient(const ServerEntry& entry, const ClientContext& context) {
    if (!context.sntpFix) {
        return std::make_unique<netclients::CSNTP2Client>(context.messages, context.time,
                                                          entry.addr, context.frequencyMinutes,
                                                          entry.rejectNtp, context.dialup);
    }
    return std::make_unique<netclients::CSNTPClient>(context.messages, context.time, entry.addr,
                                                     context.frequencyMinutes, entry.rejectNtp,
                                                     context.dialup, context.sntpServer);
}

ClientPointer broadcastClient(const ServerEntry& entry, const ClientContext& context) {
    return std::make_unique<netclients::CSNTPBroadcastClient>(
        context.messages, context.time, entry.addr, context.frequencyMinutes, context.sntpServer);
}

ClientPointer httpClient(const ServerEntry& entry, const ClientContext& context) {
    return std::make_unique<netclients::ChttpClient>(context.messages, context.time, entry.addr,
                                                     context.frequencyMinutes, entry.useProxy,
                                                     context.proxy, context.dialup);
}

// The network clients that need nothing but their server and the dial-up gate.
template <typename Client>
ClientPointer gatedClient(const ServerEntry& entry, const ClientContext& context) {
    return std::make_unique<Client>(context.messages, context.time, entry.addr,
                                    context.frequencyMinutes, context.dialup);
}

// The receivers, one row each in the receiver table; polled every `Frequency` minutes.
ClientPointer receiver(const ServerEntry& entry, const ClientContext& context) {
    return refclocks::makeReceiver(entry.protocol,
                                   {entry.addr, context.frequencyMinutes, context.gpsPort,
                                    context.gpsSpeed, context.nmeaWakeup, context.nmeaAdjustMs},
                                   context.messages, context.time);
}

// How each row of the catalogue makes its client, row for row.
struct HowMade {
    int protocol;
    ClientPointer (*make)(const ServerEntry&, const ClientContext&);
};

constexpr std::array<HowMade, engine::kProtocolCatalogue.size()> kHowMade{{
    {0, sntpClient},
    {1, gatedClient<netclients::Crfc868udpClient>},
    {2, gatedClient<netclients::Crfc868tcpClient>},
    {3, httpClient},
    {4, broadcastClient},
    {5, receiver},
    {6, receiver},
    {7, gatedClient<netclients::Crfc867tcpClient>},
    {8, gatedClient<netclients::Crfc867udpClient>},
    {9, receiver},
    {10, gatedClient<netclients::CicmpClient>},
    {11, receiver},
    {12, receiver},
    {13, receiver},
    {14, receiver},
    {15, receiver},
    {20, receiver},
    {21, receiver},
    {22, receiver},
    {23, receiver},
    {24, receiver},
}};

// A row left out leaves a zeroed row at the end, whose number (0) cannot follow the
// catalogue's ascending numbers. Functions are not compared here: a sanitizer build cannot
// compare their addresses at compile time.
constexpr bool rowForRow() {
    for (size_t i = 0; i < kHowMade.size(); ++i) {
        if (kHowMade[i].protocol != engine::kProtocolCatalogue[i].number) {
            return false;
        }
    }
    return true;
}
static_assert(rowForRow(), "every catalogue row, and only those, says how its client is made");

class ProtocolTable : public engine::ProtocolFactory {
public:
    std::string displayName(int protocol, bool sntpFix) const override {
        return engine::protocolDisplayName(protocol, sntpFix);
    }

    std::unique_ptr<engine::CTimeClient> createClient(
        const engine::ServerEntry& entry, const engine::ClientContext& context) override {
        for (const HowMade& row : kHowMade) {
            if (row.protocol == entry.protocol) {
                return row.make(entry, context);
            }
        }
        return nullptr;
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
