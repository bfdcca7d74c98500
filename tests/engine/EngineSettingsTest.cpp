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
