#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/MessageLog.h"
#include "core/TimeValue.h"
#include "engine/CReg.h"
#include "engine/EngineSettings.h"
#include "platform/Registry.h"
#include "platform/Result.h"
#include "platform/SimulatedClock.h"
#include "platform/Socket.h"
#include "support/SilentNameServer.h"
#include "support/TestSupport.h"

using namespace engine;
using namespace core;
namespace fs = std::filesystem;

namespace {

// 2026-12-08 03:08:00.25 UTC: a one-digit day shows the "%2d" padding of syslog.
constexpr double kFixedTime = 1796699280.25;
constexpr const char* kTimeText = "2026/12/08 03:08:00.25";

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path uniqueTempDir(const char* stem) {
    std::random_device random;
    fs::path dir = fs::temp_directory_path() / (std::string(stem) + std::to_string(random()));
    fs::create_directories(dir);
    return dir;
}

// A syslog collector on loopback that the service port of "syslog"/"udp" points at.
class Collector {
public:
    Collector() {
        EXPECT_TRUE(socket_.open(platform::Socket::Type::Udp).ok());
        EXPECT_TRUE(socket_.bind({*platform::parseDottedIPv4("127.0.0.1"), 0}).ok());
        platform::setServiceOverrides("syslog/udp=" + std::to_string(socket_.localEndpoint().port));
    }
    ~Collector() { platform::setServiceOverrides(""); }

    // The next datagram; the time-out only keeps a broken build from hanging.
    std::string next() {
        const std::string got = nextWithin(platform::Millis(5000));
        EXPECT_NE(got, "");
        return got;
    }
    // "" when nothing came within the time-out.
    std::string nextWithin(platform::Millis timeout) {
        char buffer[2048];
        const platform::IoResult got = socket_.receiveFrom(buffer, sizeof buffer, nullptr, timeout);
        return got.ok() ? std::string(buffer, static_cast<size_t>(got.count)) : std::string();
    }

private:
    platform::Socket socket_;
};

class MessageLogTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = uniqueTempDir("kronel-log-"); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Every sink that the tests can watch on; the event log stays off so that tests do not
    // fill the machine's log.
    LogSettings allLevelsToFileAndSyslog() const {
        LogSettings settings;
        settings.logInfo = settings.logError = settings.logWarn = settings.logDebug = true;
        settings.toFile = true;
        settings.logFile = logPath().string();
        settings.toSyslog = true;
        settings.syslogServer = "127.0.0.1";
        settings.toEventLog = false;
        return settings;
    }
    fs::path logPath() const { return dir_ / "log.txt"; }

    // Sends a marker line through a second log to the same collector; it must be the next
    // datagram, which proves nothing came before it.
    void expectNothingSentBefore(Collector& collector) {
        LogSettings marker;
        marker.toSyslog = true;
        marker.syslogServer = "127.0.0.1";
        marker.toEventLog = false;
        MessageLog(marker, clock_).write(MessageLevel::Info, "Test", "marker");
        const std::string got = collector.next();
        EXPECT_NE(got.find("Kronel: Info : Test marker"), std::string::npos) << got;
    }

    fs::path dir_;
    platform::SimulatedClock clock_{0.0, 0.0, [] { return kFixedTime; }};
};

}  // namespace

// ---- settings ----

class LogSettingsTest : public ::testing::Test {
protected:
    testsupport::TempStore store_;
};

TEST_F(LogSettingsTest, EmptyStoreGivesTheDefaults) {
    CReg parameters(kServiceParametersKey);
    const LogSettings s = readLogSettings(parameters);
    EXPECT_TRUE(s.logInfo);
    EXPECT_TRUE(s.logError);
    EXPECT_TRUE(s.logWarn);
    EXPECT_FALSE(s.logDebug);
    EXPECT_EQ(s.logFile, "log.txt");
    EXPECT_FALSE(s.toFile);
    EXPECT_FALSE(s.toSyslog);
    EXPECT_EQ(s.syslogServer, "");
    EXPECT_TRUE(s.toEventLog);
}

