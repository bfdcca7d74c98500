#pragma once
#include <string>

#include "config/Settings.h"
#include "core/MessageLog.h"

namespace engine {

class CReg;

// What the message log writes where: LogMsgs, LogError, LogWarn, LogDebug, Logfile, Logtofile,
// LogtoSyslog, SyslogServer, LogtoEvtlog.
core::LogSettings readLogSettings(const CReg& parameters);

// The HTTP client's proxy: ProxyAddress (a host, optionally with ":port"), ProxyPort,
// ProxyNameNeeded, ProxyName, ProxyPwd.
struct ProxySettings {
    std::string address = config::defaultText("ProxyAddress");
    int port = config::defaultNumber("ProxyPort");
    bool nameNeeded = config::defaultFlag("ProxyNameNeeded");
    std::string name = config::defaultText("ProxyName");
    std::string password = config::defaultText("ProxyPwd");
};

// What the engine itself reads once at start (the correction and logging settings have their
// own structures). The defaults and read rules are the schema's (config/Settings.h).
struct EngineSettings {
    bool onlyServeWhenSynched = config::defaultFlag("OnlyServeWhenSynched");
    bool autoChange = config::defaultFlag("AutoChange");
    bool switchOk = config::defaultFlag("SwitchOK");
    bool startTop = config::defaultFlag("StartTop");
    bool sntpFix = config::defaultFlag("SNTPFix");
    int switchDelayMs = config::defaultNumber("SwitchDelay");
    int frequencyMinutes = config::defaultNumber("Frequency");
    std::string nmeaAdjust = config::defaultText("NMEAAdjust");
    // NMEAAdjust read as a number the way atoi reads it, but held within int.
    int nmeaAdjustMs() const;
    int gpsPort = config::defaultNumber("GPSPort");
    int gpsSpeed = config::defaultNumber("GPSSpeed");
    std::string nmeaWakeup = config::defaultText("NMEAWakeup");
    bool watchForDialup = config::defaultFlag("WatchForDialup");
    bool rfc868TcpServer = config::defaultFlag("TCPServer");
    bool rfc868UdpServer = config::defaultFlag("UDPServer");
    bool rfc867TcpServer = config::defaultFlag("867TCPServer");
    bool rfc867UdpServer = config::defaultFlag("867UDPServer");
    bool sntpServer = config::defaultFlag("SNTPServer");
    int ntpStratum = config::defaultNumber("NTPStratum");
    bool ntpBroadcast = config::defaultFlag("NTPbcast");
    int ntpBroadcastInterval = config::defaultNumber("NTPbcastfreq");
    std::string broadcastAddresses = config::defaultText("BroadcastAddrs");
    int multicastTtl = config::defaultNumber("MCastTTL");
    bool enableAlerts = config::defaultFlag("EnableAlerts");
    int alertTimeoutMinutes = config::defaultNumber("AlertTimeout");
    ProxySettings proxy;

    static EngineSettings read(const CReg& parameters);
};

}  // namespace engine
