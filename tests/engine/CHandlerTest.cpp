#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "engine/CHandler.h"
#include "engine/CReg.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"
#include "support/TestSupport.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace engine;
using namespace core;
using testsupport::eventually;

namespace {

// What the fake sources did, in order: "start a", "stop a".
class Journal {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    int count(const std::string& line) const {
        int n = 0;
        for (const auto& l : lines()) {
            n += (l == line);
        }
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What the system says when it will not make a thread or an event.
std::system_error notMade(const char* what) {
    return std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), what);
}

// A source whose `addr` says what it does once started: "fail" reports a failure, a number
// hands that correction to the engine; "throw at start" is a thread that cannot be made.
class ScriptedClient : public CTimeClient {
public:
    ScriptedClient(const ServerEntry& entry, const ClientContext& context, Journal& journal)
        : CTimeClient(context.messages, context.time, entry.addr, 1, "Scripted Client"),
          entry_(entry.name),
          journal_(journal) {}
    ~ScriptedClient() override { stop(); }
    void start() override {
        if (serverAddress() == "throw at start") {
            throw notMade("thread");
        }
        CTimeClient::start();
    }
    void run() override {
        signalStarted();
        journal_.add("start " + entry_);
        if (serverAddress() == "fail") {
            time_.sourceFailed();
        } else {
            time_.setTime(std::stod(serverAddress()));
        }
        stopEvent_.wait();
        journal_.add("stop " + entry_);
    }

private:
    std::string entry_;
    Journal& journal_;
};

class ScriptedProtocols : public ProtocolFactory {
public:
    explicit ScriptedProtocols(Journal& journal) : journal_(journal) {}
    std::string displayName(int protocol, bool) const override {
        if (protocol >= 16 && protocol <= 19) {
            return "";
        }
        return protocol == 0 ? "Scripted Client" : "Unbuilt Client";
    }
    std::unique_ptr<CTimeClient> createClient(const ServerEntry& entry,
                                              const ClientContext& context) override {
        if (entry.protocol != 0) {
            return nullptr;
        }
        if (entry.addr == "throw") {
            throw notMade("event");  // as a client's event member would
        }
        return std::make_unique<ScriptedClient>(entry, context, journal_);
    }
    std::unique_ptr<CTimeServer> createServer(ServerKind, const ServerSettings&, MessageHandler&,
                                              TimeHandler&) override {
        if (serversCannotBeMade) {
            throw notMade("server");
        }
        return nullptr;
    }
    bool serversCannotBeMade = false;

private:
    Journal& journal_;
};

struct Entry {
    std::string name;
    std::string addr;
    int order;
    int protocol = 0;
};

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setProcessClock(std::make_unique<platform::SimulatedClock>());
        platform::setTimeScale(1000.0);  // SwitchDelay 2000 ms -> 2 ms; a minute -> 60 ms
        CReg parameters(kServiceParametersKey);
        (void)parameters.writeInt("LogtoEvtlog", 0);
        (void)parameters.writeInt("Frequency", 1);
    }
    void TearDown() override {
        stopEngine();
        platform::setTimeScale(1.0);
        platform::setProcessClock(nullptr);
    }

    void configure(const std::vector<Entry>& entries,
                   std::vector<std::pair<const char*, int>> values = {}) {
        CReg parameters(kServiceParametersKey);
        for (const auto& [name, value] : values) {
            (void)parameters.writeInt(name, static_cast<uint32_t>(value));
        }
        for (const Entry& e : entries) {
            CReg entry(std::string(kServiceParametersKey) + "\\" + kServerDetailsSubkey + "\\" +
                       e.name);
            (void)entry.writeText("addr", e.addr);
            (void)entry.writeInt("protocol", static_cast<uint32_t>(e.protocol));
            (void)entry.writeInt("order", static_cast<uint32_t>(e.order));
        }
    }

    void startEngine(bool serversCannotBeMade = false) {
        auto protocols = std::make_unique<ScriptedProtocols>(journal_);
        protocols->serversCannotBeMade = serversCannotBeMade;
        handler_ = std::make_unique<CHandler>(false, std::move(protocols));
        thread_ = std::make_unique<platform::Thread>([this] { handler_->run(stop_); });
    }
    void stopEngine() {
        stop_.set();
        thread_.reset();
        handler_.reset();
    }
    bool idle() const { return handler_->currentIndex() == ServerList::kNone; }

    testsupport::TempStore store_;
    Journal journal_;
    platform::Event stop_{true};
    std::unique_ptr<CHandler> handler_;
    std::unique_ptr<platform::Thread> thread_;
};

}  // namespace

