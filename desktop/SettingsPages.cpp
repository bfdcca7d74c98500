#include "desktop/SettingsPages.h"

#include <cstring>

#include "config/Settings.h"

namespace desktop {

const std::vector<SettingsPage>& settingsPages() {
    static const std::vector<SettingsPage> pages = [] {
        std::vector<SettingsPage> built;
        for (const config::Page& page : config::kPages) {
            SettingsPage shown{page.title, page.description, {}};
            for (const config::Setting& row : config::kSettings) {
                if (row.shown() && std::strcmp(row.group, page.title) == 0) {
                    shown.fields.push_back({row.name, row.label, row.unit, row.secret});
                }
            }
            built.push_back(std::move(shown));
        }
        return built;
    }();
    return pages;
}

SettingsRestart settingsRestartOf(const std::vector<std::string>& changedSettings) {
    SettingsRestart restart;
    bool watchdog = false;
    for (const std::string& name : changedSettings) {
        const config::Setting* row = config::find(name);
        switch (row ? row->restarts : config::Restarts::Nothing) {
            case config::Restarts::Engine:
                restart.engine = true;
                break;
            case config::Restarts::Watchdog:
                watchdog = true;
                break;
            case config::Restarts::Window:
                restart.window = true;
                break;
            case config::Restarts::Nothing:
                break;
        }
    }
    // The engine's restart starts a new watchdog as well.
    restart.watchdog = watchdog && !restart.engine;
    return restart;
}

SettingsRestart settingsRestart(const std::vector<std::string>& changedPages) {
    std::vector<std::string> settings;
    for (const std::string& page : changedPages) {
        for (const config::Setting& row : config::kSettings) {
            if (page == row.group) {
                settings.push_back(row.name);
            }
        }
    }
    return settingsRestartOf(settings);
}

}  // namespace desktop
