#include "service/ServiceInstaller.h"

#include <string>

#include "core/ErrorText.h"
#include "engine/CReg.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "platform/Thread.h"
#include "service/NTService.h"

namespace service {

using platform::RegRoot;
namespace svc = platform::svc;

ServiceInstaller::ServiceInstaller(std::FILE* out, core::MessageHandler& messages,
                                   ManagerOpener openManager, Sleeper sleep)
    : out_(out),
      messages_(messages),
      openManager_(std::move(openManager)),
      sleep_(sleep ? std::move(sleep) : Sleeper(platform::sleepFor)) {}

void ServiceInstaller::printLastError() {
    std::fprintf(out_, "%s\n", core::lastSystemErrorText().c_str());
    std::fflush(out_);
}

bool ServiceInstaller::install() {
    std::string path;
    if (!platform::ownExecutablePath(path, kInstallPathBuffer)) {
        printLastError();
        return false;
    }
    std::unique_ptr<platform::ServiceManager> manager;
    if (!openManager_(manager)) {
        printLastError();
        return false;
    }
    platform::ServiceConfig config;
    config.name = kServiceName;
    config.displayName = kDisplayName;
    config.description = kDescription;
    config.executable = path;
    config.dependencies = {"Tcpip"};
    config.autoStart = true;
    config.stopWaitHint = kStopWaitHintMs;
    // The store lives in the state folder (its default place), the log file in the log folder.
    config.confinement.confined = true;
    config.confinement.stateDirectory = "kronel";
    config.confinement.logsDirectory = "kronel";
    config.confinement.setsClock = true;
    config.confinement.privilegedPorts = true;
    config.confinement.rawSockets = true;
    config.confinement.serialPorts = true;
    config.confinement.networkInterfaces = true;
    std::unique_ptr<platform::InstalledService> service;
    if (!manager->createService(config, service)) {
        printLastError();
        return false;
    }
    if (!service->allowEveryoneToControl()) {
        printLastError();
        return false;
    }

    // Registry writes are not checked: the service runs without them.
    (void)engine::CReg(kServiceKey, RegRoot::LocalMachine).writeText("Description", kDescription);
    std::fprintf(out_, "Service installed\n");
    std::fflush(out_);
    service.reset();
    manager.reset();

    engine::CReg eventSource(kEventSourceKey, RegRoot::LocalMachine);
    (void)eventSource.writeText("EventMessageFile", kMessageFile);
    (void)eventSource.writeInt("TypesSupported", kTypesSupported);
    (void)engine::CReg(kControlPanelKey, RegRoot::LocalMachine)
        .writeInt(kMessageFile, kDateAndTimeCategory);
    return true;
}

bool ServiceInstaller::remove() {
    std::string path;
    if (!platform::ownExecutablePath(path, kRemovePathBuffer)) {
        // Without its own path the clean-up could not find the program: schedule nothing.
        printLastError();
        return false;
    }
    const std::string command = path + " " + kCleanupArgument;
    (void)engine::CReg(kRunOnceKey, RegRoot::LocalMachine).writeText(kRunOnceValue, command);

    // Where no RunOnce value is run at start-up the manager schedules the clean-up itself.
    std::unique_ptr<platform::ServiceManager> manager;
    if (!openManager_(manager) || !manager->scheduleRemoval(kServiceName, path, kCleanupArgument)) {
        printLastError();
        return false;
    }
    platform::messageBox(kRebootText, kRemoveCaption, platform::kMbOk);
    messages_.info(kServiceName, "%s", kRebootText);
    return true;
}

bool ServiceInstaller::cleanup() {
    std::unique_ptr<platform::ServiceManager> manager;
    std::unique_ptr<platform::InstalledService> service;
    if (!openManager_(manager) || !manager->openService(kServiceName, service)) {
        printLastError();
        return false;
    }
    platform::ServiceStatus status;
    if (service->control(svc::kControlStop, status)) {
        std::fprintf(out_, "Stopping %s.", kServiceName);
        std::fflush(out_);
        sleep_(platform::Millis(1000));
        for (int query = 0; query < kStopQueries && service->queryStatus(status) &&
                            status.currentState == svc::kStopPending;
             ++query) {
            std::fprintf(out_, ".");
            std::fflush(out_);
            sleep_(platform::Millis(1000));
        }
        if (status.currentState == svc::kStopped) {
            std::fprintf(out_, "\n%s stopped.\n", kServiceName);
        } else {
            std::fprintf(out_, "\n%s failed to stop.\n", kServiceName);
        }
        std::fflush(out_);
    }
    if (!service->remove()) {
        printLastError();
        return false;
    }
    std::fprintf(out_, "%s removed.\n", kServiceName);
    std::fflush(out_);
    service.reset();
    manager.reset();

    // Whatever is already gone stays gone: results ignored.
    (void)platform::deleteSystemFile("kronelsvc.exe");
    (void)platform::deleteSystemFile("kronel.cpl");
    (void)platform::deleteRegistryKey(RegRoot::LocalMachine, kEventSourceKey);
    (void)platform::deleteRegistryKey(RegRoot::LocalMachine, kUninstallKey);
    return true;
}

}  // namespace service
