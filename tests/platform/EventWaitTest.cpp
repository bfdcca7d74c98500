// Waits on several events, on every backend: what a wait takes and what it leaves.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/Event.h"
#include "platform/Seams.h"
#include "platform/Thread.h"

using platform::deadlineAfter;
using platform::Event;
using platform::kInfinite;
using platform::Millis;
using platform::sleepFor;
using platform::Thread;

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

TEST(EventWait, WaitsTooLongToCountStillEndWhenSignalled) {
    using Clock = std::chrono::steady_clock;
    EXPECT_EQ(deadlineAfter(kInfinite), Clock::time_point::max());
    EXPECT_EQ(deadlineAfter(Millis(kInfinite.count() - 1)), Clock::time_point::max());
    const auto before = Clock::now();
    const auto past = deadlineAfter(Millis(-5));
    EXPECT_GE(past, before);
    EXPECT_LE(past, Clock::now());
    // 300 years: past what the clock counts in nanoseconds from now.
    const Millis centuries(300LL * 365 * 86400 * 1000);
    EXPECT_EQ(deadlineAfter(centuries), Clock::time_point::max());
    Event event(true);
    Thread setter([&] {
        sleepFor(Millis(20));
        event.set();
    });
    EXPECT_TRUE(event.wait(centuries));
    EXPECT_EQ(Event::waitAny({&event}, Millis(kInfinite.count() - 1)), 0);
}

TEST(ScheduleWait, ReadsMillisecondsAsWindowsReadsA32BitWait) {
    platform::setTimeScale(1.0);
    const struct {
        long long ms;
        Millis wait;
    } cases[] = {
        {0, Millis(0)},
        {2000, Millis(2000)},
        {-1, kInfinite},                                 // INFINITE
        {-1000, Millis(4294966296LL)},                   // Frequency 0: 0 * 60000 - 1000
        {-2147483648LL, Millis(2147483648LL)},           // the lowest 32-bit count
        {-2147483649LL, kInfinite},                      // below what 32 bits hold
        {9223372036854775807LL, kInfinite},              // beyond what can be counted
        {128849018820000LL, Millis(128849018820000LL)},  // 0x7fffffff minutes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::scheduleWait(c.ms), c.wait) << c.ms;
    }
    platform::setTimeScale(1000.0);
    EXPECT_EQ(platform::scheduleWait(2000), Millis(2));
    EXPECT_EQ(platform::scheduleWait(1), Millis(1));
    EXPECT_EQ(platform::scheduleWait(-1000), Millis(4294966));
    EXPECT_EQ(platform::scheduleWait(-1), kInfinite);
    platform::setTimeScale(1.0);
}
