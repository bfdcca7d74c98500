#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/ErrorText.h"
#include "core/Format.h"
#include "core/TimeValue.h"
#include "engine/CReg.h"
#include "engine/ClockCorrection.h"
#include "platform/Registry.h"
#include "platform/Result.h"
#include "platform/SimulatedClock.h"

using namespace engine;
using namespace core;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Lt;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// 2026-01-01 00:00:00.25 UTC, a Thursday.
constexpr double kTrueStart = 1767225600.25;
constexpr double kStartTimeValue = kTrueStart + kNtpUnixOffset;
constexpr const char* kStartText = "Thu Jan  1 00:00:00 2026";
constexpr const char* kSource = "Reference";
constexpr int kStepRefused = 1;  // EPERM / ERROR_INVALID_FUNCTION: any number with a text

struct Line {
    MessageLevel level;
    std::string source;
    std::string text;
};

class RecordingMessages : public MessageHandler {
public:
    void message(MessageLevel level, const std::string& source, const std::string& text) override {
        lines.push_back({level, source, text});
        if (onMessage) {
            onMessage(level);
        }
    }
    std::vector<std::string> texts(MessageLevel level) const {
        std::vector<std::string> out;
        for (const Line& line : lines) {
            if (line.level == level) {
                out.push_back(line.text);
            }
        }
        return out;
    }
    std::vector<Line> lines;
    std::function<void(MessageLevel)> onMessage;  // e.g. a line that takes its time
};

// The simulated clock on virtual time, recording the order of privilege and step calls.
class TestClock : public platform::SimulatedClock {
public:
    explicit TestClock(const double& trueNow)
        : SimulatedClock(0.0, 0.0, [&trueNow] { return trueNow; }) {}
    void enablePrivilege() override { events.push_back("privilege"); }
    platform::Status step(const platform::UnixTime& to) override {
        events.push_back("step");
        if (refuseStep) {
            platform::setLastSystemError(kStepRefused);
            return platform::Status::failure(kStepRefused);
        }
        return SimulatedClock::step(to);
    }
    std::vector<std::string> events;
    bool refuseStep = false;
};

class RecordingHost : public CorrectionHost {
public:
    RecordingHost(platform::Clock& clock, MessageHandler& messages, CReg& parameters)
        : clock_(clock), messages_(messages), parameters_(parameters) {}
    platform::Clock& clock() override { return clock_; }
    MessageHandler& messages() override { return messages_; }
    CReg& parameters() override { return parameters_; }
    void kickWatchdog() override { ++kicks; }
    std::optional<int> adaptPoll(bool good) override {
        polls.push_back(good);
        return clientRunning ? std::optional<int>(121) : std::nullopt;
    }
    void signalSwitch() override { ++switches; }
    void signalTop() override { ++tops; }
    void announceTimeChange() override { ++announcements; }
    // The desktop's reaction to a result: close unless Shift is held or the window kept open.
    void corrected(const engine::CorrectionResult& result) override {
        if (result.endsOneShot() && !shift && !hold) {
            ++closes;
        }
    }
    void scheduleRateChange(double seconds) override { rateChanges.push_back(seconds); }

    int kicks = 0;
    std::vector<double> rateChanges;
    std::vector<bool> polls;
    bool clientRunning = true;
    int switches = 0;
    int tops = 0;
    int announcements = 0;
    int closes = 0;
    bool shift = false;
    bool hold = false;

private:
    platform::Clock& clock_;
    MessageHandler& messages_;
    CReg& parameters_;
};

class SetTime : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("kronel-correction-" + std::to_string(random()));
        fs::create_directories(dir_);
        platform::setRegistryFile((dir_ / "registry.reg").string());
    }
    void TearDown() override {
        correction_.reset();
        host_.reset();
        parameters_.reset();
        platform::setRegistryFile("");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    ClockCorrection& make(Deliverable deliverable, CorrectionSettings settings = {}) {
        const bool service = deliverable == Deliverable::Service;
        parameters_ = std::make_unique<CReg>(
            service ? kServiceParametersKey : kUserParametersKey,
            service ? platform::RegRoot::LocalMachine : platform::RegRoot::CurrentUser);
        host_ = std::make_unique<RecordingHost>(clock_, messages_, *parameters_);
        correction_ = std::make_unique<ClockCorrection>(deliverable, settings, *host_);
        return *correction_;
    }

    std::string status(const char* name, const char* defaultValue = "(missing)") const {
        const CReg reread(parameters_->path(), parameters_->root(), true);
        return reread.readText(name, defaultValue);
    }
    std::string info(const std::string& source = kSource) const {
        const CReg entry(parameters_->path() + "\\Server Details\\" + source, parameters_->root(),
                         true);
        return entry.readText("info", "Never");
    }
    std::vector<std::string> texts(MessageLevel level) const { return messages_.texts(level); }

    fs::path dir_;
    double trueNow_ = kTrueStart;
    TestClock clock_{trueNow_};
    RecordingMessages messages_;
    std::unique_ptr<CReg> parameters_;
    std::unique_ptr<RecordingHost> host_;
    std::unique_ptr<ClockCorrection> correction_;
};

