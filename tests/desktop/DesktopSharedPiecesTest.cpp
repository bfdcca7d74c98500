// The UI-independent pieces the desktop front ends share: the engine's wait driven by the
// private message, the settings pages and the status values.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "desktop/EngineLoop.h"
#include "desktop/SettingsModel.h"
#include "desktop/SettingsPages.h"
#include "desktop/StatusModel.h"
#include "engine/CHandler.h"
#include "engine/CReg.h"
#include "engine/ServerList.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"
#include "support/TestSupport.h"

namespace {

using engine::EngineObserver;
using engine::ServerList;

class RecordingDriver : public desktop::EngineLoop::Driver {
public:
    void startTimer(long long ms) override { log.push_back("timer " + std::to_string(ms)); }
    void stopTimer() override { log.push_back("stop"); }
    void startSource(int selector) override {
        log.push_back(selector == ServerList::kNext ? "next" : "top");
    }
    std::vector<std::string> log;
};

// A source whose `addr` says what it does once started: "fail" fails, a number is its
// correction.
class ScriptedClient : public engine::CTimeClient {
public:
    ScriptedClient(const engine::ServerEntry& entry, const engine::ClientContext& context,
                   std::vector<std::string>& started, std::mutex& mutex)
        : CTimeClient(context.messages, context.time, entry.addr, 1, "Scripted Client") {
        std::lock_guard<std::mutex> lock(mutex);
        started.push_back(entry.name);
    }
    ~ScriptedClient() override { stop(); }
    void run() override {
        signalStarted();
        if (serverAddress() == "fail") {
            time_.sourceFailed();
        } else {
            time_.setTime(std::stod(serverAddress()));
        }
        stopEvent_.wait();
    }
};

class ScriptedProtocols : public engine::ProtocolFactory {
public:
    ScriptedProtocols(std::vector<std::string>& started, std::mutex& mutex)
        : started_(started), mutex_(mutex) {}
    std::string displayName(int, bool) const override { return "Scripted Client"; }
    std::unique_ptr<engine::CTimeClient> createClient(
        const engine::ServerEntry& entry, const engine::ClientContext& context) override {
        return std::make_unique<ScriptedClient>(entry, context, started_, mutex_);
    }
    std::unique_ptr<engine::CTimeServer> createServer(engine::ServerKind,
                                                      const engine::ServerSettings&,
                                                      core::MessageHandler&,
                                                      core::TimeHandler&) override {
        return nullptr;
    }

private:
    std::vector<std::string>& started_;
    std::mutex& mutex_;
};

// The window's side of the engine, as both front ends play it: the loop requests it was
// posted, the close requests its one-shot reaction makes, the lines the engine logged and the
// status values it last published.
class RecordingWindow : public engine::EngineObserver {
public:
    void loopRequested(int which) override {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(which);
    }
    void corrected(const engine::CorrectionResult& result) override {
        if (result.endsOneShot() && !hold) {
            ++closes;
        }
    }
    void lineLogged(const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    void statusChanged(const engine::StatusSnapshot& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
    }
    engine::StatusSnapshot status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

    std::vector<int> posted() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return posted_;
    }
    bool logged(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : lines_) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::atomic<int> closes{0};
    bool hold = false;

private:
    mutable std::mutex mutex_;
    std::vector<int> posted_;
    std::vector<std::string> lines_;
    engine::StatusSnapshot status_;
};

class WindowEngine : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setProcessClock(std::make_unique<platform::SimulatedClock>());
        set("LogtoEvtlog", 0);
    }
    void TearDown() override {
        if (engine_) {
            engine_->shutdown();
        }
        engine_.reset();
        platform::setProcessClock(nullptr);
    }
    void set(const char* name, uint32_t value) {
        engine::CReg parameters(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        ASSERT_TRUE(parameters.writeInt(name, value).ok());
    }
    void server(const std::string& name, const std::string& addr, int order) {
        engine::CReg entry(std::string(engine::kUserParametersKey) + "\\" +
                               engine::kServerDetailsSubkey + "\\" + name,
                           platform::RegRoot::CurrentUser);
        ASSERT_TRUE(entry.writeText("addr", addr).ok());
        ASSERT_TRUE(entry.writeInt("protocol", 0).ok());
        ASSERT_TRUE(entry.writeInt("order", static_cast<uint32_t>(order)).ok());
    }
    void start() {
        engine_ = std::make_unique<engine::CHandler>(
            window_, std::make_unique<ScriptedProtocols>(started_, mutex_), nullptr);
        engine_->loadSettings();
        engine_->startUp();
    }
    std::vector<std::string> started() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }
    static desktop::StatusValues status() {
        return desktop::StatusValues::read(platform::RegRoot::CurrentUser,
                                           engine::kUserParametersKey);
    }

    testsupport::TempStore store_;
    RecordingWindow window_;
    std::mutex mutex_;
    std::vector<std::string> started_;
    std::unique_ptr<engine::CHandler> engine_;
};

}  // namespace

