#include "BroadcastAddress.h"

#include "platform/Socket.h"

namespace platform {

bool isLimitedBroadcastOrMulticast(uint32_t host) {
    return host == 0xFFFFFFFFu || (host & 0xF0000000u) == 0xE0000000u;
}

bool isSubnetBroadcast(uint32_t host, uint32_t own, uint32_t mask) {
    return (~mask & 0xFFFFFFFEu) != 0 && (own & mask) == (host & mask) &&
           (host | mask) == 0xFFFFFFFFu;
}

bool isBroadcastOrMulticast(uint32_t address) {
    // Network order: the first byte in memory is the highest part.
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    const uint32_t host =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    return isLimitedBroadcastOrMulticast(host) || isInterfaceBroadcast(host);
}

}  // namespace platform