TEST_F(LogSettingsTest, ReadsEveryValueByItsName) {
    CReg parameters(kServiceParametersKey);
    ASSERT_TRUE(parameters.writeInt("LogMsgs", 0).ok());
    ASSERT_TRUE(parameters.writeInt("LogError", 0).ok());
    ASSERT_TRUE(parameters.writeInt("LogWarn", 0).ok());
    ASSERT_TRUE(parameters.writeInt("LogDebug", 1).ok());
    ASSERT_TRUE(parameters.writeText("Logfile", "/var/log/kronel.txt").ok());
    ASSERT_TRUE(parameters.writeInt("Logtofile", 1).ok());
    ASSERT_TRUE(parameters.writeInt("LogtoSyslog", 1).ok());
    ASSERT_TRUE(parameters.writeText("SyslogServer", "loghost").ok());
    ASSERT_TRUE(parameters.writeInt("LogtoEvtlog", 0).ok());
    const LogSettings s = readLogSettings(parameters);
    EXPECT_FALSE(s.logInfo);
    EXPECT_FALSE(s.logError);
    EXPECT_FALSE(s.logWarn);
    EXPECT_TRUE(s.logDebug);
    EXPECT_EQ(s.logFile, "/var/log/kronel.txt");
    EXPECT_TRUE(s.toFile);
    EXPECT_TRUE(s.toSyslog);
    EXPECT_EQ(s.syslogServer, "loghost");
    EXPECT_FALSE(s.toEventLog);
}

// ---- levels and the message line ----

TEST(LogLevels, PrefixesAndSeverities) {
    EXPECT_STREQ(prefixOf(MessageLevel::Error), "Error: ");
    EXPECT_STREQ(prefixOf(MessageLevel::Warn), "Warn : ");
    EXPECT_STREQ(prefixOf(MessageLevel::Info), "Info : ");
    EXPECT_STREQ(prefixOf(MessageLevel::Debug), "Debug: ");
    EXPECT_EQ(prefixOf(MessageLevel::Status), nullptr);
    EXPECT_EQ(severityOf(MessageLevel::Error), 3);
    EXPECT_EQ(severityOf(MessageLevel::Warn), 4);
    EXPECT_EQ(severityOf(MessageLevel::Info), 6);
    EXPECT_EQ(severityOf(MessageLevel::Debug), 7);
}

TEST(LogLevels, EventTypesBySeverity) {
    EXPECT_EQ(eventTypeOf(3), platform::EventType::Error);
    EXPECT_EQ(eventTypeOf(4), platform::EventType::Warning);
    EXPECT_EQ(eventTypeOf(6), platform::EventType::Information);
    EXPECT_EQ(eventTypeOf(7), platform::EventType::Information);
}

TEST_F(MessageLogTest, LineIsPrefixSourceBlankText) {
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toFile = settings.toSyslog = false;
    MessageLog log(settings, clock_);
    EXPECT_EQ(log.write(MessageLevel::Error, "SNTP", "sendto failed(x)"),
              "Error: SNTP sendto failed(x)");
    EXPECT_EQ(log.write(MessageLevel::Warn, "HTTP", "No reply"), "Warn : HTTP No reply");
    EXPECT_EQ(log.write(MessageLevel::Info, "Kronel", ""), "Info : Kronel ");
    EXPECT_EQ(log.write(MessageLevel::Debug, "GPS", "Stopping"), "Debug: GPS Stopping");
    EXPECT_EQ(log.write(MessageLevel::Status, "GPS", "Waiting"), "");
}

TEST_F(MessageLogTest, DebugIsOffByDefaultAndReachesNoSink) {
    Collector collector;
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.logDebug = LogSettings{}.logDebug;
    ASSERT_FALSE(settings.logDebug);
    MessageLog log(settings, clock_);
    EXPECT_EQ(log.write(MessageLevel::Debug, "SNTP", "Stopping"), "");
    EXPECT_FALSE(fs::exists(logPath()));
    expectNothingSentBefore(collector);
}

