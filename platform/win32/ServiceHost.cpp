// The Service Control Manager. The manager calls a service main and a control handler that are
// plain functions without a context, and a process runs one dispatcher, so the functions the
// program hands over are kept process-wide and reached through two trampolines.
#include "platform/ServiceHost.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "win32/Win32.h"

namespace platform {

namespace {

Status failed(DWORD error) {
    setLastSystemError(static_cast<int>(error));
    return Status::failure(static_cast<int>(error));
}
Status lastError() {
    return failed(::GetLastError());
}

class UniqueServiceHandle {
public:
    UniqueServiceHandle() = default;
    explicit UniqueServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~UniqueServiceHandle() {
        if (handle_ != nullptr) {
            ::CloseServiceHandle(handle_);
        }
    }
    UniqueServiceHandle(const UniqueServiceHandle&) = delete;
    UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_ = nullptr;
};

ServiceStatus fromSystem(const SERVICE_STATUS& s) {
    ServiceStatus status;
    status.serviceType = s.dwServiceType;
    status.currentState = s.dwCurrentState;
    status.controlsAccepted = s.dwControlsAccepted;
    status.win32ExitCode = s.dwWin32ExitCode;
    status.serviceSpecificExitCode = s.dwServiceSpecificExitCode;
    status.checkPoint = s.dwCheckPoint;
    status.waitHint = s.dwWaitHint;
    return status;
}

SERVICE_STATUS toSystem(const ServiceStatus& status) {
    SERVICE_STATUS s{};
    s.dwServiceType = status.serviceType;
    s.dwCurrentState = status.currentState;
    s.dwControlsAccepted = status.controlsAccepted;
    s.dwWin32ExitCode = status.win32ExitCode;
    s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    s.dwCheckPoint = status.checkPoint;
    s.dwWaitHint = status.waitHint;
    return s;
}

// ---------------------------------------------------------------------------------------
// The running side.

class Win32ServiceHost : public ServiceHost {
public:
    Status startDispatcher(const std::string& serviceName, ServiceMain serviceMain) override {
        {
            std::lock_guard lock(mutex_);
            if (active_) {
                return failed(ERROR_SERVICE_ALREADY_RUNNING);
            }
            active_ = true;
            serviceMain_ = std::move(serviceMain);
        }
        std::vector<char> name(serviceName.begin(), serviceName.end());
        name.push_back('\0');
        SERVICE_TABLE_ENTRYA table[] = {{name.data(), &Win32ServiceHost::mainTrampoline},
                                        {nullptr, nullptr}};
        // Returns once the service has reported that it stopped; fails at once when the
        // process was not started by the manager.
        const BOOL ran = ::StartServiceCtrlDispatcherA(table);
        const DWORD error = ran ? 0 : ::GetLastError();
        {
            std::lock_guard lock(mutex_);
            active_ = false;
            serviceMain_ = nullptr;
            handler_ = nullptr;
            handle_ = nullptr;
        }
        return ran ? Status::success() : failed(error);
    }

    Status registerControlHandler(const std::string& serviceName, ServiceControlHandler handler,
                                  ServiceStatusHandle& handle) override {
        handle = 0;
        {
            std::lock_guard lock(mutex_);
            handler_ = std::move(handler);
        }
        SERVICE_STATUS_HANDLE h = ::RegisterServiceCtrlHandlerA(
            serviceName.c_str(), &Win32ServiceHost::handlerTrampoline);
        if (h == nullptr) {
            const DWORD error = ::GetLastError();
            std::lock_guard lock(mutex_);
            handler_ = nullptr;
            return failed(error);
        }
        {
            std::lock_guard lock(mutex_);
            handle_ = h;
            lastState_ = 0;
        }
        handle = reinterpret_cast<ServiceStatusHandle>(h);
        return Status::success();
    }

    Status setStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS s = toSystem(status);
        if (!::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s)) {
            return lastError();
        }
        std::lock_guard lock(mutex_);
        if (reinterpret_cast<SERVICE_STATUS_HANDLE>(handle) == handle_) {
            lastState_ = status.currentState;
        }
        return Status::success();
    }

    static Win32ServiceHost& instance() {
        static Win32ServiceHost host;
        return host;
    }

private:
    static void WINAPI mainTrampoline(DWORD /*argc*/, LPSTR* /*argv*/) {
        Win32ServiceHost& host = instance();
        ServiceMain main;
        {
            std::lock_guard lock(host.mutex_);
            main = host.serviceMain_;
        }
        if (main) {
            main();
        }
        // The dispatcher waits for a "stopped" report, not for this function: a service main
        // that returned without one (its start failed) would leave the process hanging.
        SERVICE_STATUS_HANDLE handle = nullptr;
        {
            std::lock_guard lock(host.mutex_);
            if (host.handle_ != nullptr && host.lastState_ != svc::kStopped) {
                handle = host.handle_;
            }
        }
        if (handle != nullptr) {
            ServiceStatus stopped;
            stopped.currentState = svc::kStopped;
            (void)host.setStatus(reinterpret_cast<ServiceStatusHandle>(handle), stopped);
        }
    }

