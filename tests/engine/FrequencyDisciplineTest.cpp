#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/TimeValue.h"
#include "engine/FrequencyDiscipline.h"
#include "platform/Clock.h"
#include "platform/SimulatedClock.h"

using namespace engine;
using namespace core;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Mode = FrequencyDiscipline::Mode;

namespace {

constexpr uint32_t kIncrement = platform::kTickIncrement;  // 156250
constexpr double kStart = 3976214400.0;                    // 2026-01-01 as a time value
constexpr double kPoll = 7200.0;
// B for a clock 40 ppm fast: 156250 * (86400 - 3.456) / 86400, kept with its fraction.
constexpr double kFortyPpmBase = 156243.75;

class DebugLines : public MessageHandler {
public:
    void message(MessageLevel level, const std::string& source, const std::string& text) override {
        EXPECT_EQ(level, MessageLevel::Debug);
        EXPECT_EQ(source, "Kronel");
        lines.push_back(text);
    }
    std::vector<std::string> lines;
};

// Keeps the per-tick adjustment like the system does and records every change.
class AdjustableClock : public platform::Clock {
public:
    platform::UnixTime now() const override { return {}; }
    platform::Status step(const platform::UnixTime&) override {
        return platform::Status::success();
    }
    platform::Status getAdjustment(platform::TimeAdjustment& out) const override {
        if (refuseRead) {
            return platform::Status::failure(5);
        }
        out = adjustment;
        return platform::Status::success();
    }
    platform::Status setAdjustment(uint32_t value, bool enable) override {
        changes.push_back(value);
        adjustment.adjustment = enable ? value : adjustment.increment;
        adjustment.disabled = !enable;
        return platform::Status::success();
    }
    std::string description() const override { return "test clock"; }

    platform::TimeAdjustment adjustment{kIncrement, kIncrement, true};
    std::vector<uint32_t> changes;
    bool refuseRead = false;
};

class FrequencyDisciplineTest : public ::testing::Test {
protected:
    FrequencyDiscipline discipline_{clock_, messages_, "Kronel"};

    // A clock gaining `ppm` that is only measured, never stepped: the k-th small correction
    // is the whole offset gained since the first.
    bool smallSample(int k, double ppm, double& drift) {
        return discipline_.update(-ppm * 1e-6 * kPoll * k, Mode::Small, kStart + kPoll * k, drift);
    }

    // Brings the discipline to phase adjusting with B = 156243.75 (a clock 40 ppm fast).
    void settleOnFortyPpm() {
        double drift = 0;
        ASSERT_FALSE(smallSample(0, 40, drift));
        ASSERT_FALSE(smallSample(1, 40, drift));
        ASSERT_TRUE(smallSample(2, 40, drift));
        ASSERT_DOUBLE_EQ(discipline_.baseRate(), kFortyPpmBase);
        ASSERT_TRUE(discipline_.phaseAdjusting());
        messages_.lines.clear();
        clock_.changes.clear();
    }

