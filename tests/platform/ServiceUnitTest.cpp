// The systemd unit text on its own: no unit directory, no systemctl.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "posix/ServiceUnit.h"

using namespace platform;

namespace {

ServiceConfig manualStart() {
    ServiceConfig c;
    c.name = "Kronel";
    c.displayName = "Kronel 100% time";
    c.executable = "/opt/my kronel/kronelsvc";
    c.dependencies = {"Tcpip", "Other"};
    c.autoStart = false;
    c.stopWaitHint = 1500;
    return c;
}

}  // namespace

// Specifiers, blanks and '$' are escaped where systemd would read them; dependencies become
// units, the stop time-out keeps its milliseconds, and only a started service is installed.
TEST(ServiceUnit, WritesTheUnitsText) {
    const struct {
        const char* what;
        std::function<std::string()> text;
        const char* expected;
    } cases[] = {
        {"service", [] { return serviceUnitText(manualStart()); },
         "# Kronel 100% time\n"
         "\n[Unit]\n"
         "Description=Kronel 100%% time\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "Wants=other.service\n"
         "After=other.service\n"
         "\n[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=\"/opt/my kronel/kronelsvc\"\n"
         "Restart=on-failure\n"
         "RestartSec=5s\n"
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=1500ms\n"},
        {"removal", [] { return removalUnitText("Kronel", "/usr/bin/kronelsvc", "-remove$"); },
         "# Finishes removing Kronel at the next start of the system.\n"
         "\n[Unit]\n"
         "Description=Finish removing Kronel\n"
         "After=kronel.service\n"
         "\n[Service]\n"
         "Type=oneshot\n"
         "ExecStart=/usr/bin/kronelsvc -remove$$\n"
         "\n[Install]\n"
         "WantedBy=multi-user.target\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text(), c.expected) << c.what;
    }
}
#endif
