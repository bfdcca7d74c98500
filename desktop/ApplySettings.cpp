#include "desktop/ApplySettings.h"

namespace desktop {

SettingsRestart applySettings(const std::vector<std::string>& changedSettings,
                              const SettingsTarget& target) {
    const SettingsRestart restart = settingsRestartOf(changedSettings);
    if (restart.engine) {
        // The engine reads its settings once: stop it, read them again, start again.
        target.stopEngine();
        target.reloadSettings();
        target.startEngine();
    } else if (restart.watchdog) {
        target.restartWatchdog();
    }
    if (restart.window && target.applyWindow) {
        target.applyWindow();
    }
    return restart;
}

}  // namespace desktop
