#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/RegFile.h"
#include "platform/Registry.h"

using namespace platform;
namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

constexpr const char* kParams = "SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters";

#ifndef _WIN32
std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
#endif

RegFile parsed(const std::string& text) {
    RegFile file;
    RegParseError error;
    EXPECT_TRUE(RegFile::parse(text, file, error)) << "line " << error.line << ": " << error.reason;
    return file;
}

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    EXPECT_TRUE(RegFile::splitPath(path, parts));
    return parts;
}

const RegValue* valueIn(const RegFile& file, RegRoot root, const std::string& key,
                        const std::string& name) {
    const RegKeyNode* node = file.find(root, split(key));
    return node != nullptr ? node->value(name) : nullptr;
}

RegValue dword(const std::string& name, uint32_t v) {
    RegValue value;
    value.name = name;
    value.type = RegType::Dword;
    value.dword = v;
    return value;
}

RegValue text(const std::string& name, const std::string& t) {
    RegValue value;
    value.name = name;
    value.type = RegType::String;
    value.text = t;
    return value;
}

// Every line of a written store ends in CRLF.
bool onlyCrlfLineEnds(const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) {
            return false;
        }
        if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) {
            return false;
        }
    }
    return true;
}

}  // namespace

// ---- The .reg text on its own ----

TEST(RegFileText, WritesRegeditExportFormat) {
    RegFile file;
    RegKeyNode& params = file.ensure(RegRoot::LocalMachine, split(kParams));
    params.setValue(dword("NTPStratum", 14));
    params.setValue(text("Logfile", "C:\\Kronel\\log.txt"));
    file.ensure(RegRoot::CurrentUser, split("Software\\Kronel"))
        .setValue(text("TimeSource", "say \"hi\""));

    const std::string out = file.text();
    EXPECT_EQ(out.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    EXPECT_THAT(out, HasSubstr("\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
                               "Kronel\\Parameters]\r\n\"NTPStratum\"=dword:0000000e\r\n"
                               "\"Logfile\"=\"C:\\\\Kronel\\\\log.txt\"\r\n"));
    EXPECT_THAT(out, HasSubstr("\r\n[HKEY_CURRENT_USER\\Software\\Kronel]\r\n"
                               "\"TimeSource\"=\"say \\\"hi\\\"\"\r\n"));
    // Intermediate keys get their own sections, as regedit exports them.
    EXPECT_THAT(out, HasSubstr("\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\r\n"));
    EXPECT_TRUE(onlyCrlfLineEnds(out));
}

TEST(RegFileText, ReadsCrlfLfAndRegedit4) {
    const std::string body =
        "\n[HKEY_LOCAL_MACHINE\\Software\\Kronel]\n\"Max\"=dword:00000e10\n"
        "\"Logfile\"=\"log.txt\"\n";
    for (const std::string header : {"Windows Registry Editor Version 5.00", "REGEDIT4"}) {
        for (const bool crlf : {false, true}) {
            std::string textIn = header + "\n" + body;
            if (crlf) {
                std::string converted;
                for (char c : textIn) {
                    converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
                }
                textIn = converted;
            }
            SCOPED_TRACE(header + (crlf ? " CRLF" : " LF"));
            const RegFile file = parsed(textIn);
            const RegValue* max = valueIn(file, RegRoot::LocalMachine, "Software\\Kronel", "Max");
            ASSERT_NE(max, nullptr);
            EXPECT_EQ(max->type, RegType::Dword);
            EXPECT_EQ(max->dword, 3600u);
            const RegValue* log =
                valueIn(file, RegRoot::LocalMachine, "Software\\Kronel", "Logfile");
            ASSERT_NE(log, nullptr);
            EXPECT_EQ(log->text, "log.txt");
        }
    }
}

TEST(RegFileText, ReadsRegeditsUtf16Export) {
    const std::u16string source =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kronel]\r\n"
        u"\"TimeSource\"=\"Z\u00fcrich \U0001F552\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : source) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    const RegFile file = parsed(bytes);
    const RegValue* v = valueIn(file, RegRoot::CurrentUser, "Software\\Kronel", "TimeSource");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->text, "Z\xC3\xBCrich \xF0\x9F\x95\x92");

    RegFile ignored;
    RegParseError error;
    EXPECT_FALSE(RegFile::parse(bytes.substr(0, bytes.size() - 1), ignored, error));
}

