#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/FrequencyDiscipline.h"
#include "platform/Clock.h"

using namespace engine;
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

    // Brings the discipline to phase adjusting with B = 156243 (a clock 40 ppm fast).
    void settleOnFortyPpm() {
        double drift = 0;
        ASSERT_FALSE(smallSample(0, 40, drift));
        ASSERT_FALSE(smallSample(1, 40, drift));
        ASSERT_TRUE(smallSample(2, 40, drift));
        ASSERT_EQ(discipline_.baseAdjustment(), 156243u);
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
}

TEST_F(FrequencyDisciplineTest, TwoEstimatesWithinFivePercentSetANewFrequencyAndRestart) {
    double drift = 0;
    EXPECT_FALSE(smallSample(0, 40, drift));
    EXPECT_FALSE(smallSample(1, 40, drift));
    EXPECT_NEAR(drift, 3.456, 1e-9);  // 40 ppm of a day, gained
    EXPECT_THAT(clock_.changes, IsEmpty());

    EXPECT_TRUE(smallSample(2, 40, drift));
    EXPECT_NEAR(drift, 3.456, 1e-9);
    // B = trunc((86400 - 3.456) * 156250 / 86400) = 156243; the correction is not within
    // 10 ms, so the first nudge is 2 units against it.
    EXPECT_EQ(discipline_.baseAdjustment(), 156243u);
    EXPECT_THAT(clock_.changes, ElementsAre(156241u));
    EXPECT_FALSE(clock_.adjustment.disabled);
    EXPECT_THAT(messages_.lines, ElementsAre("Drift is 3.456000", "Drift is 3.456000",
                                             "New Frequency was 156250 now 156241"));
    EXPECT_TRUE(discipline_.phaseAdjusting());
    EXPECT_EQ(discipline_.samples(), 0);
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

TEST_F(FrequencyDisciplineTest, SteppedCorrectionsAccumulateIntoTheOffsetSeries) {
    // Stepped each time: every correction is only what was gained since the last step.
    double drift = 0;
    EXPECT_FALSE(discipline_.update(-0.288, Mode::Stepped, kStart, drift));
    EXPECT_FALSE(discipline_.update(-0.288, Mode::Stepped, kStart + kPoll, drift));
    EXPECT_TRUE(discipline_.update(-0.288, Mode::Stepped, kStart + 2 * kPoll, drift));
    EXPECT_NEAR(drift, 3.456, 1e-9);
    EXPECT_EQ(discipline_.baseAdjustment(), 156243u);
    // The step removed the offset already: no nudge after it.
    EXPECT_THAT(clock_.changes, ElementsAre(156243u));
    EXPECT_THAT(messages_.lines, Contains("New Frequency was 156250 now 156243"));
}

TEST_F(FrequencyDisciplineTest, SmallCorrectionWithinTenMillisecondsNudgesByOneUnit) {
    double drift = 0;
    // 4 ppm fast, measured every 1000 s: the corrections stay within 10 ms.
    EXPECT_FALSE(discipline_.update(0.0, Mode::Small, kStart, drift));
    EXPECT_FALSE(discipline_.update(-0.004, Mode::Small, kStart + 1000, drift));
    EXPECT_TRUE(discipline_.update(-0.008, Mode::Small, kStart + 2000, drift));
    EXPECT_NEAR(drift, 0.3456, 1e-9);
    // trunc((86400 - 0.3456) * 156250 / 86400) = 156249, then one unit slower.
    EXPECT_THAT(clock_.changes, ElementsAre(156248u));
}

TEST_F(FrequencyDisciplineTest, OverlargeEstimateFallsBackToTheIncrement) {
    double drift = 0;
    // 3 % fast: B would be 151562, more than 2 % from the increment.
    EXPECT_FALSE(smallSample(0, 30000, drift));
    EXPECT_FALSE(smallSample(1, 30000, drift));
    EXPECT_TRUE(smallSample(2, 30000, drift));
    EXPECT_NEAR(drift, 2592.0, 1e-6);
    EXPECT_EQ(discipline_.baseAdjustment(), kIncrement);
    EXPECT_THAT(clock_.changes, ElementsAre(kIncrement - 2));
    EXPECT_THAT(messages_.lines, Contains("Overlarge Frequency Adjustment 151562, defaulting"));
}

TEST_F(FrequencyDisciplineTest, EstimateJustInsideTwoPercentIsKept) {
    double drift = 0;
    // 1.9 % fast: B = trunc(156250 * 0.981) = 153281, 1.9 % from the increment.
    EXPECT_FALSE(smallSample(0, 19000, drift));
    EXPECT_FALSE(smallSample(1, 19000, drift));
    EXPECT_TRUE(smallSample(2, 19000, drift));
    EXPECT_EQ(discipline_.baseAdjustment(), 153281u);
    EXPECT_THAT(messages_.lines, Not(Contains(HasSubstr("Overlarge"))));
}

TEST_F(FrequencyDisciplineTest, PhaseAdjustmentMovesTheRateByTheCorrection) {
    settleOnFortyPpm();
    double drift = 0;
    // -0.5 s: trunc(50) + 1 = 51 units slower than B.
    EXPECT_FALSE(discipline_.update(-0.5, Mode::Small, kStart + 3 * kPoll, drift));
    EXPECT_THAT(clock_.changes, ElementsAre(156243u - 51));
    EXPECT_THAT(messages_.lines, ElementsAre("Adjust Phase, Frequency was 156241 now 156192"));
    // Large corrections are limited to MaxSlew; within 10 ms it is a single unit.
    EXPECT_FALSE(discipline_.update(5.0, Mode::Small, kStart + 4 * kPoll, drift));
    EXPECT_FALSE(discipline_.update(0.005, Mode::Small, kStart + 5 * kPoll, drift));
    EXPECT_FALSE(discipline_.update(-0.005, Mode::Small, kStart + 6 * kPoll, drift));
    EXPECT_THAT(clock_.changes, ElementsAre(156192u, 156343u, 156244u, 156242u));
    // Phase calls take no samples.
    EXPECT_EQ(discipline_.samples(), 0);
    EXPECT_EQ(discipline_.phaseCount(), 4);
}

TEST_F(FrequencyDisciplineTest, MaxSlewLimitsThePhaseStep) {
    FrequencyDiscipline narrow(clock_, messages_, "Kronel", 7);
    double drift = 0;
    narrow.update(0.0, Mode::Small, kStart, drift);
    narrow.update(-0.288, Mode::Small, kStart + kPoll, drift);
    ASSERT_TRUE(narrow.update(-0.576, Mode::Small, kStart + 2 * kPoll, drift));
    EXPECT_FALSE(narrow.update(-0.5, Mode::Small, kStart + 3 * kPoll, drift));
    EXPECT_EQ(clock_.changes.back(), 156243u - 7);
}

TEST_F(FrequencyDisciplineTest, SteppedCallEndsPhaseAdjustingAtOnce) {
    settleOnFortyPpm();
    double drift = 0;
    EXPECT_FALSE(discipline_.update(-0.1, Mode::Small, kStart + 3 * kPoll, drift));
    EXPECT_FALSE(discipline_.update(0.8, Mode::Stepped, kStart + 4 * kPoll, drift));
    EXPECT_FALSE(discipline_.phaseAdjusting());
    // Back to the base rate: the step took the offset away.
    EXPECT_EQ(clock_.changes.back(), 156243u);
    EXPECT_THAT(messages_.lines.back(), "Reassess frequency, phasecount=1 zerocross=1");
    // The next call samples again.
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
    // Count 11 before, 12 after, no crossing: 0 < 12 / 10.
    discipline_.update(-0.05, Mode::Small, kStart + 14 * kPoll, drift);
    EXPECT_FALSE(discipline_.phaseAdjusting());
    EXPECT_EQ(messages_.lines.back(), "Reassess frequency, phasecount=12 zerocross=0");
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
    EXPECT_FALSE(dry.update(-0.5, Mode::Small, kStart + 3 * kPoll, drift));
    EXPECT_THAT(messages_.lines, Contains("New Frequency was 156250 now 156241"));
    EXPECT_THAT(messages_.lines, Contains("Adjust Phase, Frequency was 156250 now 156192"));
    EXPECT_THAT(clock_.changes, IsEmpty());
    EXPECT_TRUE(clock_.adjustment.disabled);
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
    // The clock already runs trimmed: the estimate is relative to that rate.
    clock_.adjustment = {156000, kIncrement, false};
    double drift = 0;
    smallSample(0, 40, drift);
    smallSample(1, 40, drift);
    ASSERT_TRUE(smallSample(2, 40, drift));
    // trunc((86400 - 3.456) * 156000 / 86400) = 155993
    EXPECT_EQ(discipline_.baseAdjustment(), 155993u);
    EXPECT_THAT(messages_.lines, Contains("New Frequency was 156000 now 155991"));
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

}  // namespace
