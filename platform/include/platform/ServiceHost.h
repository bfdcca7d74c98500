#pragma once
// The service control manager as the service program sees it: the dispatcher, the control
// handler, status reports, and installing and removing the service. Windows maps each call
// onto the Service Control Manager; POSIX onto systemd (a Type=notify unit, the sd_notify
// datagrams over $NOTIFY_SOCKET, SIGTERM as the stop control, unit files for installing).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Result.h"

namespace platform {

// Service types, states, accepted controls and control codes, as Windows numbers them.
namespace svc {
inline constexpr uint32_t kWin32OwnProcess = 0x10;

inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kStopPending = 3;
inline constexpr uint32_t kRunning = 4;
inline constexpr uint32_t kContinuePending = 5;
inline constexpr uint32_t kPausePending = 6;
inline constexpr uint32_t kPaused = 7;

inline constexpr uint32_t kAcceptStop = 0x1;

inline constexpr unsigned kControlStop = 1;
inline constexpr unsigned kControlInterrogate = 4;
}  // namespace svc

// The service manager's error numbers, as Windows numbers them. The POSIX backend uses them
// where no errno says the same; they lie far above every errno value.
namespace svcerr {
inline constexpr int kServiceAlreadyRunning = 1056;
inline constexpr int kServiceDoesNotExist = 1060;
inline constexpr int kServiceCannotAcceptControl = 1061;
inline constexpr int kServiceNotActive = 1062;
inline constexpr int kFailedServiceControllerConnect = 1063;
inline constexpr int kServiceExists = 1073;
}  // namespace svcerr

// Windows' message text for one of the numbers above (no line break), or null.
const char* serviceErrorMessage(int error);

// SERVICE_STATUS.
struct ServiceStatus {
    uint32_t serviceType = svc::kWin32OwnProcess;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;  // milliseconds
    bool operator==(const ServiceStatus&) const = default;
};

using ServiceMain = std::function<void()>;
using ServiceControlHandler = std::function<void(unsigned control)>;
// SERVICE_STATUS_HANDLE; 0 is no handle.
using ServiceStatusHandle = std::uintptr_t;

// The running side: what a service process asks of the manager.
class ServiceHost {
public:
    virtual ~ServiceHost() = default;

    // StartServiceCtrlDispatcher with a one-entry table: runs `serviceMain` on a thread of
    // its own and calls the control handler on the calling thread; returns once the service
    // main has returned. Fails with kFailedServiceControllerConnect (also the last system
    // error) when the process was not started by the service manager.
    virtual Status startDispatcher(const std::string& serviceName, ServiceMain serviceMain) = 0;

    // RegisterServiceCtrlHandler; on failure sets the last system error.
    virtual Status registerControlHandler(const std::string& serviceName,
                                          ServiceControlHandler handler,
                                          ServiceStatusHandle& handle) = 0;

    // SetServiceStatus; on failure sets the last system error. A stop request that arrives
    // while the service accepts no stop is held until a report accepts it (systemd, unlike
    // the Windows manager, never asks twice).
    virtual Status setStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
};

// The manager of this system.
ServiceHost& systemServiceHost();

// What a service needs of the system, so that a manager that can confine it grants that and
// no more. systemd gets a locked-down unit; the Windows manager runs the service as it is.
struct ServiceConfinement {
    bool confined = false;           // run locked down, with only the rights below
    std::string stateDirectory;      // its own folder under the state root, for the store
    std::string logsDirectory;       // its own folder under the log root; also its working folder
    bool setsClock = false;          // steps the clock and trims its rate
    bool privilegedPorts = false;    // binds ports below 1024
    bool rawSockets = false;         // ICMP through a raw socket
    bool serialPorts = false;        // opens serial receivers
    bool networkInterfaces = false;  // lists the network interfaces (the dial-up gate)
};

// What CreateService is given.
struct ServiceConfig {
    std::string name;         // "Kronel"
    std::string displayName;  // "Kronel time service"
    std::string description;  // a line about the service (Windows keeps it in the registry)
    std::string executable;   // full path of the program the manager starts
    std::vector<std::string> dependencies;  // services that must run first ("Tcpip")
    bool autoStart = true;                  // started with the system
    uint32_t stopWaitHint = 0;  // milliseconds a stop may take before the manager gives up
    ServiceConfinement confinement;
};

// An open service object (OpenService / CreateService).
class InstalledService {
public:
    virtual ~InstalledService() = default;
    // SetServiceObjectSecurity with a null access list: everybody may control the service.
    virtual Status allowEveryoneToControl() = 0;
    // ControlService: kServiceNotActive when the service is not running.
    virtual Status control(unsigned control, ServiceStatus& status) = 0;
    // QueryServiceStatus.
    virtual Status queryStatus(ServiceStatus& status) = 0;
    // DeleteService: the service and everything the manager keeps for it.
    virtual Status remove() = 0;
};

// An open service manager (OpenSCManager with full access). Every call sets the last system
// error when it fails.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // kServiceExists when a service of that name is installed.
    virtual Status createService(const ServiceConfig& config,
                                 std::unique_ptr<InstalledService>& service) = 0;
    // kServiceDoesNotExist when it is not installed.
    virtual Status openService(const std::string& name,
                               std::unique_ptr<InstalledService>& service) = 0;
    // Runs `executable argument` once at the next start of the system, to finish removing
    // the service. Windows: the RunOnce value the service program writes does this itself.
    virtual Status scheduleRemoval(const std::string& serviceName, const std::string& executable,
                                   const std::string& argument) = 0;
};

// POSIX: unit files live in $KRONEL_UNIT_DIR when it is set (tests: then systemctl is never
// run and no service counts as running), else in /etc/systemd/system.
Status openServiceManager(std::unique_ptr<ServiceManager>& manager);

// The full path of this program (GetModuleFileName); fails when it does not fit a buffer of
// `bufferSize` bytes with its terminating zero.
Status ownExecutablePath(std::string& path, size_t bufferSize);

// The directory the installed program files live in (GetSystemDirectory); POSIX:
// $KRONEL_UNIT_DIR when set, else /usr/local/lib/kronel.
std::string systemDirectory();
// Deletes one file of the system directory.
Status deleteSystemFile(const std::string& name);

// Calls `onStop` on a thread of its own when the console asks the program to end (Ctrl-C,
// Ctrl-Break, the console closing; POSIX: SIGINT, SIGTERM, SIGHUP). The signal handler
// itself only wakes that thread. One at a time per process, and not while a dispatcher runs.
class ConsoleControlHandler {
public:
    explicit ConsoleControlHandler(std::function<void()> onStop);
    ~ConsoleControlHandler();
    ConsoleControlHandler(const ConsoleControlHandler&) = delete;
    ConsoleControlHandler& operator=(const ConsoleControlHandler&) = delete;

    bool installed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The manager's end of the notification socket, as systemd binds it: tests play the service
// manager with it. POSIX only. Addresses are paths or, with a leading '@', abstract names.
class ServiceNotifyListener {
public:
    ServiceNotifyListener();
    ~ServiceNotifyListener();
    ServiceNotifyListener(const ServiceNotifyListener&) = delete;
    ServiceNotifyListener& operator=(const ServiceNotifyListener&) = delete;

    Status bind(const std::string& address);
    // The text of the next datagram, or nothing when none arrives within the time-out.
    std::optional<std::string> receive(Millis timeout);

private:
    int fd_ = -1;
    std::string path_;  // a socket file to delete again
};

}  // namespace platform
