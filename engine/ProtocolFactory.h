#pragma once
#include <memory>
#include <string>

#include "engine/CTimeClient.h"
#include "engine/CTimeServer.h"
#include "engine/EngineSettings.h"
#include "engine/ProtocolCatalogue.h"

namespace engine {

class DialupGate;
class SntpExchange;

// One entry of the server list, as read from its subkey of "Server Details".
struct ServerEntry {
    std::string name;
    std::string addr;
    int protocol = 0;
    bool rejectNtp = false;
    bool useProxy = false;
};

// What a client may be given at creation besides its entry.
struct ClientContext {
    core::MessageHandler& messages;
    core::TimeHandler& time;
    int frequencyMinutes = config::defaultNumber("Frequency");  // the engine's poll interval
    bool sntpFix = config::defaultFlag("SNTPFix");  // protocol 0 makes the alternative client
    DialupGate* dialup = nullptr;
    ProxySettings proxy;  // for the HTTP client of an entry with `useproxy`
    // The GPS receivers: GPSPort, GPSSpeed, NMEAWakeup, NMEAAdjust (milliseconds).
    int gpsPort = config::defaultNumber("GPSPort");
    int gpsSpeed = config::defaultNumber("GPSSpeed");
    std::string nmeaWakeup = config::defaultText("NMEAWakeup");
    int nmeaAdjustMs = 0;
    SntpExchange* sntpServer = nullptr;  // the running SNTP server, if any
};

enum class ServerKind { Rfc868Tcp, Rfc868Udp, Rfc867Tcp, Rfc867Udp, Sntp, NtpBroadcast };

struct ServerSettings {
    int stratum = config::defaultNumber("NTPStratum");
    int broadcastInterval = config::defaultNumber("NTPbcastfreq");
    std::string broadcastAddresses = config::defaultText("BroadcastAddrs");
    int multicastTtl = config::defaultNumber("MCastTTL");
};

// The protocol table: turns protocol numbers into clients and server kinds into servers.
// The engine knows clients and servers only through it.
class ProtocolFactory {
public:
    virtual ~ProtocolFactory() = default;
    // The display name of a protocol number ("SNTP Client"), as the catalogue has it; empty
    // when unassigned.
    virtual std::string displayName(int protocol, bool sntpFix) const = 0;
    // nullptr when the number has no client (yet): the engine logs why at Warn.
    virtual std::unique_ptr<CTimeClient> createClient(const ServerEntry& entry,
                                                      const ClientContext& context) = 0;
    virtual std::unique_ptr<CTimeServer> createServer(ServerKind kind,
                                                      const ServerSettings& settings,
                                                      core::MessageHandler& messages,
                                                      core::TimeHandler& time) = 0;
};

}  // namespace engine
