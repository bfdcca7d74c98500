#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "RefclockFakes.h"
#include "platform/Seams.h"
#include "refclocks/Receivers.h"
#include "support/RecordingMessages.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using core::MessageLevel;
using refclocktest::RecordingTime;
using refclocktest::ScriptedPort;
using testsupport::eventually;
using testsupport::RecordingMessages;

namespace {

const std::string kSampleRmc =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

double timeValue(int y, int mo, int d, int h, int mi, int s) {
    return static_cast<double>(core::daysSinceUnixEpoch(y, mo, d)) * 86400.0 + h * 3600.0 +
           mi * 60.0 + s + core::kNtpUnixOffset;
}

// The offset that makes a simulated clock read `value` now.
double clockReading(double value) {
    const double real =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() +
        core::kNtpUnixOffset;
    return value - real;
}

std::string rmc(const char* hhmmss, const char* date = "230394") {
    return std::string("$GPRMC,") + hhmmss + ",A,4807.038,N,01131.000,E,022.4,084.4," + date +
           ",003.1,W*6A\r\n";
}
std::string zda(const char* hhmmss) {
    return std::string("$GPZDA,") + hhmmss + ",23,03,1994,00,00*55\r\n";
}

class NmeaClient : public ::testing::Test {
protected:
    static constexpr int kNmea = 6;
    static constexpr int kNmeaDcd = 24;
    template <int Protocol = kNmea>
    std::unique_ptr<refclocks::CSerialClient> start(int pollMinutes, const std::string& wakeup = "",
                                                    int speed = 0) {
        auto client = refclocks::makeReceiver(Protocol, {"", pollMinutes, 4, speed, wakeup, 0},
                                              messages_, *time_);
        client->setPortOpener([this](const std::string& path, platform::Status& status) {
            openedPath_ = path;
            status = {};
            return std::make_unique<ScriptedPort>(port_);
        });
        client->start();
        return client;
    }
    // Queues sentences (after a line feed, so the hunt starts) and waits until all are read.
    void feed(const std::string& text) {
        port_.send("\n" + text);
        ASSERT_TRUE(eventually([&] { return port_.drained(); }));
    }
    void clockAt(double value) { time_ = std::make_unique<RecordingTime>(clockReading(value)); }

    RecordingMessages messages_;
    std::unique_ptr<RecordingTime> time_ = std::make_unique<RecordingTime>();
    ScriptedPort::Shared port_;
    std::string openedPath_;
};

}  // namespace

TEST_F(NmeaClient, FirstRmcReportsAtOnceWithStatusAndPosition) {
    clockAt(timeValue(1994, 3, 23, 12, 35, 24));
    auto client = start(1);
    feed(kSampleRmc);
    ASSERT_TRUE(time_->waitForReports(1, 5s));
    client->stop();

    EXPECT_EQ(openedPath_, "\\\\.\\COM4");
    EXPECT_EQ(port_.mode, "baud=4800 parity=N data=8 stop=1");
    EXPECT_EQ(port_.line.rts, platform::RtsControl::Handshake);
    EXPECT_NEAR(time_->reports()[0].correction, -5.0, 0.3);
    EXPECT_EQ(time_->referenceId(), core::referenceIdFromText("GPS"));
    const std::string position = "Latitude 48\260 7.04' N Longitude 11\260 31.00' E";
    EXPECT_EQ(time_->sharedText(), position);
    EXPECT_EQ(
        messages_.texts(MessageLevel::Status),
        std::vector<std::string>{"Receiving $GPRMC data 1994/3/23 12:35:19 UTC\n" + position});
    EXPECT_TRUE(messages_.has(MessageLevel::Info, "Listening for GPS messages"));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "started"));
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "<24>"));  // the '$'
}

