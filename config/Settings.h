#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace config {

enum class Kind {
    Flag,    // 0 or 1
    Number,  // an integer within the setting's bounds
    Text,
    Status,  // text the engine writes; shown, never set from a page
};

// What a running program restarts once a changed setting is confirmed. The engine reads its
// settings once, so a setting it reads restarts it (and with it the watchdog).
enum class Restarts {
    Nothing,   // status values, never set from a page
    Window,    // the front end's own look
    Watchdog,  // read afresh by each alert: only the watchdog starts again
    Engine,
};

// How the engine takes a stored number.
enum class ReadRule {
    AsStored,
    PositiveElseDefault,  // an interval: 0 or less would spin a loop or end a wait at once
    Clamped,              // held within readMin..readMax
};

// One value of the parameters key.
struct Setting {
    const char* name;  // as stored
    Kind kind;
    uint32_t number;    // the default of a Flag or Number
    const char* text;   // the default of a Text or Status
    const char* group;  // the title of the settings page a user looks for it on
    const char* label;  // beside its control; "" when no page shows it
    const char* unit;   // after the value, or ""
    Restarts restarts;
    long long min = 0;  // what a page or kronelctl accepts
    long long max = 0xFFFFFFFFLL;
    ReadRule read = ReadRule::AsStored;
    int readMin = 0;  // ReadRule::Clamped
    int readMax = 0;
    bool oneLine = false;  // Text that goes into a protocol line: no CR or LF
    bool secret = false;   // shown masked
    // A default that follows another setting: `followsTimes` times the value of `follows`.
    const char* follows = nullptr;
    uint32_t followsTimes = 0;

    constexpr Setting within(long long low, long long high) const {
        Setting s = *this;
        s.min = low;
        s.max = high;
        return s;
    }
    constexpr Setting atLeast(long long low) const { return within(low, max); }
    constexpr Setting positiveElseDefault() const {
        Setting s = *this;
        s.read = ReadRule::PositiveElseDefault;
        return s;
    }
    constexpr Setting clampedTo(int low, int high) const {
        Setting s = *this;
        s.read = ReadRule::Clamped;
        s.readMin = low;
        s.readMax = high;
        return s;
    }
    constexpr Setting oneLineOnly() const {
        Setting s = *this;
        s.oneLine = true;
        return s;
    }
    constexpr Setting masked() const {
        Setting s = *this;
        s.secret = true;
        return s;
    }
    constexpr Setting defaultFollows(const char* other, uint32_t times) const {
        Setting s = *this;
        s.follows = other;
        s.followsTimes = times;
        return s;
    }
    bool shown() const { return *label != '\0'; }
};

// A settings page: its title and the line under it.
struct Page {
    const char* title;
    const char* description;
};

namespace rows {

inline constexpr const char* kLimits = "Time setting limits";
inline constexpr const char* kPolling = "Polling and switching";
inline constexpr const char* kServing = "Servers served";
inline constexpr const char* kBroadcast = "Broadcast";
inline constexpr const char* kGps = "GPS";
inline constexpr const char* kLogging = "Logging";
inline constexpr const char* kAlerts = "Alerts";
inline constexpr const char* kProxy = "Proxy";
inline constexpr const char* kDialup = "Dial-up";
inline constexpr const char* kWindow = "Window";
inline constexpr const char* kStatus = "Status";

constexpr Setting flag(const char* name, bool on, const char* page, Restarts restarts,
                       const char* label) {
    return {name, Kind::Flag, on ? 1u : 0u, "", page, label, "", restarts, 0, 1};
}
constexpr Setting number(const char* name, uint32_t value, const char* page, Restarts restarts,
                         const char* label, const char* unit = "") {
    return {name, Kind::Number, value, "", page, label, unit, restarts};
}
constexpr Setting text(const char* name, const char* value, const char* page, Restarts restarts,
                       const char* label, const char* unit = "") {
    return {name, Kind::Text, 0, value, page, label, unit, restarts};
}
constexpr Setting status(const char* name, const char* value) {
    return {name, Kind::Status, 0, value, kStatus, "", "", Restarts::Nothing};
}

constexpr Restarts kEngine = Restarts::Engine;
constexpr Restarts kWatchdog = Restarts::Watchdog;
constexpr Restarts kWindowLook = Restarts::Window;

}  // namespace rows

