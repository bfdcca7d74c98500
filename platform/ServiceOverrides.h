#pragma once
#include <cstdint>
#include <optional>

namespace platform {

// The KRONEL_SERVICES table ("ntp/udp=11123,time/tcp=11037"), read once from the environment
// and replaceable through setServiceOverrides: the port a test gives a service, if any.
std::optional<uint16_t> serviceOverride(const char* name, const char* protocol);

}  // namespace platform