TEST_F(NmeaClient, ReportsOncePerPollIntervalOfMinutes) {
    clockAt(timeValue(1994, 3, 23, 12, 35, 19));
    auto client = start(2);
    // 12:35:19 reports; the countdown of 2 lets 12:36 pass and reports again at 12:37.
    // Seconds of 30 or less only count after a second half-minute has been seen.
    feed(rmc("123519") + rmc("123525") + rmc("123545") + rmc("123605") + rmc("123645") +
         rmc("123700") + rmc("123701"));
    ASSERT_TRUE(time_->waitForReports(2, 5s));
    std::this_thread::sleep_for(100ms);
    client->stop();
    const auto reports = time_->reports();
    ASSERT_EQ(reports.size(), 2u);
    // The second report is the 12:37:00 sentence, 101 s after the first one's time.
    EXPECT_NEAR((reports[1].correction + reports[1].localNow) -
                    (reports[0].correction + reports[0].localNow),
                101.0, 0.01);
}

TEST_F(NmeaClient, UnsynchronisedRmcCountsTheMinuteButNeverReports) {
    auto client = start(1);
    feed("$GPRMC,123519,V,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    std::this_thread::sleep_for(100ms);
    client->stop();
    EXPECT_TRUE(time_->reports().empty());
    EXPECT_EQ(messages_.texts(MessageLevel::Status),
              std::vector<std::string>{"Receiving $GPRMC data 1994/3/23 12:35:19 UTC\n"
                                       "Unsynchronised"});
    EXPECT_EQ(time_->sharedText(), "");
}

TEST_F(NmeaClient, AfterZdaRmcOnlyUpdatesThePosition) {
    auto client = start(1);
    time_->setSharedText("before");
    // 12:35:45 arms without reporting; the RMC of 12:36:05 must not report; the ZDA of
    // 12:36:06 does.
    feed(zda("123545.000") + rmc("123605") + zda("123606.250"));
    ASSERT_TRUE(time_->waitForReports(1, 5s));
    std::this_thread::sleep_for(100ms);
    client->stop();
    const auto reports = time_->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NEAR(reports[0].correction + reports[0].localNow,
                timeValue(1994, 3, 23, 12, 36, 6) + 0.25, 0.01);
    EXPECT_EQ(time_->sharedText(), "Latitude 48\260 7.04' N Longitude 11\260 31.00' E");
    for (const std::string& line : messages_.texts(MessageLevel::Status)) {
        EXPECT_EQ(line.find("$GPRMC"), std::string::npos) << line;
    }
    EXPECT_TRUE(messages_.has(MessageLevel::Status,
                              "Receiving $GPZDA data 1994/3/23 12:35:45 UTC\nbefore"));
}

TEST_F(NmeaClient, GgaOffsetIsFoldedIntoHalfADayWithTheSignOfTheOthers) {
    // Five seconds before midnight locally, the receiver already says 00:00:00.50.
    clockAt(timeValue(2026, 12, 7, 23, 59, 55.0));
    auto client = start(1);
    feed("$GPGGA,000000.50,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
    ASSERT_TRUE(time_->waitForReports(1, 5s));
    client->stop();
    EXPECT_NEAR(time_->reports()[0].correction, 5.5, 0.3);
    EXPECT_EQ(time_->sharedText(), "Latitude 48\260 7.04' N Longitude 11\260 31.00' E");
    EXPECT_TRUE(messages_.has(MessageLevel::Status, "Receiving $GPGGA data 00:00:00 UTC\nLat"));
}

TEST_F(NmeaClient, OverlongSentenceIsCutAt1023Bytes) {
    // Cut, the ZDA has its six fields; read on, it would have eight and be ignored.
    std::string sentence = "$GPZDA,123519.00,23,03,1994,00,";
    sentence += std::string(1023 - sentence.size(), 'x') + ",1,2\r\n";
    auto client = start(1);
    feed(sentence);
    ASSERT_TRUE(time_->waitForReports(1, 5s));
    client->stop();
}

TEST_F(NmeaClient, WakeupTextIsSentOnceAfterTheDelay) {
    platform::setTimeScale(10);  // 5 s become 0.5 s
    const auto started = std::chrono::steady_clock::now();
    auto client = start(1, "\\r\\n");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(port_.mutex);
        return port_.writes > 0;
    }));
    std::this_thread::sleep_for(300ms);
    client->stop();
    platform::setTimeScale(1);
    std::lock_guard<std::mutex> lock(port_.mutex);
    EXPECT_EQ(port_.writes, 1);
    EXPECT_EQ(port_.written, "\r\n");
    EXPECT_GE(port_.writtenAt - started, 450ms);
}

