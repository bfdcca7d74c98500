// Real receivers' output, replayed through a pseudo-terminal pair at its own pace into the
// NMEA client on a mapped COM port.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "RefclockFakes.h"
#include "refclocks/Receivers.h"
#include "support/PtyPair.h"
#include "support/RecordingMessages.h"

using namespace std::chrono_literals;

namespace {

// The same files seed the NMEA fuzz target.
const std::string kCaptures = KRONEL_SOURCE_DIR "/fuzz/corpus/nmea/";

// How far the simulated clock starts from the capture's time.
constexpr double kClockError = -37.25;

class CaptureReplayTest : public ::testing::TestWithParam<const char*> {};

// The Garmin capture spends the first half of its only minute without a fix, which uses up
// that minute's report: its replay starts at the first fix instead.
void startAtFirstFix(std::vector<testsupport::CaptureSecond>& seconds) {
    auto fixed = [](const std::string& bytes) {
        const size_t rmc = bytes.find("RMC,");
        const size_t status = rmc == std::string::npos ? rmc : bytes.find(',', rmc + 4);
        return status != std::string::npos && bytes.compare(status, 3, ",A,") == 0;
    };
    while (!seconds.empty() && !fixed(seconds.front().bytes)) {
        seconds.erase(seconds.begin());
    }
}

double nowValue() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
               .count() +
           testsupport::kNtpUnixOffset;
}

}  // namespace

TEST_P(CaptureReplayTest, SetsTheClockToTheCapturesTime) {
    auto seconds = testsupport::loadCapture(kCaptures + GetParam());
    if (std::string(GetParam()) == "garmin25lp.log") {
        startAtFirstFix(seconds);
    }
    ASSERT_GT(seconds.size(), 5u);
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ready()) << pty.log();

    testsupport::RecordingMessages messages;
    refclocktest::RecordingTime time(seconds.front().time + kClockError - nowValue());
    platform::setSerialDeviceMap("COM7=" + pty.receiverEnd());
    refclocks::ReceiverSettings settings;
    settings.gpsPort = 7;
    auto receiver = refclocks::makeReceiver(6, settings, messages, time);
    auto& client = *receiver;
    client.start();
    ASSERT_TRUE(client.running());

    testsupport::CaptureReplay replay(pty.feederEnd(), seconds);
    ASSERT_TRUE(replay.opened());
    ASSERT_TRUE(time.waitForReports(1, std::chrono::seconds(seconds.size() + 5)))
        << "no report from " << GetParam();
    client.stop();
    platform::setSerialDeviceMap("");

    const refclocktest::Report report = time.reports().front();
    const double corrected = report.localNow + report.correction;
    EXPECT_LT(std::fabs(corrected - replay.captureTimeAt(report.at)), 1.0)
        << GetParam() << ": correction " << report.correction;
    EXPECT_NEAR(report.correction, -kClockError, 1.0);
    EXPECT_EQ(time.referenceId(), core::referenceIdFromText("GPS"));
    EXPECT_TRUE(messages.has(core::MessageLevel::Status, "Receiving $GP"));
}

INSTANTIATE_TEST_SUITE_P(Receivers, CaptureReplayTest,
                         ::testing::Values("bu353s4.log", "et-332.log", "garmin25lp.log",
                                           "haicom-305N.log", "mt3339.log", "neo-m8n.log",
                                           "nmea-fuzzy-cases.log"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });
