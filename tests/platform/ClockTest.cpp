#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/Clock.h"
#include "platform/SimulatedClock.h"

using namespace platform;

// Every backend of Clock must read UTC in whole seconds and milliseconds and report its
// per-tick adjustment in Windows' units. Stepping the real clock is never tried here.
template <typename T>
class ClockConformance : public ::testing::Test {
protected:
    std::unique_ptr<Clock> make();
};

template <>
std::unique_ptr<Clock> ClockConformance<SimulatedClock>::make() {
    return std::make_unique<SimulatedClock>();
}
struct SystemClockTag {};
template <>
std::unique_ptr<Clock> ClockConformance<SystemClockTag>::make() {
    return makeSystemClock();
}

using ClockBackends = ::testing::Types<SimulatedClock, SystemClockTag>;
TYPED_TEST_SUITE(ClockConformance, ClockBackends);

TYPED_TEST(ClockConformance, ReadsTrueUtcInSecondsAndMilliseconds) {
    auto clock = this->make();
    const UnixTime t = clock->now();
    EXPECT_GE(t.milliseconds, 0);
    EXPECT_LE(t.milliseconds, 999);
    EXPECT_NEAR(static_cast<double>(t.seconds), realUtcSeconds(), 2.0);
}

TYPED_TEST(ClockConformance, ReportsTheAdjustmentInTickUnits) {
    auto clock = this->make();
    TimeAdjustment adjustment;
    ASSERT_TRUE(clock->getAdjustment(adjustment).ok());
    EXPECT_EQ(adjustment.increment, kTickIncrement);
    // A machine's clock runs within a few percent of its nominal rate.
    EXPECT_NEAR(static_cast<double>(adjustment.adjustment), kTickIncrement, kTickIncrement * 0.05);
}

TYPED_TEST(ClockConformance, DescribesItself) {
    auto clock = this->make();
    EXPECT_EQ(clock->description().rfind("Using ", 0), 0u);
}

namespace {
struct VirtualTime {
    double now = 2'000'000'000.0;
    TrueTimeSource source() {
        return [this] { return now; };
    }
};
}  // namespace

TEST(SimulatedClock, StartsAtItsOffsetAndDriftsAtItsRate) {
    VirtualTime vt;
    SimulatedClock clock(-3.7, 40.0, vt.source());
    EXPECT_NEAR(clock.offset(), -3.7, 1e-9);
    vt.now += 86400.0;
    EXPECT_NEAR(clock.offset(), -3.7 + 86400.0 * 40e-6, 1e-6);
    EXPECT_EQ(clock.description(), "Using simulated clock, offset -0.244 s");
}

TEST(SimulatedClock, NowTruncatesToMilliseconds) {
    VirtualTime vt;
    vt.now = 1'000'000'000.9999;
    SimulatedClock clock(0.0, 0.0, vt.source());
    const UnixTime t = clock.now();
    EXPECT_EQ(t.seconds, 1'000'000'000);
    EXPECT_EQ(t.milliseconds, 999);
}

TEST(SimulatedClock, StepSetsTheReadingAndCountsSteps) {
    VirtualTime vt;
    SimulatedClock clock(12.5, 0.0, vt.source());
    ASSERT_TRUE(clock.step({2'000'000'000, 250}).ok());
    EXPECT_NEAR(clock.offset(), 0.25, 1e-9);
    EXPECT_EQ(clock.steps(), 1);
}

TEST(SimulatedClock, AdjustmentChangesTheRateFromNowOn) {
    VirtualTime vt;
    SimulatedClock clock(0.0, 0.0, vt.source());
    vt.now += 100.0;
    // 1% fast from here: 156250 * 1.01 units per tick.
    ASSERT_TRUE(clock.setAdjustment(157812, true).ok());
    EXPECT_NEAR(clock.offset(), 0.0, 1e-9);
    vt.now += 1000.0;
    EXPECT_NEAR(clock.offset(), 1000.0 * (157812.0 / 156250.0 - 1.0), 1e-6);
    TimeAdjustment a;
    ASSERT_TRUE(clock.getAdjustment(a).ok());
    EXPECT_EQ(a.adjustment, 157812u);
    EXPECT_FALSE(a.disabled);
    ASSERT_TRUE(clock.setAdjustment(0, false).ok());
    const double before = clock.offset();
    vt.now += 1000.0;
    EXPECT_NEAR(clock.offset(), before, 1e-6);
}

TEST(SimulatedClock, MonotonicTimeFollowsTrueTimeOnly) {
    VirtualTime vt;
    SimulatedClock clock(0.0, 0.0, vt.source());
    const auto start = clock.monotonic();
    ASSERT_TRUE(clock.step({2'000'003'600, 0}).ok());
    ASSERT_TRUE(clock.setAdjustment(157812, true).ok());
    EXPECT_EQ(clock.monotonic(), start);
    vt.now += 10.0;
    EXPECT_EQ(clock.monotonic() - start, std::chrono::seconds(10));
    // Under real time it is steady_clock, which the OS waits run on.
    const SimulatedClock real(-3600.0);
    const auto before = std::chrono::steady_clock::now();
    const auto reading = real.monotonic();
    EXPECT_LE(before, reading);
    EXPECT_LE(reading, std::chrono::steady_clock::now());
}

TEST(ProcessClock, TestsCanReplaceIt) {
    VirtualTime vt;
    setProcessClock(std::make_unique<SimulatedClock>(5.0, 0.0, vt.source()));
    EXPECT_EQ(processClock().now().seconds, 2'000'000'005);
    setProcessClock(nullptr);
}
