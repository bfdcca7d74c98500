// The eleven decoding receivers, each fed its documented messages (or streams built from its
// documented format) through the test SerialPort: the correction each reports is checked
// against the simulated clock, and the bad messages of each format must be refused.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "RefclockFakes.h"
#include "refclocks/Receivers.h"
#include "support/RecordingMessages.h"
#include "support/TestSupport.h"
#include "support/TimeCodeStreams.h"

using namespace std::chrono_literals;
using core::MessageLevel;
using refclocktest::RecordingTime;
using refclocktest::ScriptedPort;
using testsupport::Chunks;

namespace {

constexpr double kNtp = 2208988800.0;

int64_t unixOf(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

double nowValue() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
               .count() +
           kNtp;
}

struct Row {
    const char* label;
    int protocol;
    Chunks chunks;
    double expected;   // the time value the on-time mark names (when a report comes)
    double lead = 20;  // the simulated clock starts this far behind it
    bool reports = true;
    const char* warning = nullptr;  // a Warn line that must come
    const char* referenceId = nullptr;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.label;
}

std::unique_ptr<engine::CTimeClient> makeClient(int protocol, testsupport::RecordingMessages& m,
                                                RecordingTime& t, ScriptedPort::Shared& shared) {
    auto opener = [&shared](const std::string&, platform::Status& status) {
        status = {};
        return std::make_unique<ScriptedPort>(shared);
    };
    // The frame clocks on COM4, the Zodiac receiver on the GPS port COM7 at 9600 baud.
    auto client = refclocks::makeReceiver(protocol, {"COM4", 1, 7, 1, "", 0}, m, t);
    if (client) {
        client->setPortOpener(opener);
    }
    return client;
}

double tv(int64_t unix) {
    return static_cast<double>(unix) + kNtp;
}

Chunks one(std::string bytes) {
    return {std::move(bytes)};
}

std::string corrupt(std::string bytes, size_t at, char with) {
    bytes[at] = with;
    return bytes;
}

const int64_t kNoon = unixOf(2026, 12, 8, 12, 0, 0);
const int64_t kNewYear = unixOf(2027, 1, 1, 0, 0, 5);
const int64_t kLastSecond = unixOf(2026, 12, 31, 23, 59, 59);
const int64_t kSummer = unixOf(2026, 7, 1, 10, 0, 0);

std::vector<Row> rows() {
    using namespace testsupport;
    std::vector<Row> r;
    // Zodiac: message 1108; a wrong data checksum.
    r.push_back({"ZodiacTimeMark", 5, one(zodiacTimeMark(kNoon)), tv(kNoon) - 0.4});
    r.push_back(
        {"ZodiacTimeMarkAfterNewYear", 5, one(zodiacTimeMark(kNewYear)), tv(kNewYear) - 0.4});
    r.push_back({"ZodiacDataChecksumError", 5, one(corrupt(zodiacTimeMark(kNoon), 26, 0x11)), 0, 20,
                 false, "Zodiac message 1108 data checksum error"});
    // Galleon (Gude's telegram): the documented example, 1993-04-16 11:41 CEST.
    r.push_back({"GalleonDocumentedExample", 9, one("<11411604935F0010000000>D4\r\n"),
                 tv(unixOf(1993, 4, 16, 9, 41, 0)), 20, true, nullptr, "DCF"});
    r.push_back({"GalleonWinter", 9, one(gudeTelegram(kLastSecond)), tv(kLastSecond)});
    r.push_back({"GalleonSummer", 9, one(gudeTelegram(kSummer)), tv(kSummer)});
    r.push_back({"GalleonChecksumError", 9, one("<11411604935F0010000000>D5\r\n"), 0, 20, false,
                 "Galleon checksum error"});
    // Trimble TSIP 8F-AB: a second of 16 is a stuffed DLE; a packet cut short by the next.
    r.push_back({"TrimblePrimaryTiming", 11, one(tsipPrimaryTiming(kNoon)), tv(kNoon), 20, true,
                 nullptr, "GPS"});
    r.push_back({"TrimbleStuffedDle", 11, one(tsipPrimaryTiming(kNoon + 16)), tv(kNoon + 16)});
    r.push_back({"TrimbleCutShort", 11,
                 one(tsipPrimaryTiming(kNoon).substr(0, 12) + tsipPrimaryTiming(kNoon + 1)),
                 tv(kNoon + 1), 20, true, "Trimble packet 8F-AB cut short"});
    r.push_back({"TrimbleShortPacket", 11, one(tsipPrimaryTiming(kNoon).substr(0, 17) + "\x10\x03"),
                 0, 20, false, "Trimble packet 8F-AB of 15 bytes, not 17"});
    // Praecis (EndRun): UTC and local time; an unsynchronised figure of merit.
    r.push_back({"PraecisUtc", 12, one("\r\n" + endRunMessage(kNoon)), tv(kNoon), 20, true, nullptr,
                 "CDMA"});
    r.push_back({"PraecisLocalTime", 12, one("\r\n7 2026 342 13:00:00 +02 L\r\n"), tv(kNoon)});
    r.push_back({"PraecisUnsynchronised", 12, one("\r\n" + endRunMessage(kNoon, '9')), 0, 20, false,
                 "Praecis clock not synchronised (figure of merit 9)"});
    // Truetime: no year, so the days around the new year take theirs from the clock.
    r.push_back({"TruetimeNoon", 13, one(truetimeMessage(kNoon)), tv(kNoon)});
    r.push_back({"TruetimeNewYearBehindClock", 13, one(truetimeMessage(kNewYear)), tv(kNewYear)});
    r.push_back({"TruetimeLastSecondAheadClock", 13, one(truetimeMessage(kLastSecond)),
                 tv(kLastSecond), -20});
    r.push_back({"TruetimeQuality500ms", 13, one(truetimeMessage(kNoon, '?')), 0, 20, false,
                 "Truetime clock not synchronised (quality '?')"});
    r.push_back({"TruetimeCutShort", 13,
                 one(truetimeMessage(kNoon).substr(0, 8) + truetimeMessage(kNoon + 1)),
                 tv(kNoon + 1), 20, true, "Truetime message cut short"});
    // What a refusal quotes cannot start a log line of its own, nor reach a terminal.
    r.push_back({"TruetimeRefusalQuotesItsLineOnOneLine", 13,
                 one("\x01"
                     "123\nError: Kronel x\x1b[0m\r"),
                 0, 20, false, "Truetime message not understood (123\\nError: Kronel x\\x1B[0m)"});
    // Spectracom formats 0 and 2.
    r.push_back({"SpectracomFormat0", 14, one(spectracomFormat0(kNoon) + "\r"), tv(kNoon), 20, true,
                 nullptr, "WWVB"});
    r.push_back(
        {"SpectracomFormat0NewYear", 14, one(spectracomFormat0(kNewYear) + "\r"), tv(kNewYear)});
    r.push_back({"SpectracomFormat2", 14, one(spectracomFormat2(kLastSecond)), tv(kLastSecond)});
    // A line whose leading <CR> was lost has no on-time mark: it is not used.
    r.push_back({"SpectracomLineWithoutItsCarriageReturn", 14,
                 one(spectracomFormat2(kNoon).substr(1)), 0, 20, false});
    r.push_back({"SpectracomFormat2Quality", 14, one(corrupt(spectracomFormat2(kNoon), 3, 'D')), 0,
                 20, false, "Spectracom time quality worse than 500 ms"});
    r.push_back({"SpectracomUnsynchronised", 14,
                 one(corrupt(spectracomFormat0(kNoon), 2, '?') + "\r"), 0, 20, false,
                 "Spectracom clock not synchronised"});
    // NeoClock (Meinberg standard string): UTC and CET.
    r.push_back(
        {"NeoClockUtc", 15, one(meinbergString(kNoon)), tv(kNoon), 20, true, nullptr, "DCF"});
    r.push_back({"NeoClockCet", 15,
                 one("\x02"
                     "D:08.12.26;T:2;U:13.00.00;    \x03"),
                 tv(kNoon)});
    r.push_back({"NeoClockNotSynchronised", 15, one(corrupt(meinbergString(kNoon), 27, '#')), 0, 20,
                 false, "NeoClock clock not synchronised since reset"});
    // DCF77: winter and summer minutes, a parity error, a minute cut short, and a minute an
    // hour from the clock, which the consistency check refuses.
    r.push_back({"Dcf77Winter", 20, dcf77Minute(kNoon), tv(kNoon), 20, true, nullptr, "DCF"});
    r.push_back({"Dcf77Summer", 20, dcf77Minute(kSummer), tv(kSummer)});
    {
        auto bits = dcf77Bits(kNoon);
        bits[22] ^= 1;
        r.push_back({"Dcf77ParityError",
                     20,
                     {dcf77Pulses(bits), "\xF0"},
                     0,
                     20,
                     false,
                     "DCF77 parity error"});
        bits = dcf77Bits(kNoon);
        bits.pop_back();
        r.push_back({"Dcf77CutShort",
                     20,
                     {dcf77Pulses(bits), "\xF0"},
                     0,
                     20,
                     false,
                     "DCF77 minute cut short (58 pulses)"});
    }
    r.push_back({"Dcf77InconsistentMinute", 20, dcf77Minute(kNoon), tv(kNoon), 3600, false,
                 "Received time inconsistant with last value"});
    r.push_back({"PulseMinute", 21, dcf77Minute(kNewYear - 5), tv(kNewYear - 5)});
    r.push_back({"PulseInconsistentMinute", 21, dcf77Minute(kNoon), tv(kNoon), -3600, false,
                 "Received time inconsistant with last value (2026/12/08 12:00:00 UTC)"});
    // EMCPro (Arbiter B5).
    r.push_back({"EmcProB5", 22, one(arbiterB5(kNoon)), tv(kNoon), 20, true, nullptr, "GPS"});
    r.push_back({"EmcProUnlocked", 22, one(corrupt(arbiterB5(kNoon), 2, '?')), 0, 20, false,
                 "EMCPro clock not locked"});
    // IRIG-B: with the year, without it across the new year, and a frame missing a marker.
    r.push_back(
        {"IrigBWithYear", 23, one(irigBFrame(kNoon)), tv(kNoon), 20, true, nullptr, "IRIG"});
    r.push_back({"IrigBWithoutYearNewYear", 23, one(irigBFrame(kNewYear, false)), tv(kNewYear)});
    r.push_back({"IrigBMissingMarker", 23, one(corrupt(irigBFrame(kNoon), 30, '\xFE')), 0, 20,
                 false, "IRIG-B frame broken at element 29"});
    return r;
}

class TimeCodeClients : public ::testing::TestWithParam<Row> {};

}  // namespace