TEST(RegFileText, EscapedTextRoundTrips) {
    const std::string name = "back\\slash \"quoted\" name\ttab \xC3\xA9 trailing\\";
    const std::string plain = "back\\slash \"quoted\" \xC3\xA9 C:\\new\\reports.txt trailing\\";
    const std::string awkward =
        "line\nbreak\r\nand\ttab \x01 \xC3\xA9 \xF0\x9F\x95\x92 bad \xFF\xC3 end\\";
    RegFile file;
    RegKeyNode& key = file.ensure(RegRoot::LocalMachine, split("Software\\Kronel"));
    key.setValue(text(name, plain));
    key.setValue(text("Awkward", awkward));
    key.setValue(text("", "default value"));
    const std::string out = file.text();
    EXPECT_TRUE(onlyCrlfLineEnds(out));
    EXPECT_THAT(out, HasSubstr("C:\\\\new\\\\reports.txt"));
    EXPECT_THAT(out, HasSubstr("@=\"default value\""));
    // regedit has no escape for control characters: such a text goes as hex(1), UTF-16LE
    // with its terminating zero, which regedit imports as the same string.
    EXPECT_THAT(out, HasSubstr("\"Awkward\"=hex(1):6c,00,69,00,6e,00,65,00,0a,00,62,00"));
    EXPECT_THAT(out, HasSubstr(",3d,d8,52,dd,"));  // U+1F552 as a surrogate pair
    EXPECT_THAT(out, HasSubstr(",5c,00,00,00\r\n"));

    const RegFile again = parsed(out);
    const RegValue* v = valueIn(again, RegRoot::LocalMachine, "Software\\Kronel", name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->name, name);
    EXPECT_EQ(v->text, plain);
    const RegValue* hex = valueIn(again, RegRoot::LocalMachine, "Software\\Kronel", "Awkward");
    ASSERT_NE(hex, nullptr);
    EXPECT_EQ(hex->type, RegType::String);
    // Bytes that are not UTF-8 travel as the Latin-1 letters they look like.
    EXPECT_EQ(hex->text,
              "line\nbreak\r\nand\ttab \x01 \xC3\xA9 \xF0\x9F\x95\x92 bad \xC3\xBF\xC3\x83 end\\");
    const RegValue* def = valueIn(again, RegRoot::LocalMachine, "Software\\Kronel", "");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->text, "default value");
    EXPECT_EQ(again.text(), parsed(again.text()).text());
}

TEST(RegFileText, ReadsQuotedTextAsRegeditDoes) {
    // Only \\ and \" are escapes; a backslash before anything else is itself.
    const struct {
        const char* written;
        std::string text;
    } cases[] = {
        {R"("C:\new\reports.txt")", "C:\\new\\reports.txt"},
        {R"("C:\\new\\reports.txt")", "C:\\new\\reports.txt"},
        {R"("a\rb\tc\x41")", "a\\rb\\tc\\x41"},
        {R"("say \"hi\"")", "say \"hi\""},
        {R"("ends in \\")", "ends in \\"},
        {R"("\\\n")", "\\\\n"},
    };
    for (const auto& c : cases) {
        const RegFile file =
            parsed(std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=") + c.written + "\n");
        const RegValue* v = valueIn(file, RegRoot::LocalMachine, "K", "V");
        ASSERT_NE(v, nullptr) << c.written;
        EXPECT_EQ(v->text, c.text) << c.written;
    }
    // hex(1) is a REG_SZ: with or without its terminating zero it reads as text.
    const RegFile file = parsed(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"Z\"=hex(1):61,00,0a,00,62,00,00,00\r\n\"N\"=hex(1):61,00\r\n"
        "\"Odd\"=hex(1):61,00,62\r\n");
    EXPECT_EQ(valueIn(file, RegRoot::LocalMachine, "K", "Z")->text, "a\nb");
    EXPECT_EQ(valueIn(file, RegRoot::LocalMachine, "K", "N")->text, "a");
    // Bytes that are no UTF-16 text stay as they were found.
    EXPECT_EQ(valueIn(file, RegRoot::LocalMachine, "K", "Odd")->type, RegType::Other);
}