CorrectionSettings noMinimum() {
    CorrectionSettings s;
    s.minMs = 0;
    return s;
}

TEST_F(SetTime, PluralSuffixFollowsTheAbsoluteValue) {
    CorrectionSettings s = noMinimum();
    s.maxSeconds = 0.5;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(1.0, kSource);
    c.apply(-1.0, kSource);
    c.apply(1.5, kSource);
    EXPECT_THAT(texts(MessageLevel::Warn), ElementsAre("Correction of 1.000 second too large",
                                                       "Correction of -1.000 second too large",
                                                       "Correction of 1.500 seconds too large"));

    s.maxSeconds = 0;
    ClockCorrection& stepping = make(Deliverable::Service, s);
    stepping.apply(1.0, kSource);
    stepping.apply(-1.0, kSource);
    stepping.apply(1.5, kSource);
    EXPECT_THAT(texts(MessageLevel::Info),
                ElementsAre("The time has been corrected by 1.000 second (Clock stepped)",
                            "The time has been corrected by -1.000 second (Clock stepped)",
                            "The time has been corrected by 1.500 seconds (Clock stepped)"));
}

TEST_F(SetTime, StepsTheClockByTheCorrectionAndRecordsIt) {
    ClockCorrection& c = make(Deliverable::Service);
    c.setSynchronised(false);
    EXPECT_EQ(c.apply(3600.0, kSource), ClockCorrection::kClockWrong);

    EXPECT_EQ(clock_.steps(), 1);
    EXPECT_NEAR(clock_.offset(), 3600.0, 1e-6);
    EXPECT_THAT(texts(MessageLevel::Info),
                ElementsAre("The time has been corrected by 3600.000 seconds (Clock stepped)"));
    EXPECT_THAT(texts(MessageLevel::Debug),
                Contains("From: Reference By: 3600.000 seconds (Clock stepped)"));
    for (const Line& line : messages_.lines) {
        EXPECT_EQ(line.source, "Kronel");
    }
    EXPECT_EQ(status("LastDelta"), "3600.000 seconds (Clock stepped)");
    // The time after the step, which is what is correct now.
    EXPECT_EQ(status("LastContact"), "Thu Jan  1 01:00:00 2026");
    EXPECT_EQ(status("TimeSource"), kSource);
    EXPECT_EQ(info(), "Thu Jan  1 01:00:00 2026");
    EXPECT_TRUE(c.synchronised());
    EXPECT_EQ(host_->kicks, 1);
    EXPECT_DOUBLE_EQ(c.lastSetTime(), kStartTimeValue);
    // NoTell is on by default.
    EXPECT_EQ(host_->announcements, 0);
}

TEST_F(SetTime, StepKeepsMillisecondsOfTheNewTime) {
    ClockCorrection& c = make(Deliverable::Service);
    c.apply(1.5, kSource);
    EXPECT_NEAR(clock_.offset(), 1.5, 1e-6);
    c.apply(-0.75, kSource);
    EXPECT_NEAR(clock_.offset(), 0.75, 1e-6);
}

TEST_F(SetTime, MaxZeroNeverRefuses) {
    CorrectionSettings s;
    s.maxSeconds = 0;
    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(-5000000.0, kSource), ClockCorrection::kClockWrong);
    EXPECT_NEAR(clock_.offset(), -5000000.0, 1e-6);
    EXPECT_THAT(texts(MessageLevel::Warn), IsEmpty());
}

TEST_F(SetTime, MinZeroNeverIgnores) {
    ClockCorrection& c = make(Deliverable::Service, noMinimum());
    EXPECT_EQ(c.apply(0.001, kSource), ClockCorrection::kClockWrong);
    EXPECT_EQ(clock_.steps(), 1);
    EXPECT_THAT(texts(MessageLevel::Info),
                ElementsAre("The time has been corrected by 0.001 seconds (Clock stepped)"));
}

TEST_F(SetTime, ExactlyZeroWithMinZeroStepsAndSaysTheTimeIsCorrect) {
    ClockCorrection& c = make(Deliverable::Service, noMinimum());
    EXPECT_EQ(c.apply(0.0, kSource), ClockCorrection::kClockGood);
    EXPECT_EQ(clock_.steps(), 1);
    EXPECT_THAT(texts(MessageLevel::Info), ElementsAre("The time is already correct"));
    EXPECT_EQ(status("LastDelta"), "0.000 seconds (Clock stepped)");
}

