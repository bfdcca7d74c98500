#pragma once
#include <cstdint>

namespace servers {

// This host's IPv4 address (network order): the first address of its own name, else the
// local address the system picks for a route outside; 0 when neither gives one.
uint32_t ownIPv4Address();

// A sender that is this host: its own address, or any loopback address, which only this
// host can send from.
bool isOwnAddress(uint32_t sender, uint32_t own);

}  // namespace servers