TEST(EngineLoop, WaitsAsTheEngineThreadWaitsForItsEvents) {
    platform::setTimeScale(1);
    enum Step { Switch, Top, Fired };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::string> expected;
    };
    // Switch delay 2000 ms, Frequency 2 minutes: the top wait is 2 x 60000 - 1000 ms.
    const Case cases[] = {
        {"a switch waits the delay, then starts the next source",
         {Switch, Fired},
         {"timer 2000", "next"}},
        {"a second switch ends the delay at once",
         {Switch, Switch},
         {"timer 2000", "stop", "next"}},
        {"a top waits the polling interval, then starts the top",
         {Top, Fired},
         {"timer 119000", "top"}},
        {"a switch during the top wait starts the top at once",
         {Top, Switch},
         {"timer 119000", "stop", "top"}},
        {"a top during a switch delay waits its turn",
         {Switch, Top, Fired, Fired},
         {"timer 2000", "next", "timer 119000", "top"}},
        {"a stray timer does nothing", {Fired}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingDriver driver;
        desktop::EngineLoop loop(driver);
        loop.configure(2000, 2);
        for (Step s : c.steps) {
            if (s == Fired) {
                loop.timerFired();
            } else {
                loop.posted(s == Switch ? EngineObserver::kSwitch : EngineObserver::kTop);
            }
        }
        EXPECT_EQ(driver.log, c.expected);
    }
}

TEST(EngineLoop, ResetLeavesNoWaitAndTheScaleShortensWaits) {
    RecordingDriver driver;
    desktop::EngineLoop loop(driver);
    loop.configure(2000, 2);
    platform::setTimeScale(100);
    loop.posted(EngineObserver::kTop);
    EXPECT_TRUE(loop.waiting());
    loop.reset();
    EXPECT_FALSE(loop.waiting());
    loop.timerFired();
    platform::setTimeScale(1);
    EXPECT_EQ(driver.log, (std::vector<std::string>{"timer 1190", "stop"}));
}

TEST(SettingsPages, EverySettingTheDesktopUsesIsOnExactlyOnePageOfItsGroup) {
    std::set<std::string> shown;
    for (const desktop::SettingsPage& page : desktop::settingsPages()) {
        for (const desktop::SettingField& field : page.fields) {
            SCOPED_TRACE(field.name);
            const desktop::SettingDef* def = desktop::findSetting(field.name);
            ASSERT_NE(def, nullptr);
            EXPECT_STREQ(def->group, page.title);
            EXPECT_TRUE(shown.insert(def->name).second) << "shown twice";
            EXPECT_NE(std::string(field.label), "");
        }
    }
    // The service's own frequency discipline and the status values are not the desktop's.
    const std::set<std::string> notShown = {"AdjustFreq",  "MaxSlew",    "LastDelta",
                                            "LastContact", "TimeSource", "Drift"};
    for (const desktop::SettingDef& def : desktop::settingDefinitions()) {
        EXPECT_EQ(shown.count(def.name) + notShown.count(def.name), 1u) << def.name;
    }
}

TEST(StatusValues, ShowsTheDefaultsUntilTheEngineWritesThenTheLastResult) {
    testsupport::TempStore store;
    const auto read = [] {
        return desktop::StatusValues::read(platform::RegRoot::CurrentUser,
                                           engine::kUserParametersKey);
    };
    desktop::StatusValues before = read();
    EXPECT_EQ(before.rows()[0].second, "None");
    EXPECT_EQ(before.rows()[1].second, "Never");
    EXPECT_EQ(before.tooltip(), "Kronel: no result yet");
    {
        engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        ASSERT_TRUE(key.writeText("LastDelta", "2.000 seconds").ok());
        ASSERT_TRUE(key.writeText("LastContact", "Tue Dec 08 17:00:00 2026").ok());
        ASSERT_TRUE(key.writeText("TimeSource", "chrony").ok());
    }
    EXPECT_EQ(read().tooltip(), "Kronel: 2.000 seconds\nchrony, Tue Dec 08 17:00:00 2026");
    EXPECT_EQ(read().drift, "Unknown");
}

