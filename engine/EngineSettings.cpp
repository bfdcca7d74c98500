#include "engine/EngineSettings.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "engine/CReg.h"

namespace engine {

namespace {

bool readSwitch(const CReg& parameters, const char* name, bool defaultValue) {
    return parameters.readInt(name, defaultValue ? 1 : 0) != 0;
}

}  // namespace

core::LogSettings readLogSettings(const CReg& parameters) {
    core::LogSettings settings;
    settings.logInfo = readSwitch(parameters, "LogMsgs", settings.logInfo);
    settings.logError = readSwitch(parameters, "LogError", settings.logError);
    settings.logWarn = readSwitch(parameters, "LogWarn", settings.logWarn);
    settings.logDebug = readSwitch(parameters, "LogDebug", settings.logDebug);
    settings.logFile = parameters.readText("Logfile", settings.logFile);
    settings.toFile = readSwitch(parameters, "Logtofile", settings.toFile);
    settings.toSyslog = readSwitch(parameters, "LogtoSyslog", settings.toSyslog);
    settings.syslogServer = parameters.readText("SyslogServer", settings.syslogServer);
    settings.toEventLog = readSwitch(parameters, "LogtoEvtlog", settings.toEventLog);
    return settings;
}

int readInterval(const CReg& parameters, const char* name, int fallback) {
    const int value = parameters.readInt(name, fallback);
    return value > 0 ? value : fallback;
}

EngineSettings EngineSettings::read(const CReg& p) {
    EngineSettings s;
    s.onlyServeWhenSynched = p.readInt("OnlyServeWhenSynched", 0) != 0;
    s.autoChange = p.readInt("AutoChange", 1) != 0;
    s.switchOk = p.readInt("SwitchOK", 0) != 0;
    s.startTop = p.readInt("StartTop", 0) != 0;
    s.sntpFix = p.readInt("SNTPFix", 0) != 0;
    s.switchDelayMs = readInterval(p, "SwitchDelay", 2000);
    s.frequencyMinutes = readInterval(p, "Frequency", 120);
    s.nmeaAdjust = p.readText("NMEAAdjust", "0");
    s.gpsPort = p.readInt("GPSPort", 3);
    s.gpsSpeed = p.readInt("GPSSpeed", 0);
    s.nmeaWakeup = p.readText("NMEAWakeup", "");
    s.watchForDialup = p.readInt("WatchForDialup", 0) != 0;
    s.rfc868TcpServer = p.readInt("TCPServer", 1) != 0;
    s.rfc868UdpServer = p.readInt("UDPServer", 1) != 0;
    s.rfc867TcpServer = p.readInt("867TCPServer", 1) != 0;
    s.rfc867UdpServer = p.readInt("867UDPServer", 1) != 0;
    s.sntpServer = p.readInt("SNTPServer", 1) != 0;
    const int stratum = p.readInt("NTPStratum", 14);
    s.ntpStratum = stratum < 0 ? 0 : (stratum > 15 ? 15 : stratum);
    s.ntpBroadcast = p.readInt("NTPbcast", 0) != 0;
    // An interval of 0 would broadcast without pause.
    s.ntpBroadcastInterval = readInterval(p, "NTPbcastfreq", 64);
    s.broadcastAddresses = p.readText("BroadcastAddrs", "255.255.255.255");
    // The option holds one byte: 256 would become 0 and never leave this host.
    s.multicastTtl = std::clamp(p.readInt("MCastTTL", 31), 1, 255);
    s.enableAlerts = p.readInt("EnableAlerts", 0) != 0;
    // Four polling intervals, held at the largest integer for intervals that long.
    const long long fourPolls = static_cast<long long>(s.frequencyMinutes) * 4;
    s.alertTimeoutMinutes = readInterval(
        p, "AlertTimeout", static_cast<int>(std::clamp<long long>(fourPolls, INT_MIN, INT_MAX)));
    s.proxy.address = p.readText("ProxyAddress", "");
    s.proxy.port = p.readInt("ProxyPort", 8080);
    s.proxy.nameNeeded = p.readInt("ProxyNameNeeded", 0) != 0;
    s.proxy.name = p.readText("ProxyName", "");
    s.proxy.password = p.readText("ProxyPwd", "");
    return s;
}

int EngineSettings::nmeaAdjustMs() const {
    const long value = std::strtol(nmeaAdjust.c_str(), nullptr, 10);
    return static_cast<int>(value < INT_MIN ? INT_MIN : (value > INT_MAX ? INT_MAX : value));
}

}  // namespace engine
