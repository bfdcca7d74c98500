#pragma once
#include <memory>

#include "engine/Watchdog.h"

namespace alerts {

// Where the alert's message box goes: a desktop shows it; a service logs it.
enum class AlertBoxKind { Desktop, Logged };

// Builds CWatchDogs for the engine.
std::unique_ptr<engine::WatchdogFactory> makeWatchdogFactory(AlertBoxKind box);

}  // namespace alerts
