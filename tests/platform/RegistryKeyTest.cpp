// What every backend of the configuration store must do, seen only through its interface:
// the file store on POSIX, the registry itself on Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "platform/Registry.h"
#include "support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class RegistryKeys : public ::testing::Test {
protected:
    std::unique_ptr<RegistryKey> open(const std::string& path, RegRoot root = RegRoot::LocalMachine,
                                      bool readOnly = false) {
        std::unique_ptr<RegistryKey> key;
        const Status s = openRegistryKey(root, path, true, readOnly, key);
        EXPECT_TRUE(s.ok()) << s.error;
        return key;
    }

    testsupport::TempStore store_;
    const fs::path file_ = store_.path();
};

}  // namespace

TEST_F(RegistryKeys, OpenWithoutCreateFindsOnlyExistingKeys) {
    std::unique_ptr<RegistryKey> key;
    EXPECT_EQ(openRegistryKey(RegRoot::LocalMachine, "Software\\Kronel", false, false, key).error,
              regerr::kFileNotFound);
    EXPECT_EQ(key, nullptr);
    ASSERT_NE(open("Software\\Kronel"), nullptr);
    EXPECT_TRUE(openRegistryKey(RegRoot::LocalMachine, "software\\KRONEL", false, true, key).ok());
    EXPECT_NE(key, nullptr);
}

TEST_F(RegistryKeys, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    auto details = open("Software\\Kronel\\Server Details");
    open("Software\\Kronel\\Server Details\\beta");
    open("Software\\Kronel\\Server Details\\Alpha");
    open("Software\\Kronel\\Server Details\\gamma");
    open("Software\\Kronel\\Server Details\\BETA");  // the same key again
    ASSERT_EQ(details->subkeyCount(), 3u);
    std::string name;
    ASSERT_TRUE(details->subkeyName(0, name).ok());
    EXPECT_EQ(name, "Alpha");
    ASSERT_TRUE(details->subkeyName(1, name).ok());
    EXPECT_EQ(name, "beta");
    ASSERT_TRUE(details->subkeyName(2, name).ok());
    EXPECT_EQ(name, "gamma");
    EXPECT_EQ(details->subkeyName(3, name).error, regerr::kNoMoreItems);

    ASSERT_TRUE(details->setDword("Order", 4).ok());
    uint32_t order = 0;
    ASSERT_TRUE(details->queryDword("ORDER", order).ok());
    EXPECT_EQ(order, 4u);
    RegValue value;
    ASSERT_TRUE(details->valueAt(0, value).ok());
    EXPECT_EQ(value.name, "Order");
}

TEST_F(RegistryKeys, TextReadsFitTheCallersBufferWithTheTerminatingZero) {
    auto key = open("Software\\Kronel");
    ASSERT_TRUE(key->setString("addr", "abcd").ok());
    std::string text;
    ASSERT_TRUE(key->queryString("addr", text, 5).ok());
    EXPECT_EQ(text, "abcd");
    text = "unchanged";
    EXPECT_EQ(key->queryString("addr", text, 4).error, regerr::kMoreData);
    EXPECT_EQ(key->queryString("addr", text, 0).error, regerr::kMoreData);
    EXPECT_EQ(text, "unchanged");

    // The engine reads text through a 10,240-byte buffer.
    ASSERT_TRUE(key->setString("long", std::string(10239, 'x')).ok());
    ASSERT_TRUE(key->queryString("long", text, 10240).ok());
    EXPECT_EQ(text.size(), 10239u);
    ASSERT_TRUE(key->setString("long", std::string(10240, 'x')).ok());
    EXPECT_EQ(key->queryString("long", text, 10240).error, regerr::kMoreData);

    ASSERT_TRUE(key->setString("empty", "").ok());
    ASSERT_TRUE(key->queryString("empty", text, 1).ok());
    EXPECT_EQ(text, "");
}

TEST_F(RegistryKeys, ValuesKeepTheirTypes) {
    auto key = open("Software\\Kronel");
    ASSERT_TRUE(key->setDword("Max", 3600).ok());
    ASSERT_TRUE(key->setString("Logfile", "log.txt").ok());
    std::string text;
    uint32_t number = 0;
    EXPECT_EQ(key->queryString("Max", text, 100).error, regerr::kUnsupportedType);
    EXPECT_EQ(key->queryDword("Logfile", number).error, regerr::kUnsupportedType);
    EXPECT_EQ(key->queryDword("Missing", number).error, regerr::kFileNotFound);
    EXPECT_EQ(key->queryString("Missing", text, 100).error, regerr::kFileNotFound);

    // Replacing a value may change its type.
    ASSERT_TRUE(key->setString("Max", "big").ok());
    ASSERT_TRUE(key->queryString("Max", text, 100).ok());
    EXPECT_EQ(text, "big");

    std::map<std::string, RegValue> seen;
    RegValue value;
    uint32_t index = 0;
    for (; key->valueAt(index, value).ok(); ++index) {
        seen[value.name] = value;
    }
    EXPECT_EQ(key->valueAt(index, value).error, regerr::kNoMoreItems);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen["Max"].type, RegType::String);
    EXPECT_EQ(seen["Max"].text, "big");
    EXPECT_EQ(seen["Logfile"].type, RegType::String);
    EXPECT_EQ(seen["Logfile"].text, "log.txt");

    ASSERT_TRUE(key->setDword("Frequency", 120).ok());
    ASSERT_TRUE(key->deleteValue("Max").ok());
    EXPECT_EQ(key->deleteValue("Max").error, regerr::kFileNotFound);
    seen.clear();
    for (index = 0; key->valueAt(index, value).ok(); ++index) {
        seen[value.name] = value;
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen["Frequency"].type, RegType::Dword);
    EXPECT_EQ(seen["Frequency"].dword, 120u);
}

