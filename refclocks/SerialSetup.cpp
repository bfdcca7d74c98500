#include "refclocks/SerialSetup.h"

#include "core/ErrorText.h"
#include "core/Format.h"

namespace refclocks {

PortOpener systemPortOpener() {
    return [](const std::string& path, platform::Status& status) {
        return platform::SerialPort::open(path, status);
    };
}

std::unique_ptr<platform::SerialPort> openAndConfigure(
    const PortOpener& opener, const std::string& path, const std::string& mode,
    const platform::LineSettings& line, const platform::SerialTimeouts& timeouts,
    const std::string& shownName, std::string& failure) {
    platform::Status status;
    std::unique_ptr<platform::SerialPort> port = opener(path, status);
    if (!port) {
        failure = core::format("Can't open port %s", shownName.c_str());
        return nullptr;
    }
    (void)port->setQueues(256, 256);
    (void)port->purge();
    // A line left at the wrong speed or in cooked mode reads nothing a clock sends, so it is
    // as good as no port.
    const platform::Status configured = port->configure(mode, line);
    if (!configured.ok()) {
        failure = core::format("Can't configure port %s (%s)", shownName.c_str(),
                               core::systemErrorText(configured.error).c_str());
        return nullptr;
    }
    (void)port->purge();
    (void)port->setTimeouts(timeouts);
    return port;
}

}  // namespace refclocks
