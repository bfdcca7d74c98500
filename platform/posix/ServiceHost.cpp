#include "platform/ServiceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/ChildProcess.h"
#include "platform/Registry.h"
#include "platform/Seams.h"
#include "posix/PollWait.h"

namespace platform {

namespace {

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// Service names compare as the Windows manager compares them: without regard to case.
bool sameServiceName(const std::string& a, const std::string& b) {
    return lowerCase(a) == lowerCase(b);
}

// ---------------------------------------------------------------------------------------
// The notification socket ($NOTIFY_SOCKET): an AF_UNIX datagram socket, named by a path or,
// with a leading '@', by an abstract name.

struct NotifyAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

bool parseNotifyAddress(const std::string& text, NotifyAddress& out) {
    out = NotifyAddress{};
    if (text.size() < 2 || (text[0] != '/' && text[0] != '@')) {
        return false;
    }
    // A path needs room for its terminating zero; an abstract name has none.
    if (text.size() > sizeof out.address.sun_path - (text[0] == '/' ? 1 : 0)) {
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        return false;
    }
    out.address.sun_family = AF_UNIX;
    std::memcpy(out.address.sun_path, text.data(), text.size());
    if (text[0] == '@') {
        out.address.sun_path[0] = '\0';
    }
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size());
    return true;
}

// One datagram on a socket of its own, as sd_notify sends it, so a manager that re-creates
// its socket is still reached.
Status sendNotification(const NotifyAddress& to, const std::string& text) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return failed(errno);
    }
    ssize_t sent;
    do {
        sent = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&to.address), to.length);
    } while (sent < 0 && errno == EINTR);
    const int error = sent < 0 ? errno : (static_cast<size_t>(sent) == text.size() ? 0 : EMSGSIZE);
    ::close(fd);
    return error == 0 ? Status::success() : failed(error);
}

// The datagram for a status report: READY=1 once running, STOPPING=1 on a stop, a STATUS=
// line for every report, and the wait hint as an extension of the manager's time-out.
std::string notificationText(const ServiceStatus& status) {
    char line[160];
    auto pending = [&](const char* what) {
        std::snprintf(line, sizeof line, "STATUS=%s pending (check point %u, wait hint %u ms)",
                      what, status.checkPoint, status.waitHint);
        return std::string(line);
    };
    std::string text;
    bool isPending = false;
    switch (status.currentState) {
        case svc::kStartPending:
            text = pending("start");
            isPending = true;
            break;
        case svc::kRunning:
            text = "READY=1\nSTATUS=running";
            break;
        case svc::kStopPending:
            text = "STOPPING=1\n" + pending("stop");
            isPending = true;
            break;
        case svc::kStopped:
            if (status.win32ExitCode != 0) {
                std::snprintf(line, sizeof line, "STATUS=stopped (exit code %u)",
                              status.win32ExitCode);
                text = line;
            } else {
                text = "STATUS=stopped";
            }
            break;
        case svc::kContinuePending:
            text = pending("continue");
            isPending = true;
            break;
        case svc::kPausePending:
            text = pending("pause");
            isPending = true;
            break;
        default:
            text = "STATUS=paused";
            break;
    }
    if (isPending && status.waitHint > 0) {
        std::snprintf(line, sizeof line, "\nEXTEND_TIMEOUT_USEC=%llu",
                      static_cast<unsigned long long>(status.waitHint) * 1000ULL);
        text += line;
    }
    return text;
}

// ---------------------------------------------------------------------------------------
// Signals: the handler only writes the signal number into a pipe; a thread of ours reads it
// and does the work. One pipe at a time per process.

std::atomic<int> g_signalWriteFd{-1};

void forwardSignal(int sig) {
    const int saved = errno;
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(sig);
        (void)!::write(fd, &byte, 1);
    }
    errno = saved;
}

// Wake-up codes beside the signal numbers (which are below 65).
constexpr unsigned char kWakeQuit = 250;
constexpr unsigned char kWakeDone = 251;
constexpr unsigned char kWakeRecheck = 252;

