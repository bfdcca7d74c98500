// The clock correction of the Wisp programs, on a simulated clock.
#include <gtest/gtest.h>

#include <cmath>

#include "WispTestSupport.h"
#include "core/Format.h"
#include "wisp/ClockTrim.h"

using wisp::ClockTrim;
using wisptest::RecordingConsole;

namespace {

uint32_t adjustment(const platform::SimulatedClock& clock) {
    platform::TimeAdjustment current;
    EXPECT_TRUE(clock.getAdjustment(current).ok());
    return current.adjustment;
}

}  // namespace

TEST(WispClockTrim, StepsAboveTwoSecondsAndTrimsBelow) {
    struct Case {
        double delta;
        int steps;             // steps of the clock
        long long adjustment;  // change of the per-tick adjustment after one of the same sign
        const char* line;      // the last line printed
    };
    const Case cases[] = {
        {2.5, 1, 0, "The time has been corrected by 2.500 seconds"},
        {-3.0, 1, 0, "The time has been corrected by -3.000 seconds"},
        {0.3, 0, 30, "Slew clock"},
        {0.004, 0, 1, "Slew clock"},
        {0.0001, 0, 1, "Slew clock"},
        {2.0, 0, 200, "Slew clock"},
        {-0.3, 0, -30, "Slew clock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delta);
        wisptest::VirtualTime time;
        platform::SimulatedClock clock(0.0, 0.0, time.source());
        RecordingConsole console;
        ClockTrim trim(clock, console);
        // A first small correction of the same sign, so the next one trims the rate.
        trim.correct(c.delta > 0 ? 0.01 : -0.01);
        const uint32_t before = adjustment(clock);
        console.clear();

        trim.correct(c.delta);
        EXPECT_EQ(clock.steps(), c.steps);
        ASSERT_FALSE(console.lines().empty());
        EXPECT_EQ(console.lines().back(), c.line);
        EXPECT_TRUE(console.has(core::format("Delta is %.3f seconds", c.delta)));
        if (c.steps == 1) {
            // Stepped, and the clock runs untrimmed.
            EXPECT_NEAR(clock.offset(), c.delta, 0.002);
            EXPECT_EQ(adjustment(clock), platform::kTickIncrement);
        } else {
            EXPECT_EQ(static_cast<long long>(adjustment(clock)) - before, c.adjustment);
        }
    }
}

TEST(WispClockTrim, ASignChangeReturnsToTheBestGuessLearntWhenTheDeltaShrank) {
    wisptest::VirtualTime time;
    platform::SimulatedClock clock(0.0, 0.0, time.source());
    RecordingConsole console;
    ClockTrim trim(clock, console);

    trim.correct(5.0);  // a step: untrimmed, and the guess is to be learnt again
    EXPECT_TRUE(trim.reestimating());
    trim.correct(0.5);  // sign changed: nothing known yet, so the nominal rate
    EXPECT_EQ(adjustment(clock), platform::kTickIncrement);
    trim.correct(0.6);  // growing: trimmed, nothing learnt
    EXPECT_EQ(adjustment(clock), platform::kTickIncrement + 60);
    EXPECT_EQ(trim.bestGuess(), 0u);
    trim.correct(0.2);  // shrinking: the adjustment in force is the guess, then trimmed on
    EXPECT_EQ(trim.bestGuess(), platform::kTickIncrement + 60);
    EXPECT_FALSE(trim.reestimating());
    EXPECT_TRUE(console.has("Best guess of frequency is 156310"));
    EXPECT_EQ(adjustment(clock), platform::kTickIncrement + 80);
    trim.correct(0.1);  // learnt once only
    EXPECT_EQ(console.count("Best guess"), 1);
    EXPECT_EQ(adjustment(clock), platform::kTickIncrement + 90);

    trim.correct(-0.05);  // overshot: back to the guess
    EXPECT_EQ(adjustment(clock), platform::kTickIncrement + 60);
    EXPECT_TRUE(trim.reestimating());
    trim.correct(-0.04);  // shrinking again: learnt again
    EXPECT_EQ(console.count("Best guess"), 2);
    EXPECT_EQ(adjustment(clock), platform::kTickIncrement + 60 - 4);
}

TEST(WispClockTrim, NtpSecondsFromTheClock) {
    EXPECT_DOUBLE_EQ(wisp::ntpSeconds({0, 0}), 2208988800.0);
    EXPECT_DOUBLE_EQ(wisp::ntpSeconds({1, 500}), 2208988801.0 + 500.0 * 4294967 / 4294967295.0);
    // After 2036 the seconds wrap modulo 2^32.
    EXPECT_DOUBLE_EQ(wisp::ntpSeconds({4294967296LL - 2208988800LL + 5, 0}), 5.0);
}
