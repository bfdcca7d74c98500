#pragma once
#include <map>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "platform/Registry.h"

namespace desktop {

// The settings pages show the schema's rows.
using SettingKind = config::Kind;
using SettingDef = config::Setting;

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
    // The settings whose held values differ from the store's, by name.
    std::vector<std::string> changedSettings() const;
    // Pages whose values differ from the store's.
    std::vector<std::string> changedGroups() const;
    // Writes the held values; false when a write failed.
    bool save();

private:
    platform::RegRoot root_;
    std::string parametersKey_;
    std::map<std::string, std::string> loaded_;   // by definition name
    std::map<std::string, std::string> pending_;  // by definition name
};

}  // namespace desktop
