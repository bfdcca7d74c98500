#include "wisp/WispService.h"
#include "core/Format.h"

#include <string_view>

#include "platform/Thread.h"

namespace wisp {

namespace svc = platform::svc;

WispVerb parseWispVerb(int argc, const char* const argv[]) {
    if (argc < 2 || argv[1] == nullptr) {
        return WispVerb::RunService;
    }
    const std::string_view first = argv[1];
    if (first == "add") {
        return WispVerb::Add;
    }
    if (first == "remove") {
        return WispVerb::Remove;
    }
    if (first == "debug") {
        return WispVerb::Debug;
    }
    return WispVerb::Usage;
}

std::string wispUsageText() {
    return core::format("%s add              to install the service\n", kProgramName) +
           core::format("%s remove           to remove the service\n", kProgramName) +
           core::format("%s debug            to run as a console application for debugging\n",
                        kProgramName);
}

WispService::WispService(Console& console, platform::ServiceHost& host, platform::Event& stop,
                         WispBody body)
    : console_(console), host_(host), stop_(stop), body_(std::move(body)) {}

bool WispService::runDispatcher() {
    if (!host_.startDispatcher(kServiceName, [this] { serviceMain(); })) {
        console_.print("StartServiceCtrlDispatcher failed (%s)", lastSystemErrorText().c_str());
        stop_.set();
        return false;
    }
    return true;
}

bool WispService::report(uint32_t state, uint32_t waitHintMs) {
    std::lock_guard lock(mutex_);
    if (state != 0) {
        state_ = state;
    }
    platform::ServiceStatus status;
    status.currentState = state_;
    status.controlsAccepted = state_ == svc::kStartPending ? 0 : svc::kAcceptStop;
    status.waitHint = waitHintMs;
    status.checkPoint = (state_ == svc::kRunning || state_ == svc::kStopped) ? 0 : checkPoint_++;
    return host_.setStatus(handle_, status).ok();
}

void WispService::control(unsigned code) {
    if (code == svc::kControlStop) {
        report(svc::kStopPending, kWaitHintMs);
        stop_.set();
        return;
    }
    report(0, 0);
}

void WispService::serviceMain() {
    platform::ServiceStatusHandle handle = 0;
    if (!host_.registerControlHandler(
            kServiceName, [this](unsigned code) { control(code); }, handle)) {
        console_.print("RegisterServiceCtrlHandler failed (%s)", lastSystemErrorText().c_str());
        stop_.set();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        handle_ = handle;
    }
    if (report(svc::kStartPending, kWaitHintMs) && report(svc::kRunning, 0)) {
        body_(stop_);
    } else {
        // A manager that takes no report cannot stop us either.
        stop_.set();
    }
    report(svc::kStopped, 0);
}

WispInstaller::WispInstaller(Console& console, ManagerOpener openManager, Sleeper sleep)
    : console_(console),
      openManager_(std::move(openManager)),
      sleep_(sleep ? std::move(sleep) : Sleeper(platform::sleepFor)) {}

bool WispInstaller::install() {
    std::string path;
    if (!platform::ownExecutablePath(path, 512)) {
        console_.print("GetModuleFileName failed - %s", lastSystemErrorText().c_str());
        return false;
    }
    std::unique_ptr<platform::ServiceManager> manager;
    if (!openManager_(manager)) {
        console_.print("OpenSCManager failed - %s", lastSystemErrorText().c_str());
        return false;
    }
    platform::ServiceConfig config;
    config.name = kServiceName;
    config.displayName = kDisplayName;
    config.executable = path;
    config.dependencies = {"Tcpip"};
    config.autoStart = true;
    config.stopWaitHint = kWaitHintMs;
    // Port 123 and the clock; its ini file is only read.
    config.confinement.confined = true;
    config.confinement.setsClock = true;
    config.confinement.privilegedPorts = true;
    std::unique_ptr<platform::InstalledService> service;
    if (!manager->createService(config, service)) {
        console_.print("CreateService failed - %s", lastSystemErrorText().c_str());
        return false;
    }
    console_.line("Service installed\n");
    return true;
}

bool WispInstaller::remove() {
    std::unique_ptr<platform::ServiceManager> manager;
    if (!openManager_(manager)) {
        console_.print("OpenSCManager failed - %s", lastSystemErrorText().c_str());
        return false;
    }
    std::unique_ptr<platform::InstalledService> service;
    if (!manager->openService(kServiceName, service)) {
        console_.print("OpenService failed - %s", lastSystemErrorText().c_str());
        return false;
    }
    platform::ServiceStatus status;
    if (service->control(svc::kControlStop, status)) {
        // One line made of dots, as the service takes its time.
        std::string progress = core::format("Stopping %s.", kDisplayName);
        sleep_(platform::Millis(1000));
        for (int query = 0; query < kStopQueries && service->queryStatus(status) &&
                            status.currentState == svc::kStopPending;
             ++query) {
            progress += ".";
            sleep_(platform::Millis(1000));
        }
        if (status.currentState == svc::kStopped) {
            console_.line(progress + core::format("\n%s stopped.\n", kDisplayName));
        } else {
            console_.line(progress + core::format("\n%s failed to stop.\n", kDisplayName));
        }
    }
    if (!service->remove()) {
        console_.print("DeleteService failed - %s", lastSystemErrorText().c_str());
        return false;
    }
    console_.line(core::format("%s removed.\n", kDisplayName));
    return true;
}

}  // namespace wisp
