#include "engine/EngineSettings.h"

#include <climits>
#include <cstdlib>

#include "engine/CReg.h"

namespace engine {

core::LogSettings readLogSettings(const CReg& p) {
    core::LogSettings settings;
    settings.logInfo = config::readFlag(p, "LogMsgs");
    settings.logError = config::readFlag(p, "LogError");
    settings.logWarn = config::readFlag(p, "LogWarn");
    settings.logDebug = config::readFlag(p, "LogDebug");
    settings.logFile = config::readText(p, "Logfile");
    settings.toFile = config::readFlag(p, "Logtofile");
    settings.toSyslog = config::readFlag(p, "LogtoSyslog");
    settings.syslogServer = config::readText(p, "SyslogServer");
    settings.toEventLog = config::readFlag(p, "LogtoEvtlog");
    return settings;
}

EngineSettings EngineSettings::read(const CReg& p) {
    EngineSettings s;
    s.onlyServeWhenSynched = config::readFlag(p, "OnlyServeWhenSynched");
    s.autoChange = config::readFlag(p, "AutoChange");
    s.switchOk = config::readFlag(p, "SwitchOK");
    s.startTop = config::readFlag(p, "StartTop");
    s.sntpFix = config::readFlag(p, "SNTPFix");
    s.switchDelayMs = config::readNumber(p, "SwitchDelay");
    s.frequencyMinutes = config::readNumber(p, "Frequency");
    s.nmeaAdjust = config::readText(p, "NMEAAdjust");
    s.gpsPort = config::readNumber(p, "GPSPort");
    s.gpsSpeed = config::readNumber(p, "GPSSpeed");
    s.nmeaWakeup = config::readText(p, "NMEAWakeup");
    s.watchForDialup = config::readFlag(p, "WatchForDialup");
    s.rfc868TcpServer = config::readFlag(p, "TCPServer");
    s.rfc868UdpServer = config::readFlag(p, "UDPServer");
    s.rfc867TcpServer = config::readFlag(p, "867TCPServer");
    s.rfc867UdpServer = config::readFlag(p, "867UDPServer");
    s.sntpServer = config::readFlag(p, "SNTPServer");
    s.ntpStratum = config::readNumber(p, "NTPStratum");
    s.ntpBroadcast = config::readFlag(p, "NTPbcast");
    s.ntpBroadcastInterval = config::readNumber(p, "NTPbcastfreq");
    s.broadcastAddresses = config::readText(p, "BroadcastAddrs");
    s.multicastTtl = config::readNumber(p, "MCastTTL");
    s.enableAlerts = config::readFlag(p, "EnableAlerts");
    s.alertTimeoutMinutes = config::readNumber(p, "AlertTimeout");
    s.proxy.address = config::readText(p, "ProxyAddress");
    s.proxy.port = config::readNumber(p, "ProxyPort");
    s.proxy.nameNeeded = config::readFlag(p, "ProxyNameNeeded");
    s.proxy.name = config::readText(p, "ProxyName");
    s.proxy.password = config::readText(p, "ProxyPwd");
    return s;
}

int EngineSettings::nmeaAdjustMs() const {
    const long value = std::strtol(nmeaAdjust.c_str(), nullptr, 10);
    return static_cast<int>(value < INT_MIN ? INT_MIN : (value > INT_MAX ? INT_MAX : value));
}

}  // namespace engine