TEST_P(TimeCodeClients, ReportTheirReceiversTimeOrRefuseIt) {
    const Row& row = GetParam();
    testsupport::RecordingMessages messages;
    const double expected = row.reports ? row.expected : tv(kNoon);
    RecordingTime time(expected - row.lead - nowValue());
    ScriptedPort::Shared shared;
    auto client = makeClient(row.protocol, messages, time, shared);
    ASSERT_TRUE(client);
    client->start();
    ASSERT_TRUE(client->running());
    for (size_t i = 0; i < row.chunks.size(); ++i) {
        if (i > 0) {
            // The silent second before the minute's first pulse.
            ASSERT_TRUE(testsupport::eventually([&] { return shared.drained(); }));
            std::this_thread::sleep_for(50ms);
        }
        shared.send(row.chunks[i]);
    }
    if (row.warning != nullptr) {
        EXPECT_TRUE(testsupport::eventually(
            [&] { return messages.has(MessageLevel::Warn, row.warning); }, 3s))
            << row.label;
    }
    if (row.reports) {
        ASSERT_TRUE(time.waitForReports(1, 3s)) << row.label;
        const refclocktest::Report report = time.reports().front();
        EXPECT_NEAR(report.correction, row.lead, 0.3) << row.label;
        EXPECT_NEAR(report.localNow + report.correction, row.expected, 0.3) << row.label;
        if (row.referenceId != nullptr) {
            // Stored right after the correction.
            EXPECT_TRUE(testsupport::eventually([&] {
                return time.referenceId() == core::referenceIdFromText(row.referenceId);
            })) << row.label;
        }
    } else {
        ASSERT_TRUE(testsupport::eventually([&] { return shared.drained(); }));
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(time.reports().empty()) << row.label;
    }
    client->stop();
}

