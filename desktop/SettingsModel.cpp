#include "desktop/SettingsModel.h"

#include <algorithm>
#include <charconv>

#include "engine/CReg.h"

namespace desktop {

const std::vector<SettingDef>& settingDefinitions() {
    static const std::vector<SettingDef> defs(config::kSettings.begin(), config::kSettings.end());
    return defs;
}

const SettingDef* findSetting(const std::string& name) {
    const config::Setting* row = config::find(name);
    // The same rows, as this vector holds them.
    return row ? &settingDefinitions()[static_cast<size_t>(row - config::kSettings.data())]
               : nullptr;
}

SettingsModel::SettingsModel(platform::RegRoot root, std::string parametersKey)
    : root_(root), parametersKey_(std::move(parametersKey)) {
    load();
}

void SettingsModel::load() {
    loaded_.clear();
    pending_.clear();
    const engine::CReg key(parametersKey_, root_, true);
    for (const SettingDef& def : settingDefinitions()) {
        loaded_[def.name] = config::storedText(key, def);
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

std::vector<std::string> SettingsModel::changedSettings() const {
    std::vector<std::string> names;
    for (const auto& [name, text] : pending_) {
        if (loaded_.at(name) != text) {
            names.push_back(name);
        }
    }
    return names;
}

std::vector<std::string> SettingsModel::changedGroups() const {
    std::vector<std::string> groups;
    for (const std::string& name : changedSettings()) {
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
