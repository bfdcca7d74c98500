#include "desktop/ApplySettings.h"

#include <gtest/gtest.h>

#include <algorithm>

// What each front end's steps see for the settings a confirmed page changed.
TEST(ApplySettings, RunsTheStepsTheChangedSettingsRowsAskFor) {
    struct Case {
        std::vector<std::string> changed;
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        {{}, {}},
        {{"Frequency"}, {"stop", "reload", "start"}},
        {{"AlertTimeout", "SMTPServer"}, {"watchdog"}},
        {{"AlertTimeout", "Tips"}, {"watchdog", "window"}},
        // The engine's restart starts a new watchdog as well.
        {{"EnableAlerts", "LogDebug"}, {"stop", "reload", "start"}},
        {{"Hidden", "Frequency"}, {"stop", "reload", "start", "window"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.changed));
        std::vector<std::string> steps;
        const auto step = [&steps](const char* name) {
            return [&steps, name] { steps.push_back(name); };
        };
        desktop::SettingsTarget target{step("stop"), step("reload"), step("start"),
                                       step("watchdog"), step("window")};
        desktop::applySettings(c.changed, target);
        EXPECT_EQ(steps, c.steps);
        // A front end without a look of its own to apply leaves applyWindow empty.
        target.applyWindow = nullptr;
        steps.clear();
        desktop::applySettings(c.changed, target);
        EXPECT_EQ(std::count(steps.begin(), steps.end(), "window"), 0);
    }
}
