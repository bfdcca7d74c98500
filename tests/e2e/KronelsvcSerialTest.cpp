// kronelsvc debug with a GPS receiver: a real capture replayed into a pseudo-terminal that
// the NMEA entry's COM port maps to.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ChildProcess.h"
#include "support/PtyPair.h"

using namespace std::chrono_literals;
using platform::ChildProcess;
using testsupport::eventually;

namespace {

const std::string kParameters =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters";

// The servers stay off; one entry of `protocol` on COM7.
std::string storeText(int protocol) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[" + kParameters + "]\r\n";
    for (const char* name :
         {"TCPServer", "UDPServer", "867TCPServer", "867UDPServer", "SNTPServer", "LogtoEvtlog"}) {
        text += std::string("\"") + name + "\"=dword:00000000\r\n";
    }
    text += "\"GPSPort\"=dword:00000007\r\n\"GPSSpeed\"=dword:00000000\r\n";
    text += "\r\n[" + kParameters + "\\Server Details\\gps]\r\n";
    char entry[96];
    std::snprintf(entry, sizeof entry, "\"addr\"=\"COM7\"\r\n\"protocol\"=dword:%08x\r\n",
                  static_cast<unsigned>(protocol));
    return text + entry;
}

double unixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class KronelsvcSerial : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(KronelsvcSerial, CaptureOnAPseudoTerminalSetsTheSimulatedClock) {
    const auto seconds =
        testsupport::loadCapture(KRONEL_SOURCE_DIR "/fuzz/corpus/nmea/bu353s4.log");
    ASSERT_FALSE(seconds.empty());
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ready()) << pty.log();
    testsupport::TempDir dir;
    const std::string store = dir.file("registry.reg");
    testsupport::writeFile(store, storeText(GetParam()));

    // The simulated clock starts 12.5 s behind the capture.
    const double offset = seconds.front().time - testsupport::kNtpUnixOffset - unixNow() - 12.5;
    char offsetText[32];
    std::snprintf(offsetText, sizeof offsetText, "%.3f", offset);
    ChildProcess::Options options;
    options.setEnvironment = {{"KRONEL_REGISTRY", store},
                              {"KRONEL_CLOCK", "simulated"},
                              {"KRONEL_CLOCK_OFFSET", offsetText},
                              {"KRONEL_DEVICE_MAP", "COM7=" + pty.receiverEnd()}};
    ChildProcess p;
    ASSERT_TRUE(p.start(KRONEL_BINARY_DIR "/service/kronelsvc", {"debug"}, options).ok());
    ASSERT_TRUE(eventually([&] {
        return p.output().find("Listening for GPS messages") != std::string::npos;
    })) << p.output();

    testsupport::CaptureReplay replay(pty.feederEnd(), seconds);
    ASSERT_TRUE(replay.opened());
    ASSERT_TRUE(
        eventually([&] { return p.output().find("(Clock stepped)") != std::string::npos; }, 20s))
        << p.output();
    // 12.5 s, give or take the replay's latency and the RMC's added second of the 1PPS client
    // (a pseudo-terminal has no pulse line, so its sentences are taken at once).
    const std::string output = p.output();
    const size_t at = output.find("corrected by ");
    ASSERT_NE(at, std::string::npos) << output;
    const double correction = std::atof(output.c_str() + at + 13);
    EXPECT_NEAR(correction, GetParam() == 24 ? 13.5 : 12.5, 0.5) << output;
    EXPECT_EQ(p.output().find("Error: "), std::string::npos) << p.output();
    ASSERT_TRUE(p.signal(ChildProcess::Signal::Interrupt).ok());
    int exitCode = -1;
    ASSERT_TRUE(p.wait(10s, exitCode)) << p.output();
}

INSTANTIATE_TEST_SUITE_P(Protocols, KronelsvcSerial, ::testing::Values(6, 24),
                         [](const auto& info) {
                             return info.param == 6 ? std::string("Nmea")
                                                    : std::string("NmeaWith1Pps");
                         });