TEST_F(MessageLogTest, EachLevelSwitchStopsItsLevelOnly) {
    Collector collector;
    const MessageLevel levels[] = {MessageLevel::Error, MessageLevel::Warn, MessageLevel::Info,
                                   MessageLevel::Debug};
    for (MessageLevel off : levels) {
        fs::remove(logPath());
        LogSettings settings = allLevelsToFileAndSyslog();
        settings.logError = off != MessageLevel::Error;
        settings.logWarn = off != MessageLevel::Warn;
        settings.logInfo = off != MessageLevel::Info;
        settings.logDebug = off != MessageLevel::Debug;
        MessageLog log(settings, clock_);
        std::string expectedFile;
        for (MessageLevel level : levels) {
            const std::string line = log.write(level, "Src", "text");
            if (level == off) {
                EXPECT_EQ(line, "");
                continue;
            }
            EXPECT_EQ(line, std::string(prefixOf(level)) + "Src text");
            expectedFile += std::string(kTimeText) + " " + line + "\r\n";
            EXPECT_NE(collector.next().find("Kronel: " + line), std::string::npos);
        }
        EXPECT_EQ(contents(logPath()), expectedFile);
    }
    expectNothingSentBefore(collector);
}

// ---- syslog ----

TEST(SyslogDatagram, FormatsPriorityMonthPaddedDayTimeHostAndTag) {
    const platform::UnixTime when{1804291147, 900};  // 2027-03-05 23:59:07 UTC
    EXPECT_EQ(syslogDatagram(3, when, "pc1", "Error: SNTP x"),
              "<99>Mar  5 23:59:07 pc1 Kronel: Error: SNTP x");
    EXPECT_EQ(syslogDatagram(7, {1796699280, 0}, "h", "l"), "<103>Dec  8 03:08:00 h Kronel: l");
}

TEST(SyslogDatagram, EnglishMonthNames) {
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 1; m <= 12; ++m) {
        CalendarTime calendar;
        calendar.year = 2026;
        calendar.month = m;
        calendar.day = 15;
        const std::string datagram = syslogDatagram(6, unixFromCalendar(calendar), "h", "l");
        EXPECT_EQ(datagram, std::string("<102>") + months[m - 1] + " 15 00:00:00 h Kronel: l");
    }
}

TEST(SyslogDatagram, KeepsAtMost256CharactersOfTheLineAnd128OfTheHost) {
    const std::string line(300, 'L');
    const std::string host(200, 'h');
    const std::string datagram = syslogDatagram(6, {1796699280, 0}, host, line);
    EXPECT_EQ(datagram, "<102>Dec  8 03:08:00 " + std::string(128, 'h') +
                            " Kronel: " + std::string(256, 'L'));
}

TEST_F(MessageLogTest, SyslogDatagramArrivesAtTheCollector) {
    Collector collector;
    MessageLog log(allLevelsToFileAndSyslog(), clock_);
    const std::string line = log.write(MessageLevel::Warn, "SNTP", "No reply from %s");
    EXPECT_EQ(collector.next(),
              "<100>Dec  8 03:08:00 " + platform::localHostName() + " Kronel: " + line);
    log.write(MessageLevel::Error, "RFC868", "failed");
    EXPECT_EQ(collector.next(),
              "<99>Dec  8 03:08:00 " + platform::localHostName() + " Kronel: Error: RFC868 failed");
}

TEST_F(MessageLogTest, LongMessageArrivesCutTo256Characters) {
    Collector collector;
    MessageLog log(allLevelsToFileAndSyslog(), clock_);
    std::string text;
    for (int i = 0; text.size() < 300; ++i) {
        text += std::to_string(i % 10);
    }
    const std::string line = log.write(MessageLevel::Info, "SNTP", text);
    ASSERT_GT(line.size(), 300u);
    const std::string got = collector.next();
    const std::string head = "<102>Dec  8 03:08:00 " + platform::localHostName() + " Kronel: ";
    EXPECT_EQ(got, head + line.substr(0, 256));
    // The log file still has the whole line.
    EXPECT_EQ(contents(logPath()), std::string(kTimeText) + " " + line + "\r\n");
}

