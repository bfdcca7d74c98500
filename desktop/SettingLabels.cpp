#include "desktop/SettingLabels.h"

#include <cstring>

#include "desktop/SettingsModel.h"

namespace desktop {

namespace {

struct Label {
    const char* name;
    const char* label;
};

constexpr Label kLabels[] = {
    {"Set", "Set the clock (otherwise only report)"},
    {"Max", "Largest correction (seconds)"},
    {"AllowMax", "Clamp larger corrections to the largest"},
    {"Min", "Smallest correction (milliseconds)"},
    {"NoTell", "Do not announce time changes to other programs"},
    {"Often", "Keep running after a result"},
    {"Frequency", "Polling interval (minutes)"},
    {"AdjustPoll", "Adapt the polling interval"},
    {"AdjustFreq", "Trim the clock's rate (service only)"},
    {"MaxSlew", "Largest rate trim"},
    {"AutoChange", "Switch to the next server on failure"},
    {"SwitchOK", "Switch to the next server after every result"},
    {"StartTop", "Return to the top of the list after every result"},
    {"SwitchDelay", "Delay before a switch (milliseconds)"},
    {"SNTPFix", "Use the alternative SNTP client"},
    {"OnlyServeWhenSynched", "Serve time only once synchronised"},
    {"TCPServer", "RFC 868 time server over TCP"},
    {"UDPServer", "RFC 868 time server over UDP"},
    {"867TCPServer", "RFC 867 daytime server over TCP"},
    {"867UDPServer", "RFC 867 daytime server over UDP"},
    {"SNTPServer", "SNTP server"},
    {"NTPStratum", "Stratum announced (0 to 15)"},
    {"NTPbcast", "Send NTP broadcasts"},
    {"NTPbcastfreq", "Broadcast interval (seconds)"},
    {"BroadcastAddrs", "Broadcast addresses"},
    {"MCastTTL", "Multicast hop limit"},
    {"GPSPort", "Serial port number"},
    {"GPSSpeed", "Serial speed selection"},
    {"NMEAWakeup", "Text that wakes the receiver"},
    {"NMEAAdjust", "NMEA offset (milliseconds)"},
    {"LogMsgs", "Log information messages"},
    {"LogError", "Log errors"},
    {"LogWarn", "Log warnings"},
    {"LogDebug", "Log debug messages"},
    {"Logfile", "Log file"},
    {"Logtofile", "Write to the log file"},
    {"LogtoSyslog", "Send to a syslog server"},
    {"LogtoEvtlog", "Write to the event log"},
    {"SyslogServer", "Syslog server"},
    {"EnableAlerts", "Raise an alert when synchronisation is lost"},
    {"AlertTimeout", "Time without a result"},
    {"AlertEmail", "Send an e-mail"},
    {"AlertMsgBox", "Show a message box"},
    {"SMTPServer", "Mail server"},
    {"SMTPToAddr", "Send the mail to"},
    {"SMTPMsgText", "Alert text"},
    {"ProxyAddress", "Proxy address"},
    {"ProxyPort", "Proxy port"},
    {"ProxyNameNeeded", "The proxy needs a name and password"},
    {"ProxyName", "Proxy user name"},
    {"ProxyPwd", "Proxy password"},
    {"WatchForDialup", "Query only while a dial-up connection is up"},
    {"Hidden", "Start hidden in the tray"},
    {"StartMinimized", "Start minimised"},
    {"Tips", "Show tips"},
    {"LastDelta", "Last correction"},
    {"LastContact", "Last contact"},
    {"TimeSource", "Time source"},
    {"Drift", "Clock drift"},
};

}  // namespace

const char* settingLabel(const char* name) {
    // Names as the settings table spells them, whatever case the caller used.
    const SettingDef* def = findSetting(name);
    const char* key = def ? def->name : name;
    for (const Label& label : kLabels) {
        if (std::strcmp(label.name, key) == 0) {
            return label.label;
        }
    }
    return name;
}

}  // namespace desktop
