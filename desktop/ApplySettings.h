#pragma once
#include <functional>
#include <string>
#include <vector>

#include "desktop/SettingsPages.h"

namespace desktop {

// What a front end lends applySettings: its own steps around the engine it runs.
struct SettingsTarget {
    std::function<void()> stopEngine;
    std::function<void()> reloadSettings;  // the engine reads its settings again
    std::function<void()> startEngine;
    std::function<void()> restartWatchdog;
    std::function<void()> applyWindow;  // the front end's own look; may be empty
};

// Restarts what the confirmed changed settings (by name) ask for, as their schema rows say:
// the engine (stopped, its settings read again, started), or else only the watchdog; then the
// window's look. Returns what it restarted.
SettingsRestart applySettings(const std::vector<std::string>& changedSettings,
                              const SettingsTarget& target);

}  // namespace desktop
