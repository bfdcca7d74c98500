#pragma once
#include <memory>
#include <string>

#include "core/Handlers.h"
#include "platform/Registry.h"

namespace engine {

// The loss-of-synchronisation watchdog as the engine sees it: every accepted result kicks it.
class Watchdog {
public:
    virtual ~Watchdog() = default;
    virtual void start() = 0;
    // Safe from any thread.
    virtual void kick() = 0;
    virtual void stop() = 0;
};

// What a watchdog is built with: the engine's handlers, the time-out, and the program's own
// parameters key, where the alert reads its settings.
struct WatchdogContext {
    core::MessageHandler& messages;
    core::TimeHandler& time;
    long long timeoutMinutes = 480;
    std::string parametersKey;
    platform::RegRoot root = platform::RegRoot::LocalMachine;
};

// Builds the watchdog; the engine knows it only through this (alert delivery lives above it).
class WatchdogFactory {
public:
    virtual ~WatchdogFactory() = default;
    virtual std::unique_ptr<Watchdog> create(const WatchdogContext& context) = 0;
};

}  // namespace engine
