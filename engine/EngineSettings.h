#pragma once
#include <string>

#include "core/MessageLog.h"

namespace engine {

class CReg;

// An interval (a time to wait, a count of minutes, ...) from the store: 0 or less, which would
// make a loop spin or a wait end at once, reads as `fallback`, its default.
int readInterval(const CReg& parameters, const char* name, int fallback);

// What the message log writes where: LogMsgs, LogError, LogWarn, LogDebug, Logfile, Logtofile,
// LogtoSyslog, SyslogServer, LogtoEvtlog.
core::LogSettings readLogSettings(const CReg& parameters);

// The HTTP client's proxy: ProxyAddress (a host, optionally with ":port"), ProxyPort,
// ProxyNameNeeded, ProxyName, ProxyPwd.
struct ProxySettings {
    std::string address;
    int port = 8080;
    bool nameNeeded = false;
    std::string name;
    std::string password;
};

// What the engine itself reads once at start (the correction and logging settings have their
// own structures).
struct EngineSettings {
    bool onlyServeWhenSynched = false;
    bool autoChange = true;
    bool switchOk = false;
    bool startTop = false;
    bool sntpFix = false;
    int switchDelayMs = 2000;
    int frequencyMinutes = 120;
    std::string nmeaAdjust = "0";
    // NMEAAdjust read as a number the way atoi reads it, but held within int.
    int nmeaAdjustMs() const;
    int gpsPort = 3;
    int gpsSpeed = 0;
    std::string nmeaWakeup;
    bool watchForDialup = false;
    bool rfc868TcpServer = true;
    bool rfc868UdpServer = true;
    bool rfc867TcpServer = true;
    bool rfc867UdpServer = true;
    bool sntpServer = true;
    int ntpStratum = 14;
    bool ntpBroadcast = false;
    int ntpBroadcastInterval = 64;
    std::string broadcastAddresses = "255.255.255.255";
    int multicastTtl = 31;
    bool enableAlerts = false;
    int alertTimeoutMinutes = 480;
    ProxySettings proxy;

    static EngineSettings read(const CReg& parameters);
};

}  // namespace engine