class SignalPipe {
public:
    explicit SignalPipe(std::initializer_list<int> signals) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            error_ = errno;
            return;
        }
        read_ = fds[0];
        write_ = fds[1];
        int expected = -1;
        if (!g_signalWriteFd.compare_exchange_strong(expected, write_)) {
            error_ = EBUSY;
            return;
        }
        claimed_ = true;
        for (int sig : signals) {
            struct sigaction action {};
            action.sa_handler = forwardSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART;
            struct sigaction old {};
            if (::sigaction(sig, &action, &old) != 0) {
                error_ = errno;
                return;
            }
            saved_.emplace_back(sig, old);
        }
    }

    ~SignalPipe() {
        // Handlers first, so no signal finds the pipe gone.
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            ::sigaction(it->first, &it->second, nullptr);
        }
        if (claimed_) {
            g_signalWriteFd.store(-1);
        }
        if (read_ >= 0) {
            ::close(read_);
        }
        if (write_ >= 0) {
            ::close(write_);
        }
    }

    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    bool ok() const { return error_ == 0; }
    int error() const { return error_; }

    // A full pipe drops the byte; the reader is then awake already and rechecks its state.
    void post(unsigned char code) { (void)!::write(write_, &code, 1); }

    // Waits until something arrived and returns it.
    std::vector<unsigned char> next() {
        pollfd p{read_, POLLIN, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        std::vector<unsigned char> codes;
        unsigned char buffer[64];
        for (;;) {
            const ssize_t got = ::read(read_, buffer, sizeof buffer);
            if (got > 0) {
                codes.insert(codes.end(), buffer, buffer + got);
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return codes;
        }
    }

private:
    int read_ = -1;
    int write_ = -1;
    int error_ = 0;
    bool claimed_ = false;
    std::vector<std::pair<int, struct sigaction>> saved_;
};

// ---------------------------------------------------------------------------------------
// The running side: the dispatcher on the caller's thread, the service main on its own.

class PosixServiceHost : public ServiceHost {
public:
    Status startDispatcher(const std::string& serviceName, ServiceMain serviceMain) override {
        NotifyAddress address;
        if (!parseNotifyAddress(environment("NOTIFY_SOCKET"), address)) {
            return failed(svcerr::kFailedServiceControllerConnect);
        }
        {
            std::lock_guard lock(mutex_);
            if (active_) {
                return failed(svcerr::kServiceAlreadyRunning);
            }
            active_ = true;
        }
        SignalPipe signals({SIGTERM, SIGHUP});
        if (!signals.ok()) {
            std::lock_guard lock(mutex_);
            active_ = false;
            return failed(signals.error() == EBUSY ? svcerr::kServiceAlreadyRunning
                                                   : signals.error());
        }
        {
            std::lock_guard lock(mutex_);
            name_ = serviceName;
            address_ = address;
            wake_ = &signals;
        }

        std::atomic<bool> done{false};
        std::thread serviceThread([&] {
            serviceMain();
            done.store(true);
            signals.post(kWakeDone);
        });
        while (!done.load()) {
            bool interrogate = false;
            for (unsigned char code : signals.next()) {
                if (code == SIGTERM) {
                    std::lock_guard lock(mutex_);
                    stopHeld_ = true;
                } else if (code == SIGHUP) {
                    interrogate = true;
                }
            }
            deliverControls(interrogate);
        }
        serviceThread.join();

        std::lock_guard lock(mutex_);
        active_ = false;
        wake_ = nullptr;
        handler_ = nullptr;
        handle_ = 0;
        acceptsStop_ = false;
        stopHeld_ = false;
        return Status::success();
    }

    Status registerControlHandler(const std::string& serviceName, ServiceControlHandler handler,
                                  ServiceStatusHandle& handle) override {
        handle = 0;
        std::lock_guard lock(mutex_);
        if (!active_ || !sameServiceName(serviceName, name_) || !handler) {
            return failed(svcerr::kServiceDoesNotExist);
        }
        handler_ = std::move(handler);
        handle_ = nextHandle_++;
        handle = handle_;
        return Status::success();
    }

    Status setStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
        if (status.currentState < svc::kStopped || status.currentState > svc::kPaused) {
            return failed(EINVAL);
        }
        NotifyAddress address;
        {
            std::lock_guard lock(mutex_);
            if (!active_ || handle == 0 || handle != handle_) {
                return failed(EBADF);
            }
            acceptsStop_ = (status.controlsAccepted & svc::kAcceptStop) != 0;
            if (acceptsStop_ && stopHeld_ && wake_ != nullptr) {
                wake_->post(kWakeRecheck);
            }
            address = address_;
        }
        return sendNotification(address, notificationText(status));
    }

private:
    // Calls the handler on the dispatcher's thread, never under the lock: the handler
    // reports status itself.
    void deliverControls(bool interrogate) {
        ServiceControlHandler handler;
        bool stop = false;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
            if (handler && stopHeld_ && acceptsStop_) {
                stopHeld_ = false;
                stop = true;
            }
        }
        if (stop) {
            handler(svc::kControlStop);
        }
        if (interrogate && handler) {
            handler(svc::kControlInterrogate);
        }
    }

    std::mutex mutex_;
    bool active_ = false;
    std::string name_;
    NotifyAddress address_;
    SignalPipe* wake_ = nullptr;
    ServiceControlHandler handler_;
    ServiceStatusHandle handle_ = 0;
    ServiceStatusHandle nextHandle_ = 1;
    bool acceptsStop_ = false;
    bool stopHeld_ = false;
};