    static void WINAPI handlerTrampoline(DWORD control) {
        Win32ServiceHost& host = instance();
        ServiceControlHandler handler;
        {
            std::lock_guard lock(host.mutex_);
            handler = host.handler_;
        }
        // Never under the lock: the handler reports status itself.
        if (handler) {
            handler(control);
        }
    }

    std::mutex mutex_;
    bool active_ = false;
    ServiceMain serviceMain_;
    ServiceControlHandler handler_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;
    uint32_t lastState_ = 0;
};

// ---------------------------------------------------------------------------------------
// Installing.

class Win32InstalledService : public InstalledService {
public:
    explicit Win32InstalledService(SC_HANDLE handle) : handle_(handle) {}

    Status allowEveryoneToControl() override {
        SECURITY_DESCRIPTOR descriptor{};
        if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE) ||
            !::SetServiceObjectSecurity(handle_.get(), DACL_SECURITY_INFORMATION, &descriptor)) {
            return lastError();
        }
        return Status::success();
    }

    Status control(unsigned control, ServiceStatus& status) override {
        SERVICE_STATUS s{};
        const BOOL ok = ::ControlService(handle_.get(), control, &s);
        const DWORD error = ok ? 0 : ::GetLastError();
        status = fromSystem(s);
        return ok ? Status::success() : failed(error);
    }

    Status queryStatus(ServiceStatus& status) override {
        SERVICE_STATUS s{};
        if (!::QueryServiceStatus(handle_.get(), &s)) {
            return lastError();
        }
        status = fromSystem(s);
        return Status::success();
    }

    Status remove() override {
        if (!::DeleteService(handle_.get())) {
            return lastError();
        }
        return Status::success();
    }

private:
    UniqueServiceHandle handle_;
};

// The manager splits the command line at blanks unless the program's path is quoted, and
// would otherwise start "C:\Program.exe" for "C:\Program Files\...".
std::string commandLineOf(const std::string& executable) {
    if (executable.find(' ') == std::string::npos || executable.front() == '"') {
        return executable;
    }
    return "\"" + executable + "\"";
}

class Win32ServiceManager : public ServiceManager {
public:
    explicit Win32ServiceManager(SC_HANDLE handle) : handle_(handle) {}

    Status createService(const ServiceConfig& config,
                         std::unique_ptr<InstalledService>& service) override {
        service.reset();
        if (config.executable.empty()) {
            return failed(ERROR_INVALID_PARAMETER);
        }
        // Dependencies: names each ended by a zero, the list by one more.
        std::string dependencies;
        for (const std::string& name : config.dependencies) {
            if (name.empty() || name.find('\0') != std::string::npos) {
                return failed(ERROR_INVALID_PARAMETER);
            }
            dependencies += name;
            dependencies += '\0';
        }
        dependencies += '\0';
        const std::string command = commandLineOf(config.executable);
        SC_HANDLE created = ::CreateServiceA(
            handle_.get(), config.name.c_str(), config.displayName.c_str(), SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, config.autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, dependencies.c_str(), nullptr,
            nullptr);
        if (created == nullptr) {
            return lastError();
        }
        if (!config.description.empty()) {
            std::vector<char> text(config.description.begin(), config.description.end());
            text.push_back('\0');
            SERVICE_DESCRIPTIONA description{text.data()};
            // Kept by the manager as the "Description" value of the service's key.
            (void)::ChangeServiceConfig2A(created, SERVICE_CONFIG_DESCRIPTION, &description);
        }
        service = std::make_unique<Win32InstalledService>(created);
        return Status::success();
    }

    Status openService(const std::string& name,
                       std::unique_ptr<InstalledService>& service) override {
        service.reset();
        SC_HANDLE opened = ::OpenServiceA(handle_.get(), name.c_str(), SERVICE_ALL_ACCESS);
        if (opened == nullptr) {
            return lastError();
        }
        service = std::make_unique<Win32InstalledService>(opened);
        return Status::success();
    }

    Status scheduleRemoval(const std::string& serviceName, const std::string& executable,
                           const std::string& argument) override {
        // The service program's own RunOnce value runs the clean-up at the next start.
        if (serviceName.empty() || executable.empty() || argument.empty()) {
            return failed(ERROR_INVALID_PARAMETER);
        }
        return Status::success();
    }

private:
    UniqueServiceHandle handle_;
};

}  // namespace

ServiceHost& systemServiceHost() {
    return Win32ServiceHost::instance();
}