TEST_F(MessageLogTest, EmptySyslogServerSendsNothing) {
    Collector collector;
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.syslogServer = "";
    MessageLog log(settings, clock_);
    EXPECT_NE(log.write(MessageLevel::Error, "SNTP", "lost"), "");
    expectNothingSentBefore(collector);
}

TEST_F(MessageLogTest, SyslogOffSendsNothing) {
    Collector collector;
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toSyslog = false;
    MessageLog log(settings, clock_);
    EXPECT_NE(log.write(MessageLevel::Error, "SNTP", "lost"), "");
    expectNothingSentBefore(collector);
}

TEST_F(MessageLogTest, UnresolvableSyslogServerLosesTheLineOnly) {
    Collector collector;
    LogSettings settings = allLevelsToFileAndSyslog();
    // A label longer than 63 characters cannot be put in a query, so the lookup fails on
    // this machine without asking any name server.
    settings.syslogServer = std::string(70, 'x') + ".invalid";
    MessageLog log(settings, clock_);
#ifndef _WIN32
    // Windows keeps the socket error in the slot of the system error: the last one set wins.
    platform::setLastSocketError(10061);
#endif
    platform::setLastSystemError(13);
    EXPECT_EQ(log.write(MessageLevel::Error, "SNTP", "lost"), "Error: SNTP lost");
    // The caller's error numbers are untouched by the failed lookup.
#ifndef _WIN32
    EXPECT_EQ(platform::lastSocketError(), 10061);
#endif
    EXPECT_EQ(platform::lastSystemError(), 13);
    EXPECT_EQ(log.write(MessageLevel::Info, "SNTP", "again"), "Info : SNTP again");
    EXPECT_EQ(contents(logPath()), std::string(kTimeText) + " Error: SNTP lost\r\n" + kTimeText +
                                       " Info : SNTP again\r\n");
    expectNothingSentBefore(collector);
}

TEST_F(MessageLogTest, ACollectorNamedByHostNameIsLookedUpInTheBackground) {
    Collector collector;
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.syslogServer = "localhost";
    settings.toFile = false;
    MessageLog log(settings, clock_);
    // Lines logged before the lookup has answered are dropped; the first one after it goes out.
    std::string got;
    for (int attempt = 0; attempt < 100 && got.empty(); ++attempt) {
        log.write(MessageLevel::Info, "SNTP", "try %d");
        got = collector.nextWithin(platform::Millis(100));
    }
    EXPECT_NE(got.find(" Kronel: Info : SNTP try"), std::string::npos) << got;
    log.write(MessageLevel::Warn, "SNTP", "next");
    EXPECT_NE(collector.next().find(" Kronel: Warn : SNTP next"), std::string::npos);
}

#ifndef _WIN32
TEST_F(MessageLogTest, ALineNeverWaitsForTheCollectorsNameServer) {
    if (!testsupport::insideSilentNameServer()) {
        return;
    }
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.syslogServer = testsupport::kSilentlyResolvedName;
    const auto start = std::chrono::steady_clock::now();
    {
        MessageLog log(settings, clock_);
        for (int i = 0; i < 5; ++i) {
            log.write(MessageLevel::Info, "SNTP", "line");
        }
    }
    // The resolver takes 10 s to give up on one lookup; writing and closing the log took
    // none of it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const std::string file = contents(logPath());
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 5) << file;
}
#endif

// ---- log file ----

TEST_F(MessageLogTest, LogFileIsAppendedWithTimeAndCrLf) {
    std::ofstream(logPath(), std::ios::binary) << "an older line that must stay\r\n";
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toSyslog = false;
    {
        MessageLog log(settings, clock_);
        log.write(MessageLevel::Info, "Kronel", "Using simulated clock, offset +0.000 s");
    }
    MessageLog again(settings, clock_);
    again.write(MessageLevel::Error, "SNTP", "Couldn't create socket()");
    EXPECT_EQ(contents(logPath()), std::string("an older line that must stay\r\n") + kTimeText +
                                       " Info : Kronel Using simulated clock, offset +0.000 s\r\n" +
                                       kTimeText + " Error: SNTP Couldn't create socket()\r\n");
}