TEST_F(SetTime, RefusesCorrectionAboveMax) {
    CorrectionSettings s;
    s.adjustPoll = true;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.setSynchronised(false);
    EXPECT_EQ(c.apply(4000.0, kSource), ClockCorrection::kNothingDecided);

    EXPECT_THAT(texts(MessageLevel::Warn), ElementsAre("Correction of 4000.000 seconds too large"));
    EXPECT_EQ(clock_.steps(), 0);
    EXPECT_EQ(clock_.offset(), 0.0);
    EXPECT_THAT(host_->polls, IsEmpty());
    EXPECT_FALSE(c.synchronised());
    EXPECT_EQ(host_->kicks, 0);
    EXPECT_EQ(status("LastDelta"), "(missing)");
    // Still recorded against the source.
    EXPECT_EQ(info(), kStartText);
}

TEST_F(SetTime, RefusedCorrectionStillSignalsTheLoop) {
    CorrectionSettings s;
    s.switchOk = true;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(-4000.0, kSource);
    EXPECT_EQ(host_->switches, 1);
}

TEST_F(SetTime, ClampsToMaxWhenAllowed) {
    CorrectionSettings s;
    s.allowMax = true;
    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(-4000.0, kSource), ClockCorrection::kClockWrong);
    EXPECT_THAT(texts(MessageLevel::Warn),
                ElementsAre("Correction of -4000.000 seconds too large"));
    EXPECT_NEAR(clock_.offset(), -3600.0, 1e-6);
    EXPECT_EQ(status("LastDelta"), "-3600.000 seconds (Clock stepped)");
}

TEST_F(SetTime, StepsFromTheClockAsItIsAtTheStep) {
    CorrectionSettings s;
    s.allowMax = true;
    ClockCorrection& c = make(Deliverable::Service, s);
    // The warning about the clamp takes 10 s to log: the step still lands 3600 s from the
    // time of the step itself.
    messages_.onMessage = [this](MessageLevel level) {
        if (level == MessageLevel::Warn) {
            trueNow_ += 10.0;
        }
    };
    EXPECT_EQ(c.apply(4000.0, kSource), ClockCorrection::kClockWrong);
    EXPECT_NEAR(clock_.offset(), 3600.0, 0.002);
}

TEST_F(SetTime, ClampedResultStaysWrongEvenWhenTheStepFails) {
    CorrectionSettings s;
    s.allowMax = true;
    ClockCorrection& c = make(Deliverable::Service, s);
    clock_.refuseStep = true;
    EXPECT_EQ(c.apply(4000.0, kSource), ClockCorrection::kClockWrong);
    EXPECT_EQ(clock_.offset(), 0.0);
}

TEST_F(SetTime, TooSmallIsIgnoredWithoutTheDiscipline) {
    CorrectionSettings s;
    s.adjustFreq = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.setSynchronised(false);
    // 0.3 s is not below Min/10000 = 0.05 s: the clock was wrong, if not by much.
    EXPECT_EQ(c.apply(0.3, kSource), ClockCorrection::kClockWrong);
    EXPECT_EQ(clock_.steps(), 0);
    EXPECT_THAT(texts(MessageLevel::Info), ElementsAre("Correction of 0.300 seconds too small"));
    EXPECT_EQ(status("LastDelta"), "0.300 seconds (Ignored, too small)");
    EXPECT_EQ(status("LastContact"), kStartText);
    EXPECT_EQ(status("TimeSource"), kSource);
    EXPECT_TRUE(c.synchronised());
    EXPECT_EQ(host_->kicks, 1);

    EXPECT_EQ(c.apply(0.01, kSource), ClockCorrection::kClockGood);
    EXPECT_EQ(c.apply(-0.0499, kSource), ClockCorrection::kClockGood);
    EXPECT_EQ(c.apply(0.05, kSource), ClockCorrection::kClockWrong);
    EXPECT_EQ(clock_.steps(), 0);
}

TEST_F(SetTime, MinIsTheSmallestCorrectionThatSteps) {
    ClockCorrection& c = make(Deliverable::Service);
    c.apply(0.4999, kSource);
    EXPECT_EQ(clock_.steps(), 0);
    c.apply(-0.5, kSource);
    EXPECT_EQ(clock_.steps(), 1);
}

