#pragma once
#include <cstdint>

namespace platform {

// The address arithmetic of isBroadcastOrMulticast, the same for every backend; addresses in
// host order.

// The limited broadcast 255.255.255.255 or a multicast group (224.0.0.0/4).
bool isLimitedBroadcastOrMulticast(uint32_t host);
// Whether `host` is the broadcast address of the subnet of interface address `own` with
// `mask`: the subnet's host part all ones. /31 and /32 have no broadcast address.
bool isSubnetBroadcast(uint32_t host, uint32_t own, uint32_t mask);

// Supplied by each backend: whether `host` is the broadcast address of one of this host's
// interfaces, as the system lists them.
bool isInterfaceBroadcast(uint32_t host);

}  // namespace platform