// ---------------------------------------------------------------------------------------
// Installing: unit files, and systemctl where systemd runs.

constexpr const char* kSystemUnitDirectory = "/etc/systemd/system";
constexpr const char* kSystemProgramDirectory = "/usr/local/lib/kronel";
constexpr Millis kSystemctlTimeout{90000};

std::string testDirectory() {
    return environment("KRONEL_UNIT_DIR");
}

std::string unitDirectory() {
    const std::string dir = testDirectory();
    return dir.empty() ? std::string(kSystemUnitDirectory) : dir;
}

// Only a real installation talks to systemd, and only where it runs (sd_booted's test).
bool systemdRunning() {
    if (!testDirectory().empty()) {
        return false;
    }
    struct stat st {};
    return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

std::string unitName(const std::string& serviceName) {
    return lowerCase(serviceName) + ".service";
}
std::string removalUnitName(const std::string& serviceName) {
    return lowerCase(serviceName) + "-cleanup.service";
}
std::string unitPath(const std::string& unit) {
    return unitDirectory() + "/" + unit;
}

bool validServiceName(const std::string& name) {
    if (name.empty() || name.size() > 200) {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// A line break or control character would end a unit-file line early and let a path write
// settings of its own.
bool plainText(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// A word of an Exec line: '%' and '$' would be expanded, blanks and quotes split words.
std::string execWord(const std::string& word) {
    std::string escaped;
    bool quote = word.empty();
    for (char c : word) {
        switch (c) {
            case '%':
                escaped += "%%";
                break;
            case '$':
                escaped += "$$";
                break;
            case '\\':
            case '"':
                escaped += '\\';
                escaped += c;
                quote = true;
                break;
            case ' ':
            case '\'':
            case ';':
                escaped += c;
                quote = true;
                break;
            default:
                escaped += c;
        }
    }
    return quote ? "\"" + escaped + "\"" : escaped;
}

// A value where specifiers are expanded.
std::string unitValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '%') {
            escaped += '%';
        }
    }
    return escaped;
}

// Windows service dependencies in systemd's terms; "Tcpip" is the network being up.
std::string dependencyUnit(const std::string& service) {
    if (sameServiceName(service, "Tcpip")) {
        return "network-online.target";
    }
    return unitName(service);
}

std::string seconds(uint32_t milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0) {
        std::snprintf(text, sizeof text, "%us", milliseconds / 1000);
    } else {
        std::snprintf(text, sizeof text, "%ums", milliseconds);
    }
    return text;
}

// The sandbox of a confined service: an account of its own made for each start, only the
// capabilities it uses, its own state and log folders, and the rest of the system read-only
// or out of sight. The clock stays writable (no ProtectClock=): setting it is the job.
std::string confinementText(const ServiceConfinement& c) {
    std::string capabilities;
    const auto add = [&capabilities](bool wanted, const char* name) {
        if (wanted) {
            capabilities += capabilities.empty() ? name : std::string(" ") + name;
        }
    };
    add(c.setsClock, "CAP_SYS_TIME");
    add(c.privilegedPorts, "CAP_NET_BIND_SERVICE");
    add(c.rawSockets, "CAP_NET_RAW");

    std::string text = "DynamicUser=yes\n";
    if (c.serialPorts) {
        text += "SupplementaryGroups=dialout\n";
    }
    text += "CapabilityBoundingSet=" + capabilities + "\n";
    if (!capabilities.empty()) {
        text += "AmbientCapabilities=" + capabilities + "\n";
    }
    if (!c.stateDirectory.empty()) {
        text += "StateDirectory=" + unitValue(c.stateDirectory) + "\nStateDirectoryMode=0750\n";
    }
    if (!c.logsDirectory.empty()) {
        text += "LogsDirectory=" + unitValue(c.logsDirectory) + "\nLogsDirectoryMode=0750\n";
        // Relative log file names land there.
        text += "WorkingDirectory=/var/log/" + unitValue(c.logsDirectory) + "\n";
    }
    text +=
        "UMask=0077\n"
        "NoNewPrivileges=yes\n"
        "ProtectSystem=strict\n"
        "ProtectHome=yes\n"
        "PrivateTmp=yes\n"
        "PrivateIPC=yes\n"
        "PrivateMounts=yes\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        "ProcSubset=pid\n"
        "DevicePolicy=closed\n";
    if (c.serialPorts) {
        text +=
            "DeviceAllow=char-ttyS rw\nDeviceAllow=char-ttyUSB rw\nDeviceAllow=char-ttyACM rw\n";
    } else {
        // No device of its own: a /dev with the pseudo devices alone.
        text += "PrivateDevices=yes\n";
    }
    text += std::string("RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6") +
            (c.networkInterfaces ? " AF_NETLINK\n" : "\n");
    text +=
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "RemoveIPC=yes\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service @clock\n"
        "SystemCallFilter=~@resources\n"
        "SystemCallErrorNumber=EPERM\n";
    return text;
}

