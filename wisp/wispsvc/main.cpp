// wispsvc: follows NTP broadcasts (or sends them) as the service "Wisp". With no argument it
// runs under the service manager; "add", "remove" and "debug" install, remove and run it on
// the console.
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/ServiceHost.h"
#include "wisp/Text.h"
#include "wisp/WispService.h"
#include "wisp/WispSettings.h"
#include "wisp/WispWorker.h"

int main(int argc, char* argv[]) {
    wisp::StdoutConsole console;
    platform::Event stop(true, false);
    const wisp::WispVerb verb = wisp::parseWispVerb(argc, argv);
    // Only a debug run prints a line for every datagram: under the service manager a flood of
    // port 123 must not flood the log.
    wisp::WispWorker worker(console, platform::processClock(), wisp::iniPath(),
                            verb == wisp::WispVerb::Debug);

    switch (verb) {
        case wisp::WispVerb::RunService: {
            wisp::WispService service(console, platform::systemServiceHost(), stop,
                                      [&worker](platform::Event& s) { worker.run(s); });
            service.runDispatcher();
            break;
        }
        case wisp::WispVerb::Add:
            wisp::WispInstaller(console).install();
            break;
        case wisp::WispVerb::Remove:
            wisp::WispInstaller(console).remove();
            break;
        case wisp::WispVerb::Debug: {
            // Ctrl-C ends the run as a stop control would.
            const platform::ConsoleControlHandler ctrlC([&stop] { stop.set(); });
            worker.run(stop);
            break;
        }
        case wisp::WispVerb::Usage:
            std::fputs(wisp::wispUsageText().c_str(), stdout);
            break;
    }
    std::fflush(stdout);
    return 0;
}