    AdjustableClock clock_;
    DebugLines messages_;
};

TEST_F(FrequencyDisciplineTest, FirstCallOnlySamples) {
    double drift = 12345;
    EXPECT_FALSE(discipline_.update(-0.3, Mode::Small, kStart, drift));
    EXPECT_EQ(discipline_.samples(), 1);
    EXPECT_EQ(drift, 12345);
    EXPECT_THAT(messages_.lines, IsEmpty());
    EXPECT_THAT(clock_.changes, IsEmpty());
    EXPECT_LT(discipline_.nextChange(kStart), 0);
}

TEST_F(FrequencyDisciplineTest, TwoEstimatesWithinFivePercentSetTheFrequencyWithItsFraction) {
    double drift = 0;
    EXPECT_FALSE(smallSample(0, 40, drift));
    EXPECT_FALSE(smallSample(1, 40, drift));
    EXPECT_NEAR(drift, 3.456, 1e-9);  // 40 ppm of a day, gained
    EXPECT_THAT(clock_.changes, IsEmpty());

    EXPECT_TRUE(smallSample(2, 40, drift));
    EXPECT_NEAR(drift, 3.456, 1e-9);
    EXPECT_DOUBLE_EQ(discipline_.baseRate(), kFortyPpmBase);
    EXPECT_EQ(discipline_.baseAdjustment(), 156244u);
    // The correction of -0.576 s is slewed away at 58 units below B, for as long as that
    // takes at 57.75 units below the true base rate, on the slewed clock.
    EXPECT_THAT(clock_.changes, ElementsAre(156186u));
    EXPECT_FALSE(clock_.adjustment.disabled);
    EXPECT_THAT(messages_.lines, ElementsAre("Drift is 3.456000", "Drift is 3.456000",
                                             "New Frequency was 156250 now 156244",
                                             "Adjust Phase, Frequency was 156250 now 156186"));
    EXPECT_TRUE(discipline_.phaseAdjusting());
    EXPECT_TRUE(discipline_.slewing());
    EXPECT_NEAR(discipline_.nextChange(kStart + 2 * kPoll), 0.576 * 156186 / 57.75, 1e-6);
    // The series goes on: the next call is its fourth sample.
    EXPECT_EQ(discipline_.samples(), 3);
    EXPECT_EQ(discipline_.phaseCount(), 0);
    EXPECT_EQ(discipline_.zeroCrossings(), 0);
}

TEST_F(FrequencyDisciplineTest, EstimatesThatDisagreeKeepSampling) {
    double drift = 0;
    smallSample(0, 40, drift);
    smallSample(1, 40, drift);
    // The third sample bends the line by far more than 5 %.
    EXPECT_FALSE(discipline_.update(-0.2, Mode::Small, kStart + 2 * kPoll, drift));
    EXPECT_EQ(discipline_.samples(), 3);
    EXPECT_FALSE(discipline_.phaseAdjusting());
    EXPECT_THAT(clock_.changes, IsEmpty());
}

TEST_F(FrequencyDisciplineTest, SteppedCorrectionSetsTheFrequencyOnTheFirstEstimate) {
    // Stepped each time: every correction is only what was gained since the last step, and
    // waiting for a second estimate would cost another step.
    double drift = 0;
    EXPECT_FALSE(discipline_.update(-0.288, Mode::Stepped, kStart, drift));
    EXPECT_TRUE(discipline_.update(-0.288, Mode::Stepped, kStart + kPoll, drift));
    EXPECT_NEAR(drift, 3.456, 1e-9);
    EXPECT_DOUBLE_EQ(discipline_.baseRate(), kFortyPpmBase);
    // The step removed the offset already: no slew, the base rate on its upper integer until
    // it has run 8 unit-seconds ahead of B.
    EXPECT_THAT(clock_.changes, ElementsAre(156244u));
    EXPECT_FALSE(discipline_.slewing());
    EXPECT_NEAR(discipline_.nextChange(kStart + kPoll), 8 / 0.25, 1e-9);
    EXPECT_THAT(messages_.lines, Contains("New Frequency was 156250 now 156244"));
}

TEST_F(FrequencyDisciplineTest, SmallCorrectionWithinTenMillisecondsSlewsByOneUnit) {
    double drift = 0;
    // 4 ppm fast, measured every 1000 s: the corrections stay within 10 ms.
    EXPECT_FALSE(discipline_.update(0.0, Mode::Small, kStart, drift));
    EXPECT_FALSE(discipline_.update(-0.004, Mode::Small, kStart + 1000, drift));
    EXPECT_TRUE(discipline_.update(-0.008, Mode::Small, kStart + 2000, drift));
    EXPECT_NEAR(drift, 0.3456, 1e-9);
    // B = 156249.375, its integer 156249, then one unit slower for 8 ms at 1.375 units.
    EXPECT_THAT(clock_.changes, ElementsAre(156248u));
    EXPECT_NEAR(discipline_.nextChange(kStart + 2000), 0.008 * 156248 / 1.375, 1e-6);
}

TEST_F(FrequencyDisciplineTest, SlewStepFollowsTheCorrection) {
    struct Case {
        double correction;
        int maxSlew;
        int64_t step;
    };
    const Case cases[] = {
        {-0.5, 100, -51}, {5.0, 100, 100}, {0.005, 100, 1}, {-0.005, 100, -1}, {0.01, 100, 1},
        {0.011, 100, 2},  {0.0, 100, -1},  {-0.5, 7, -7},   {0.5, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FrequencyDiscipline::slewStep(c.correction, c.maxSlew), c.step)
            << c.correction << " MaxSlew " << c.maxSlew;
    }
}

TEST_F(FrequencyDisciplineTest, OverlargeEstimateFallsBackToTheIncrement) {
    double drift = 0;
    // 3 % fast: B would be 151562.5, more than 2 % from the increment.
    EXPECT_FALSE(smallSample(0, 30000, drift));
    EXPECT_FALSE(smallSample(1, 30000, drift));
    EXPECT_TRUE(smallSample(2, 30000, drift));
    EXPECT_NEAR(drift, 2592.0, 1e-6);
    EXPECT_EQ(discipline_.baseAdjustment(), kIncrement);
    EXPECT_THAT(clock_.changes, ElementsAre(kIncrement - 100));  // the slew, at MaxSlew
    EXPECT_THAT(messages_.lines, Contains("Overlarge Frequency Adjustment 151562, defaulting"));
}

TEST_F(FrequencyDisciplineTest, EstimateJustInsideTwoPercentIsKept) {
    double drift = 0;
    // 1.9 % fast: B = 156250 * 0.981 = 153281.25, 1.9 % from the increment.
    EXPECT_FALSE(smallSample(0, 19000, drift));
    EXPECT_FALSE(smallSample(1, 19000, drift));
    EXPECT_TRUE(smallSample(2, 19000, drift));
    EXPECT_EQ(discipline_.baseAdjustment(), 153281u);
    EXPECT_THAT(messages_.lines, Not(Contains(HasSubstr("Overlarge"))));
}

TEST_F(FrequencyDisciplineTest, TimerEndsTheSlewOnlyWhenItIsDue) {
    settleOnFortyPpm();
    const double now = kStart + 2 * kPoll;
    const double due = discipline_.nextChange(now);
    discipline_.timer(now + due / 2);
    EXPECT_THAT(clock_.changes, IsEmpty());
    EXPECT_NEAR(discipline_.nextChange(now + due / 2), due / 2, 1e-6);

    discipline_.timer(now + due);
    EXPECT_FALSE(discipline_.slewing());
    ASSERT_EQ(clock_.changes.size(), 1u);
    EXPECT_TRUE(clock_.changes[0] == 156243u || clock_.changes[0] == 156244u);
    EXPECT_GT(discipline_.nextChange(now + due), 0);
    // The timer's changes are not worth a message.
    EXPECT_THAT(messages_.lines, IsEmpty());
}

TEST_F(FrequencyDisciplineTest, SettleLeavesTheClockAtTheNearestInteger) {
    settleOnFortyPpm();
    discipline_.settle(kStart + 2 * kPoll + 10);
    EXPECT_THAT(clock_.changes, ElementsAre(156244u));
    EXPECT_FALSE(discipline_.slewing());
    EXPECT_LT(discipline_.nextChange(kStart + 2 * kPoll + 10), 0);
}

TEST_F(FrequencyDisciplineTest, SteppedCallEndsPhaseAdjustingAtOnce) {
    settleOnFortyPpm();
    double drift = 0;
    discipline_.update(-0.1, Mode::Small, kStart + 3 * kPoll, drift);
    EXPECT_TRUE(discipline_.slewing());
    EXPECT_FALSE(discipline_.update(0.8, Mode::Stepped, kStart + 4 * kPoll, drift));
    EXPECT_FALSE(discipline_.phaseAdjusting());
    EXPECT_FALSE(discipline_.slewing());
    // Back to the base rate: the step took the offset away.
    const double below = std::floor(discipline_.baseRate());
    EXPECT_TRUE(clock_.changes.back() == below || clock_.changes.back() == below + 1);
    EXPECT_THAT(messages_.lines.back(), "Reassess frequency, phasecount=1 zerocross=1");
    // A new series from the next call.
    EXPECT_EQ(discipline_.samples(), 0);
    EXPECT_FALSE(discipline_.update(0.02, Mode::Small, kStart + 5 * kPoll, drift));
    EXPECT_EQ(discipline_.samples(), 1);
}

TEST_F(FrequencyDisciplineTest, ZeroCrossingsCountSignChanges) {
    settleOnFortyPpm();
    double drift = 0;
    // The last sampled correction was negative.
    const double corrections[] = {-0.1, 0.1, 0.1, -0.1, 0.0};
    for (int i = 0; i < 5; ++i) {
        discipline_.update(corrections[i], Mode::Small, kStart + (3 + i) * kPoll, drift);
    }
    // 0 counts as negative: -, +, +, -, - gives two crossings after the first.
    EXPECT_EQ(discipline_.zeroCrossings(), 2);
}

TEST_F(FrequencyDisciplineTest, SmallModeReassessesWhenTheOffsetNeverCrossesZero) {
    settleOnFortyPpm();
    double drift = 0;
    // Phase counts 0..10 before a call never reassess.
    for (int i = 0; i < 11; ++i) {
        discipline_.update(-0.05, Mode::Small, kStart + (3 + i) * kPoll, drift);
        ASSERT_TRUE(discipline_.phaseAdjusting()) << i;
    }
    // Count 11 before, 12 after, no crossing: 0 < 12 / 10. The series starts again.
    discipline_.update(-0.05, Mode::Small, kStart + 14 * kPoll, drift);
    EXPECT_FALSE(discipline_.phaseAdjusting());
    EXPECT_EQ(messages_.lines.back(), "Reassess frequency, phasecount=12 zerocross=0");
    EXPECT_EQ(discipline_.samples(), 0);
}

TEST_F(FrequencyDisciplineTest, SmallModeKeepsAdjustingWhileTheOffsetCrossesZero) {
    settleOnFortyPpm();
    double drift = 0;
    for (int i = 0; i < 30; ++i) {
        discipline_.update(i % 2 == 0 ? 0.05 : -0.05, Mode::Small, kStart + (3 + i) * kPoll, drift);
    }
    EXPECT_TRUE(discipline_.phaseAdjusting());
    EXPECT_EQ(discipline_.phaseCount(), 30);
}

TEST_F(FrequencyDisciplineTest, SamplesAtTheSameInstantGiveNoEstimate) {
    double drift = 0;
    EXPECT_FALSE(discipline_.update(-0.1, Mode::Small, kStart, drift));
    EXPECT_FALSE(discipline_.update(-0.3, Mode::Small, kStart, drift));
    EXPECT_THAT(messages_.lines, IsEmpty());
    EXPECT_TRUE(std::isfinite(drift));
    // A later sample makes the spread real and the series goes on as usual.
    EXPECT_FALSE(discipline_.update(-0.388, Mode::Small, kStart + kPoll, drift));
    EXPECT_TRUE(std::isfinite(drift));
    EXPECT_THAT(messages_.lines, ElementsAre(HasSubstr("Drift is ")));
    EXPECT_THAT(clock_.changes, IsEmpty());
}

TEST_F(FrequencyDisciplineTest, DriftOfExactlyZeroIsNotAnEstimate) {
    double drift = 7;
    for (int k = 0; k < 5; ++k) {
        EXPECT_FALSE(discipline_.update(0.0, Mode::Small, kStart + k * kPoll, drift));
    }
    EXPECT_EQ(drift, 7);
    EXPECT_THAT(messages_.lines, IsEmpty());
    EXPECT_THAT(clock_.changes, IsEmpty());
    EXPECT_EQ(discipline_.samples(), 5);
}

TEST_F(FrequencyDisciplineTest, WithoutTrimmingItReportsButNeverTouchesTheRate) {
    FrequencyDiscipline dry(clock_, messages_, "Kronel", 100, false);
    double drift = 0;
    dry.update(0.0, Mode::Small, kStart, drift);
    dry.update(-0.288, Mode::Small, kStart + kPoll, drift);
    EXPECT_TRUE(dry.update(-0.576, Mode::Small, kStart + 2 * kPoll, drift));
    EXPECT_THAT(messages_.lines, Contains("New Frequency was 156250 now 156244"));
    EXPECT_THAT(messages_.lines, Contains("Adjust Phase, Frequency was 156250 now 156186"));
    EXPECT_THAT(clock_.changes, IsEmpty());
    EXPECT_TRUE(clock_.adjustment.disabled);
    // Nothing to end either.
    EXPECT_LT(dry.nextChange(kStart + 2 * kPoll), 0);
}

TEST_F(FrequencyDisciplineTest, UnreadableAdjustmentChangesNothing) {
    clock_.refuseRead = true;
    double drift = 0;
    for (int k = 0; k < 3; ++k) {
        EXPECT_FALSE(smallSample(k, 40, drift));
    }
    EXPECT_EQ(discipline_.samples(), 0);
    EXPECT_THAT(messages_.lines, IsEmpty());
    EXPECT_THAT(clock_.changes, IsEmpty());
}

TEST_F(FrequencyDisciplineTest, NewFrequencyScalesTheAdjustmentInForce) {
    // The clock already runs trimmed: the estimate is relative to that rate, the drift
    // handed back relative to the system's own.
    clock_.adjustment = {156000, kIncrement, false};
    double drift = 0;
    smallSample(0, 40, drift);
    smallSample(1, 40, drift);
    ASSERT_TRUE(smallSample(2, 40, drift));
    // 156000 * (86400 - 3.456) / 86400 = 155993.76
    EXPECT_DOUBLE_EQ(discipline_.baseRate(), 155993.76);
    EXPECT_THAT(messages_.lines, Contains("New Frequency was 156000 now 155994"));
    EXPECT_NEAR(drift, 86400 * (1 - 155993.76 / kIncrement), 1e-9);
}

TEST_F(FrequencyDisciplineTest, RateChangedBySomeoneElseStartsANewSeries) {
    settleOnFortyPpm();
    clock_.adjustment = {150000, kIncrement, false};
    double drift = 0;
    EXPECT_FALSE(discipline_.update(-0.01, Mode::Small, kStart + 3 * kPoll, drift));
    EXPECT_EQ(discipline_.samples(), 1);
    EXPECT_FALSE(discipline_.phaseAdjusting());
    EXPECT_THAT(clock_.changes, IsEmpty());
}

TEST_F(FrequencyDisciplineTest, MessagesCarryNoLineBreak) {
    settleOnFortyPpm();
    double drift = 0;
    discipline_.update(-0.5, Mode::Small, kStart + 3 * kPoll, drift);
    discipline_.update(0.5, Mode::Stepped, kStart + 4 * kPoll, drift);
    ASSERT_FALSE(messages_.lines.empty());
    for (const std::string& line : messages_.lines) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
}

// The discipline on a simulated clock in virtual time, measured without noise every poll
// and stepped as the engine does for corrections of half a second or more; the timer runs
// when it is due.
class Disciplined {
public:
    Disciplined(double ppm, double pollMinutes)
        : clock_(0.0, ppm, [this] { return trueNow_; }),
          discipline_(clock_, messages_, "Kronel"),
          poll_(pollMinutes * 60) {}

