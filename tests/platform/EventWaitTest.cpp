// Waits on several events, on every backend: what a wait takes and what it leaves.
#include <gtest/gtest.h>

#include "platform/Event.h"

using platform::Event;
using platform::Millis;

TEST(EventWait, LookingAtAnAutoResetEventLeavesItSignalled) {
    Event e(false);
    e.set();
    EXPECT_TRUE(e.isSet());
    EXPECT_TRUE(e.isSet());
    EXPECT_TRUE(e.wait(Millis(0)));
    EXPECT_FALSE(e.isSet());
}

TEST(EventWait, WaitAnyTakesOnlyTheEventItReports) {
    Event a(false), b(false);
    a.set();
    b.set();
    EXPECT_EQ(Event::waitAny({&a, &b}, Millis(0)), 0);
    EXPECT_FALSE(a.isSet());
    EXPECT_TRUE(b.isSet());
    EXPECT_EQ(Event::waitAny({&a, &b}, Millis(0)), 1);
    EXPECT_EQ(Event::waitAny({&a, &b}, Millis(0)), -1);
}

TEST(EventWait, TheSameEventMayBeNamedTwice) {
    Event a(true), b(true);
    b.set();
    EXPECT_EQ(Event::waitAny({&a, &b, &b}, Millis(0)), 1);
    EXPECT_EQ(Event::waitAny({&a, &a}, Millis(10)), -1);
}

TEST(EventWait, AWaitOnNoEventsTimesOut) {
    EXPECT_EQ(Event::waitAny({}, Millis(10)), -1);
}