std::string serviceUnitText(const ServiceConfig& config) {
    std::string text = "# " + config.displayName + "\n";
    if (!config.description.empty()) {
        text += "# " + config.description + "\n";
    }
    text += "\n[Unit]\nDescription=" + unitValue(config.displayName) + "\n";
    for (const std::string& dependency : config.dependencies) {
        text += "Wants=" + dependencyUnit(dependency) + "\n";
        text += "After=" + dependencyUnit(dependency) + "\n";
    }
    text += "\n[Service]\nType=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + execWord(config.executable) + "\n";
    text += "Restart=on-failure\nRestartSec=5s\nKillSignal=SIGTERM\n";
    if (config.stopWaitHint > 0) {
        text += "TimeoutStopSec=" + seconds(config.stopWaitHint) + "\n";
    }
    if (config.confinement.confined) {
        text += confinementText(config.confinement);
    }
    if (config.autoStart) {
        text += "\n[Install]\nWantedBy=multi-user.target\n";
    }
    return text;
}

std::string removalUnitText(const std::string& serviceName, const std::string& executable,
                            const std::string& argument) {
    std::string text = "# Finishes removing " + serviceName + " at the next start of the system.\n";
    text += "\n[Unit]\nDescription=Finish removing " + unitValue(serviceName) + "\n";
    text += "After=" + unitName(serviceName) + "\n";
    text += "\n[Service]\nType=oneshot\n";
    text += "ExecStart=" + execWord(executable) + " " + execWord(argument) + "\n";
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

// Writes the whole file beside its place and moves it there, so a unit file is never seen
// half written. `exclusive`: fail with kServiceExists when the file is there already.
Status writeUnitFile(const std::string& path, const std::string& text, bool exclusive) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return failed(errno);
    }
    size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        done += static_cast<size_t>(written);
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0) {
        if (exclusive) {
            if (::link(temporary.c_str(), path.c_str()) != 0) {
                error = errno == EEXIST ? svcerr::kServiceExists : errno;
            }
        } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
            error = errno;
        }
    }
    ::unlink(temporary.c_str());
    return error == 0 ? Status::success() : failed(error);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Runs systemctl; its exit code, or -1 (last system error set) when it could not run.
// `quiet`: its complaints are expected (queries) and not passed on.
int systemctl(const std::vector<std::string>& arguments, std::string* output, bool quiet) {
    ChildProcess child;
    ChildProcess::Options options;
    options.searchPath = true;
    if (!child.start("systemctl", arguments, options)) {
        return -1;
    }
    int code = 0;
    if (!child.wait(kSystemctlTimeout, code)) {
        (void)child.signal(ChildProcess::Signal::Kill);
        (void)child.wait(kInfinite, code);
        setLastSystemError(ETIMEDOUT);
        return -1;
    }
    if (output != nullptr) {
        *output = child.output();
    }
    if (code != 0 && !quiet) {
        std::fputs(child.errors().c_str(), stderr);
    }
    return code;
}

// A systemctl call that must succeed.
Status systemctlStep(const std::vector<std::string>& arguments) {
    const int code = systemctl(arguments, nullptr, false);
    if (code < 0) {
        return Status::failure(lastSystemError());
    }
    return code == 0 ? Status::success() : failed(EIO);
}

class PosixInstalledService : public InstalledService {
public:
    explicit PosixInstalledService(std::string name) : name_(std::move(name)) {}

