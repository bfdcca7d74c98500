#include "service/NTService.h"

#include "core/ErrorText.h"

namespace service {

using platform::ServiceStatus;
namespace svc = platform::svc;

ServiceSystem::~ServiceSystem() = default;

platform::Status ServiceSystem::startSockets(int /*major*/, int /*minor*/) {
    // BSD sockets need no start-up; Winsock's is the Windows build's business.
    return platform::Status::success();
}

void ServiceSystem::stopSockets() {}

bool ServiceSystem::openEventLog(const std::string& source) {
    eventLog_ = std::make_unique<platform::EventLog>(source);
    eventLog_->setReportRepeats(true);
    return eventLog_->isOpen();
}

bool ServiceSystem::reportEvent(platform::EventType type, unsigned eventId, const char* text) {
    return eventLog_ != nullptr && eventLog_->report(type, eventId, text);
}

void ServiceSystem::closeEventLog() {
    eventLog_.reset();
}

NTService::NTService(core::MessageHandler& messages, EngineLoop engineLoop, platform::Event& stop,
                     bool consoleDebug, platform::ServiceHost& host, ServiceSystem& system)
    : messages_(messages),
      engineLoop_(std::move(engineLoop)),
      stop_(stop),
      host_(host),
      system_(system),
      consoleDebug_(consoleDebug) {}

void NTService::setConsoleDebug(bool on) {
    std::lock_guard lock(statusMutex_);
    consoleDebug_ = on;
}

bool NTService::consoleDebug() const {
    std::lock_guard lock(statusMutex_);
    return consoleDebug_;
}

platform::Status NTService::runDispatcher() {
    return host_.startDispatcher(kServiceName, [this] { serviceMain(); });
}

bool NTService::reportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) {
    std::lock_guard lock(statusMutex_);
    if (state == kLastReportedState) {
        state = lastState_;
    } else {
        lastState_ = state;
    }
    if (consoleDebug_) {
        return true;
    }
    status_.serviceType = svc::kWin32OwnProcess;
    status_.currentState = state;
    // A service still starting cannot act on a stop.
    status_.controlsAccepted = state == svc::kStartPending ? 0 : svc::kAcceptStop;
    status_.win32ExitCode = exitCode;
    status_.serviceSpecificExitCode = 0;
    status_.waitHint = waitHintMs;
    status_.checkPoint = (state == svc::kRunning || state == svc::kStopped) ? 0 : checkPoint_++;
    if (!host_.setStatus(statusHandle_, status_)) {
        // A manager that no longer listens cannot stop us either: stop on our own.
        messages_.error(kServiceName, "SetServiceStatus failed (%s)",
                        core::lastSystemErrorText().c_str());
        stop_.set();
        return false;
    }
    return true;
}

void NTService::control(unsigned code) {
    if (code == svc::kControlStop) {
        reportStatus(svc::kStopPending, 0, kStopWaitHintMs);
        stop_.set();
        return;
    }
    reportStatus(kLastReportedState, 0, 0);
}

void NTService::serviceMain() {
    platform::ServiceStatusHandle handle = 0;
    const platform::Status registered = host_.registerControlHandler(
        kServiceName, [this](unsigned code) { control(code); }, handle);
    if (!registered) {
        messages_.error(kServiceName, "RegisterServiceCtrlHandler failed (%s)",
                        core::lastSystemErrorText().c_str());
        return;
    }
    {
        std::lock_guard lock(statusMutex_);
        statusHandle_ = handle;
    }
    if (!reportStatus(svc::kStartPending, 0, kStartWaitHintMs)) {
        return;
    }
    serviceBody();
}

void NTService::serviceBody() {
    system_.openEventLog(kServiceName);
    reportStatus(svc::kStartPending, 0, kStartWaitHintMs);

    // Winsock 1.1.
    const platform::Status sockets = system_.startSockets(1, 1);
    if (!sockets) {
        messages_.error(kServiceName, "WSAStartup failed (%s)", core::winsockErrorText().c_str());
        system_.closeEventLog();
        // Tell the manager the start has ended; otherwise it waits for a service that never
        // comes up.
        reportStatus(svc::kStopped, static_cast<uint32_t>(sockets.error), 0);
        return;
    }

    system_.reportEvent(platform::EventType::Information, kServiceStartedEvent, nullptr);
    reportStatus(svc::kRunning, 0, 0);

    engineLoop_(stop_);

    system_.reportEvent(platform::EventType::Information, kServiceStoppedEvent, nullptr);
    system_.stopSockets();
    reportStatus(svc::kStopped, 0, 0);
    system_.closeEventLog();
}

ServiceStatus NTService::lastStatus() const {
    std::lock_guard lock(statusMutex_);
    return status_;
}

}  // namespace service