TEST_F(SetTime, TooSmallFeedsTheDisciplineWhichSetsTheFrequency) {
    ClockCorrection& c = make(Deliverable::Service);
    // A clock 10 ppm fast, measured every two hours and never stepped.
    EXPECT_EQ(c.apply(-0.0, kSource), ClockCorrection::kClockGood);
    trueNow_ += 7200;
    c.apply(-0.072, kSource);
    EXPECT_EQ(status("Drift", "Unknown"), "Unknown");
    EXPECT_THAT(host_->rateChanges, Each(Lt(0)));
    trueNow_ += 7200;
    c.apply(-0.144, kSource);

    EXPECT_THAT(texts(MessageLevel::Info),
                Contains("Correction of -0.144 seconds used to adjust clock frequency"));
    EXPECT_EQ(status("LastDelta"), "-0.144 seconds (Frequency adjusted)");
    EXPECT_EQ(status("Drift"), "0.864 seconds/day");
    EXPECT_THAT(texts(MessageLevel::Debug), Contains("0.864 seconds/day"));
    // B = 156248.4375; the 0.144 s are slewed away 15 units below it.
    EXPECT_THAT(texts(MessageLevel::Debug), Contains("New Frequency was 156250 now 156248"));
    EXPECT_THAT(texts(MessageLevel::Debug),
                Contains("Adjust Phase, Frequency was 156250 now 156233"));
    platform::TimeAdjustment a;
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_FALSE(a.disabled);
    EXPECT_EQ(a.adjustment, 156233u);
    EXPECT_EQ(clock_.steps(), 0);

    // The engine's timer ends the slew once the correction is delivered...
    ASSERT_FALSE(host_->rateChanges.empty());
    const double slew = host_->rateChanges.back();
    EXPECT_NEAR(slew, 0.144 * 156233 / 15.4375, 0.01);
    // (The timer runs on monotonic time, the slew is timed on the slewed clock.)
    trueNow_ += slew * 0.999;
    c.rateTimer();
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_EQ(a.adjustment, 156233u);
    trueNow_ += slew * 0.002;
    c.rateTimer();
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_TRUE(a.adjustment == 156248u || a.adjustment == 156249u) << a.adjustment;
    EXPECT_GT(host_->rateChanges.back(), 0);  // the next turn of the base rate's integers
    // ...and when the engine stops the clock keeps B's nearest integer, with nothing due.
    c.settleRate();
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_EQ(a.adjustment, 156248u);
    EXPECT_LT(host_->rateChanges.back(), 0);
}

TEST_F(SetTime, SteppedCorrectionsFeedTheDisciplineInsteadOfTheAccumulator) {
    ClockCorrection& c = make(Deliverable::Service);
    for (int k = 0; k < 3; ++k) {
        c.apply(-0.864, kSource);  // 40 ppm fast, six hours apart
        trueNow_ += 21600;
    }
    EXPECT_EQ(clock_.steps(), 3);
    // The second step already sets the rate: B = 156243.75, kept by its two integers.
    EXPECT_EQ(status("Drift"), "3.456 seconds/day");
    EXPECT_THAT(texts(MessageLevel::Debug), Contains("New Frequency was 156250 now 156244"));
    platform::TimeAdjustment a;
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_FALSE(a.disabled);
    EXPECT_TRUE(a.adjustment == 156243u || a.adjustment == 156244u) << a.adjustment;
}

TEST_F(SetTime, DriftAccumulatesTheAppliedCorrectionsOverTheTimeSinceTheFirstCall) {
    CorrectionSettings s = noMinimum();
    s.adjustFreq = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    // The first call only starts the clock of the accumulator.
    c.apply(0.0, kSource);
    EXPECT_EQ(status("Drift", "Unknown"), "Unknown");
    trueNow_ += 43200;
    c.apply(-1.0, kSource);
    EXPECT_EQ(status("Drift"), "2.000 seconds/day");
    EXPECT_THAT(texts(MessageLevel::Debug), Contains("2.000 seconds/day"));
    trueNow_ += 43200;
    c.apply(-2.0, kSource);
    EXPECT_EQ(status("Drift"), "3.000 seconds/day");
    // Neither discipline nor trim.
    platform::TimeAdjustment a;
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_TRUE(a.disabled);
}

TEST_F(SetTime, DriftIsNotComputedWithinTheFirstSecond) {
    CorrectionSettings s = noMinimum();
    s.adjustFreq = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(0.0, kSource);
    trueNow_ += 0.9;
    c.apply(-0.2, kSource);  // 0.9 s after the start: no whole second yet
    EXPECT_EQ(status("Drift", "Unknown"), "Unknown");
}

TEST_F(SetTime, ClampedStepUsesTheAccumulatorEvenWithTheDiscipline) {
    CorrectionSettings s = noMinimum();
    s.allowMax = true;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(1.0, kSource);
    trueNow_ += 1000;
    c.apply(-4000.0, kSource);
    // -3600 s over 1001 s of clock time.
    EXPECT_EQ(status("Drift"), format("%0.3f seconds/day", -3600.0 / 1001.0 * -86400.0));
    EXPECT_THAT(texts(MessageLevel::Debug), Not(Contains(HasSubstr("Drift is"))));
}

TEST_F(SetTime, VeryLargeCorrectionIsWarnedThenApplied) {
    CorrectionSettings s;
    s.maxSeconds = 0;
    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(40000000.0, kSource), ClockCorrection::kClockWrong);
    EXPECT_THAT(texts(MessageLevel::Warn),
                ElementsAre("Very large correction of 40000000.000 seconds"));
    EXPECT_NEAR(clock_.offset(), 40000000.0, 1e-6);
    // Exactly 365 days is not "very large".
    c.apply(-31536000.0, kSource);
    EXPECT_EQ(texts(MessageLevel::Warn).size(), 1u);
}

