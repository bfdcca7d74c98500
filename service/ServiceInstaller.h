#pragma once
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>

#include "core/Handlers.h"
#include "platform/Event.h"
#include "platform/ServiceHost.h"

namespace service {

inline constexpr const char* kDisplayName = "Kronel time service";
inline constexpr const char* kDescription =
    "Synchronizes the time on this PC and provides time services to other computers, Linux, "
    "Windows, Etc.";

// Registry keys and values of installing and removing, all under HKEY_LOCAL_MACHINE.
inline constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Kronel";
inline constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kronel";
inline constexpr const char* kMessageFile = "%SystemRoot%\\System32\\kronel.cpl";
inline constexpr unsigned kTypesSupported = 7;  // error, warning, information
inline constexpr const char* kControlPanelKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended Properties\\"
    "{305CA226-D286-468e-B848-2B2E8E697B74} 2";
inline constexpr unsigned kDateAndTimeCategory = 6;
inline constexpr const char* kRunOnceKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\Setup";
inline constexpr const char* kRunOnceValue = "remove kronel";
inline constexpr const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kronel Service V1.6";
inline constexpr const char* kCleanupArgument = "cleanup";

inline constexpr const char* kRebootText =
    "Reboot PC to finish deinstallation of Kronel NT Service";
inline constexpr const char* kRemoveCaption = "remove Kronel NT Service";

// Own-path buffers of installing and removing, in bytes.
inline constexpr size_t kInstallPathBuffer = 512;
inline constexpr size_t kRemovePathBuffer = 1024;

// The "add", "remove" and "cleanup" verbs. Each prints what the console user reads to `out`;
// each returns false when it ended early on a failure (the error text printed).
class ServiceInstaller {
public:
    using ManagerOpener =
        std::function<platform::Status(std::unique_ptr<platform::ServiceManager>&)>;
    using Sleeper = std::function<void(platform::Millis)>;

    ServiceInstaller(std::FILE* out, core::MessageHandler& messages,
                     ManagerOpener openManager = platform::openServiceManager,
                     Sleeper sleep = nullptr);

    // Creates the service and registers the event source and the control-panel category.
    bool install();
    // Leaves the service alone: arranges "cleanup" for the next start of the system.
    bool remove();
    // Stops and deletes the service, then its files and registry keys.
    bool cleanup();

    // How often cleanup asks, a second apart, whether a stopping service has stopped: past
    // the stop wait hint the manager has ended it anyway.
    static constexpr int kStopQueries = 40;

private:
    void printLastError();

    std::FILE* out_;
    core::MessageHandler& messages_;
    ManagerOpener openManager_;
    Sleeper sleep_;
};

}  // namespace service
