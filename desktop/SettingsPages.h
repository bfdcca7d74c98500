#pragma once
#include <string>
#include <vector>

namespace desktop {

// One control of a settings page: the setting it edits and the words beside it.
struct SettingField {
    const char* name;   // the value's name in the store (SettingsModel)
    const char* label;  // what the user reads
    const char* unit;   // after the value, or ""
    bool secret = false;
};

// A page of the desktop program's settings, titled as SettingsModel groups its values.
struct SettingsPage {
    const char* title;
    const char* description;
    std::vector<SettingField> fields;
};

// The settings pages of the desktop program, in the order a user looks through them. Every
// setting the desktop program uses is on exactly one page; the service's own (AdjustFreq,
// MaxSlew) and the status values are not.
const std::vector<SettingsPage>& settingsPages();

// What a running program does once changed settings were confirmed: each setting's row in
// the schema says what a change restarts. The engine reads its settings once, so a setting it
// reads restarts it (and with it the watchdog); the alert settings alone restart only the
// watchdog and the source runs on.
struct SettingsRestart {
    bool engine = false;
    bool watchdog = false;
    bool window = false;  // the Window page: the front end's own look
};
// By the names of the changed settings (SettingsModel::changedSettings).
SettingsRestart settingsRestartOf(const std::vector<std::string>& changedSettings);
// As if every setting on the pages named here (SettingsModel::changedGroups) had changed.
SettingsRestart settingsRestart(const std::vector<std::string>& changedPages);

// The Alerts page shows AlertTimeout on a slider (see alerts/AlertTimeouts.h).
inline constexpr const char* kAlertTimeoutSetting = "AlertTimeout";

}  // namespace desktop