    Status allowEveryoneToControl() override {
        // Who may control a unit is systemd's (polkit's) decision; the unit has no say.
        return Status::success();
    }

    Status control(unsigned control, ServiceStatus& status) override {
        if (control == svc::kControlInterrogate) {
            return queryStatus(status);
        }
        if (control != svc::kControlStop) {
            return failed(svcerr::kServiceCannotAcceptControl);
        }
        if (!systemdRunning()) {
            return failed(svcerr::kServiceNotActive);
        }
        const std::string unit = unitName(name_);
        const int active = systemctl({"is-active", "--quiet", unit}, nullptr, true);
        if (active < 0) {
            return Status::failure(lastSystemError());
        }
        if (active != 0) {
            return failed(svcerr::kServiceNotActive);
        }
        // systemd itself kills the service once its stop time-out has passed.
        const Status stopped = systemctlStep({"stop", unit});
        if (!stopped) {
            return stopped;
        }
        return queryStatus(status);
    }

    Status queryStatus(ServiceStatus& status) override {
        status = ServiceStatus{};
        status.currentState = svc::kStopped;
        if (!systemdRunning()) {
            return Status::success();
        }
        std::string state;
        const int code =
            systemctl({"show", "--property=ActiveState", "--value", unitName(name_)}, &state, true);
        if (code < 0) {
            return Status::failure(lastSystemError());
        }
        if (code != 0) {
            return failed(svcerr::kServiceDoesNotExist);
        }
        while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) {
            state.pop_back();
        }
        if (state == "active" || state == "reloading") {
            status.currentState = svc::kRunning;
        } else if (state == "activating") {
            status.currentState = svc::kStartPending;
        } else if (state == "deactivating") {
            status.currentState = svc::kStopPending;
        }
        if (status.currentState == svc::kRunning || status.currentState == svc::kStopPending) {
            status.controlsAccepted = svc::kAcceptStop;
        }
        return Status::success();
    }

    Status remove() override {
        const std::string unit = unitName(name_);
        const std::string removal = removalUnitName(name_);
        const std::string path = unitPath(unit);
        if (!fileExists(path)) {
            return failed(svcerr::kServiceDoesNotExist);
        }
        const bool systemd = systemdRunning();
        if (systemd) {
            (void)systemctl({"disable", unit}, nullptr, false);
            if (fileExists(unitPath(removal))) {
                (void)systemctl({"disable", removal}, nullptr, true);
            }
        }
        if (::unlink(path.c_str()) != 0) {
            return failed(errno);
        }
        // The removal entry has done its work once the service is gone (Windows drops a
        // RunOnce value as it runs it).
        ::unlink(unitPath(removal).c_str());
        if (systemd) {
            (void)systemctl({"daemon-reload"}, nullptr, false);
        }
        // The Windows manager deletes the service's own registry key with the service.
        (void)deleteRegistryKey(RegRoot::LocalMachine,
                                "SYSTEM\\CurrentControlSet\\Services\\" + name_);
        return Status::success();
    }

private:
    std::string name_;
};

class PosixServiceManager : public ServiceManager {
public:
    Status createService(const ServiceConfig& config,
                         std::unique_ptr<InstalledService>& service) override {
        service.reset();
        if (!validServiceName(config.name) || !plainText(config.displayName) ||
            !plainText(config.description) || !plainText(config.executable) ||
            config.executable.empty() || config.executable[0] != '/') {
            return failed(EINVAL);
        }
        for (const std::string& dependency : config.dependencies) {
            if (!validServiceName(dependency)) {
                return failed(EINVAL);
            }
        }
        const std::string unit = unitName(config.name);
        const std::string path = unitPath(unit);
        const Status written = writeUnitFile(path, serviceUnitText(config), true);
        if (!written) {
            return written;
        }
        if (systemdRunning()) {
            Status enabled = systemctlStep({"daemon-reload"});
            if (enabled && config.autoStart) {
                enabled = systemctlStep({"enable", unit});
            }
            if (!enabled) {
                ::unlink(path.c_str());
                return failed(enabled.error);
            }
        }
        service = std::make_unique<PosixInstalledService>(config.name);
        return Status::success();
    }

    Status openService(const std::string& name,
                       std::unique_ptr<InstalledService>& service) override {
        service.reset();
        if (!validServiceName(name) || !fileExists(unitPath(unitName(name)))) {
            return failed(svcerr::kServiceDoesNotExist);
        }
        service = std::make_unique<PosixInstalledService>(name);
        return Status::success();
    }

