#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RefclockFakes.h"
#include "refclocks/Receivers.h"
#include "support/RecordingMessages.h"

using core::MessageLevel;
using refclocktest::RecordingTime;
using refclocktest::ScriptedPort;
using testsupport::RecordingMessages;

namespace {

const refclocks::ReceiverRow& kTrimble = *refclocks::receiverRow(11);

// A frame-decoding clock reduced to what the base does: it reports the frames it is handed.
class FrameClock : public refclocks::CSerialClient {
public:
    FrameClock(RecordingMessages& m, RecordingTime& t, std::string port)
        : FrameClock(m, t, refclocks::ReceiverSettings{std::move(port)}) {}
    FrameClock(RecordingMessages& m, RecordingTime& t, const refclocks::ReceiverSettings& s)
        : CSerialClient(m, t, kTrimble, refclocks::serialLine(kTrimble, s), s) {}
    ~FrameClock() override { stop(); }
    void run() override { signalStarted(); }
    bool frame(double reference, double local) {
        return reportIfConsistent(reference, local, "frame", "TRIM");
    }
};

}  // namespace

TEST(CSerialClient, OpensWithTheClocksLineSettings) {
    RecordingMessages messages;
    RecordingTime time;
    ScriptedPort::Shared shared;
    FrameClock clock(messages, time, "COM2");
    std::string opened;
    clock.setPortOpener([&](const std::string& path, platform::Status& status) {
        opened = path;
        status = {};
        return std::make_unique<ScriptedPort>(shared);
    });
    clock.start();
    clock.stop();
    EXPECT_EQ(opened, "\\\\.\\COM2");
    EXPECT_EQ(shared.line.baudRate, 9600);
    EXPECT_EQ(shared.line.parity, 1);  // odd
    EXPECT_EQ(shared.line.rts, platform::RtsControl::Enable);
    EXPECT_TRUE(messages.texts(MessageLevel::Error).empty());
}

TEST(CSerialClient, UnopenablePortGivesOneErrorAndOneFailure) {
    RecordingMessages messages;
    RecordingTime time;
    FrameClock clock(messages, time, "/nonexistent/kronel-tty");
    clock.start();
    EXPECT_FALSE(clock.running());
    EXPECT_EQ(messages.texts(MessageLevel::Error),
              std::vector<std::string>{"Can't open port /nonexistent/kronel-tty"});
    EXPECT_EQ(time.failures(), 1);
}

// IRIG-B's 1000 baud on a driver that has no such speed: the clock would read nothing.
TEST(CSerialClient, UnconfigurablePortGivesOneErrorAndOneFailure) {
    RecordingMessages messages;
    RecordingTime time;
    ScriptedPort::Shared shared;
    shared.configureError = 22;
    FrameClock clock(messages, time, "COM2");
    clock.setPortOpener([&](const std::string&, platform::Status& status) {
        status = {};
        return std::make_unique<ScriptedPort>(shared);
    });
    clock.start();
    EXPECT_FALSE(clock.running());
    const auto errors = messages.texts(MessageLevel::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Can't configure port COM2 (", 0), 0u) << errors[0];
    EXPECT_EQ(time.failures(), 1);
}

TEST(CSerialClient, InconsistentFramesAreRememberedButNotReported) {
    RecordingMessages messages;
    RecordingTime time;
    FrameClock clock(messages, time, "COM2");
    const double local = 3900000000.0;
    // The first frame is measured against 0 on both clocks: 100 s off, only remembered.
    EXPECT_FALSE(clock.frame(local + 100, local));
    // One minute later on both clocks: consistent, reported.
    EXPECT_TRUE(clock.frame(local + 165, local + 60));
    // The reference jumped 61 s further than the local clock: not reported.
    EXPECT_FALSE(clock.frame(local + 286, local + 120));
    EXPECT_TRUE(clock.frame(local + 346, local + 180));
    const auto reports = time.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_DOUBLE_EQ(reports[0].correction, 105.0);
    EXPECT_DOUBLE_EQ(reports[1].correction, 166.0);
    EXPECT_EQ(messages.texts(MessageLevel::Warn),
              std::vector<std::string>(2, "Received time inconsistant with last value"));
    EXPECT_EQ(time.referenceId(), core::referenceIdFromText("TRIM"));
}
