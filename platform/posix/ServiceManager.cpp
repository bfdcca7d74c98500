// Installing and removing services: unit files, and systemctl where systemd runs.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/ChildProcess.h"
#include "platform/Registry.h"
#include "platform/Seams.h"
#include "platform/ServiceHost.h"
#include "posix/FileWrite.h"
#include "posix/ServiceUnit.h"

namespace platform {

namespace {

Status failed(int error) {
    setLastSystemError(error);
    return Status::failure(error);
}

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

// Writes the unit file whole, so it is never seen half written. `exclusive`: fail with
// kServiceExists when the file is there already.
Status writeUnitFile(const std::string& path, const std::string& text, bool exclusive) {
    ReplaceOptions options;
    options.keepExisting = exclusive;
    int error = replaceFile(path, text, options);
    if (error == EEXIST && exclusive) {
        error = svcerr::kServiceExists;
    }
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

}  // namespace platform
