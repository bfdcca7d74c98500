#pragma once
#include <cstdint>

#include "platform/Event.h"

namespace servers {

// This host's IPv4 address (network order): the first address of its own name, else the
// local address the system picks for a route outside; 0 when neither gives one, or when
// `stop` is set while the name server is still being asked.
uint32_t ownIPv4Address(platform::Event* stop = nullptr);

// A sender that is this host: its own address, or any loopback address, which only this
// host can send from.
bool isOwnAddress(uint32_t sender, uint32_t own);

}  // namespace servers
