#include "desktop/SettingsModel.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "engine/CReg.h"

namespace desktop {

namespace {

constexpr const char* kLimits = "Time setting limits";
constexpr const char* kPolling = "Polling and switching";
constexpr const char* kServing = "Servers served";
constexpr const char* kBroadcast = "Broadcast";
constexpr const char* kGps = "GPS";
constexpr const char* kLogging = "Logging";
constexpr const char* kAlerts = "Alerts";
constexpr const char* kProxy = "Proxy";
constexpr const char* kDialup = "Dial-up";
constexpr const char* kWindow = "Window";
constexpr const char* kStatus = "Status";

constexpr long long kDwordMax = 0xFFFFFFFFLL;

SettingDef flag(const char* name, const char* value, const char* group) {
    return {name, SettingKind::Flag, value, group, 0, 1};
}
SettingDef number(const char* name, const char* value, const char* group, long long min = 0,
                  long long max = kDwordMax) {
    return {name, SettingKind::Number, value, group, min, max};
}
SettingDef text(const char* name, const char* value, const char* group) {
    return {name, SettingKind::Text, value, group};
}
// A text that ends up inside a command line (the mail dialogue): a line break would end it.
SettingDef line(const char* name, const char* value, const char* group) {
    return {name, SettingKind::Text, value, group, 0, kDwordMax, true};
}
SettingDef status(const char* name, const char* value) {
    return {name, SettingKind::Status, value, kStatus};
}

bool sameName(const std::string& a, const char* b) {
    const std::string other(b);
    return std::equal(a.begin(), a.end(), other.begin(), other.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// AlertTimeout's default follows Frequency.
constexpr const char* kDerivedDefault = "";

}  // namespace

const std::vector<SettingDef>& settingDefinitions() {
    static const std::vector<SettingDef> defs = {
        flag("Set", "1", kLimits),
        number("Max", "3600", kLimits),
        flag("AllowMax", "0", kLimits),
        number("Min", "500", kLimits),
        flag("NoTell", "1", kLimits),
        flag("Often", "1", kPolling),
        number("Frequency", "120", kPolling, 1),
        flag("AdjustPoll", "0", kPolling),
        flag("AdjustFreq", "1", kPolling),
        number("MaxSlew", "100", kPolling),
        flag("AutoChange", "1", kPolling),
        flag("SwitchOK", "0", kPolling),
        flag("StartTop", "0", kPolling),
        number("SwitchDelay", "2000", kPolling),
        flag("SNTPFix", "0", kPolling),
        flag("OnlyServeWhenSynched", "0", kServing),
        flag("TCPServer", "1", kServing),
        flag("UDPServer", "1", kServing),
        flag("867TCPServer", "1", kServing),
        flag("867UDPServer", "1", kServing),
        flag("SNTPServer", "1", kServing),
        number("NTPStratum", "14", kServing, 0, 15),
        flag("NTPbcast", "0", kBroadcast),
        number("NTPbcastfreq", "64", kBroadcast, 1),
        text("BroadcastAddrs", "255.255.255.255", kBroadcast),
        number("MCastTTL", "31", kBroadcast, 0, 255),
        number("GPSPort", "3", kGps),
        number("GPSSpeed", "0", kGps),
        text("NMEAWakeup", "", kGps),
        text("NMEAAdjust", "0", kGps),
        flag("LogMsgs", "1", kLogging),
        flag("LogError", "1", kLogging),
        flag("LogWarn", "1", kLogging),
        flag("LogDebug", "0", kLogging),
        text("Logfile", "log.txt", kLogging),
        flag("Logtofile", "0", kLogging),
        flag("LogtoSyslog", "0", kLogging),
        flag("LogtoEvtlog", "1", kLogging),
        text("SyslogServer", "", kLogging),
        flag("EnableAlerts", "0", kAlerts),
        number("AlertTimeout", kDerivedDefault, kAlerts, 1),
        flag("AlertEmail", "0", kAlerts),
        flag("AlertMsgBox", "0", kAlerts),
        line("SMTPServer", "", kAlerts),
        line("SMTPToAddr", "", kAlerts),
        line("MailDomain", "", kAlerts),
        text("SMTPMsgText", "Time synchronisation lost", kAlerts),
        text("ProxyAddress", "", kProxy),
        number("ProxyPort", "8080", kProxy, 0, 65535),
        flag("ProxyNameNeeded", "0", kProxy),
        text("ProxyName", "", kProxy),
        text("ProxyPwd", "", kProxy),
        flag("WatchForDialup", "0", kDialup),
        flag("Hidden", "0", kWindow),
        flag("StartMinimized", "0", kWindow),
        flag("Tips", "1", kWindow),
        status("LastDelta", "None"),
        status("LastContact", "Never"),
        status("TimeSource", "None"),
        status("Drift", "Unknown"),
    };
    return defs;
}

const SettingDef* findSetting(const std::string& name) {
    for (const SettingDef& def : settingDefinitions()) {
        if (sameName(name, def.name)) {
            return &def;
        }
    }
    return nullptr;
}

SettingsModel::SettingsModel(platform::RegRoot root, std::string parametersKey)
    : root_(root), parametersKey_(std::move(parametersKey)) {
    load();
}

std::string SettingsModel::stored(const SettingDef& def) const {
    const engine::CReg key(parametersKey_, root_, true);
    if (def.kind == SettingKind::Text || def.kind == SettingKind::Status) {
        return key.readText(def.name, def.defaultValue);
    }
    uint32_t fallback = 0;
    if (std::string(def.defaultValue).empty()) {
        fallback = key.readDword("Frequency", 120) * 4;
    } else {
        fallback = static_cast<uint32_t>(std::stoul(def.defaultValue));
    }
    return std::to_string(key.readDword(def.name, fallback));
}

void SettingsModel::load() {
    loaded_.clear();
    pending_.clear();
    for (const SettingDef& def : settingDefinitions()) {
        loaded_[def.name] = stored(def);
    }
}

std::string SettingsModel::value(const std::string& name) const {
    const SettingDef* def = findSetting(name);
    if (!def) {
        return "";
    }
    if (const auto it = pending_.find(def->name); it != pending_.end()) {
        return it->second;
    }
    return loaded_.at(def->name);
}

std::string SettingsModel::set(const std::string& name, const std::string& text) {
    const SettingDef* def = findSetting(name);
    if (!def) {
        return "unknown setting '" + name + "'";
    }
    if (def->kind == SettingKind::Status) {
        return std::string(def->name) + " is a status value the engine writes";
    }
    if (def->kind == SettingKind::Text) {
        if (text.find('\0') != std::string::npos) {
            return std::string(def->name) + " cannot hold a NUL character";
        }
        if (def->oneLine && text.find_first_of("\r\n") != std::string::npos) {
            return std::string(def->name) + " cannot hold a line break (CR or LF)";
        }
        pending_[def->name] = text;
        return "";
    }
    long long number = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, number);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::string(def->name) + " takes a whole number, not '" + text + "'";
    }
    if (number < def->min || number > def->max) {
        return std::string(def->name) + " must be between " + std::to_string(def->min) + " and " +
               std::to_string(def->max) + ", not " + text;
    }
    pending_[def->name] = std::to_string(number);
    return "";
}

std::vector<std::string> SettingsModel::changedGroups() const {
    std::vector<std::string> groups;
    for (const auto& [name, text] : pending_) {
        if (loaded_.at(name) == text) {
            continue;
        }
        const std::string group = findSetting(name)->group;
        if (std::find(groups.begin(), groups.end(), group) == groups.end()) {
            groups.push_back(group);
        }
    }
    return groups;
}

bool SettingsModel::save() {
    engine::CReg key(parametersKey_, root_);
    bool ok = true;
    for (const auto& [name, text] : pending_) {
        const SettingDef* def = findSetting(name);
        const platform::Status written =
            def->kind == SettingKind::Text
                ? key.writeText(def->name, text)
                : key.writeInt(def->name, static_cast<uint32_t>(std::stoull(text)));
        ok = ok && written.ok();
    }
    load();
    return ok;
}

}  // namespace desktop
