#pragma once
// The systemd unit files that stand in for the Windows service manager's entries: text only,
// which the POSIX service manager writes and enables.
#include <string>

#include "platform/ServiceHost.h"

namespace platform {

// Service names compare as the Windows manager compares them: without regard to case.
bool sameServiceName(const std::string& a, const std::string& b);

// The unit of a service ("kronel.service") and of its scheduled removal.
std::string unitName(const std::string& serviceName);
std::string removalUnitName(const std::string& serviceName);

// A Type=notify unit that runs the service as the Windows manager would: its dependencies,
// its stop time-out, its start at boot and, for a confined service, its sandbox.
std::string serviceUnitText(const ServiceConfig& config);
// A one-shot unit that runs `executable argument` at the next start of the system.
std::string removalUnitText(const std::string& serviceName, const std::string& executable,
                            const std::string& argument);

}  // namespace platform
