#include "desktop/DesktopEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/SettingLabels.h"
#include "desktop/SettingsModel.h"
#include "engine/CReg.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"
#include "support/TestSupport.h"

using namespace engine;
using desktop::DesktopEngine;
using testsupport::eventually;

namespace {

// What the desktop engine asked of its window.
class RecordingHost : public desktop::DesktopEngineHost {
public:
    void postWake(int which) override {
        std::lock_guard<std::mutex> lock(mutex_);
        wakes_.push_back(which);
    }
    void showLine(const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    void showStatusText(const std::string&) override {}
    void statusChanged() override { ++statusChanges_; }
    void requestClose() override { ++closes_; }
    bool shiftHeld() override { return false; }
    bool holdOpen() override { return holdOpen_; }

    std::vector<int> wakes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return wakes_;
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

    std::atomic<int> closes_{0};
    std::atomic<int> statusChanges_{0};
    bool holdOpen_ = false;

private:
    mutable std::mutex mutex_;
    std::vector<int> wakes_;
    std::vector<std::string> lines_;
};

// A source whose `addr` is what it does once: "fail" fails, a number is its correction.
class ScriptedClient : public CTimeClient {
public:
    ScriptedClient(const ServerEntry& entry, const ClientContext& context,
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

class ScriptedProtocols : public ProtocolFactory {
public:
    ScriptedProtocols(std::vector<std::string>& started, std::mutex& mutex)
        : started_(started), mutex_(mutex) {}
    std::string displayName(int, bool) const override { return "Scripted Client"; }
    std::unique_ptr<CTimeClient> createClient(const ServerEntry& entry,
                                              const ClientContext& context) override {
        return std::make_unique<ScriptedClient>(entry, context, started_, mutex_);
    }
    std::unique_ptr<CTimeServer> createServer(ServerKind, const ServerSettings&, MessageHandler&,
                                              TimeHandler&) override {
        return nullptr;
    }

private:
    std::vector<std::string>& started_;
    std::mutex& mutex_;
};

class DesktopEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setProcessClock(std::make_unique<platform::SimulatedClock>());
        platform::setTimeScale(1000.0);
        set("LogtoEvtlog", 0);
    }
    void TearDown() override {
        engine_.reset();
        platform::setTimeScale(1.0);
        platform::setProcessClock(nullptr);
    }
    void set(const char* name, uint32_t value) {
        CReg parameters(kUserParametersKey, platform::RegRoot::CurrentUser);
        (void)parameters.writeInt(name, value);
    }
    void server(const std::string& name, const std::string& addr, int order) {
        CReg entry(std::string(kUserParametersKey) + "\\" + kServerDetailsSubkey + "\\" + name,
                   platform::RegRoot::CurrentUser);
        (void)entry.writeText("addr", addr);
        (void)entry.writeInt("protocol", 0);
        (void)entry.writeInt("order", static_cast<uint32_t>(order));
    }
    void start() {
        engine_ = std::make_unique<DesktopEngine>(
            host_, std::make_unique<ScriptedProtocols>(started_, mutex_), nullptr);
        engine_->start();
    }
    std::vector<std::string> started() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }
    std::string status(const char* name) {
        return desktop::SettingsModel(platform::RegRoot::CurrentUser, kUserParametersKey)
            .value(name);
    }

    testsupport::TempStore store_;
    RecordingHost host_;
    std::mutex mutex_;
    std::vector<std::string> started_;
    std::unique_ptr<DesktopEngine> engine_;
};

}  // namespace

TEST_F(DesktopEngineTest, OneShotModeClosesAfterTheFirstResultUnlessHeldOpen) {
    server("a", "2.5", 0);
    set("Often", 0);
    start();
    ASSERT_TRUE(eventually([&] { return host_.closes_.load() == 1; }));
    EXPECT_EQ(status("LastDelta"), "2.500 seconds");
    EXPECT_EQ(status("TimeSource"), "a");
    EXPECT_TRUE(host_.logged("The time has been corrected by 2.500 seconds"));

    engine_.reset();
    {
        CReg parameters(kUserParametersKey, platform::RegRoot::CurrentUser);
        (void)parameters.writeText("LastDelta", "None");
    }
    host_.holdOpen_ = true;
    start();
    ASSERT_TRUE(eventually([&] { return started().size() == 2; }));
    ASSERT_TRUE(eventually([&] { return status("LastDelta") == "2.500 seconds"; }));
    engine_->stop();
    EXPECT_EQ(host_.closes_.load(), 1);
}

TEST_F(DesktopEngineTest, WakesTheWindowToSwitchOrReturnToTheTopAndStartsWhatItIsTold) {
    server("a", "fail", 0);
    server("b", "1.5", 1);
    set("SwitchOK", 0);
    set("StartTop", 1);
    start();
    // A failing source asks for a switch (wParam 0); the window then starts the next one.
    ASSERT_TRUE(eventually([&] { return host_.wakes() == std::vector<int>{0}; }));
    EXPECT_EQ(engine_->switchDelayMs(), 2);  // 2000 ms at a time scale of 1000
    engine_->startSource(ServerList::kNext);
    // Its result asks for the top (wParam 1).
    ASSERT_TRUE(eventually([&] { return host_.wakes() == std::vector<int>{0, 1}; }));
    EXPECT_EQ(engine_->currentIndex(), 1);
    engine_->startSource(ServerList::kTop);
    EXPECT_EQ(engine_->currentIndex(), 0);
    // Past the last entry nothing runs until the next start.
    engine_->startSource(ServerList::kNext);
    engine_->startSource(ServerList::kNext);
    EXPECT_EQ(engine_->currentIndex(), ServerList::kNone);
    EXPECT_TRUE(host_.logged("No more time servers to try"));
    engine_->query("b");
    EXPECT_EQ(engine_->currentIndex(), 1);
    EXPECT_EQ(started(), (std::vector<std::string>{"a", "b", "a", "b", "b"}));
}

TEST_F(DesktopEngineTest, RestartsOnlyForPagesTheEngineReads) {
    server("a", "fail", 0);
    set("AutoChange", 0);
    start();
    ASSERT_TRUE(eventually([&] { return started().size() == 1; }));
    engine_->restart({"Window"});
    engine_->restart({"Alerts"});
    EXPECT_EQ(started().size(), 1u);
    set("Frequency", 5);
    engine_->restart({"Window", "Polling and switching"});
    EXPECT_EQ(started().size(), 2u);
    EXPECT_EQ(engine_->topWaitMs(), (5 * 60000 - 1000) / 1000);
}

TEST(SettingLabels, EverySettingHasWordsOfItsOwn) {
    for (const desktop::SettingDef& def : desktop::settingDefinitions()) {
        SCOPED_TRACE(def.name);
        EXPECT_STRNE(desktop::settingLabel(def.name), def.name);
    }
    EXPECT_STREQ(desktop::settingLabel("minimum"), "minimum");
    EXPECT_STREQ(desktop::settingLabel("max"), "Largest correction (seconds)");
}
