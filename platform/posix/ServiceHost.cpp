// Running as a systemd service: the sd_notify status datagrams, the signal pipe that turns
// SIGTERM into the stop control, and the dispatcher's loop.
#include "platform/ServiceHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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

#include "platform/Seams.h"
#include "posix/PollWait.h"
#include "posix/ServiceUnit.h"

namespace platform {

namespace {

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
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

}  // namespace

ServiceHost& systemServiceHost() {
    static PosixServiceHost host;
    return host;
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