// The pages in the order a user looks through them. Status values are on none.
inline constexpr std::array<Page, 10> kPages = {{
    {rows::kLimits, "Which corrections are applied to the clock."},
    {rows::kPolling, "How often the servers are asked and when the next one is tried."},
    {rows::kServing, "The time this computer gives to others."},
    {rows::kBroadcast, "NTP broadcasts sent to the local network."},
    {rows::kGps, "Receivers on a serial port."},
    {rows::kLogging, "Which messages are kept, and where."},
    {rows::kAlerts, "Tell someone when the clock has not been confirmed for too long."},
    {rows::kProxy, "The web proxy of the HTTP time client (servers marked to use it)."},
    {rows::kDialup, "Computers that reach the network over a dial-up line."},
    {rows::kWindow, "How the program shows itself."},
}};

// Every setting of the parameters key, by page in page order and within a page in the order
// it shows them. AdjustFreq and MaxSlew are the service's own and shown on no page.
inline constexpr auto kSettings = [] {
    using namespace rows;
    return std::array{
        flag("Set", true, kLimits, kEngine,
             "Set the clock (otherwise only report what would be done)"),
        number("Max", 3600, kLimits, kEngine, "Largest correction", "seconds (0: no limit)"),
        flag("AllowMax", false, kLimits, kEngine,
             "Apply a larger correction as the largest instead of refusing it"),
        number("Min", 500, kLimits, kEngine, "Smallest correction worth applying",
               "milliseconds (0: no limit)"),
        flag("NoTell", true, kLimits, kEngine, "Do not tell other programs that the time changed"),

        number("Frequency", 120, kPolling, kEngine, "Ask every", "minutes")
            .atLeast(1)
            .positiveElseDefault(),
        flag("AdjustPoll", false, kPolling, kEngine, "Adapt the interval to the results"),
        flag("Often", true, kPolling, kEngine,
             "Keep running after a result (otherwise close after the first)"),
        flag("AutoChange", true, kPolling, kEngine, "Try the next server when one fails"),
        flag("SwitchOK", false, kPolling, kEngine, "Move to the next server after every result"),
        flag("StartTop", false, kPolling, kEngine,
             "Return to the top of the list after every result"),
        number("SwitchDelay", 2000, kPolling, kEngine, "Wait before trying the next server",
               "milliseconds")
            .positiveElseDefault(),
        flag("SNTPFix", false, kPolling, kEngine, "Use the alternative SNTP client"),
        flag("AdjustFreq", true, kPolling, kEngine, ""),
        number("MaxSlew", 100, kPolling, kEngine, ""),

        flag("SNTPServer", true, kServing, kEngine, "SNTP server (UDP port 123)"),
        flag("TCPServer", true, kServing, kEngine, "Time server, RFC 868 over TCP (port 37)"),
        flag("UDPServer", true, kServing, kEngine, "Time server, RFC 868 over UDP (port 37)"),
        flag("867TCPServer", true, kServing, kEngine, "Daytime server, RFC 867 over TCP (port 13)"),
        flag("867UDPServer", true, kServing, kEngine, "Daytime server, RFC 867 over UDP (port 13)"),
        number("NTPStratum", 14, kServing, kEngine, "Stratum announced", "(0 to 15)")
            .within(0, 15)
            .clampedTo(0, 15),
        flag("OnlyServeWhenSynched", false, kServing, kEngine,
             "Answer only once this clock is synchronised"),

        flag("NTPbcast", false, kBroadcast, kEngine, "Send NTP broadcasts"),
        number("NTPbcastfreq", 64, kBroadcast, kEngine, "Broadcast every", "seconds")
            .atLeast(1)
            .positiveElseDefault(),
        text("BroadcastAddrs", "255.255.255.255", kBroadcast, kEngine, "Broadcast addresses"),
        // The option holds one byte, and 0 would never leave this host; a page still takes 0.
        number("MCastTTL", 31, kBroadcast, kEngine, "Multicast hop limit")
            .within(0, 255)
            .clampedTo(1, 255),

        number("GPSPort", 3, kGps, kEngine, "Serial port", "(COM number)"),
        number("GPSSpeed", 0, kGps, kEngine, "Line speed selection"),
        text("NMEAWakeup", "", kGps, kEngine, "Text that wakes the receiver"),
        text("NMEAAdjust", "0", kGps, kEngine, "Receiver delay", "milliseconds"),

        flag("LogMsgs", true, kLogging, kEngine, "Information messages"),
        flag("LogWarn", true, kLogging, kEngine, "Warnings"),
        flag("LogError", true, kLogging, kEngine, "Errors"),
        flag("LogDebug", false, kLogging, kEngine, "Debug messages"),
        flag("Logtofile", false, kLogging, kEngine, "Write a log file"),
        text("Logfile", "log.txt", kLogging, kEngine, "Log file"),
        flag("LogtoSyslog", false, kLogging, kEngine, "Send to a syslog server"),
        text("SyslogServer", "", kLogging, kEngine, "Syslog server"),
        flag("LogtoEvtlog", true, kLogging, kEngine, "Write to the system log"),

        // The engine builds the watchdog from EnableAlerts; each alert reads the rest afresh.
        flag("EnableAlerts", false, kAlerts, kWatchdog,
             "Raise an alert when time synchronisation is lost"),
        // Four polling intervals: a longer default would silence every later alert.
        number("AlertTimeout", 0, kAlerts, kWatchdog, "Raise it")
            .atLeast(1)
            .positiveElseDefault()
            .defaultFollows("Frequency", 4),
        flag("AlertMsgBox", false, kAlerts, kWatchdog, "Show a message box"),
        flag("AlertEmail", false, kAlerts, kWatchdog, "Send an e-mail"),
        // These go into the mail dialogue's command lines: a line break would end one.
        text("SMTPServer", "", kAlerts, kWatchdog, "Mail server").oneLineOnly(),
        text("SMTPToAddr", "", kAlerts, kWatchdog, "Send to").oneLineOnly(),
        text("MailDomain", "", kAlerts, kWatchdog,
             "Sender's mail domain (empty: this computer's name)")
            .oneLineOnly(),
        text("SMTPMsgText", "Time synchronisation lost", kAlerts, kWatchdog, "Message"),

        text("ProxyAddress", "", kProxy, kEngine, "Proxy server"),
        number("ProxyPort", 8080, kProxy, kEngine, "Port").within(0, 65535),
        flag("ProxyNameNeeded", false, kProxy, kEngine, "The proxy needs a user name and password"),
        text("ProxyName", "", kProxy, kEngine, "User name"),
        text("ProxyPwd", "", kProxy, kEngine, "Password").masked(),

        flag("WatchForDialup", false, kDialup, kEngine,
             "Ask network servers only while a dial-up connection is up"),

        flag("StartMinimized", false, kWindow, kWindowLook, "Start minimised"),
        flag("Hidden", false, kWindow, kWindowLook, "No icon in the notification area"),
        flag("Tips", true, kWindow, kWindowLook, "Show tips"),

        status("LastDelta", "None"),
        status("LastContact", "Never"),
        status("TimeSource", "None"),
        status("Drift", "Unknown"),
    };
}();