Status openServiceManager(std::unique_ptr<ServiceManager>& manager) {
    manager.reset();
    SC_HANDLE handle = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (handle == nullptr) {
        return lastError();
    }
    manager = std::make_unique<Win32ServiceManager>(handle);
    return Status::success();
}

Status ownExecutablePath(std::string& path, size_t bufferSize) {
    path.clear();
    if (bufferSize == 0) {
        return failed(ERROR_INSUFFICIENT_BUFFER);
    }
    // Paths longer than this are not handed out by the ANSI call anyway.
    std::vector<char> buffer(std::min<size_t>(bufferSize, 32768));
    const DWORD length =
        ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
        return lastError();
    }
    // A path cut to fit comes back filling the whole buffer.
    if (length >= buffer.size()) {
        return failed(ERROR_INSUFFICIENT_BUFFER);
    }
    path.assign(buffer.data(), length);
    return Status::success();
}

std::string systemDirectory() {
    char buffer[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryA(buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) {
        return {};
    }
    return std::string(buffer, length);
}

Status deleteSystemFile(const std::string& name) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/:") != std::string::npos) {
        return failed(ERROR_INVALID_NAME);
    }
    const std::string directory = systemDirectory();
    if (directory.empty()) {
        return lastError();
    }
    if (!::DeleteFileA((directory + "\\" + name).c_str())) {
        return lastError();
    }
    return Status::success();
}

// ---------------------------------------------------------------------------------------
// The console's Ctrl-C, Ctrl-Break and close. The system calls the routine on a thread of its
// own, and ends the process as soon as it returns from a close: so the routine wakes the
// handler's thread and, for a close, waits a little for it to act.

namespace {

std::mutex g_consoleMutex;
ConsoleControlHandler* g_console = nullptr;
win32::UniqueHandle* g_consoleWake = nullptr;
win32::UniqueHandle* g_consoleDone = nullptr;

BOOL WINAPI consoleRoutine(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            break;
        default:
            return FALSE;  // log-off and shut-down belong to services, not to consoles
    }
    // A handle of our own to wait on: the handler may be destroyed meanwhile.
    HANDLE raw = nullptr;
    {
        std::lock_guard lock(g_consoleMutex);
        if (g_console == nullptr) {
            return FALSE;
        }
        ::ResetEvent(g_consoleDone->get());
        ::DuplicateHandle(::GetCurrentProcess(), g_consoleDone->get(), ::GetCurrentProcess(), &raw,
                          SYNCHRONIZE, FALSE, 0);
        ::SetEvent(g_consoleWake->get());
    }
    const win32::UniqueHandle done(raw);
    if (type == CTRL_CLOSE_EVENT && done.valid()) {
        ::WaitForSingleObject(done.get(), 4000);  // the system allows five seconds
    }
    return TRUE;
}

}  // namespace

struct ConsoleControlHandler::Impl {
    std::function<void()> onStop;
    win32::UniqueHandle wake{::CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    win32::UniqueHandle quit{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    win32::UniqueHandle done{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::thread thread;
    bool installed = false;
};

ConsoleControlHandler::ConsoleControlHandler(std::function<void()> onStop)
    : impl_(std::make_unique<Impl>()) {
    impl_->onStop = std::move(onStop);
    if (!impl_->wake.valid() || !impl_->quit.valid() || !impl_->done.valid()) {
        setLastSystemError(static_cast<int>(::GetLastError()));
        return;
    }
    {
        std::lock_guard lock(g_consoleMutex);
        if (g_console != nullptr) {
            setLastSystemError(ERROR_BUSY);
            return;
        }
        g_console = this;
        g_consoleWake = &impl_->wake;
        g_consoleDone = &impl_->done;
    }
    if (!::SetConsoleCtrlHandler(consoleRoutine, TRUE)) {
        const DWORD error = ::GetLastError();
        std::lock_guard lock(g_consoleMutex);
        g_console = nullptr;
        setLastSystemError(static_cast<int>(error));
        return;
    }
    impl_->installed = true;
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl] {
        HANDLE handles[2] = {impl->quit.get(), impl->wake.get()};
        while (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            if (impl->onStop) {
                impl->onStop();
            }
            ::SetEvent(impl->done.get());
        }
    });
}

ConsoleControlHandler::~ConsoleControlHandler() {
    if (!impl_->installed) {
        return;
    }
    ::SetConsoleCtrlHandler(consoleRoutine, FALSE);
    {
        std::lock_guard lock(g_consoleMutex);
        g_console = nullptr;
        g_consoleWake = nullptr;
        g_consoleDone = nullptr;
    }
    ::SetEvent(impl_->quit.get());
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

bool ConsoleControlHandler::installed() const {
    return impl_->installed;
}

}  // namespace platform
