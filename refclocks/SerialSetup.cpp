#include "refclocks/SerialSetup.h"

namespace refclocks {

PortOpener systemPortOpener() {
    return [](const std::string& path, platform::Status& status) {
        return platform::SerialPort::open(path, status);
    };
}

std::unique_ptr<platform::SerialPort> openAndConfigure(const PortOpener& opener,
                                                       const std::string& path,
                                                       const std::string& mode,
                                                       const platform::LineSettings& line,
                                                       const platform::SerialTimeouts& timeouts) {
    platform::Status status;
    std::unique_ptr<platform::SerialPort> port = opener(path, status);
    if (!port) {
        return nullptr;
    }
    // As the receivers have always been driven: only the open itself is checked.
    (void)port->setQueues(256, 256);
    (void)port->purge();
    (void)port->configure(mode, line);
    (void)port->purge();
    (void)port->setTimeouts(timeouts);
    return port;
}

}  // namespace refclocks