TEST_F(RegistryKeys, TextsAndNamesWithANulAreRefused) {
    auto key = open("Software\\Kronel");
    EXPECT_EQ(key->setString("addr", std::string("a\0b", 3)).error, regerr::kInvalidParameter);
    EXPECT_EQ(key->setDword(std::string("n\0m", 3), 1).error, regerr::kInvalidParameter);
    std::string text;
    EXPECT_EQ(key->queryString("addr", text, 100).error, regerr::kFileNotFound);
}

TEST_F(RegistryKeys, ReadOnlyKeysReadButRefuseWrites) {
    ASSERT_TRUE(open("Software\\Kronel")->setDword("Set", 0).ok());
    auto key = open("Software\\Kronel", RegRoot::LocalMachine, true);
    uint32_t set = 1;
    ASSERT_TRUE(key->queryDword("Set", set).ok());
    EXPECT_EQ(set, 0u);
    EXPECT_EQ(key->setDword("Set", 1).error, regerr::kAccessDenied);
    EXPECT_EQ(key->setString("addr", "x").error, regerr::kAccessDenied);
    EXPECT_EQ(key->deleteValue("Set").error, regerr::kAccessDenied);
    ASSERT_TRUE(key->queryDword("Set", set).ok());
    EXPECT_EQ(set, 0u);
}

TEST_F(RegistryKeys, TheTwoRootsAreSeparate) {
    ASSERT_TRUE(open("Software\\Kronel", RegRoot::LocalMachine)->setDword("Max", 1).ok());
    ASSERT_TRUE(open("Software\\Kronel", RegRoot::CurrentUser)->setDword("Max", 2).ok());
    uint32_t machine = 0;
    uint32_t user = 0;
    ASSERT_TRUE(open("Software\\Kronel", RegRoot::LocalMachine)->queryDword("Max", machine).ok());
    ASSERT_TRUE(open("Software\\Kronel", RegRoot::CurrentUser)->queryDword("Max", user).ok());
    EXPECT_EQ(machine, 1u);
    EXPECT_EQ(user, 2u);
}

TEST_F(RegistryKeys, DeletingAKeyTakesEverythingBelowIt) {
    ASSERT_TRUE(open("Software\\Kronel\\Server Details\\a.example")->setDword("order", 0).ok());
    ASSERT_TRUE(
        open("Software\\Kronel\\Server Details\\a.example\\deeper")->setString("x", "y").ok());
    ASSERT_TRUE(open("Software\\Kronel\\Server Details\\b.example")->setDword("order", 1).ok());

    ASSERT_TRUE(
        deleteRegistryKey(RegRoot::LocalMachine, "Software\\Kronel\\Server Details\\A.EXAMPLE")
            .ok());
    std::unique_ptr<RegistryKey> gone;
    EXPECT_EQ(openRegistryKey(RegRoot::LocalMachine, "Software\\Kronel\\Server Details\\a.example",
                              false, true, gone)
                  .error,
              regerr::kFileNotFound);
    EXPECT_EQ(
        deleteRegistryKey(RegRoot::LocalMachine, "Software\\Kronel\\Server Details\\a.example")
            .error,
        regerr::kFileNotFound);
    auto details = open("Software\\Kronel\\Server Details");
    ASSERT_EQ(details->subkeyCount(), 1u);
    std::string name;
    ASSERT_TRUE(details->subkeyName(0, name).ok());
    EXPECT_EQ(name, "b.example");

    EXPECT_EQ(deleteRegistryKey(RegRoot::LocalMachine, "").error, regerr::kAccessDenied);
}

TEST_F(RegistryKeys, AKeyDeletedWhileOpenSaysSo) {
    auto key = open("Software\\Kronel\\Server Details\\old.example");
    ASSERT_TRUE(key->setDword("order", 3).ok());
    ASSERT_TRUE(
        deleteRegistryKey(RegRoot::LocalMachine, "Software\\Kronel\\Server Details\\old.example")
            .ok());
    uint32_t order = 0;
    EXPECT_EQ(key->queryDword("order", order).error, regerr::kKeyDeleted);
    EXPECT_EQ(key->setDword("order", 4).error, regerr::kKeyDeleted);
    std::string name;
    EXPECT_EQ(key->subkeyName(0, name).error, regerr::kKeyDeleted);
    EXPECT_EQ(key->subkeyCount(), 0u);
}

TEST_F(RegistryKeys, RemovingTheStoreFileEmptiesTheStore) {
    ASSERT_TRUE(open("Software\\Kronel")->setDword("Max", 7).ok());
    ASSERT_TRUE(fs::exists(file_));
    fs::remove(file_);
    std::unique_ptr<RegistryKey> key;
    EXPECT_EQ(openRegistryKey(RegRoot::LocalMachine, "Software\\Kronel", false, true, key).error,
              regerr::kFileNotFound);
    uint32_t max = 0;
    EXPECT_EQ(open("Software\\Kronel")->queryDword("Max", max).error, regerr::kFileNotFound);
}
