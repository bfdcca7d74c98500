#pragma once
#include <cstdint>
#include <string>

#include "platform/Event.h"
#include "platform/Result.h"

namespace platform {

// A backend's blocking host-name lookup: the first IPv4 address (network order) of `name`,
// or the WinSock number of its failure.
using BlockingLookup = Status (*)(const std::string& name, uint32_t& address);

// Runs `lookup` off the caller's thread and waits for it or for `stop`, whichever comes
// first. A stopped caller returns WSAEINTR at once; the lookup it leaves behind owns its own
// inputs and result and ends harmlessly whenever the name server gives up. Without a stop
// event the lookup runs on the caller's thread. Sets the last socket error on failure.
Status lookupUntilStopped(const std::string& name, uint32_t& address, Event* stop,
                          BlockingLookup lookup);

}  // namespace platform
