#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/SerialPort.h"

namespace refclocks {

// Opens a port; replaceable so tests can hand a client a port of their own.
using PortOpener = std::function<std::unique_ptr<platform::SerialPort>(const std::string& path,
                                                                       platform::Status& status)>;
PortOpener systemPortOpener();

// The opening sequence of every receiver: 256-byte queues, purge, line settings from
// the mode string and `line`, purge again, time-outs. nullptr when the port cannot be opened
// or its line settings cannot be applied; `failure` then holds the Error line naming
// `shownName`.
std::unique_ptr<platform::SerialPort> openAndConfigure(
    const PortOpener& opener, const std::string& path, const std::string& mode,
    const platform::LineSettings& line, const platform::SerialTimeouts& timeouts,
    const std::string& shownName, std::string& failure);

}  // namespace refclocks
