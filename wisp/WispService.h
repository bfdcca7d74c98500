#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "platform/ServiceHost.h"
#include "wisp/Text.h"

namespace wisp {

inline constexpr const char* kProgramName = "WISPSVC";
inline constexpr const char* kServiceName = "Wisp";
inline constexpr const char* kDisplayName = "Wisp Time Synchronization";
inline constexpr uint32_t kWaitHintMs = 3000;

// What the first argument asks for: "add", "remove" and "debug" exactly, nothing, or
// anything else.
enum class WispVerb { RunService, Add, Remove, Debug, Usage };
WispVerb parseWispVerb(int argc, const char* const argv[]);
std::string wispUsageText();

// The worker: returns once the stop event is set.
using WispBody = std::function<void(platform::Event& stop)>;

// wispsvc under the service manager: the control handler and the status reports around the
// worker.
class WispService {
public:
    WispService(Console& console, platform::ServiceHost& host, platform::Event& stop,
                WispBody body);
    WispService(const WispService&) = delete;
    WispService& operator=(const WispService&) = delete;

    // The dispatcher with the one service "Wisp"; on failure the message is printed and the
    // stop event set.
    bool runDispatcher();
    void serviceMain();
    void control(unsigned code);

private:
    bool report(uint32_t state, uint32_t waitHintMs);

    Console& console_;
    platform::ServiceHost& host_;
    platform::Event& stop_;
    WispBody body_;
    std::mutex mutex_;
    platform::ServiceStatusHandle handle_ = 0;
    uint32_t state_ = platform::svc::kStartPending;
    uint32_t checkPoint_ = 1;
};

// The "add" and "remove" verbs.
class WispInstaller {
public:
    using ManagerOpener =
        std::function<platform::Status(std::unique_ptr<platform::ServiceManager>&)>;
    using Sleeper = std::function<void(platform::Millis)>;

    WispInstaller(Console& console, ManagerOpener openManager = platform::openServiceManager,
                  Sleeper sleep = nullptr);

    bool install();
    bool remove();

    // How long, in one-second queries, a stopping service is waited for.
    static constexpr int kStopQueries = 30;

private:
    Console& console_;
    ManagerOpener openManager_;
    Sleeper sleep_;
};

}  // namespace wisp
