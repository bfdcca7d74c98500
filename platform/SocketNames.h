#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Result.h"

namespace platform {

// What each backend supplies to the address and name functions of Socket.h, which are the
// same for every backend (SocketNames.cpp): the OS calls alone.

// Readies the socket library for a call (Winsock's start-up); false with the last socket
// error set when it cannot.
bool socketLibraryReady();
// The system's blocking host-name lookup: the first IPv4 address (network order) of `name`,
// or the WinSock number of its failure.
Status systemHostLookup(const std::string& name, uint32_t& address);
// The port (host order) the system's service database gives name/protocol, if any.
std::optional<uint16_t> systemServicePort(const char* name, const char* protocol);

}  // namespace platform