    double now() const { return clock_.nowSeconds() + kNtpUnixOffset; }

    void runUntil(double trueTime) {
        while (timerAt_ <= trueTime) {
            trueNow_ = timerAt_;
            discipline_.timer(now());
            schedule();
        }
        trueNow_ = trueTime;
    }

    // `reference`: how far the reference is ahead of true time.
    void measure(double reference = 0.0) {
        const double correction = reference - clock_.offset();
        const double at = now();
        Mode mode = Mode::Small;
        if (std::fabs(correction) >= 0.5) {
            mode = Mode::Stepped;
            const double to = clock_.nowSeconds() + correction;
            const double whole = std::floor(to);
            ASSERT_TRUE(
                clock_.step({static_cast<int64_t>(whole), static_cast<int>((to - whole) * 1000)})
                    .ok());
        }
        double drift = 0;
        discipline_.update(correction, mode, at, drift);
        schedule();
    }

    // Measures `polls` times, one poll apart, the first right away.
    void pollFor(int polls, double reference = 0.0) {
        for (int k = 0; k < polls; ++k) {
            runUntil(trueNow_ + (started_ ? poll_ : 0.0));
            started_ = true;
            measure(reference);
        }
    }

    double offset() const { return clock_.offset(); }
    double trueNow() const { return trueNow_; }
    int steps() const { return clock_.steps(); }
    const FrequencyDiscipline& discipline() const { return discipline_; }
    // How far the base rate leaves the clock from keeping time, ppm.
    double baseErrorPpm(double ppm) const {
        return (discipline_.baseRate() / kIncrement * (1 + ppm * 1e-6) - 1) * 1e6;
    }

private:
    void schedule() {
        const double next = discipline_.nextChange(now());
        timerAt_ = next < 0 ? std::numeric_limits<double>::infinity() : trueNow_ + next;
    }

