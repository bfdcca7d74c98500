#include "servers/OwnAddress.h"

#include "platform/Socket.h"

namespace servers {

namespace {
// Any routable address serves: connecting a UDP socket sends nothing.
constexpr const char* kOutsideAddress = "192.0.2.1";
constexpr uint16_t kEchoPort = 7;
}  // namespace

uint32_t ownIPv4Address(platform::Event* stop) {
    uint32_t address = 0;
    if (platform::resolveIPv4(platform::localHostName(), address, stop).ok() && address != 0) {
        return address;
    }
    if (stop && stop->isSet()) {
        return 0;
    }
    platform::Socket probe;
    if (!probe.open(platform::Socket::Type::Udp).ok()) {
        return 0;
    }
    const platform::Endpoint outside{*platform::parseDottedIPv4(kOutsideAddress), kEchoPort};
    if (!probe.connect(outside, platform::Millis(1000), stop).ok()) {
        return 0;
    }
    return probe.localEndpoint().address;
}

bool isOwnAddress(uint32_t sender, uint32_t own) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&sender);
    return sender == own || bytes[0] == 127;
}

}  // namespace servers