INSTANTIATE_TEST_SUITE_P(Receivers, TimeCodeClients, ::testing::ValuesIn(rows()),
                         [](const auto& info) { return std::string(info.param.label); });

// Receivers send every second; the engine hears once a poll interval.
TEST(TimeCodeClients, ReportOncePerPollInterval) {
    testsupport::RecordingMessages messages;
    RecordingTime time(tv(kNoon) - 20 - nowValue());
    ScriptedPort::Shared shared;
    auto client = makeClient(13, messages, time, shared);
    client->start();
    std::string stream;
    for (int i = 0; i < 5; ++i) {
        stream += testsupport::truetimeMessage(kNoon + i);
    }
    shared.send(stream);
    ASSERT_TRUE(time.waitForReports(1, 3s));
    ASSERT_TRUE(testsupport::eventually([&] { return shared.drained(); }));
    std::this_thread::sleep_for(100ms);
    client->stop();
    EXPECT_EQ(time.reports().size(), 1u);
    EXPECT_EQ(messages.texts(MessageLevel::Status).size(), 5u);
}

// The DCF77 receiver is powered from DTR with RTS dropped; Trimble's line is 9600 8-O-1 and
// NeoClock's 2400 8-N-2.
TEST(TimeCodeClients, OpenWithTheirLineSettings) {
    struct Expected {
        int protocol;
        int baud;
        int parity;
        int stopBits;
    };
    for (const Expected e :
         {Expected{9, 2400, 0, 0}, Expected{11, 9600, 1, 0}, Expected{15, 2400, 0, 2},
          Expected{20, 50, 0, 0}, Expected{21, 50, 0, 0}, Expected{23, 1000, 0, 0},
          Expected{12, 9600, 0, 0}, Expected{22, 9600, 0, 0}}) {
        testsupport::RecordingMessages messages;
        RecordingTime time;
        ScriptedPort::Shared shared;
        auto client = makeClient(e.protocol, messages, time, shared);
        client->start();
        client->stop();
        EXPECT_EQ(shared.line.baudRate, e.baud) << e.protocol;
        EXPECT_EQ(shared.line.parity, e.parity) << e.protocol;
        EXPECT_EQ(shared.line.stopBits, e.stopBits) << e.protocol;
    }
}