TEST_F(MessageLogTest, LogFileTimeFollowsTheClock) {
    double now = kFixedTime;
    platform::SimulatedClock clock(0.0, 0.0, [&now] { return now; });
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toSyslog = false;
    MessageLog log(settings, clock);
    log.write(MessageLevel::Info, "A", "one");
    now = 1804291147.5;  // 2027-03-05 23:59:07.50
    log.write(MessageLevel::Info, "A", "two");
    EXPECT_EQ(contents(logPath()),
              std::string(kTimeText) + " Info : A one\r\n2027/03/05 23:59:07.50 Info : A two\r\n");
}

TEST_F(MessageLogTest, LogFileOffWritesNoFile) {
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toFile = false;
    settings.toSyslog = false;
    MessageLog log(settings, clock_);
    log.write(MessageLevel::Error, "SNTP", "x");
    EXPECT_FALSE(fs::exists(logPath()));
}

TEST_F(MessageLogTest, LinesFromTwoThreadsNeverInterleave) {
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toSyslog = false;
    MessageLog log(settings, clock_);
    constexpr int kLines = 400;
    const std::string textA(300, 'a');
    const std::string textB(300, 'b');
    auto writer = [&log](const char* source, const std::string& text) {
        for (int i = 0; i < kLines; ++i) {
            log.write(MessageLevel::Info, source, text + std::to_string(i));
        }
    };
    std::thread a(writer, "A", textA);
    std::thread b(writer, "B", textB);
    a.join();
    b.join();

    std::istringstream file(contents(logPath()));
    std::set<std::string> seen;
    std::string line;
    int count = 0;
    while (std::getline(file, line, '\n')) {
        ++count;
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << count;
        line.pop_back();
        const std::string head = std::string(kTimeText) + " Info : ";
        ASSERT_EQ(line.rfind(head, 0), 0u) << line;
        const std::string rest = line.substr(head.size());
        const bool fromA = rest.rfind("A " + textA, 0) == 0;
        const bool fromB = rest.rfind("B " + textB, 0) == 0;
        ASSERT_TRUE(fromA || fromB) << rest;
        seen.insert(rest);
    }
    EXPECT_EQ(count, 2 * kLines);
    EXPECT_EQ(seen.size(), static_cast<size_t>(2 * kLines));
}

TEST_F(MessageLogTest, UnwritableLogFileLosesTheLineOnly) {
    Collector collector;
    for (const fs::path& path : {dir_, dir_ / "missing" / "log.txt"}) {
        LogSettings settings = allLevelsToFileAndSyslog();
        settings.logFile = path.string();
        MessageLog log(settings, clock_);
        platform::setLastSystemError(0);
        EXPECT_EQ(log.write(MessageLevel::Warn, "SNTP", "kept"), "Warn : SNTP kept");
        EXPECT_EQ(platform::lastSystemError(), 0);
        // The sinks after the file still get the line.
        EXPECT_NE(collector.next().find("Kronel: Warn : SNTP kept"), std::string::npos);
    }
    EXPECT_TRUE(fs::is_directory(dir_));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

// ---- event log ----

TEST_F(MessageLogTest, EventLogSinkTakesEveryLevelWithoutFailing) {
    LogSettings settings = allLevelsToFileAndSyslog();
    settings.toFile = settings.toSyslog = false;
    settings.toEventLog = true;
    MessageLog log(settings, clock_);
    EXPECT_EQ(log.write(MessageLevel::Error, "Test", "kronel test record"),
              "Error: Test kronel test record");
    EXPECT_EQ(log.write(MessageLevel::Debug, "Test", "kronel test record"),
              "Debug: Test kronel test record");
}