// The row stored under `name` (as spelt here); a name not in the schema does not compile where
// it is used in a constant expression.
constexpr const Setting& setting(std::string_view name) {
    for (const Setting& s : kSettings) {
        if (name == s.name) {
            return s;
        }
    }
    throw "no such setting";
}
constexpr bool defaultFlag(std::string_view name) {
    return setting(name).number != 0;
}
// A default that follows another setting is that setting's default times the factor.
constexpr int defaultNumber(std::string_view name) {
    const Setting& s = setting(name);
    return s.follows ? defaultNumber(s.follows) * static_cast<int>(s.followsTimes)
                     : static_cast<int>(s.number);
}
constexpr const char* defaultText(std::string_view name) {
    return setting(name).text;
}

// Case-insensitive, as the store's names; nullptr when there is none by that name.
const Setting* find(std::string_view name);

// The reads a settings store offers; a missing value yields the default given.
class StoredValues {
public:
    virtual ~StoredValues() = default;
    virtual uint32_t readDword(const std::string& name, uint32_t defaultValue) const = 0;
    virtual std::string readText(const std::string& name,
                                 const std::string& defaultValue) const = 0;
};

// How the programs read a setting: the stored value or the default, then the row's rule.
bool readFlag(const StoredValues& store, std::string_view name);
int readNumber(const StoredValues& store, std::string_view name);
std::string readText(const StoredValues& store, std::string_view name);
// The stored value or the default, as stored (no rule): what a settings page shows.
uint32_t readDword(const StoredValues& store, std::string_view name);
// readDword or readText as text.
std::string storedText(const StoredValues& store, const Setting& row);

}  // namespace config