TEST_F(SetTime, CorrectionThatIsNotANumberIsRefused) {
    CorrectionSettings s;
    s.maxSeconds = 0;
    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(std::numeric_limits<double>::quiet_NaN(), kSource),
              ClockCorrection::kNothingDecided);
    EXPECT_EQ(c.apply(std::numeric_limits<double>::infinity(), kSource),
              ClockCorrection::kNothingDecided);
    EXPECT_EQ(clock_.steps(), 0);
    EXPECT_THAT(texts(MessageLevel::Warn), ElementsAre("Correction of nan seconds too large",
                                                       "Very large correction of inf seconds",
                                                       "Correction of inf seconds too large"));
}

TEST_F(SetTime, CorrectionBeyondTheSystemCalendarIsRefused) {
    CorrectionSettings s;
    s.maxSeconds = 0;
    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(1e15, kSource), ClockCorrection::kNothingDecided);
    EXPECT_EQ(c.apply(-1e11, kSource), ClockCorrection::kNothingDecided);
    EXPECT_EQ(clock_.steps(), 0);
    EXPECT_THAT(texts(MessageLevel::Warn), Contains(HasSubstr("too large")));
}

TEST_F(SetTime, MaxAboveAMillionIsReadAsNanoseconds) {
    {
        CReg parameters(kServiceParametersKey, platform::RegRoot::LocalMachine);
        ASSERT_TRUE(parameters.writeInt("Max", 2500000000u).ok());
    }
    CReg parameters(kServiceParametersKey, platform::RegRoot::LocalMachine);
    const CorrectionSettings s = CorrectionSettings::read(parameters);
    EXPECT_DOUBLE_EQ(s.maxSeconds, 2.5);
    EXPECT_DOUBLE_EQ(CorrectionSettings::maxFromStored(1000000), 1000000.0);
    EXPECT_DOUBLE_EQ(CorrectionSettings::maxFromStored(1000001), 0.001000001);

    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(3.0, kSource), ClockCorrection::kNothingDecided);
    EXPECT_EQ(c.apply(2.0, kSource), ClockCorrection::kClockWrong);
}

TEST_F(SetTime, SettingsDefaultOnAnEmptyStoreAndFollowTheStore) {
    CReg parameters(kServiceParametersKey, platform::RegRoot::LocalMachine);
    const CorrectionSettings d = CorrectionSettings::read(parameters);
    EXPECT_TRUE(d.set);
    EXPECT_DOUBLE_EQ(d.maxSeconds, 3600.0);
    EXPECT_FALSE(d.allowMax);
    EXPECT_EQ(d.minMs, 500u);
    EXPECT_TRUE(d.noTell);
    EXPECT_FALSE(d.adjustPoll);
    EXPECT_TRUE(d.adjustFreq);
    EXPECT_TRUE(d.often);
    EXPECT_FALSE(d.switchOk);
    EXPECT_FALSE(d.startTop);
    EXPECT_EQ(d.maxSlew, 100);

    const char* flags[] = {"Set", "NoTell", "AdjustFreq", "Often"};
    for (const char* name : flags) {
        ASSERT_TRUE(parameters.writeInt(name, 0).ok());
    }
    const char* others[] = {"AllowMax", "AdjustPoll", "SwitchOK", "StartTop"};
    for (const char* name : others) {
        ASSERT_TRUE(parameters.writeInt(name, 1).ok());
    }
    ASSERT_TRUE(parameters.writeInt("Max", 60).ok());
    ASSERT_TRUE(parameters.writeInt("Min", 20).ok());
    ASSERT_TRUE(parameters.writeInt("MaxSlew", 7).ok());
    const CorrectionSettings r = CorrectionSettings::read(parameters);
    EXPECT_FALSE(r.set);
    EXPECT_FALSE(r.noTell);
    EXPECT_FALSE(r.adjustFreq);
    EXPECT_FALSE(r.often);
    EXPECT_TRUE(r.allowMax);
    EXPECT_TRUE(r.adjustPoll);
    EXPECT_TRUE(r.switchOk);
    EXPECT_TRUE(r.startTop);
    EXPECT_DOUBLE_EQ(r.maxSeconds, 60.0);
    EXPECT_EQ(r.minMs, 20u);
    EXPECT_EQ(r.maxSlew, 7);
}

TEST_F(SetTime, SetZeroOnlyReports) {
    CorrectionSettings s;
    s.set = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.setSynchronised(false);
    EXPECT_EQ(c.apply(0.6, kSource), ClockCorrection::kNothingDecided);
    EXPECT_THAT(texts(MessageLevel::Info),
                ElementsAre("The time would be corrected by 0.600 seconds"));
    EXPECT_EQ(clock_.steps(), 0);
    EXPECT_FALSE(c.synchronised());
    EXPECT_EQ(status("LastDelta"), "(missing)");
    EXPECT_EQ(info(), kStartText);
}

