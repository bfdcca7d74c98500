#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform {

namespace {

// Both ends of a pipe, closed on every path out.
struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() { closeBoth(); }
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        read = fds[0];
        write = fds[1];
        return true;
    }
    void closeWrite() {
        if (write >= 0) {
            ::close(write);
            write = -1;
        }
    }
    void closeRead() {
        if (read >= 0) {
            ::close(read);
            read = -1;
        }
    }
    void closeBoth() {
        closeRead();
        closeWrite();
    }
};

// posix_spawn's attribute and file-action objects as RAII.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool haveActions = false;
    bool haveAttributes = false;
    ~SpawnSetup() {
        if (haveActions) {
            posix_spawn_file_actions_destroy(&actions);
        }
        if (haveAttributes) {
            posix_spawnattr_destroy(&attributes);
        }
    }
};

bool nameListed(const char* entry, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=') {
            return true;
        }
    }
    return false;
}

std::vector<std::string> childEnvironment(const ChildProcess::Options& options) {
    std::vector<std::string> replaced = options.unsetEnvironment;
    for (const auto& [name, value] : options.setEnvironment) {
        replaced.push_back(name);
    }
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!nameListed(*entry, replaced)) {
            result.emplace_back(*entry);
        }
    }
    for (const auto& [name, value] : options.setEnvironment) {
        result.push_back(name + "=" + value);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

int signalNumber(ChildProcess::Signal which) {
    switch (which) {
        case ChildProcess::Signal::Interrupt:
            return SIGINT;
        case ChildProcess::Signal::Terminate:
            return SIGTERM;
        case ChildProcess::Signal::Hangup:
            return SIGHUP;
        case ChildProcess::Signal::Kill:
            break;
    }
    return SIGKILL;
}

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

}  // namespace

struct ChildProcess::Impl {
    pid_t pid = -1;
    bool reaped = false;
    int exitCode = 0;
    Pipe out;
    Pipe err;
    Pipe quit;  // wakes the reader when the object goes before the child's output ends
    std::thread reader;

    mutable std::mutex mutex;
    std::condition_variable drainedChanged;
    bool drained = false;
    std::string output;
    std::string errors;

    void readAll() {
        pollfd fds[3] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}, {quit.read, POLLIN, 0}};
        std::string* sinks[2] = {&output, &errors};
        char buffer[4096];
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[2].revents != 0) {
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) {
                    continue;
                }
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    std::lock_guard lock(mutex);
                    sinks[i]->append(buffer, static_cast<size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    fds[i].fd = -1;  // end of that stream
                }
            }
        }
        std::lock_guard lock(mutex);
        drained = true;
        drainedChanged.notify_all();
    }

    void reap(int status) {
        reaped = true;
        if (WIFEXITED(status)) {
            exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            exitCode = 128 + WTERMSIG(status);
        } else {
            exitCode = -1;
        }
    }

    // Polls the child once; true when it has ended.
    bool ended() {
        if (pid < 0 || reaped) {
            return true;
        }
        int status = 0;
        for (;;) {
            const pid_t got = ::waitpid(pid, &status, WNOHANG);
            if (got == pid) {
                reap(status);
                return true;
            }
            if (got == 0) {
                return false;
            }
            if (errno != EINTR) {
                // Reaped elsewhere: nothing more can be learnt about it.
                reaped = true;
                exitCode = -1;
                return true;
            }
        }
    }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
    if (impl_->pid > 0 && !impl_->reaped) {
        ::kill(impl_->pid, SIGKILL);
        int status = 0;
        while (::waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (impl_->reader.joinable()) {
        const char byte = 0;
        (void)!::write(impl_->quit.write, &byte, 1);
        impl_->reader.join();
    }
}

Status ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                           const Options& options) {
    if (impl_->pid > 0) {
        return failed(EBUSY);
    }
    if (!impl_->out.open() || !impl_->err.open() || !impl_->quit.open()) {
        const int error = errno;
        impl_->out.closeBoth();
        impl_->err.closeBoth();
        impl_->quit.closeBoth();
        return failed(error);
    }

    SpawnSetup setup;
    int rc = posix_spawn_file_actions_init(&setup.actions);
    setup.haveActions = rc == 0;
    if (rc == 0) {
        rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&setup.actions, impl_->out.write, 1);
    }
    if (rc == 0) {
        rc = posix_spawn_file_actions_adddup2(&setup.actions, impl_->err.write, 2);
    }
    if (rc == 0) {
        rc = posix_spawnattr_init(&setup.attributes);
        setup.haveAttributes = rc == 0;
    }
    if (rc == 0) {
        // The child starts with the signals a console would deliver in their default state,
        // whatever this process blocks or ignores.
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) {
            sigaddset(&defaults, sig);
        }
        posix_spawnattr_setsigmask(&setup.attributes, &none);
        posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
        rc = posix_spawnattr_setflags(&setup.attributes,
                                      POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }

    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envTexts = childEnvironment(options);
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(envTexts);

    pid_t pid = -1;
    if (rc == 0) {
        rc = options.searchPath ? posix_spawnp(&pid, program.c_str(), &setup.actions,
                                               &setup.attributes, argv.data(), envp.data())
                                : posix_spawn(&pid, program.c_str(), &setup.actions,
                                              &setup.attributes, argv.data(), envp.data());
    }
    impl_->out.closeWrite();
    impl_->err.closeWrite();
    if (rc != 0) {
        impl_->out.closeRead();
        impl_->err.closeRead();
        impl_->quit.closeBoth();
        return failed(rc);
    }
    impl_->pid = pid;
    impl_->reaped = false;
    Impl* impl = impl_.get();
    impl_->reader = std::thread([impl] { impl->readAll(); });
    return Status::success();
}

Status ChildProcess::signal(Signal which) {
    if (impl_->pid <= 0 || impl_->ended()) {
        return failed(ESRCH);
    }
    if (::kill(impl_->pid, signalNumber(which)) != 0) {
        return failed(errno);
    }
    return Status::success();
}

bool ChildProcess::wait(Millis timeout, int& exitCode) {
    if (impl_->pid <= 0) {
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    while (!impl_->ended()) {
        if (timeout != kInfinite && std::chrono::steady_clock::now() - start >= timeout) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The last output may still be in the pipes; a grandchild that keeps them open must
    // not hold the caller up for long.
    {
        std::unique_lock lock(impl_->mutex);
        impl_->drainedChanged.wait_for(lock, std::chrono::seconds(2),
                                       [this] { return impl_->drained; });
    }
    exitCode = impl_->exitCode;
    return true;
}

bool ChildProcess::running() {
    return impl_->pid > 0 && !impl_->ended();
}

std::string ChildProcess::output() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->output;
}

std::string ChildProcess::errors() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->errors;
}

}  // namespace platform
