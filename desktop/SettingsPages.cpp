#include "desktop/SettingsPages.h"

namespace desktop {

const std::vector<SettingsPage>& settingsPages() {
    static const std::vector<SettingsPage> pages = {
        {"Time setting limits",
         "Which corrections are applied to the clock.",
         {
             {"Set", "Set the clock (otherwise only report what would be done)", ""},
             {"Max", "Largest correction", "seconds (0: no limit)"},
             {"AllowMax", "Apply a larger correction as the largest instead of refusing it", ""},
             {"Min", "Smallest correction worth applying", "milliseconds (0: no limit)"},
             {"NoTell", "Do not tell other programs that the time changed", ""},
         }},
        {"Polling and switching",
         "How often the servers are asked and when the next one is tried.",
         {
             {"Frequency", "Ask every", "minutes"},
             {"AdjustPoll", "Adapt the interval to the results", ""},
             {"Often", "Keep running after a result (otherwise close after the first)", ""},
             {"AutoChange", "Try the next server when one fails", ""},
             {"SwitchOK", "Move to the next server after every result", ""},
             {"StartTop", "Return to the top of the list after every result", ""},
             {"SwitchDelay", "Wait before trying the next server", "milliseconds"},
             {"SNTPFix", "Use the alternative SNTP client", ""},
         }},
        {"Servers served",
         "The time this computer gives to others.",
         {
             {"SNTPServer", "SNTP server (UDP port 123)", ""},
             {"TCPServer", "Time server, RFC 868 over TCP (port 37)", ""},
             {"UDPServer", "Time server, RFC 868 over UDP (port 37)", ""},
             {"867TCPServer", "Daytime server, RFC 867 over TCP (port 13)", ""},
             {"867UDPServer", "Daytime server, RFC 867 over UDP (port 13)", ""},
             {"NTPStratum", "Stratum announced", "(0 to 15)"},
             {"OnlyServeWhenSynched", "Answer only once this clock is synchronised", ""},
         }},
        {"Broadcast",
         "NTP broadcasts sent to the local network.",
         {
             {"NTPbcast", "Send NTP broadcasts", ""},
             {"NTPbcastfreq", "Broadcast every", "seconds"},
             {"BroadcastAddrs", "Broadcast addresses", ""},
             {"MCastTTL", "Multicast hop limit", ""},
         }},
        {"GPS",
         "Receivers on a serial port.",
         {
             {"GPSPort", "Serial port", "(COM number)"},
             {"GPSSpeed", "Line speed selection", ""},
             {"NMEAWakeup", "Text that wakes the receiver", ""},
             {"NMEAAdjust", "Receiver delay", "milliseconds"},
         }},
        {"Logging",
         "Which messages are kept, and where.",
         {
             {"LogMsgs", "Information messages", ""},
             {"LogWarn", "Warnings", ""},
             {"LogError", "Errors", ""},
             {"LogDebug", "Debug messages", ""},
             {"Logtofile", "Write a log file", ""},
             {"Logfile", "Log file", ""},
             {"LogtoSyslog", "Send to a syslog server", ""},
             {"SyslogServer", "Syslog server", ""},
             {"LogtoEvtlog", "Write to the system log", ""},
         }},
        {"Alerts",
         "Tell someone when the clock has not been confirmed for too long.",
         {
             {"EnableAlerts", "Raise an alert when time synchronisation is lost", ""},
             {kAlertTimeoutSetting, "Raise it", ""},
             {"AlertMsgBox", "Show a message box", ""},
             {"AlertEmail", "Send an e-mail", ""},
             {"SMTPServer", "Mail server", ""},
             {"SMTPToAddr", "Send to", ""},
             {"MailDomain", "Sender's mail domain (empty: this computer's name)", ""},
             {"SMTPMsgText", "Message", ""},
         }},
        {"Proxy",
         "The web proxy of the HTTP time client (servers marked to use it).",
         {
             {"ProxyAddress", "Proxy server", ""},
             {"ProxyPort", "Port", ""},
             {"ProxyNameNeeded", "The proxy needs a user name and password", ""},
             {"ProxyName", "User name", ""},
             {"ProxyPwd", "Password", "", true},
         }},
        {"Dial-up",
         "Computers that reach the network over a dial-up line.",
         {
             {"WatchForDialup", "Ask network servers only while a dial-up connection is up", ""},
         }},
        {"Window",
         "How the program shows itself.",
         {
             {"StartMinimized", "Start minimised", ""},
             {"Hidden", "No icon in the notification area", ""},
             {"Tips", "Show tips", ""},
         }},
    };
    return pages;
}

SettingsRestart settingsRestart(const std::vector<std::string>& changedPages) {
    SettingsRestart restart;
    bool alerts = false;
    for (const std::string& page : changedPages) {
        if (page == "Alerts") {
            alerts = true;
        } else if (page == "Window") {
            restart.window = true;
        } else {
            restart.engine = true;
        }
    }
    restart.watchdog = alerts && !restart.engine;
    return restart;
}

}  // namespace desktop