TEST(RegFileText, KeepsValueTypesItDoesNotUse) {
    const std::string in =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"Bin\"=hex:01,ff,\\\r\n  10\r\n"
        "\"Path\"=hex(2):25,00,54,00,00,00\r\n"
        "\"Empty\"=hex(7):\r\n";
    const RegFile file = parsed(in);
    const RegValue* bin = valueIn(file, RegRoot::LocalMachine, "K", "Bin");
    ASSERT_NE(bin, nullptr);
    EXPECT_EQ(bin->type, RegType::Other);
    EXPECT_EQ(bin->otherType, 3u);
    EXPECT_EQ(bin->text, std::string("\x01\xff\x10"));
    const RegValue* path = valueIn(file, RegRoot::LocalMachine, "K", "Path");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->otherType, 2u);
    EXPECT_EQ(path->text, std::string("%\0T\0\0\0", 6));

    const RegFile again = parsed(file.text());
    EXPECT_EQ(again.text(), file.text());
    EXPECT_EQ(valueIn(again, RegRoot::LocalMachine, "K", "Path")->text, path->text);
    EXPECT_EQ(valueIn(again, RegRoot::LocalMachine, "K", "Empty")->otherType, 7u);

    // A long binary value is wrapped as regedit wraps it and still reads back whole.
    RegFile big;
    RegValue blob;
    blob.name = "Blob";
    blob.type = RegType::Other;
    blob.otherType = 3;
    for (int i = 0; i < 200; ++i) {
        blob.text += static_cast<char>(i);
    }
    big.ensure(RegRoot::LocalMachine, split("K")).setValue(blob);
    EXPECT_THAT(big.text(), HasSubstr(",\\\r\n  "));
    EXPECT_EQ(valueIn(parsed(big.text()), RegRoot::LocalMachine, "K", "Blob")->text, blob.text);
}

TEST(RegFileText, AppliesDeletionLines) {
    const RegFile file = parsed(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\Gone]\n\"a\"=dword:1\n[HKEY_LOCAL_MACHINE\\K]\n"
        "\"keep\"=dword:2\n\"drop\"=dword:3\n\"DROP\"=-\n[-HKEY_LOCAL_MACHINE\\K\\gone]\n"
        "\"ignored\"=dword:4\n");
    const RegKeyNode* k = file.find(RegRoot::LocalMachine, split("K"));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->childCount(), 0u);
    EXPECT_NE(k->value("keep"), nullptr);
    EXPECT_EQ(k->value("drop"), nullptr);
    EXPECT_EQ(k->value("ignored"), nullptr);
}

TEST(RegFileText, ReadsCommentsBlankLinesAndAnEmptyText) {
    const RegFile file = parsed(
        "\n  \nWindows Registry Editor Version 5.00\n; a comment\n\n  [HKEY_CURRENT_USER\\K]  \n"
        "  \"a\" = dword:0000000A  \n");
    EXPECT_EQ(valueIn(file, RegRoot::CurrentUser, "K", "A")->dword, 10u);
    EXPECT_EQ(parsed("").top().childCount(), 0u);
    EXPECT_EQ(parsed(" \r\n\r\n").top().childCount(), 0u);
}

