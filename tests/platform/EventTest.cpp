#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Thread.h"

using platform::Event;
using platform::Millis;

TEST(Event, ManualResetStaysSignalledUntilReset) {
    Event e(true);
    EXPECT_FALSE(e.wait(Millis(0)));
    e.set();
    EXPECT_TRUE(e.wait(Millis(0)));
    EXPECT_TRUE(e.wait(Millis(0)));
    e.reset();
    EXPECT_FALSE(e.wait(Millis(10)));
}

TEST(Event, AutoResetReleasesExactlyOneWaiter) {
    Event e(false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (e.wait(Millis(500))) {
                ++released;
            }
        });
    }
    e.set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(e.isSet());
}

TEST(Event, SettingTwiceStillReleasesOneAutoResetWait) {
    Event e(false);
    e.set();
    e.set();
    EXPECT_TRUE(e.wait(Millis(0)));
    EXPECT_FALSE(e.wait(Millis(0)));
}

TEST(Event, WaitAnyReportsTheSignalledEventAndTimesOut) {
    Event a(true), b(false), c(true);
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, Millis(20)), -1);
    b.set();
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, Millis(20)), 1);
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, Millis(0)), -1);  // b consumed itself
    c.set();
    a.set();
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, Millis(0)), 0);
}

TEST(Event, WakesAWaiterOnAnotherThread) {
    Event e(true);
    std::thread setter([&] { e.set(); });
    EXPECT_TRUE(e.wait(platform::kInfinite));
    setter.join();
}

TEST(Thread, JoinForGivesUpButTheThreadStillEndsCleanly) {
    Event release(true);
    std::atomic<bool> done{false};
    {
        platform::Thread t([&] {
            release.wait();
            done = true;
        });
        EXPECT_FALSE(t.joinFor(Millis(20)));
        EXPECT_FALSE(t.finished());
        release.set();
        EXPECT_TRUE(t.joinFor(platform::kInfinite));
    }
    EXPECT_TRUE(done.load());
}

TEST(Thread, DestructorWaitsForTheBody) {
    std::atomic<bool> done{false};
    {
        platform::Thread t([&] {
            platform::sleepFor(Millis(30));
            done = true;
        });
    }
    EXPECT_TRUE(done.load());
}