TEST_F(SetTime, SetZeroWithZeroCorrectionSaysTheTimeIsCorrect) {
    CorrectionSettings s = noMinimum();
    s.set = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    EXPECT_EQ(c.apply(0.0, kSource), ClockCorrection::kNothingDecided);
    EXPECT_THAT(texts(MessageLevel::Info), ElementsAre("The time is already correct"));
}

TEST_F(SetTime, SetZeroNeverTrimsTheClockRate) {
    CorrectionSettings s;
    s.set = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    for (int k = 0; k < 5; ++k) {
        c.apply(-0.072 * k, kSource);
        trueNow_ += 7200;
    }
    // The discipline still estimated and reported...
    EXPECT_THAT(texts(MessageLevel::Debug), Contains(HasSubstr("New Frequency")));
    EXPECT_EQ(status("Drift"), "0.864 seconds/day");
    // ...but the clock keeps its own rate.
    platform::TimeAdjustment a;
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_TRUE(a.disabled);
    EXPECT_EQ(a.adjustment, platform::kTickIncrement);
    EXPECT_EQ(clock_.steps(), 0);
}

TEST_F(SetTime, FailedStepIsWarnedAndChangesNoStatus) {
    ClockCorrection& c = make(Deliverable::Service);
    c.setSynchronised(false);
    clock_.refuseStep = true;
    EXPECT_EQ(c.apply(0.6, kSource), ClockCorrection::kNothingDecided);
    EXPECT_THAT(texts(MessageLevel::Warn),
                ElementsAre("Failed to set the time (" + systemErrorText(kStepRefused) + ")"));
    EXPECT_FALSE(c.synchronised());
    EXPECT_EQ(host_->kicks, 0);
    EXPECT_EQ(status("LastDelta"), "(missing)");
    EXPECT_DOUBLE_EQ(c.lastSetTime(), 0.0);
    EXPECT_EQ(info(), kStartText);
}

TEST_F(SetTime, AnnouncesTheChangeOnlyWhenNoTellIsOff) {
    CorrectionSettings s;
    s.noTell = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(0.6, kSource);
    EXPECT_EQ(host_->announcements, 1);
    c.apply(0.1, kSource);  // too small: nothing stepped
    EXPECT_EQ(host_->announcements, 1);
}

TEST_F(SetTime, PollAdaptationFollowsTheResult) {
    CorrectionSettings s;
    s.adjustPoll = true;
    s.adjustFreq = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(0.6, kSource);   // stepped: bad
    c.apply(0.01, kSource);  // too small, below Min/10000: good
    c.apply(0.3, kSource);   // too small, but wrong: bad
    c.apply(4000, kSource);  // refused: none
    host_->clientRunning = false;
    c.apply(0.6, kSource);  // no client: asked, nothing comes back, nothing breaks
    EXPECT_THAT(host_->polls, ElementsAre(false, true, false, false));
}

TEST_F(SetTime, NoPollAdaptationUnlessEnabled) {
    ClockCorrection& c = make(Deliverable::Service);
    c.apply(0.6, kSource);
    EXPECT_THAT(host_->polls, IsEmpty());
}

TEST_F(SetTime, LoopSignalsAfterEveryResult) {
    CorrectionSettings s;
    s.startTop = true;
    ClockCorrection& top = make(Deliverable::Service, s);
    top.apply(0.6, kSource);
    top.apply(0.1, kSource);
    EXPECT_EQ(host_->tops, 2);
    EXPECT_EQ(host_->switches, 0);

    s.switchOk = true;  // wins over StartTop
    ClockCorrection& both = make(Deliverable::Service, s);
    both.apply(0.6, kSource);
    EXPECT_EQ(host_->switches, 1);
    EXPECT_EQ(host_->tops, 0);

    ClockCorrection& neither = make(Deliverable::Service);
    neither.apply(0.6, kSource);
    EXPECT_EQ(host_->switches + host_->tops, 0);
}

TEST_F(SetTime, NoSourceNameWritesNoServerEntry) {
    ClockCorrection& c = make(Deliverable::Service);
    c.apply(0.6, "");
    const CReg list(parameters_->path() + "\\Server Details", parameters_->root(), true);
    EXPECT_EQ(list.subkeyCount(), 0u);
}

TEST_F(SetTime, ServiceEnablesThePrivilegeBeforeDecidingDesktopOnlyBeforeStepping) {
    ClockCorrection& service = make(Deliverable::Service);
    service.apply(4000, kSource);
    service.apply(0.6, kSource);
    EXPECT_THAT(clock_.events, ElementsAre("privilege", "privilege", "step"));

    clock_.events.clear();
    ClockCorrection& desktop = make(Deliverable::Desktop);
    desktop.apply(4000, kSource);
    desktop.apply(0.1, kSource);
    desktop.apply(0.6, kSource);
    EXPECT_THAT(clock_.events, ElementsAre("privilege", "step"));
}

