#include "engine/CReg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using engine::CReg;
using platform::RegRoot;
namespace fs = std::filesystem;

namespace {

class CRegStore : public ::testing::Test {
protected:
    testsupport::TempStore store_;
    const fs::path dir_ = store_.dir();
};

const std::string kDetails =
    std::string(engine::kServiceParametersKey) + "\\" + engine::kServerDetailsSubkey;

}  // namespace

TEST_F(CRegStore, MissingKeyAndValuesYieldDefaults) {
    const CReg params(engine::kServiceParametersKey);
    EXPECT_TRUE(params.isOpen());  // created on open
    EXPECT_EQ(params.readInt("Max", 3600), 3600);
    EXPECT_EQ(params.readDword("SwitchDelay", 2000), 2000u);
    EXPECT_EQ(params.readText("Logfile", "log.txt"), "log.txt");
    int often = 0;
    params.readInt("Often", often, 1);
    EXPECT_EQ(often, 1);
    EXPECT_EQ(params.subkeyCount(), 0u);
    std::string name;
    EXPECT_FALSE(params.subkeyName(0, name));
}

TEST_F(CRegStore, ReadsBackWhatItWrites) {
    {
        CReg params(engine::kUserParametersKey, RegRoot::CurrentUser);
        ASSERT_TRUE(params.writeInt("Frequency", 30).ok());
        ASSERT_TRUE(params.writeInt("NMEAOffset", static_cast<uint32_t>(-5)).ok());
        ASSERT_TRUE(params.writeText("TimeSource", "pool.ntp.org").ok());
    }
    const CReg params(engine::kUserParametersKey, RegRoot::CurrentUser, true);
    EXPECT_EQ(params.readInt("frequency", 120), 30);
    EXPECT_EQ(params.readInt("NMEAOffset", 0), -5);
    int out = 0;
    params.readInt("Frequency", out, 120);
    EXPECT_EQ(out, 30);
    EXPECT_EQ(params.readText("TIMESOURCE", "None"), "pool.ntp.org");
    // The two programs keep separate roots.
    const CReg service(engine::kUserParametersKey, RegRoot::LocalMachine);
    EXPECT_EQ(service.readInt("Frequency", 120), 120);
}

TEST_F(CRegStore, TextLongerThanTheReadBufferYieldsTheDefault) {
    CReg params(engine::kServiceParametersKey);
    const std::string fits(CReg::kTextBufferSize - 1, 'a');  // plus its terminating zero
    const std::string tooLong(CReg::kTextBufferSize, 'b');
    ASSERT_TRUE(params.writeText("Fits", fits).ok());
    ASSERT_TRUE(params.writeText("TooLong", tooLong).ok());
    EXPECT_EQ(params.readText("Fits", "default"), fits);
    EXPECT_EQ(params.readText("TooLong", "default"), "default");
}

TEST_F(CRegStore, ValueOfTheWrongTypeYieldsTheDefault) {
    CReg params(engine::kServiceParametersKey);
    ASSERT_TRUE(params.writeText("Max", "5").ok());
    ASSERT_TRUE(params.writeInt("Logfile", 1).ok());
    EXPECT_EQ(params.readInt("Max", 3600), 3600);
    EXPECT_EQ(params.readText("Logfile", "log.txt"), "log.txt");
}

TEST_F(CRegStore, EnumeratesSubkeysInNameOrderAndValuesInTurn) {
    for (const char* server : {"time.example", "Alpha.example", "beta.example"}) {
        CReg entry(kDetails + "\\" + server);
        ASSERT_TRUE(entry.writeText("addr", server).ok());
        ASSERT_TRUE(entry.writeInt("protocol", 1).ok());
    }
    const CReg details(kDetails);
    ASSERT_EQ(details.subkeyCount(), 3u);
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; details.subkeyName(i, name); ++i) {
        names.push_back(name);
    }
    EXPECT_THAT(names, ::testing::ElementsAre("Alpha.example", "beta.example", "time.example"));

    const CReg entry(kDetails + "\\beta.example");
    platform::RegValue value;
    ASSERT_TRUE(entry.valueAt(0, value));
    EXPECT_EQ(value.name, "addr");
    EXPECT_EQ(value.type, platform::RegType::String);
    EXPECT_EQ(value.text, "beta.example");
    ASSERT_TRUE(entry.valueAt(1, value));
    EXPECT_EQ(value.name, "protocol");
    EXPECT_EQ(value.dword, 1u);
    EXPECT_FALSE(entry.valueAt(2, value));
}

TEST_F(CRegStore, DeleteKeyClosesItAndRemovesItFromItsParent) {
    CReg doomed(kDetails + "\\old.example");
    ASSERT_TRUE(doomed.writeInt("order", 3).ok());
    { CReg below(kDetails + "\\old.example\\below"); }
    { CReg kept(kDetails + "\\kept.example"); }

    ASSERT_TRUE(doomed.deleteKey().ok());
    EXPECT_FALSE(doomed.isOpen());
    EXPECT_EQ(doomed.readInt("order", -1), -1);
    EXPECT_FALSE(doomed.writeInt("order", 4).ok());

    const CReg details(kDetails);
    ASSERT_EQ(details.subkeyCount(), 1u);
    std::string name;
    ASSERT_TRUE(details.subkeyName(0, name));
    EXPECT_EQ(name, "kept.example");
    EXPECT_FALSE(doomed.deleteKey().ok());  // already gone
}

TEST_F(CRegStore, UnopenableStoreMakesEveryReadADefault) {
    // The store's directory would have to be created under a regular file.
    std::ofstream(dir_ / "plain-file") << "x";
    platform::setRegistryFile((dir_ / "plain-file" / "registry.reg").string());
    CReg params(engine::kServiceParametersKey);
    EXPECT_FALSE(params.isOpen());
    EXPECT_EQ(params.readInt("Max", 3600), 3600);
    EXPECT_EQ(params.readText("Drift", "Unknown"), "Unknown");
    EXPECT_EQ(params.subkeyCount(), 0u);
    platform::RegValue value;
    EXPECT_FALSE(params.valueAt(0, value));
    EXPECT_EQ(params.writeInt("Max", 1).error, platform::regerr::kInvalidHandle);
    EXPECT_EQ(params.writeText("Drift", "x").error, platform::regerr::kInvalidHandle);
}

TEST_F(CRegStore, ReadOnlyKeyReadsButDoesNotWrite) {
    {
        CReg params(engine::kServiceParametersKey);
        ASSERT_TRUE(params.writeInt("Set", 0).ok());
    }
    CReg readOnly(engine::kServiceParametersKey, RegRoot::LocalMachine, true);
    ASSERT_TRUE(readOnly.isOpen());
    EXPECT_FALSE(readOnly.writeInt("Set", 1).ok());
    EXPECT_EQ(readOnly.readInt("Set", 1), 0);
}
