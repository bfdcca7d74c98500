#include "desktop/SettingsModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/CReg.h"
#include "support/TestSupport.h"

using desktop::SettingsModel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

class Settings : public ::testing::Test {
protected:
    testsupport::TempStore store_;
    SettingsModel model_{platform::RegRoot::CurrentUser, engine::kUserParametersKey};
};

}  // namespace

TEST_F(Settings, DefaultsUntilWrittenThenTheStoredValues) {
    EXPECT_EQ(model_.value("Max"), "3600");
    EXPECT_EQ(model_.value("logfile"), "log.txt");
    EXPECT_EQ(model_.value("LastContact"), "Never");
    EXPECT_EQ(model_.value("AlertTimeout"), "480");  // Frequency x 4
    {
        engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser);
        ASSERT_TRUE(key.writeInt("Frequency", 30).ok());
    }
    model_.load();
    EXPECT_EQ(model_.value("AlertTimeout"), "120");
    EXPECT_EQ(model_.value("Frequency"), "30");
}

TEST_F(Settings, SetChecksEachKindAndSaveWritesOnlyThroughTheStore) {
    struct Case {
        const char* name;
        const char* value;
        const char* error;  // "" when accepted
    };
    const Case cases[] = {
        {"Max", "7200", ""},
        {"Logfile", "C:\\kronel\\log.txt", ""},
        {"set", "0", ""},
        {"Set", "2", "Set must be between 0 and 1, not 2"},
        {"NTPStratum", "16", "NTPStratum must be between 0 and 15, not 16"},
        {"Frequency", "ten", "Frequency takes a whole number, not 'ten'"},
        {"Frequency", "", "Frequency takes a whole number, not ''"},
        {"Frequency", "5x", "Frequency takes a whole number, not '5x'"},
        {"Nonsense", "1", "unknown setting 'Nonsense'"},
        {"LastDelta", "1", "LastDelta is a status value the engine writes"},
        // What goes into a mail command stays on its line; the message may have several.
        {"MailDomain", "example.org", ""},
        {"SMTPToAddr", "ops@example.org\nRCPT TO: other@example.net",
         "SMTPToAddr cannot hold a line break (CR or LF)"},
        {"maildomain", "example.org\r", "MailDomain cannot hold a line break (CR or LF)"},
        {"SMTPServer", "mail\r\nexample.org", "SMTPServer cannot hold a line break (CR or LF)"},
        {"SMTPMsgText", "Clock lost\nCheck the antenna", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(model_.set(c.name, c.value), c.error);
    }
    EXPECT_EQ(model_.value("Max"), "7200");
    EXPECT_THAT(model_.changedGroups(),
                UnorderedElementsAre("Time setting limits", "Logging", "Alerts"));
    ASSERT_TRUE(model_.save());
    EXPECT_THAT(model_.changedGroups(), IsEmpty());

    const engine::CReg key(engine::kUserParametersKey, platform::RegRoot::CurrentUser, true);
    EXPECT_EQ(key.readInt("Max", 0), 7200);
    EXPECT_EQ(key.readInt("Set", 1), 0);
    EXPECT_EQ(key.readText("Logfile", ""), "C:\\kronel\\log.txt");
    EXPECT_EQ(key.readText("MailDomain", ""), "example.org");
    EXPECT_EQ(key.readText("SMTPToAddr", "none"), "none");
    EXPECT_EQ(key.readInt("NTPStratum", -1), -1);  // refused values were never written
    // Setting a value to what is stored changes no page.
    EXPECT_EQ(model_.set("Max", "7200"), "");
    EXPECT_THAT(model_.changedGroups(), IsEmpty());
}

TEST(SettingDefinitions, CoverTheStoreWithOneEntryPerName) {
    const auto& defs = desktop::settingDefinitions();
    for (size_t i = 0; i < defs.size(); ++i) {
        EXPECT_EQ(desktop::findSetting(defs[i].name), &defs[i]) << defs[i].name;
    }
    for (const char* name : {"Set", "Often", "SNTPFix", "BroadcastAddrs", "NMEAWakeup",
                             "SMTPMsgText", "ProxyPwd", "WatchForDialup", "Tips", "Drift"}) {
        EXPECT_NE(desktop::findSetting(name), nullptr) << name;
    }
}