TEST_F(SetTime, DesktopStepsWithoutTheServiceSuffixAndAlwaysAccumulatesDrift) {
    ClockCorrection& c = make(Deliverable::Desktop, noMinimum());
    c.apply(0.0, kSource);
    trueNow_ += 43200;
    EXPECT_EQ(c.apply(-1.0, kSource), ClockCorrection::kClockWrong);
    EXPECT_THAT(
        texts(MessageLevel::Info),
        ElementsAre("The time is already correct", "The time has been corrected by -1.000 second"));
    EXPECT_EQ(status("LastDelta"), "-1.000 second");
    EXPECT_EQ(status("Drift"), "2.000 seconds/day");
    EXPECT_THAT(texts(MessageLevel::Debug), Not(Contains(HasSubstr("seconds/day"))));
    EXPECT_THAT(texts(MessageLevel::Debug), Contains("From: Reference By: -1.000 second"));
    // Its status values live in the user's store.
    EXPECT_EQ(parameters_->root(), platform::RegRoot::CurrentUser);
}

TEST_F(SetTime, DesktopWarnsTooSmallAndKeepsNoStatus) {
    ClockCorrection& c = make(Deliverable::Desktop);
    c.setSynchronised(false);
    EXPECT_EQ(c.apply(0.3, kSource), ClockCorrection::kClockGood);
    EXPECT_THAT(texts(MessageLevel::Warn), ElementsAre("Correction of 0.300 seconds too small"));
    EXPECT_THAT(texts(MessageLevel::Info), IsEmpty());
    EXPECT_EQ(status("LastDelta"), "(missing)");
    EXPECT_EQ(status("LastContact"), "(missing)");
    EXPECT_TRUE(c.synchronised());
    EXPECT_EQ(host_->kicks, 1);
    EXPECT_EQ(info(), kStartText);
    // No discipline in the desktop program.
    platform::TimeAdjustment a;
    ASSERT_TRUE(clock_.getAdjustment(a).ok());
    EXPECT_TRUE(a.disabled);
}

TEST_F(SetTime, DesktopOneShotClosesAfterTheFirstAcceptedResult) {
    CorrectionSettings s;
    s.often = false;
    ClockCorrection& c = make(Deliverable::Desktop, s);
    c.apply(4000, kSource);  // refused: stays open
    EXPECT_EQ(host_->closes, 0);
    c.apply(0.6, kSource);
    EXPECT_EQ(host_->closes, 1);
    c.apply(0.1, kSource);  // too small closes too
    EXPECT_EQ(host_->closes, 2);

    host_->shift = true;
    c.apply(0.6, kSource);
    host_->shift = false;
    host_->hold = true;
    c.apply(0.6, kSource);
    EXPECT_EQ(host_->closes, 2);
}

TEST_F(SetTime, DesktopStaysOpenWhenOftenOrWhenTheStepFails) {
    ClockCorrection& often = make(Deliverable::Desktop);
    often.apply(0.6, kSource);
    EXPECT_EQ(host_->closes, 0);

    CorrectionSettings s;
    s.often = false;
    ClockCorrection& c = make(Deliverable::Desktop, s);
    clock_.refuseStep = true;
    c.apply(0.6, kSource);
    EXPECT_EQ(host_->closes, 0);
}

TEST_F(SetTime, ServiceNeverClosesItself) {
    CorrectionSettings s;
    s.often = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(0.6, kSource);
    c.apply(0.1, kSource);
    EXPECT_EQ(host_->closes, 0);
}

TEST_F(SetTime, DriftAccumulatorOutlivesSourceSwitches) {
    CorrectionSettings s = noMinimum();
    s.adjustFreq = false;
    ClockCorrection& c = make(Deliverable::Service, s);
    c.apply(0.0, "First");
    trueNow_ += 86400;
    c.apply(-1.0, "Second");
    trueNow_ += 86400;
    c.apply(-1.0, "Third");
    // -2 s over 172,799 s of clock time, whichever source measured it.
    EXPECT_EQ(status("Drift"), format("%0.3f seconds/day", -2.0 / 172799.0 * -86400.0));
    EXPECT_EQ(status("TimeSource"), "Third");
    EXPECT_NE(info("First"), "Never");
    EXPECT_NE(info("Second"), "Never");
}