TEST(RegFileText, RejectsMalformedTexts) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        size_t line;
    };
    const Case cases[] = {
        {"[HKEY_LOCAL_MACHINE\\K]\n"s, 1},
        {"Windows Registry Editor Version 4.00\n"s, 1},
        {"REGEDIT4\n\"a\"=dword:1\n"s, 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:xyz\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:123456789\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"unterminated\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"text\" junk\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=qword:1\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\" dword:1\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:0g\n"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:00,\\"s, 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"nul\0inside\"\n"s, 3},
        {"REGEDIT4\n[HKEY_NOWHERE\\K]\n"s, 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n"s, 2},
        {"REGEDIT4\n[]\n"s, 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\nName=dword:1\n"s, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        RegFile file;
        RegParseError error;
        EXPECT_FALSE(RegFile::parse(c.text, file, error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_FALSE(error.reason.empty());
    }
}

TEST(RegFileNames, CaseInsensitiveCasePreservingInWindowsOrder) {
    RegKeyNode key("K");
    key.ensureChild("beta");
    key.ensureChild("Alpha");
    key.ensureChild("GAMMA");
    key.ensureChild("_under");
    EXPECT_EQ(&key.ensureChild("ALPHA"), key.child("alpha"));
    ASSERT_EQ(key.childCount(), 4u);
    // Windows compares upper-cased names, so '_' (0x5F) sorts after every letter.
    EXPECT_EQ(key.childAt(0).name(), "Alpha");
    EXPECT_EQ(key.childAt(1).name(), "beta");
    EXPECT_EQ(key.childAt(2).name(), "GAMMA");
    EXPECT_EQ(key.childAt(3).name(), "_under");

    key.setValue(dword("LastDelta", 1));
    key.setValue(dword("lastdelta", 2));
    ASSERT_EQ(key.values().size(), 1u);
    EXPECT_EQ(key.values()[0].name, "LastDelta");
    EXPECT_EQ(key.value("LASTDELTA")->dword, 2u);
    EXPECT_TRUE(key.removeValue("LASTdelta"));
    EXPECT_TRUE(key.removeChild("BETA"));
    EXPECT_EQ(key.child("beta"), nullptr);
}

// The store on disk and its location are the POSIX backend's; the Windows backend keeps the
// store in the registry.
#ifndef _WIN32

// ---- The store on disk ----

namespace {

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("kronel-reg-" + std::to_string(random()));
        fs::create_directories(dir_);
        file_ = dir_ / "registry.reg";
        setRegistryFile(file_.string());
    }
    void TearDown() override {
        setRegistryFile("");
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, ignored);
        fs::remove_all(dir_, ignored);
    }

    std::unique_ptr<RegistryKey> open(const std::string& path, RegRoot root = RegRoot::LocalMachine,
                                      bool readOnly = false) {
        std::unique_ptr<RegistryKey> key;
        const Status s = openRegistryKey(root, path, true, readOnly, key);
        EXPECT_TRUE(s.ok()) << s.error;
        return key;
    }

    std::vector<fs::path> badCopies() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind("registry.reg.bad-", 0) == 0) {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    RegFile onDisk() const { return parsed(readText(file_)); }

    fs::path dir_;
    fs::path file_;
};

}  // namespace

