#include "engine/EngineSettings.h"

#include <gtest/gtest.h>

#include "engine/CReg.h"
#include "support/TestSupport.h"

using engine::CReg;
using engine::EngineSettings;

TEST(EngineSettings, ReadsTheHttpProxyOnceWithItsDefaults) {
    testsupport::TempStore store;
    CReg parameters(engine::kServiceParametersKey);
    EngineSettings settings = EngineSettings::read(parameters);
    EXPECT_EQ(settings.proxy.address, "");
    EXPECT_EQ(settings.proxy.port, 8080);
    EXPECT_FALSE(settings.proxy.nameNeeded);

    (void)parameters.writeText("ProxyAddress", "proxy.lan:3128");
    (void)parameters.writeInt("ProxyPort", 8000);
    (void)parameters.writeInt("ProxyNameNeeded", 1);
    (void)parameters.writeText("ProxyName", "user");
    (void)parameters.writeText("ProxyPwd", "secret");
    settings = EngineSettings::read(parameters);
    EXPECT_EQ(settings.proxy.address, "proxy.lan:3128");
    EXPECT_EQ(settings.proxy.port, 8000);
    EXPECT_TRUE(settings.proxy.nameNeeded);
    EXPECT_EQ(settings.proxy.name, "user");
    EXPECT_EQ(settings.proxy.password, "secret");
}

// An interval of 0 or less would make a loop spin (0 s between broadcasts) or a wait end at
// once: it reads as its default. The multicast hop limit is held to what its byte can say.
TEST(EngineSettings, IntervalsOfZeroOrLessReadAsTheirDefaultsAndTheTtlIsClamped) {
    struct Case {
        const char* name;
        int stored;
        int EngineSettings::*field;
        int expected;
    } cases[] = {
        {"NTPbcastfreq", 0, &EngineSettings::ntpBroadcastInterval, 64},
        {"NTPbcastfreq", -5, &EngineSettings::ntpBroadcastInterval, 64},
        {"NTPbcastfreq", 16, &EngineSettings::ntpBroadcastInterval, 16},
        {"Frequency", 0, &EngineSettings::frequencyMinutes, 120},
        {"Frequency", -1, &EngineSettings::frequencyMinutes, 120},
        {"Frequency", 30, &EngineSettings::frequencyMinutes, 30},
        {"SwitchDelay", 0, &EngineSettings::switchDelayMs, 2000},
        {"SwitchDelay", -100, &EngineSettings::switchDelayMs, 2000},
        {"AlertTimeout", 0, &EngineSettings::alertTimeoutMinutes, 480},
        {"AlertTimeout", -3, &EngineSettings::alertTimeoutMinutes, 480},
        {"AlertTimeout", 60, &EngineSettings::alertTimeoutMinutes, 60},
        {"MCastTTL", 0, &EngineSettings::multicastTtl, 1},
        {"MCastTTL", -7, &EngineSettings::multicastTtl, 1},
        {"MCastTTL", 256, &EngineSettings::multicastTtl, 255},
        {"MCastTTL", 1000, &EngineSettings::multicastTtl, 255},
        {"MCastTTL", 64, &EngineSettings::multicastTtl, 64},
    };
    for (const Case& c : cases) {
        testsupport::TempStore store;
        CReg parameters(engine::kServiceParametersKey);
        ASSERT_TRUE(parameters.writeInt(c.name, c.stored).ok()) << c.name;
        EXPECT_EQ(EngineSettings::read(parameters).*c.field, c.expected)
            << c.name << " stored as " << c.stored;
    }
}