    class Quiet : public MessageHandler {
    public:
        void message(MessageLevel, const std::string&, const std::string&) override {}
    };

    double trueNow_ = 1767225600.0;
    platform::SimulatedClock clock_;
    Quiet messages_;
    FrequencyDiscipline discipline_;
    double poll_;
    double timerAt_ = std::numeric_limits<double>::infinity();
    bool started_ = false;
};

TEST(FrequencyDisciplineLoop, HoldsTheClockAtAnyPoll) {
    const double polls[] = {1, 16, 120, 1440};
    const double ppms[] = {-100, 0.3, 40};
    for (double poll : polls) {
        for (double ppm : ppms) {
            SCOPED_TRACE(testing::Message() << poll << " min, " << ppm << " ppm");
            Disciplined d(ppm, poll);
            // At least ten polls and two days: small offsets go at 6.4 ppm.
            d.pollFor(std::max(10, static_cast<int>(2 * 1440 / poll)));
            // Stepped at most once, on the way in; then only slews, and the offset stays small.
            EXPECT_LE(d.steps(), 1);
            double worst = 0;
            for (int k = 0; k < 20; ++k) {
                d.pollFor(1);
                worst = std::max(worst, std::fabs(d.offset()));
            }
            // The millisecond the step was truncated by is all that is left to find.
            EXPECT_LT(worst, 3e-3);
            EXPECT_LE(d.steps(), 1);
            EXPECT_NEAR(d.baseErrorPpm(ppm), 0.0, 0.02);
        }
    }
}

TEST(FrequencyDisciplineLoop, SlewDeliversTheCorrectionThenTheBaseRateHoldsIt) {
    // 40 ppm fast, measured hourly: at the third sample 0.288 s are slewed away.
    Disciplined d(40, 60);
    d.pollFor(3);
    ASSERT_TRUE(d.discipline().slewing());
    EXPECT_NEAR(d.offset(), 0.288, 1e-3);
    // 29 units slower than B: about 28.75 / 156250 s a second, done in about 26 minutes.
    d.runUntil(d.trueNow() + 1500);
    EXPECT_TRUE(d.discipline().slewing());
    d.runUntil(d.trueNow() + 200);
    EXPECT_FALSE(d.discipline().slewing());
    // Within the ripple of the base rate's two integers, 0.05 ms either way.
    EXPECT_NEAR(d.offset(), 0.0, 6e-5);
    // B's fraction kept: the integer below it alone would lose 0.41 s a day.
    d.runUntil(d.trueNow() + 86400);
    EXPECT_NEAR(d.offset(), 0.0, 1e-4);
}

TEST(FrequencyDisciplineLoop, JumpOfTheReferenceIsSlewedAwayWithoutBendingTheRate) {
    Disciplined d(40, 120);
    d.pollFor(12);
    const double base = d.discipline().baseRate();
    // A source whose time is 0.2 s ahead: stepped no more, followed within one poll.
    d.pollFor(1, 0.2);
    d.pollFor(1, 0.2);
    EXPECT_NEAR(d.offset(), 0.2, 1e-4);
    EXPECT_NEAR(d.discipline().baseRate(), base, 1e-3);
    EXPECT_EQ(d.steps(), 1);
}

}  // namespace
