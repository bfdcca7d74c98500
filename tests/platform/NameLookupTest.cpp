#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "support/Loopback.h"
#include "support/SilentNameServer.h"

using namespace platform;

TEST(ResolveIPv4, WithAStopEventNamesResolveAsBefore) {
    Event stop(true);
    uint32_t address = 0;
    ASSERT_TRUE(resolveIPv4("localhost", address, &stop).ok());
    EXPECT_EQ(Endpoint{address}.addressText().rfind("127.", 0), 0u);
    const Status missing = resolveIPv4("no-such-host.invalid", address, &stop);
    EXPECT_GE(missing.error, wsa::kHostNotFound);
    EXPECT_LE(missing.error, wsa::kNoData);
    // The lookup failed on another thread; the caller still finds the number as its own.
    EXPECT_EQ(lastSocketError(), missing.error);
}

TEST(ResolveIPv4, AStopAlreadySetEndsANameLookupAtOnce) {
    Event stop(true, true);
    uint32_t address = 0;
    EXPECT_EQ(resolveIPv4("localhost", address, &stop).error, wsa::kInterrupted);
    EXPECT_EQ(lastSocketError(), wsa::kInterrupted);
    // A dotted address needs no lookup, so there is nothing to stop.
    ASSERT_TRUE(resolveIPv4("127.0.0.1", address, &stop).ok());
    EXPECT_EQ(address, testsupport::loopback(0).address);
}

#ifndef _WIN32
TEST(ResolveIPv4, StopEndsALookupTheNameServerNeverAnswers) {
    if (!testsupport::insideSilentNameServer()) {
        return;
    }
    for (int round = 0; round < 3; ++round) {
        Event stop(true);
        Status result;
        uint32_t address = 0;
        Thread caller(
            [&] { result = resolveIPv4(testsupport::kSilentlyResolvedName, address, &stop); });
        // The resolver waits seconds for each try; the caller is still waiting with it.
        EXPECT_FALSE(caller.joinFor(Millis(300)));
        stop.set();
        // The abandoned lookup goes on alone; the caller is back well inside any stop limit.
        ASSERT_TRUE(caller.joinFor(Millis(1500)));
        EXPECT_EQ(result.error, wsa::kInterrupted);
    }
}
#endif
