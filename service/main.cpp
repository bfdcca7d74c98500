// kronelsvc: the time service. With no argument it runs under the service manager; the verbs
// install, remove and clean up the service or run it in the console.
#include <cstdio>
#include <exception>
#include <memory>

#include "alerts/WatchdogFactory.h"
#include "app/ProtocolTable.h"
#include "core/ErrorText.h"
#include "engine/CHandler.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/MessageBox.h"
#include "platform/ServiceHost.h"
#include "service/CommandLine.h"
#include "service/NTService.h"
#include "service/ServiceInstaller.h"

namespace {

int runService(service::NTService& ntService, engine::CHandler& handler, platform::Event& stop) {
    if (!ntService.runDispatcher()) {
        // Typically started from a console rather than by the service manager.
        const std::string text = core::lastSystemErrorText();
        platform::messageBox(text, "Error", platform::kMbIconError);
        handler.error(service::kServiceName, "StartServiceCtrlDispatcher failed (%s)",
                      text.c_str());
        stop.set();
    }
    return 0;
}

int runInConsole(service::NTService& ntService, platform::Event& stop) {
    // Ctrl-C or a termination request ends the run as a stop control would.
    const platform::ConsoleControlHandler console([&stop] { stop.set(); });
    ntService.setConsoleDebug(true);
    ntService.serviceBody();
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool consoleDebug = service::consoleDebugRequested(argc, argv);
    // A service has no desktop: the alert's box becomes an Error line of its log.
    auto handler = std::make_unique<engine::CHandler>(
        consoleDebug, app::makeProtocolTable(),
        alerts::makeWatchdogFactory(alerts::AlertBoxKind::Logged));
    const service::Verb verb = service::parseVerb(argc, argv);
    // Only the verbs that run the engine read the store; the others leave it as it is.
    if (verb == service::Verb::RunService || verb == service::Verb::Debug) {
        handler->loadSettings();
    }
    handler->info(service::kServiceName, "%s", platform::processClock().description().c_str());
    if ((verb == service::Verb::RunService || verb == service::Verb::Debug) &&
        !platform::holdsTimePrivilege()) {
        handler->warn(service::kServiceName, "%s", service::kNoTimePrivilegeText);
    }

    std::unique_ptr<platform::Event> stop;
    try {
        stop = std::make_unique<platform::Event>(true, false);
    } catch (const std::exception&) {
        handler->error(service::kServiceName, "CreateEvent failed (%s)",
                       core::lastSystemErrorText().c_str());
        return 0;
    }

    service::ServiceSystem system;
    service::NTService ntService(
        *handler, [&handler](platform::Event& stopEvent) { handler->run(stopEvent); }, *stop,
        consoleDebug, platform::systemServiceHost(), system);
    service::ServiceInstaller installer(stdout, *handler);

    int exitCode = service::exitCodeOf(verb);
    switch (verb) {
        case service::Verb::RunService:
            exitCode = runService(ntService, *handler, *stop);
            break;
        case service::Verb::Add:
            installer.install();
            break;
        case service::Verb::Remove:
            installer.remove();
            break;
        case service::Verb::Cleanup:
            installer.cleanup();
            break;
        case service::Verb::Debug:
            exitCode = runInConsole(ntService, *stop);
            break;
        case service::Verb::Usage:
            std::fputs(service::usageText().c_str(), stdout);
            break;
    }
    std::fflush(stdout);
    handler.reset();
    return exitCode;
}