// The decision alone, before anything is applied: each row one correction under one set of
// limits, as the set-time operation judges it.
TEST(DecideCorrection, JudgesEachCorrectionByTheLimits) {
    using A = CorrectionAction;
    constexpr auto kService = Deliverable::Service;
    constexpr auto kDesktop = Deliverable::Desktop;
    constexpr uint8_t kNone = CorrectionDecision::kNothingDecided;
    constexpr uint8_t kGood = CorrectionDecision::kClockGood;
    constexpr uint8_t kWrong = CorrectionDecision::kClockWrong;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        Deliverable deliverable;
        double correction;
        CorrectionLimits limits;  // maxSeconds, allowMax, minMs, set, adjustFreq
        A action;
        double applied;
        std::vector<std::string> warnings;
        MessageLevel level;
        std::string message;
        std::string delta;
        uint8_t result;
    };
    const CorrectionLimits defaults;
    const Row rows[] = {
        {kService,
         2.0,
         defaults,
         A::Step,
         2.0,
         {},
         MessageLevel::Info,
         "The time has been corrected by 2.000 seconds (Clock stepped)",
         "2.000 seconds (Clock stepped)",
         kWrong},
        {kDesktop,
         -1.0,
         defaults,
         A::Step,
         -1.0,
         {},
         MessageLevel::Info,
         "The time has been corrected by -1.000 second",
         "-1.000 second",
         kWrong},
        {kService,
         0.0,
         {3600, false, 0, true, true},
         A::Step,
         0.0,
         {},
         MessageLevel::Info,
         "The time is already correct",
         "0.000 seconds (Clock stepped)",
         kGood},
        {kService,
         4000,
         defaults,
         A::Refuse,
         4000,
         {},
         MessageLevel::Warn,
         "Correction of 4000.000 seconds too large",
         "",
         kNone},
        {kService,
         4000,
         {3600, true, 500, true, true},
         A::Step,
         3600,
         {"Correction of 4000.000 seconds too large"},
         MessageLevel::Info,
         "The time has been corrected by 3600.000 seconds (Clock stepped)",
         "3600.000 seconds (Clock stepped)",
         kWrong},
        {kService,
         -4e7,
         {0, false, 500, true, true},
         A::Step,
         -4e7,
         {"Very large correction of -40000000.000 seconds"},
         MessageLevel::Info,
         "The time has been corrected by -40000000.000 seconds (Clock stepped)",
         "-40000000.000 seconds (Clock stepped)",
         kWrong},
        {kService,
         1e12,
         {0, false, 500, true, true},
         A::Refuse,
         1e12,
         {"Very large correction of 1000000000000.000 seconds"},
         MessageLevel::Warn,
         "Correction of 1000000000000.000 seconds too large",
         "",
         kNone},
        {kService,
         kNaN,
         {0, false, 500, true, true},
         A::Refuse,
         kNaN,
         {},
         MessageLevel::Warn,
         "Correction of nan seconds too large",
         "",
         kNone},
        {kService,
         0.2,
         defaults,
         A::Slew,
         0.2,
         {},
         MessageLevel::Info,
         "Correction of 0.200 seconds used to adjust clock frequency",
         "0.200 seconds (Frequency adjusted)",
         kWrong},
        {kService,
         0.01,
         defaults,
         A::Slew,
         0.01,
         {},
         MessageLevel::Info,
         "Correction of 0.010 seconds used to adjust clock frequency",
         "0.010 seconds (Frequency adjusted)",
         kGood},
        {kService,
         -0.2,
         {3600, false, 500, true, false},
         A::Ignore,
         -0.2,
         {},
         MessageLevel::Info,
         "Correction of -0.200 seconds too small",
         "-0.200 seconds (Ignored, too small)",
         kWrong},
        {kDesktop,
         0.2,
         defaults,
         A::Ignore,
         0.2,
         {},
         MessageLevel::Warn,
         "Correction of 0.200 seconds too small",
         "",
         kGood},
        {kService,
         2.0,
         {3600, false, 500, false, true},
         A::Report,
         2.0,
         {},
         MessageLevel::Info,
         "The time would be corrected by 2.000 seconds",
         "",
         kNone},
        {kDesktop,
         4000,
         {3600, true, 500, false, true},
         A::Report,
         3600,
         {"Correction of 4000.000 seconds too large"},
         MessageLevel::Info,
         "The time would be corrected by 3600.000 seconds",
         "",
         kWrong},
        {kService,
         0.0,
         {3600, false, 0, false, true},
         A::Report,
         0.0,
         {},
         MessageLevel::Info,
         "The time is already correct",
         "",
         kNone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        const CorrectionDecision d =
            decideCorrection(row.correction, kStartTimeValue, row.limits, row.deliverable);
        EXPECT_EQ(d.action, row.action);
        if (std::isnan(row.applied)) {
            EXPECT_TRUE(std::isnan(d.correction));
        } else {
            EXPECT_EQ(d.correction, row.applied);
        }
        EXPECT_EQ(d.warnings, row.warnings);
        EXPECT_EQ(d.level, row.level);
        EXPECT_EQ(d.message, row.message);
        EXPECT_EQ(d.delta, row.delta);
        EXPECT_EQ(d.result, row.result);
    }
}

}  // namespace