TEST(NmeaWakeup, EscapesBecomeControlCharacters) {
    EXPECT_EQ(refclocks::expandWakeup("a\\r\\n\\tb\\\\c\\qd\\"), "a\r\n\tb\\cqd\\");
}

TEST_F(NmeaClient, UnsupportedSpeedIsNamedAndFallsBackTo4800) {
    auto client = start(1, "", 7);
    client->stop();
    EXPECT_EQ(messages_.texts(MessageLevel::Error),
              std::vector<std::string>{"GPS speed 7 is not supported, using 4800 baud"});
    EXPECT_EQ(port_.mode, "baud=4800 parity=N data=8 stop=1");
    EXPECT_EQ(port_.line.baudRate, 4800);
}

TEST(NmeaPort, UnopenablePortGivesOneErrorAndOneFailure) {
    RecordingMessages messages;
    RecordingTime time;
    platform::setSerialDeviceMap("COM9=/nonexistent/kronel-tty");
    auto receiver = refclocks::makeReceiver(6, {"", 1, 9, 1, "", 0}, messages, time);
    auto& client = *receiver;
    client.start();
    platform::setSerialDeviceMap("");
    EXPECT_FALSE(client.running());
    EXPECT_EQ(messages.texts(MessageLevel::Error),
              std::vector<std::string>{"Can't open port \\\\.\\COM9"});
    EXPECT_EQ(time.failures(), 1);
    client.stop();
}

TEST_F(NmeaClient, PulseWithinTwoSecondsMarksTheSecond) {
    port_.pulseDelay = 1500ms;
    clockAt(timeValue(1994, 3, 23, 12, 35, 24));
    auto client = start<kNmeaDcd>(1);
    feed(kSampleRmc);
    ASSERT_TRUE(time_->waitForReports(1, 5s));
    client->stop();
    // Read at the pulse, 1.5 s after the sentence, for the second after 12:35:19.
    EXPECT_NEAR(time_->reports()[0].correction, -5.5, 0.3);
    EXPECT_FALSE(messages_.has(MessageLevel::Debug, "Missed DCD change"));
}

TEST_F(NmeaClient, LatePulseDropsTheSentence) {
    port_.pulseDelay = 2200ms;
    auto client = start<kNmeaDcd>(1);
    feed(kSampleRmc);
    ASSERT_TRUE(
        eventually([&] { return messages_.has(MessageLevel::Debug, "Missed DCD change"); }));
    client->stop();
    EXPECT_TRUE(time_->reports().empty());
}

TEST_F(NmeaClient, StopEndsTheWaitForAPulseThatNeverComes) {
    auto client = start<kNmeaDcd>(1);
    port_.send("\n" + kSampleRmc);
    // The client waits for the pulse once it has read up to the asterisk.
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(port_.mutex);
        return port_.incoming.size() == 4;  // "6A\r\n"
    }));
    std::this_thread::sleep_for(200ms);
    const auto before = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_FALSE(client->running());
    EXPECT_TRUE(time_->reports().empty());
    EXPECT_FALSE(messages_.has(MessageLevel::Debug, "Killing"));
}

TEST_F(NmeaClient, WithoutModemLinesTheSentenceIsTakenAtOnce) {
    port_.modemFails = true;
    clockAt(timeValue(1994, 3, 23, 12, 35, 24));
    auto client = start<kNmeaDcd>(1);
    feed(kSampleRmc);
    ASSERT_TRUE(time_->waitForReports(1, 5s));
    client->stop();
    EXPECT_NEAR(time_->reports()[0].correction, -4.0, 0.3);
}
