#pragma once
// Sockets on 127.0.0.1 for tests that talk to themselves or to a local peer.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/Socket.h"

namespace testsupport {

inline platform::Endpoint loopback(uint16_t port) {
    return {*platform::parseDottedIPv4("127.0.0.1"), port};
}

// A UDP socket bound to a free port on loopback.
inline platform::Socket boundUdp() {
    platform::Socket s;
    EXPECT_TRUE(s.open(platform::Socket::Type::Udp).ok());
    EXPECT_TRUE(s.bind(loopback(0)).ok());
    return s;
}

}  // namespace testsupport
