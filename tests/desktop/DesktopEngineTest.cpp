// The UI-independent pieces the desktop front ends share: the engine's wait driven by the
// private message, the settings pages and the status values.
#include <gtest/gtest.h>

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
#include "support/TestSupport.h"

namespace {

using engine::EngineWindow;
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
                loop.posted(s == Switch ? EngineWindow::kSwitch : EngineWindow::kTop);
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
    loop.posted(EngineWindow::kTop);
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