TEST(ServingActivity, ShowsNothingUntilAServerServesThenTheLastOfEachKind) {
    desktop::ServingActivity serving;
    EXPECT_EQ(serving.text(), "");
    serving.note(3, {1733677200, 0});  // no such kind
    EXPECT_EQ(serving.text(), "");
    // 2024-12-08 17:00:00 UTC and later.
    serving.note(desktop::ServingActivity::kBroadcast, {1733677200, 0});
    EXPECT_EQ(serving.text(), "Serving: last broadcast 17:00:00");
    serving.note(desktop::ServingActivity::kRequest, {1733677214, 999});
    EXPECT_EQ(serving.text(), "Serving: last request 17:00:14, last broadcast 17:00:00");
    serving.note(desktop::ServingActivity::kRequest, {1733680862, 0});
    EXPECT_EQ(serving.text(), "Serving: last request 18:01:02, last broadcast 17:00:00");
}

TEST_F(WindowEngine, PostsSwitchAndTopToTheWindowAndStartsWhatTheWindowSays) {
    server("a", "fail", 0);
    server("b", "1.5", 1);
    set("SwitchOK", 0);
    set("StartTop", 1);
    start();
    // A failing source asks for a switch (wParam 0); the window then starts the next one.
    ASSERT_TRUE(testsupport::eventually(
        [&] { return window_.posted() == std::vector<int>{EngineObserver::kSwitch}; }));
    engine_->startSource(ServerList::kNext);
    // Its result asks for the top (wParam 1).
    ASSERT_TRUE(testsupport::eventually([&] {
        return window_.posted() == std::vector<int>{EngineObserver::kSwitch, EngineObserver::kTop};
    }));
    EXPECT_EQ(engine_->currentIndex(), 1);
    EXPECT_EQ(status().timeSource, "b");
    engine_->startSource(ServerList::kTop);
    EXPECT_EQ(engine_->currentIndex(), 0);
    // Past the last entry nothing runs until the next start or query.
    engine_->startSource(ServerList::kNext);
    engine_->startSource(ServerList::kNext);
    EXPECT_EQ(engine_->currentIndex(), ServerList::kNone);
    engine_->queryServer("b");
    EXPECT_EQ(engine_->currentIndex(), 1);
    EXPECT_EQ(started(), (std::vector<std::string>{"a", "b", "a", "b", "b"}));
}

TEST_F(WindowEngine, OneShotModeAsksTheWindowToCloseUnlessItIsHeldOpen) {
    server("a", "2.5", 0);
    set("Often", 0);
    window_.hold = true;
    start();
    ASSERT_TRUE(testsupport::eventually([&] { return status().lastDelta == "2.500 seconds"; }));
    EXPECT_EQ(window_.closes.load(), 0);
    engine_->shutdown();
    engine_.reset();

    window_.hold = false;
    start();
    ASSERT_TRUE(testsupport::eventually([&] { return window_.closes.load() == 1; }));
    EXPECT_TRUE(window_.logged("The time has been corrected by 2.500 seconds"));
}

TEST_F(WindowEngine, PublishesTheStatusValuesItWritesToTheStore) {
    server("a", "2.5", 0);
    start();
    ASSERT_TRUE(
        testsupport::eventually([&] { return window_.status().lastDelta == "2.500 seconds"; }));
    const desktop::StatusValues stored = status();
    const engine::StatusSnapshot shown = window_.status();
    EXPECT_EQ(shown.lastDelta, stored.lastDelta);
    EXPECT_EQ(shown.lastContact, stored.lastContact);
    EXPECT_EQ(shown.timeSource, "a");
    EXPECT_EQ(shown.timeSource, stored.timeSource);
    // No drift yet from one result: the store's value, as the engine found it.
    EXPECT_EQ(shown.drift, stored.drift);
}

TEST(SettingsRestart, RestartsOnlyWhatTheChangedPagesTouch) {
    struct Case {
        std::vector<std::string> pages;
        bool engine, watchdog, window;
    };
    const Case cases[] = {
        {{}, false, false, false},
        {{"Window"}, false, false, true},
        {{"Alerts"}, false, true, false},
        {{"Alerts", "Window"}, false, true, true},
        {{"Polling and switching"}, true, false, false},
        // The engine's restart starts a new watchdog as well.
        {{"Alerts", "Logging"}, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.pages));
        const desktop::SettingsRestart restart = desktop::settingsRestart(c.pages);
        EXPECT_EQ(restart.engine, c.engine);
        EXPECT_EQ(restart.watchdog, c.watchdog);
        EXPECT_EQ(restart.window, c.window);
    }
}