TEST_F(Engine, PollsTheListInOrderAndEndsIdleWhenEveryEntryFails) {
    configure({{"c", "fail", 2}, {"a", "fail", 0}, {"b", "fail", 1}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("stop c") == 1; }));
    ASSERT_TRUE(eventually([&] { return idle(); }));
    EXPECT_EQ(journal_.lines(), (std::vector<std::string>{"start a", "stop a", "start b", "stop b",
                                                          "start c", "stop c"}));
}

TEST_F(Engine, WithoutAutoChangeAFailingSourceKeepsRunning) {
    configure({{"a", "fail", 0}, {"b", "fail", 1}}, {{"AutoChange", 0}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start a") == 1; }));
    // A wrongly raised switch would have moved on well within this time.
    eventually([&] { return journal_.count("start b") > 0; }, std::chrono::milliseconds(200));
    EXPECT_EQ(journal_.count("start b"), 0);
    EXPECT_EQ(handler_->currentIndex(), 0);
}

TEST_F(Engine, SwitchOkMovesOnAfterEveryResult) {
    configure({{"a", "0", 0}, {"b", "0", 1}}, {{"SwitchOK", 1}, {"Min", 0}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start b") == 1; }));
    ASSERT_TRUE(eventually([&] { return idle(); }));
}

TEST_F(Engine, TopRequestsReturnToTheFirstEntryButNeverRestartIt) {
    // "a" fails, "b" succeeds and asks for the top: "a" runs again after the top wait; a
    // success of "a" itself asks for the top too, which must not restart it.
    configure({{"a", "fail", 0}, {"b", "0.001", 1}}, {{"StartTop", 1}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start a") == 2; }));
    EXPECT_EQ(journal_.lines()[2], "start b");

    stopEngine();
    journal_.clear();
    configure({{"a", "0.001", 0}, {"b", "fail", 1}}, {{"StartTop", 1}});
    stop_.reset();
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start a") == 1; }));
    eventually([&] { return journal_.count("start a") > 1; }, std::chrono::milliseconds(300));
    EXPECT_EQ(journal_.count("start a"), 1);
    EXPECT_EQ(journal_.count("stop a"), 0);
}

TEST_F(Engine, ProtocolsWithoutAClientAreReportedAndSkipped) {
    configure({{"unassigned", "x", 0, 17}, {"unbuilt", "x", 1, 9}, {"good", "0.001", 2}},
              {{"Logtofile", 1}});
    (void)CReg(kServiceParametersKey).writeText("Logfile", store_.path() + ".log");
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start good") == 1; }));
    stopEngine();
    const std::string log = testsupport::readFile(store_.path() + ".log");
    EXPECT_NE(log.find("Warn : Kronel Server unassigned: protocol 17 is not assigned"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Warn : Kronel Server unbuilt: the Unbuilt Client is not available"),
              std::string::npos)
        << log;
}

TEST_F(Engine, OrdersThatLeaveSlotsEmptyStartOnlyNamedEntriesAndEndIdle) {
    // Counted from 1: "c" takes the place of "a", and slot 0 is left empty.
    configure({{"a", "fail", 1}, {"b", "fail", 2}, {"c", "fail", 3}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("stop b") == 1; }));
    ASSERT_TRUE(eventually([&] { return idle(); }));
    EXPECT_EQ(journal_.lines(),
              (std::vector<std::string>{"start c", "stop c", "start b", "stop b"}));
}

TEST_F(Engine, AnEntryWithoutAnAddressFailsWithOneWarning) {
    configure({{"blank", "", 0}, {"good", "fail", 1}}, {{"Logtofile", 1}});
    (void)CReg(kServiceParametersKey).writeText("Logfile", store_.path() + ".log");
    // An entry without an `addr` value at all, placed last.
    (void)CReg(std::string(kServiceParametersKey) + "\\" + kServerDetailsSubkey + "\\missing")
        .writeInt("order", 2);
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("stop good") == 1; }));
    ASSERT_TRUE(eventually([&] { return idle(); }));
    stopEngine();
    EXPECT_EQ(journal_.lines(), (std::vector<std::string>{"start good", "stop good"}));
    const std::string log = testsupport::readFile(store_.path() + ".log");
    for (const char* name : {"blank", "missing"}) {
        const std::string line = std::string("Warn : Kronel Server ") + name + ": no address";
        EXPECT_NE(log.find(line), std::string::npos) << log;
        EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    }
}

TEST_F(Engine, ClientsAndServersThatCannotBeMadeAreLeftOutAndSharedOrdersAreWarned) {
    configure({{"events", "throw", 0},
               {"thread", "throw at start", 1},
               {"twin1", "fail", 2},
               {"twin2", "fail", 2}},
              {{"Logtofile", 1}, {"SNTPServer", 1}, {"TCPServer", 1}});
    (void)CReg(kServiceParametersKey).writeText("Logfile", store_.path() + ".log");
    startEngine(true);
    // One of the twins takes slot 2; the engine gets there and ends idle.
    ASSERT_TRUE(eventually([&] { return journal_.lines().size() == 2 && idle(); }));
    stopEngine();
    const std::string log = testsupport::readFile(store_.path() + ".log");
    for (const char* line :
         {"Error: Kronel Server events: its client could not be started (event: ",
          "Error: Kronel Server thread: its client could not be started (thread: ",
          "Error: Kronel SNTP Server could not be started (server: ",
          "Error: Kronel RFC868 TCP Server could not be started (server: "}) {
        EXPECT_NE(log.find(line), std::string::npos) << log;
    }
    const size_t shared = log.find("have the same order 2");
    ASSERT_NE(shared, std::string::npos) << log;
    const size_t begin = log.rfind('\n', shared) + 1;
    const std::string line = log.substr(begin, log.find('\n', shared) - begin);
    EXPECT_NE(line.find("Warn : Kronel Servers twin"), std::string::npos) << line;
    EXPECT_NE(line.find("twin1"), std::string::npos) << line;
    EXPECT_NE(line.find("twin2"), std::string::npos) << line;
}

TEST_F(Engine, AnIntervalOfZeroMakesTheTopWaitLongNotNone) {
    // Frequency 0 reads as its default, 120 minutes: a top wait of 7,199 s (7.2 s here).
    configure({{"a", "fail", 0}, {"b", "0.001", 1}}, {{"StartTop", 1}, {"Frequency", 0}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start b") == 1; }));
    // A top wait of none would have asked "a" again and again by now.
    eventually([&] { return journal_.count("start a") > 1; }, std::chrono::milliseconds(300));
    EXPECT_EQ(journal_.count("start a"), 1);
}

TEST_F(Engine, ANegativeSwitchDelayReadsAsItsDefault) {
    // Not 0x80000000 ms, as Windows would read the same 32 bits (24.8 days), which would leave
    // the engine without a source after the first failure: 2000 ms (2 ms at this scale).
    configure({{"a", "fail", 0}, {"b", "fail", 1}}, {{"SwitchDelay", INT_MIN}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start a") == 1; }));
    EXPECT_TRUE(eventually([&] { return journal_.count("start b") > 0; }));
}

// Every number the store can hold, in every numeric setting the engine reads or may read:
// the engine starts, runs a source through set-time and stops. The sanitizer build turns any
// overflow on the way into a failure.
TEST_F(Engine, StartsAndStopsWithEveryNumericSettingAtItsExtremes) {
    static const char* const kNumbers[] = {"Set",          "Max",
                                           "AllowMax",     "Min",
                                           "NoTell",       "Often",
                                           "Frequency",    "AdjustPoll",
                                           "AdjustFreq",   "MaxSlew",
                                           "AutoChange",   "SwitchOK",
                                           "StartTop",     "SwitchDelay",
                                           "SNTPFix",      "OnlyServeWhenSynched",
                                           "TCPServer",    "UDPServer",
                                           "867TCPServer", "867UDPServer",
                                           "SNTPServer",   "NTPStratum",
                                           "NTPbcast",     "NTPbcastfreq",
                                           "MCastTTL",     "GPSPort",
                                           "GPSSpeed",     "WatchForDialup",
                                           "LogMsgs",      "LogError",
                                           "LogWarn",      "LogDebug",
                                           "Logtofile",    "LogtoSyslog",
                                           "EnableAlerts", "AlertTimeout",
                                           "AlertEmail",   "AlertMsgBox",
                                           "ProxyPort",    "ProxyNameNeeded",
                                           "Hidden",       "StartMinimized",
                                           "Tips"};
    const std::string details = std::string(kServiceParametersKey) + "\\" + kServerDetailsSubkey;
    for (const uint32_t number : {0u, 1u, 0x7fffffffu, 0xffffffffu}) {
        SCOPED_TRACE(number);
        stopEngine();
        journal_.clear();
        stop_.reset();
        (void)CReg(details).deleteKey();
        {
            CReg parameters(kServiceParametersKey);
            for (const char* name : kNumbers) {
                (void)parameters.writeInt(name, number);
            }
            // Lines go to a file of the test's own; the event log stays off (it is the
            // machine's log), as does syslog (no collector is named).
            (void)parameters.writeInt("LogtoEvtlog", 0);
            (void)parameters.writeText("Logfile", store_.path() + ".log");
        }
        // "set" hands the engine a correction and holds slot 0 whatever "numbers", with every
        // number of an entry, makes of the list (AutoChange 0 would keep a failure running).
        {
            CReg set(details + "\\set");
            (void)set.writeText("addr", "0.25");
            (void)set.writeInt("order", 0);
        }
        CReg numbers(details + "\\numbers");
        (void)numbers.writeText("addr", "fail");
        for (const char* name : {"protocol", "rejectntp", "useproxy", "order"}) {
            (void)numbers.writeInt(name, number);
        }
        startEngine();
        ASSERT_TRUE(eventually([&] { return journal_.count("start set") == 1; }));
        ASSERT_TRUE(eventually([&] {
            return CReg(details + "\\set", platform::RegRoot::LocalMachine, true)
                       .readText("info", "Never") != "Never";
        }));
        stop_.set();
        // Stopping takes the client's and the servers' time limits at most.
        ASSERT_TRUE(thread_->joinFor(platform::Millis(10000)));
    }
}

#ifndef _WIN32
// Every descriptor the process may have is taken, so no event can be made: the engine says
// so and returns, and the process goes on.
TEST_F(Engine, AnEventThatCannotBeMadeIsReportedAndTheEngineReturns) {
    configure({{"a", "0.001", 0}});
    platform::Event stop(true, true);
    auto handler = std::make_unique<CHandler>(true, std::make_unique<ScriptedProtocols>(journal_));
    // A first line and a first status text while descriptors are still free: the sanitizer
    // build checks the dynamic type of the handler and of its observer once, which needs a
    // file it cannot open later.
    handler->debug(CHandler::kName, "warming up");
    handler->status(CHandler::kName, "warming up");
    ::testing::internal::CaptureStdout();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        taken.push_back(fd);
    }
    handler->run(stop);
    for (int fd : taken) {
        close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    handler.reset();
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("Error: Kronel CreateEvent failed (", 0), 0u) << output;
    EXPECT_NE(output.find("(0x"), std::string::npos) << output;
    EXPECT_TRUE(journal_.lines().empty());
}
#endif

TEST_F(Engine, AnEmptyListStartsNothingAndStopsCleanly) {
    configure({});
    startEngine();
    ASSERT_TRUE(eventually([&] { return handler_ != nullptr; }));
    stopEngine();
    EXPECT_TRUE(journal_.lines().empty());
}

TEST_F(Engine, ServesTheReferenceIdentifierAndSharedText) {
    configure({});
    CHandler handler(false, std::make_unique<ScriptedProtocols>(journal_));
    handler.loadSettings();
    EXPECT_EQ(handler.referenceId(), referenceIdFromText("LOCL"));
    handler.setReferenceId(referenceIdFromText("GPS"));
    EXPECT_EQ(handler.referenceId(), referenceIdFromText("GPS"));
    handler.setSharedText("$GPGGA");
    EXPECT_EQ(handler.sharedText(), "$GPGGA");
    EXPECT_EQ(handler.pollExponent(), 6);  // Frequency 1 minute
}

// The console shows only what the log writes: a console run with LogDebug 0 formats no Debug
// line in the servers' loops either.
TEST_F(Engine, DebugLinesAreWantedOnlyWithLogDebugConsoleRunOrNot) {
    for (const int logDebug : {0, 1}) {
        configure({}, {{"LogDebug", logDebug}});
        for (const bool console : {false, true}) {
            CHandler handler(console, std::make_unique<ScriptedProtocols>(journal_));
            handler.loadSettings();
            EXPECT_EQ(handler.logsDebug(), logDebug == 1) << "console " << console;
        }
    }
}

TEST_F(Engine, StoppingEndsTheDisciplinesSlewAtTheBaseRate) {
    // Two steps moments apart give a rate too far off to believe, so B is the increment;
    // the small correction after them is slewed for half an hour.
    configure({{"a", "0.6", 0}, {"b", "0.6", 1}, {"c", "0.3", 2}}, {{"SwitchOK", 1}});
    startEngine();
    ASSERT_TRUE(eventually([&] { return journal_.count("start c") == 1 && idle(); }));
    platform::TimeAdjustment a;
    ASSERT_TRUE(platform::processClock().getAdjustment(a).ok());
    EXPECT_FALSE(a.disabled);
    EXPECT_GT(a.adjustment, platform::kTickIncrement);

    stopEngine();
    ASSERT_TRUE(platform::processClock().getAdjustment(a).ok());
    EXPECT_FALSE(a.disabled);
    EXPECT_EQ(a.adjustment, platform::kTickIncrement);
}