TEST_F(RegistryStore, WritesReachTheFileInRegFormat) {
    auto params = open(kParams);
    ASSERT_TRUE(params);
    ASSERT_TRUE(params->setDword("NTPStratum", 14).ok());
    ASSERT_TRUE(params->setString("LastDelta", "0.250 seconds").ok());
    auto user = open("Software\\Kronel", RegRoot::CurrentUser);
    ASSERT_TRUE(user->setDword("Tips", 0).ok());

    const std::string textOnDisk = readText(file_);
    EXPECT_TRUE(onlyCrlfLineEnds(textOnDisk));
    EXPECT_THAT(textOnDisk, HasSubstr("\"NTPStratum\"=dword:0000000e\r\n"));
    const RegFile disk = onDisk();
    EXPECT_EQ(valueIn(disk, RegRoot::LocalMachine, kParams, "ntpstratum")->dword, 14u);
    EXPECT_EQ(valueIn(disk, RegRoot::LocalMachine, kParams, "LastDelta")->text, "0.250 seconds");
    EXPECT_EQ(valueIn(disk, RegRoot::CurrentUser, "Software\\Kronel", "Tips")->dword, 0u);

    uint32_t v = 0;
    ASSERT_TRUE(params->queryDword("NTPSTRATUM", v).ok());
    EXPECT_EQ(v, 14u);
    EXPECT_FALSE(fs::exists(dir_ / "registry.reg.tmp"));
    // A new store may hold a proxy password: only its owner reads it.
    EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(RegistryStore, KeepsThePermissionsOfAnExistingStore) {
    writeText(file_, "REGEDIT4\r\n");
    fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(open("K")->setDword("a", 1).ok());
    EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(RegistryStore, OpensOnlyExistingKeysUnlessAskedToCreate) {
    std::unique_ptr<RegistryKey> key;
    EXPECT_EQ(openRegistryKey(RegRoot::LocalMachine, "Software\\Kronel", false, false, key).error,
              regerr::kFileNotFound);
    EXPECT_FALSE(key);
    EXPECT_FALSE(fs::exists(file_));  // looking creates nothing

    ASSERT_TRUE(open("Software\\Kronel"));
    EXPECT_TRUE(openRegistryKey(RegRoot::LocalMachine, "software\\KRONEL", false, false, key).ok());
    EXPECT_EQ(openRegistryKey(RegRoot::CurrentUser, "Software\\Kronel", false, false, key).error,
              regerr::kFileNotFound);
    EXPECT_EQ(openRegistryKey(RegRoot::LocalMachine, "bad\nname", true, false, key).error,
              regerr::kInvalidParameter);
}

TEST_F(RegistryStore, NamesAreCaseInsensitiveAndSubkeysEnumerateInOrder) {
    auto details = open("Software\\Kronel\\Server Details");
    for (const char* name : {"time.nist.gov", "Pool", "alpha", "ZULU"}) {
        ASSERT_TRUE(open(std::string("Software\\Kronel\\Server Details\\") + name));
    }
    ASSERT_TRUE(open("software\\kronel\\server details\\POOL"));  // same key again
    ASSERT_EQ(details->subkeyCount(), 4u);
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; details->subkeyName(i, name).ok(); ++i) {
        names.push_back(name);
    }
    EXPECT_THAT(names, ::testing::ElementsAre("alpha", "Pool", "time.nist.gov", "ZULU"));
    EXPECT_EQ(details->subkeyName(4, name).error, regerr::kNoMoreItems);

    auto params = open("Software\\Kronel");
    ASSERT_TRUE(params->setString("TimeSource", "one").ok());
    ASSERT_TRUE(params->setString("TIMESOURCE", "two").ok());
    RegValue value;
    ASSERT_TRUE(params->valueAt(0, value).ok());
    EXPECT_EQ(value.name, "TimeSource");
    EXPECT_EQ(value.text, "two");
    EXPECT_EQ(params->valueAt(1, value).error, regerr::kNoMoreItems);
    EXPECT_TRUE(params->deleteValue("timesource").ok());
    EXPECT_EQ(params->deleteValue("TimeSource").error, regerr::kFileNotFound);
}

TEST_F(RegistryStore, TextReadsRespectTheBufferAndTheType) {
    auto key = open("K");
    ASSERT_TRUE(key->setString("Nine", "123456789").ok());
    ASSERT_TRUE(key->setDword("Number", 7).ok());
    std::string out = "untouched";
    EXPECT_EQ(key->queryString("Nine", out, 9).error, regerr::kMoreData);
    EXPECT_EQ(out, "untouched");
    ASSERT_TRUE(key->queryString("Nine", out, 10).ok());
    EXPECT_EQ(out, "123456789");
    EXPECT_EQ(key->queryString("Number", out, 100).error, regerr::kUnsupportedType);
    uint32_t v = 0;
    EXPECT_EQ(key->queryDword("Nine", v).error, regerr::kUnsupportedType);
    EXPECT_EQ(key->queryDword("Missing", v).error, regerr::kFileNotFound);
}

TEST_F(RegistryStore, TextWithLineBreaksSurvivesAndNulIsRefused) {
    auto key = open("K");
    const std::string multi = "first line\r\nsecond \"line\"\n\\end";
    ASSERT_TRUE(key->setString("Multi", multi).ok());
    EXPECT_EQ(key->setString("Nul", std::string("a\0b", 3)).error, regerr::kInvalidParameter);
    // No form of the file holds a line break in a value name.
    EXPECT_EQ(key->setDword("two\nlines", 1).error, regerr::kInvalidParameter);
    EXPECT_EQ(valueIn(onDisk(), RegRoot::LocalMachine, "K", "Multi")->text, multi);
    EXPECT_EQ(valueIn(onDisk(), RegRoot::LocalMachine, "K", "Nul"), nullptr);
}

TEST_F(RegistryStore, ReadOnlyKeysRefuseWrites) {
    ASSERT_TRUE(open("K")->setDword("a", 1).ok());
    auto key = open("K", RegRoot::LocalMachine, true);
    EXPECT_EQ(key->setDword("a", 2).error, regerr::kAccessDenied);
    EXPECT_EQ(key->setString("b", "x").error, regerr::kAccessDenied);
    EXPECT_EQ(key->deleteValue("a").error, regerr::kAccessDenied);
    uint32_t v = 0;
    ASSERT_TRUE(key->queryDword("a", v).ok());
    EXPECT_EQ(v, 1u);
}

TEST_F(RegistryStore, SeesChangesMadeBehindItsBack) {
    auto key = open("K");
    ASSERT_TRUE(key->setDword("a", 1).ok());
    uint32_t v = 0;
    ASSERT_TRUE(key->queryDword("a", v).ok());

    // Another program replaces the file...
    writeText(dir_ / "other.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:2\n");
    fs::rename(dir_ / "other.reg", file_);
    ASSERT_TRUE(key->queryDword("a", v).ok());
    EXPECT_EQ(v, 2u);
    // ...or a person edits it in place.
    writeText(file_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:3\n\"b\"=dword:4\n");
    ASSERT_TRUE(key->queryDword("a", v).ok());
    EXPECT_EQ(v, 3u);
    // Our next write keeps what they wrote.
    ASSERT_TRUE(key->setDword("c", 5).ok());
    EXPECT_EQ(valueIn(onDisk(), RegRoot::LocalMachine, "K", "b")->dword, 4u);
    // A deleted file is an empty store, and the key went with it.
    fs::remove(file_);
    EXPECT_EQ(key->queryDword("a", v).error, regerr::kKeyDeleted);
}

TEST_F(RegistryStore, DeletesKeysWithEverythingBelow) {
    auto server = open("Software\\Kronel\\Server Details\\pool");
    ASSERT_TRUE(open("Software\\Kronel\\Server Details\\pool\\deeper"));
    ASSERT_TRUE(server->setDword("order", 1).ok());
    ASSERT_TRUE(
        deleteRegistryKey(RegRoot::LocalMachine, "software\\kronel\\server details\\POOL").ok());
    EXPECT_EQ(open("Software\\Kronel\\Server Details")->subkeyCount(), 0u);
    EXPECT_EQ(server->setDword("order", 2).error, regerr::kKeyDeleted);
    EXPECT_EQ(
        deleteRegistryKey(RegRoot::LocalMachine, "Software\\Kronel\\Server Details\\pool").error,
        regerr::kFileNotFound);
    EXPECT_EQ(deleteRegistryKey(RegRoot::LocalMachine, "").error, regerr::kAccessDenied);
    EXPECT_EQ(onDisk()
                  .find(RegRoot::LocalMachine, split("Software\\Kronel\\Server Details"))
                  ->childCount(),
              0u);
}

TEST_F(RegistryStore, CreatesParentDirectoriesAndFollowsSymlinks) {
    const fs::path nested = dir_ / "a" / "b" / "registry.reg";
    setRegistryFile(nested.string());
    ASSERT_TRUE(open("K")->setDword("a", 1).ok());
    EXPECT_TRUE(fs::is_regular_file(nested));

    const fs::path link = dir_ / "link.reg";
    fs::create_symlink(nested, link);
    setRegistryFile(link.string());
    ASSERT_TRUE(open("K")->setDword("b", 2).ok());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(valueIn(parsed(readText(nested)), RegRoot::LocalMachine, "K", "b")->dword, 2u);
}

TEST_F(RegistryStore, MalformedFileIsMovedAsideAndDefaultsUsed) {
    const std::string garbage = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:zz\n";
    writeText(file_, garbage);
    ::testing::internal::CaptureStderr();
    std::unique_ptr<RegistryKey> key;
    const Status opened = openRegistryKey(RegRoot::LocalMachine, "K", false, false, key);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened.error, regerr::kFileNotFound);  // the store starts from defaults
    EXPECT_THAT(
        err, HasSubstr("Error: Configuration store " + file_.string() + " is malformed (line 3"));
    EXPECT_THAT(err, HasSubstr("starting from defaults"));

    auto bad = badCopies();
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(readText(bad[0]), garbage);  // the data is kept on disk
    EXPECT_FALSE(fs::exists(file_));

    // A second bad file in the same second gets a name of its own.
    writeText(file_, "junk");
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(open("K")->setDword("a", 1).ok());
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("Error: "));
    bad = badCopies();
    ASSERT_EQ(bad.size(), 2u);
    std::set<std::string> contents{readText(bad[0]), readText(bad[1])};
    EXPECT_EQ(contents, (std::set<std::string>{garbage, "junk"}));
    EXPECT_EQ(valueIn(onDisk(), RegRoot::LocalMachine, "K", "a")->dword, 1u);
}