    Status scheduleRemoval(const std::string& serviceName, const std::string& executable,
                           const std::string& argument) override {
        if (!validServiceName(serviceName) || !plainText(executable) || !plainText(argument) ||
            executable.empty() || executable[0] != '/') {
            return failed(EINVAL);
        }
        const std::string unit = removalUnitName(serviceName);
        const Status written = writeUnitFile(
            unitPath(unit), removalUnitText(serviceName, executable, argument), false);
        if (!written) {
            return written;
        }
        if (systemdRunning()) {
            Status enabled = systemctlStep({"daemon-reload"});
            if (enabled) {
                enabled = systemctlStep({"enable", unit});
            }
            if (!enabled) {
                return enabled;
            }
        }
        return Status::success();
    }
};

}  // namespace

ServiceHost& systemServiceHost() {
    static PosixServiceHost host;
    return host;
}

Status openServiceManager(std::unique_ptr<ServiceManager>& manager) {
    manager.reset();
    // Full access to the manager is the right to write its unit directory.
    if (::access(unitDirectory().c_str(), W_OK) != 0) {
        return failed(errno);
    }
    manager = std::make_unique<PosixServiceManager>();
    return Status::success();
}

Status ownExecutablePath(std::string& path, size_t bufferSize) {
    path.clear();
    std::vector<char> buffer(4097);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
        return failed(errno);
    }
    if (static_cast<size_t>(length) >= buffer.size() ||
        static_cast<size_t>(length) + 1 > bufferSize) {
        return failed(ENAMETOOLONG);
    }
    path.assign(buffer.data(), static_cast<size_t>(length));
    return Status::success();
}

std::string systemDirectory() {
    const std::string dir = testDirectory();
    return dir.empty() ? std::string(kSystemProgramDirectory) : dir;
}

Status deleteSystemFile(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        return failed(EINVAL);
    }
    const std::string path = systemDirectory() + "/" + name;
    if (::unlink(path.c_str()) != 0) {
        return failed(errno);
    }
    return Status::success();
}

// ---------------------------------------------------------------------------------------

struct ConsoleControlHandler::Impl {
    explicit Impl(std::function<void()> stop)
        : onStop(std::move(stop)), signals({SIGINT, SIGTERM, SIGHUP}) {}
    std::function<void()> onStop;
    SignalPipe signals;
    std::thread thread;
};

ConsoleControlHandler::ConsoleControlHandler(std::function<void()> onStop)
    : impl_(std::make_unique<Impl>(std::move(onStop))) {
    if (!impl_->signals.ok()) {
        setLastSystemError(impl_->signals.error());
        return;
    }
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl] {
        for (;;) {
            for (unsigned char code : impl->signals.next()) {
                if (code == kWakeQuit) {
                    return;
                }
                if (impl->onStop) {
                    impl->onStop();
                }
            }
        }
    });
}

ConsoleControlHandler::~ConsoleControlHandler() {
    if (impl_->thread.joinable()) {
        impl_->signals.post(kWakeQuit);
        impl_->thread.join();
    }
}

bool ConsoleControlHandler::installed() const {
    return impl_->signals.ok();
}

// ---------------------------------------------------------------------------------------

ServiceNotifyListener::ServiceNotifyListener() = default;

ServiceNotifyListener::~ServiceNotifyListener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

Status ServiceNotifyListener::bind(const std::string& address) {
    NotifyAddress parsed;
    if (fd_ >= 0 || !parseNotifyAddress(address, parsed)) {
        return failed(EINVAL);
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return failed(errno);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&parsed.address), parsed.length) != 0) {
        const int error = errno;
        ::close(fd);
        return failed(error);
    }
    fd_ = fd;
    if (address[0] == '/') {
        path_ = address;
    }
    return Status::success();
}

std::optional<std::string> ServiceNotifyListener::receive(Millis timeout) {
    if (fd_ < 0) {
        return std::nullopt;
    }
    PollDeadline deadline(timeout);
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, deadline.remainingMs());
        if (ready > 0) {
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got >= 0) {
                return std::string(buffer, static_cast<size_t>(got));
            }
            if (errno != EINTR && errno != EAGAIN) {
                setLastSystemError(errno);
                return std::nullopt;
            }
        } else if (ready < 0 && errno != EINTR) {
            setLastSystemError(errno);
            return std::nullopt;
        }
        if (deadline.expired()) {
            return std::nullopt;
        }
    }
}

}  // namespace platform
