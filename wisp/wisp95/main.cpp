// wisp95: follows NTP broadcasts while a user is logged in, without a window to show.
// "--register" and "--unregister" add and remove its start-up entry.
#include <cstdio>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/ServiceHost.h"
#include "wisp/Text.h"
#include "wisp/Wisp95.h"

int main(int argc, char* argv[]) {
    wisp::StdoutConsole console;
    wisp::Wisp95 program(console, platform::processClock());
    const std::string_view first = argc >= 2 && argv[1] != nullptr ? argv[1] : "";
    if (first == "--register") {
        return program.registerStartup() ? 0 : 1;
    }
    if (first == "--unregister") {
        return program.unregisterStartup() ? 0 : 1;
    }
    if (!first.empty()) {
        std::fputs(
            "wisp95              to listen for time broadcasts\n"
            "wisp95 --register   to start it whenever you log in\n"
            "wisp95 --unregister to start it no more\n",
            stdout);
        return 1;
    }
    platform::Event stop(true, false);
    // The end of the session (or Ctrl-C where there is a console) ends the loop.
    const platform::ConsoleControlHandler ctrlC([&stop] { stop.set(); });
    return program.run(stop) ? 0 : 1;
}