TEST_F(RegistryStore, MalformedFileThatCannotBeMovedIsLeftUntouched) {
    // An unprivileged process in a directory it cannot write: it must neither move nor
    // overwrite the file.
    const std::string garbage = "not a registry file\n";
    writeText(file_, garbage);
    fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        ::dup2(pipeFds[1], STDERR_FILENO);
        if (::geteuid() == 0 && ::setuid(65534) != 0) {
            ::_exit(10);
        }
        std::unique_ptr<RegistryKey> key;
        if (openRegistryKey(RegRoot::LocalMachine, "K", false, false, key).error !=
            regerr::kFileNotFound) {
            ::_exit(11);
        }
        if (openRegistryKey(RegRoot::LocalMachine, "K", true, false, key).ok()) {
            ::_exit(12);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string err;
    char buf[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) {
        err.append(buf, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(err, HasSubstr("Error: Configuration store " + file_.string() + " is malformed"));
    EXPECT_THAT(err, HasSubstr("could not be moved aside"));
    EXPECT_EQ(readText(file_), garbage);
    EXPECT_TRUE(badCopies().empty());
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNoValue) {
    constexpr int kPerChild = 60;
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (const char* prefix : {"A", "B"}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(start[1]);
            char go;
            if (::read(start[0], &go, 1) != 0) {
                ::_exit(20);
            }
            std::unique_ptr<RegistryKey> key;
            if (!openRegistryKey(RegRoot::LocalMachine, kParams, true, false, key).ok()) {
                ::_exit(21);
            }
            for (int i = 0; i < kPerChild; ++i) {
                const std::string name = prefix + std::to_string(i);
                if (!key->setDword(name, static_cast<uint32_t>(i)).ok() ||
                    !key->setString(name + "t", name).ok()) {
                    ::_exit(22);
                }
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(start[0]);
    ::close(start[1]);  // both children start writing now
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    const RegFile disk = onDisk();
    auto key = open(kParams);
    for (const char* prefix : {"A", "B"}) {
        for (int i = 0; i < kPerChild; ++i) {
            const std::string name = prefix + std::to_string(i);
            const RegValue* v = valueIn(disk, RegRoot::LocalMachine, kParams, name);
            ASSERT_NE(v, nullptr) << name;
            EXPECT_EQ(v->dword, static_cast<uint32_t>(i));
            std::string t;
            ASSERT_TRUE(key->queryString(name + "t", t, 100).ok()) << name;
            EXPECT_EQ(t, name);
        }
    }
}

TEST_F(RegistryStore, WriterKilledMidLoopLeavesEveryCommittedValue) {
    int committed[2];
    ASSERT_EQ(::pipe(committed), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(committed[0]);
        std::unique_ptr<RegistryKey> key;
        if (!openRegistryKey(RegRoot::LocalMachine, "K", true, false, key).ok()) {
            ::_exit(30);
        }
        // Values grow the file, so the kill can land in any part of a write.
        for (uint32_t i = 0;; ++i) {
            if (!key->setString("v" + std::to_string(i), std::string(i % 97, 'x')).ok()) {
                ::_exit(31);
            }
            if (::write(committed[1], &i, sizeof i) != sizeof i) {
                ::_exit(32);
            }
        }
    }
    ::close(committed[1]);
    std::vector<uint32_t> seen;
    uint32_t i = 0;
    size_t halfFiles = 0;
    while (seen.size() < 150 && ::read(committed[0], &i, sizeof i) == sizeof i) {
        seen.push_back(i);
        // A reader between writes sees a whole file holding every committed value.
        RegFile now;
        RegParseError ignored;
        if (!RegFile::parse(readText(file_), now, ignored) ||
            valueIn(now, RegRoot::LocalMachine, "K", "v" + std::to_string(i)) == nullptr) {
            ++halfFiles;
        }
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited early with " << WEXITSTATUS(status);
    while (::read(committed[0], &i, sizeof i) == sizeof i) {
        seen.push_back(i);
    }
    ::close(committed[0]);
    ASSERT_GE(seen.size(), 150u);
    EXPECT_EQ(halfFiles, 0u);

    RegFile disk;
    RegParseError error;
    ASSERT_TRUE(RegFile::parse(readText(file_), disk, error)) << error.reason;
    for (uint32_t n : seen) {
        const RegValue* v = valueIn(disk, RegRoot::LocalMachine, "K", "v" + std::to_string(n));
        ASSERT_NE(v, nullptr) << n;
        EXPECT_EQ(v->text, std::string(n % 97, 'x'));
    }
    // And the store takes writes again at once.
    auto key = open("K");
    ASSERT_TRUE(key->setDword("after", 1).ok());
    std::string t;
    ASSERT_TRUE(key->queryString("v" + std::to_string(seen.back()), t, 200).ok());
}

TEST(RegistryLocation, FollowsTheEnvironment) {
    struct SavedEnv {
        const char* name;
        std::optional<std::string> value;
    };
    std::vector<SavedEnv> saved;
    for (const char* name : {"KRONEL_REGISTRY", "XDG_CONFIG_HOME", "HOME"}) {
        const char* v = std::getenv(name);
        saved.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
    }
    setRegistryFile("");

    ::setenv("KRONEL_REGISTRY", "/tmp/one.reg", 1);
    EXPECT_EQ(registryFile(RegRoot::LocalMachine), "/tmp/one.reg");
    EXPECT_EQ(registryFile(RegRoot::CurrentUser), "/tmp/one.reg");

    ::unsetenv("KRONEL_REGISTRY");
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(registryFile(RegRoot::LocalMachine), "/var/lib/kronel/registry.reg");
    EXPECT_EQ(registryFile(RegRoot::CurrentUser), "/cfg/kronel/registry.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // ignored, as the XDG rules say
    EXPECT_EQ(registryFile(RegRoot::CurrentUser), "/home/someone/.config/kronel/registry.reg");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(registryFile(RegRoot::CurrentUser), "/home/someone/.config/kronel/registry.reg");

    setRegistryFile("/tmp/override.reg");
    EXPECT_EQ(registryFile(RegRoot::LocalMachine), "/tmp/override.reg");
    EXPECT_EQ(registryFile(RegRoot::CurrentUser), "/tmp/override.reg");
    setRegistryFile("");

    for (const auto& env : saved) {
        if (env.value) {
            ::setenv(env.name, env.value->c_str(), 1);
        } else {
            ::unsetenv(env.name);
        }
    }
}

#endif  // _WIN32
