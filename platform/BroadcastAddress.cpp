#include "BroadcastAddress.h"

namespace platform {

bool isLimitedBroadcastOrMulticast(uint32_t host) {
    return host == 0xFFFFFFFFu || (host & 0xF0000000u) == 0xE0000000u;
}

bool isSubnetBroadcast(uint32_t host, uint32_t own, uint32_t mask) {
    return (~mask & 0xFFFFFFFEu) != 0 && (own & mask) == (host & mask) &&
           (host | mask) == 0xFFFFFFFFu;
}

}  // namespace platform
