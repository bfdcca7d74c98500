// kronelsvc debug with an entry of each decoding receiver (protocols 5, 9, 11-15, 20-23): its
// receiver's format written into a pseudo-terminal that the entry's COM port maps to must set
// the simulated clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/ChildProcess.h"
#include "support/PtyPair.h"
#include "support/TimeCodeStreams.h"

using namespace std::chrono_literals;
using platform::ChildProcess;
using testsupport::eventually;

namespace {

const std::string kParameters =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters";

// The servers stay off; one entry of `protocol` on COM7 (the Zodiac's through GPSPort).
std::string storeText(int protocol) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[" + kParameters + "]\r\n";
    for (const char* name :
         {"TCPServer", "UDPServer", "867TCPServer", "867UDPServer", "SNTPServer", "LogtoEvtlog"}) {
        text += std::string("\"") + name + "\"=dword:00000000\r\n";
    }
    text += "\"GPSPort\"=dword:00000007\r\n\"GPSSpeed\"=dword:00000001\r\n";
    text += "\r\n[" + kParameters + "\\Server Details\\receiver]\r\n";
    char entry[96];
    std::snprintf(entry, sizeof entry, "\"addr\"=\"COM7\"\r\n\"protocol\"=dword:%08x\r\n",
                  static_cast<unsigned>(protocol));
    return text + entry;
}

using SystemClock = std::chrono::system_clock;

SystemClock::time_point at(int64_t unix, double extra = 0) {
    return SystemClock::time_point(std::chrono::duration_cast<SystemClock::duration>(
        std::chrono::duration<double>(static_cast<double>(unix) + extra)));
}

class KronelsvcTimeCode : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(KronelsvcTimeCode, ItsReceiversFormatOnAPseudoTerminalSetsTheSimulatedClock) {
    const int protocol = GetParam();
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ready()) << pty.log();
    testsupport::TempDir dir;
    const std::string store = dir.file("registry.reg");
    testsupport::writeFile(store, storeText(protocol));

    // The receiver's on-time mark goes out at the whole second `mark`, naming `reference`
    // (a whole minute for the pulse clocks), and the simulated clock then stands 12.5 s behind
    // it. The Zodiac names the pulse 0.4 s after its message.
    const int64_t now = static_cast<int64_t>(
        std::floor(std::chrono::duration<double>(SystemClock::now().time_since_epoch()).count()));
    const int64_t mark = now + 4;
    int64_t reference = mark + 7200 + 17;
    reference -= reference % 60;
    char offset[32];
    std::snprintf(offset, sizeof offset, "%.3f", static_cast<double>(reference - mark) - 12.5);

    ChildProcess::Options options;
    options.setEnvironment = {{"KRONEL_REGISTRY", store},
                              {"KRONEL_CLOCK", "simulated"},
                              {"KRONEL_CLOCK_OFFSET", offset},
                              {"KRONEL_DEVICE_MAP", "COM7=" + pty.receiverEnd()}};
    ChildProcess p;
    ASSERT_TRUE(p.start(KRONEL_BINARY_DIR "/service/kronelsvc", {"debug"}, options).ok());
    ASSERT_TRUE(eventually([&] { return p.output().find("Listening for") != std::string::npos; }))
        << p.output();
    ASSERT_LT(SystemClock::now(), at(mark, -1.7)) << "kronelsvc took too long to start";

    platform::Status status;
    auto feeder = platform::SerialPort::open(pty.feederEnd(), status);
    ASSERT_TRUE(feeder) << status.error;
    const testsupport::Chunks chunks = testsupport::streamFor(protocol, reference);
    ASSERT_FALSE(chunks.empty());
    platform::Event stop(true);
    if (chunks.size() == 2) {
        // The pulses of seconds 0 to 58, the silent second, then the minute's first pulse.
        std::this_thread::sleep_until(at(mark, -1.7));
        (void)feeder->write(chunks[0].data(), chunks[0].size(), &stop);
    }
    std::this_thread::sleep_until(at(mark));
    (void)feeder->write(chunks.back().data(), chunks.back().size(), &stop);

    ASSERT_TRUE(
        eventually([&] { return p.output().find("(Clock stepped)") != std::string::npos; }, 10s))
        << p.output();
    const std::string output = p.output();
    const size_t found = output.find("corrected by ");
    ASSERT_NE(found, std::string::npos) << output;
    const double correction = std::atof(output.c_str() + found + 13);
    EXPECT_NEAR(correction, protocol == 5 ? 12.1 : 12.5, 0.3) << output;
    EXPECT_EQ(output.find("Error: "), std::string::npos) << output;
    ASSERT_TRUE(p.signal(ChildProcess::Signal::Interrupt).ok());
    int exitCode = -1;
    ASSERT_TRUE(p.wait(10s, exitCode)) << p.output();
}

INSTANTIATE_TEST_SUITE_P(Protocols, KronelsvcTimeCode,
                         ::testing::Values(5, 9, 11, 12, 13, 14, 15, 20, 21, 22, 23),
                         [](const auto& info) {
                             switch (info.param) {
                                 case 5:
                                     return std::string("Zodiac");
                                 case 9:
                                     return std::string("Galleon");
                                 case 11:
                                     return std::string("Trimble");
                                 case 12:
                                     return std::string("Praecis");
                                 case 13:
                                     return std::string("Truetime");
                                 case 14:
                                     return std::string("Spectracom");
                                 case 15:
                                     return std::string("NeoClock");
                                 case 20:
                                     return std::string("Dcf77");
                                 case 21:
                                     return std::string("Pulse");
                                 case 22:
                                     return std::string("EmcPro");
                                 default:
                                     return std::string("IrigB");
                             }
                         });
