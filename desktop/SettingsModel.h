#pragma once
#include <map>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace desktop {

enum class SettingKind {
    Flag,    // 0 or 1
    Number,  // an integer within the setting's bounds
    Text,
    Status,  // text the engine writes; shown, never set here
};

// One value of the parameters key as the settings pages show it.
struct SettingDef {
    const char* name;
    SettingKind kind;
    const char* defaultValue;
    const char* group;  // the page a user looks for it on
    long long min = 0;
    long long max = 0xFFFFFFFFLL;
    bool oneLine = false;  // Text that goes into a protocol line: no CR or LF
};

// Every setting of the parameters key, grouped by page, in page order.
const std::vector<SettingDef>& settingDefinitions();
// Case-insensitive, as the store's names; nullptr when there is none by that name.
const SettingDef* findSetting(const std::string& name);

// The settings pages' values: read from the store, changed in memory, written on save. What
// changed tells the front end which parts to restart.
class SettingsModel {
public:
    SettingsModel(platform::RegRoot root, std::string parametersKey);

    void load();
    // The stored value, or its default, as text.
    std::string value(const std::string& name) const;
    // Checks and holds a new value; the error text names what was wrong, empty when accepted.
    std::string set(const std::string& name, const std::string& text);
    // Pages whose values differ from the store's.
    std::vector<std::string> changedGroups() const;
    // Writes the held values; false when a write failed.
    bool save();

private:
    std::string stored(const SettingDef& def) const;

    platform::RegRoot root_;
    std::string parametersKey_;
    std::map<std::string, std::string> loaded_;   // by definition name
    std::map<std::string, std::string> pending_;  // by definition name
};

}  // namespace desktop
