#include "desktop/ServerListModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/CReg.h"
#include "support/RecordingMessages.h"
#include "support/TestSupport.h"

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>
#endif

using core::MessageLevel;
using desktop::ServerListModel;
using desktop::ServerRecord;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// Answers the model's questions from a script and records what it was asked.
class ScriptedUi : public desktop::ServerListUi {
public:
    std::deque<bool> answers;
    std::deque<std::optional<ServerRecord>> pages;
    std::optional<std::string> file;
    std::vector<std::string> questions;
    std::vector<std::string> queries;
    std::vector<std::string> fileTitles;
    std::vector<ServerRecord> pagesShown;
    const ServerListModel* model = nullptr;
    bool editingWhileShown = false;

    bool askYesNo(const std::string& text, const std::string& caption) override {
        questions.push_back(caption + ": " + text);
        const bool answer = answers.empty() ? true : answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return answer;
    }
    std::optional<std::string> chooseExportFile(const std::string& title, const std::string& name,
                                                const std::string& filter) override {
        fileTitles.push_back(title + " " + name + " " + filter);
        return file;
    }
    std::optional<std::string> chooseImportFile(const std::string& title, const std::string& name,
                                                const std::string& filter) override {
        fileTitles.push_back(title + " " + name + " " + filter);
        return file;
    }
    std::optional<ServerRecord> editServer(const ServerRecord& record) override {
        pagesShown.push_back(record);
        editingWhileShown = model && model->editing();
        std::optional<ServerRecord> page = pages.front();
        pages.pop_front();
        return page;
    }
    void startQuery(const std::string& name) override { queries.push_back(name); }
};

class ServerListEditing : public ::testing::Test {
protected:
    testsupport::TempStore store_;
    testsupport::RecordingMessages messages_;
    ScriptedUi ui_;

    std::unique_ptr<ServerListModel> model(
        platform::RegRoot root = platform::RegRoot::CurrentUser) {
        auto m =
            std::make_unique<ServerListModel>(root, engine::kUserParametersKey, ui_, messages_);
        ui_.model = m.get();
        return m;
    }
    // The list as a fresh model reads it back from the store. The UI keeps pointing at the
    // model under test, which a temporary from model() would leave dangling.
    std::vector<std::string> storedRows() {
        const ServerListModel fresh(platform::RegRoot::CurrentUser, engine::kUserParametersKey, ui_,
                                    messages_);
        return fresh.rows();
    }
    void add(ServerListModel& m, const ServerRecord& r) {
        ui_.pages.push_back(r);
        ASSERT_TRUE(m.addServer());
    }
    static std::string file(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string path(const std::string& name) const { return (store_.dir() / name).string(); }
    static int order(const std::string& name) {
        const engine::CReg entry(
            std::string(engine::kUserParametersKey) + "\\Server Details\\" + name,
            platform::RegRoot::CurrentUser, true);
        return entry.readInt("order", -1);
    }
    static bool hasValue(const std::string& name, const std::string& value) {
        const engine::CReg entry(
            std::string(engine::kUserParametersKey) + "\\Server Details\\" + name,
            platform::RegRoot::CurrentUser, true);
        return entry.readDword(value, 0xFFFFFFFFu) != 0xFFFFFFFFu;
    }
};

#ifdef __linux__
// Counts the times the file is replaced: the store writes a temporary file beside it and
// renames it over the old one. The creations are watched too, as inotify would merge
// renames that follow each other unread into one event.
class FileReplacements {
public:
    explicit FileReplacements(const std::string& path)
        : name_(std::filesystem::path(path).filename().string()),
          fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(::inotify_add_watch(fd_, std::filesystem::path(path).parent_path().c_str(),
                                      IN_CREATE | IN_MOVED_TO),
                  0);
    }
    ~FileReplacements() { ::close(fd_); }
    int count() {
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                count_ += (event->mask & IN_MOVED_TO) && event->len > 0 && name_ == event->name;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return count_;
    }

private:
    std::string name_;
    int fd_;
    int count_ = 0;
};
#endif

const ServerRecord kSntp{"clock one", "10.0.0.1", 0, 0, 0, "Never"};
const ServerRecord kHttp{"web", "www.example.org", 3, 1, 1, "Never"};
const ServerRecord kDaytime{"day", "127.0.0.1", 7, 0, 1, "Never"};

}  // namespace

TEST_F(ServerListEditing, AddWritesOnlyTheValuesOfItsProtocolAndQueriesTheTop) {
    auto m = model();
    add(*m, kSntp);
    add(*m, kHttp);
    EXPECT_TRUE(ui_.editingWhileShown);
    EXPECT_FALSE(m->editing());
    EXPECT_EQ(ui_.pagesShown.front(), ServerRecord{});  // protocol 0, useproxy 0, rejectntp 1
    EXPECT_THAT(m->rows(), ElementsAre("clock one", "web"));
    EXPECT_EQ(m->record("web"), kHttp);
    EXPECT_EQ(m->record("clock one"), kSntp);
    EXPECT_TRUE(hasValue("web", "useproxy"));
    EXPECT_FALSE(hasValue("web", "rejectntp"));
    EXPECT_FALSE(hasValue("clock one", "useproxy"));
    EXPECT_EQ(order("clock one"), 0);
    EXPECT_EQ(order("web"), 1);
    EXPECT_THAT(ui_.queries, ElementsAre("clock one", "clock one"));
    EXPECT_THAT(messages_.texts(MessageLevel::Debug),
                ElementsAre("Added server clock one", "Added server web"));
    // A fresh model reads the same rows from the store.
    EXPECT_THAT(storedRows(), ElementsAre("clock one", "web"));
}

TEST_F(ServerListEditing, EmptyNameIsStoredUnderItsAddressAndCancelChangesNothing) {
    auto m = model();
    add(*m, {"", "192.168.1.5", 1, 0, 1, "Never"});
    EXPECT_THAT(m->rows(), ElementsAre("192.168.1.5"));
    EXPECT_EQ(m->record("192.168.1.5").protocol, 1);

    ui_.pages.push_back(std::nullopt);
    EXPECT_FALSE(m->addServer());
    ui_.pages.push_back(ServerRecord{"", "", 0, 0, 1, "Never"});
    EXPECT_FALSE(m->addServer());
    ui_.pages.push_back(ServerRecord{"a\\b", "x", 0, 0, 1, "Never"});
    EXPECT_FALSE(m->addServer());
    EXPECT_THAT(m->rows(), ElementsAre("192.168.1.5"));
    EXPECT_EQ(ui_.queries.size(), 1u);
}

TEST_F(ServerListEditing, EditRenamesDeletingTheOldKeyAndOpenAddsOrQueries) {
    auto m = model();
    add(*m, kSntp);
    add(*m, kHttp);
    ServerRecord renamed = kSntp;
    renamed.name = "renamed";
    renamed.protocol = 2;
    ui_.pages.push_back(renamed);
    ASSERT_TRUE(m->editServer(0));
    EXPECT_EQ(ui_.pagesShown.back(), kSntp);  // the page starts from the stored record
    EXPECT_THAT(m->rows(), ElementsAre("renamed", "web"));
    EXPECT_EQ(m->record("renamed").protocol, 2);
    EXPECT_EQ(m->record("clock one").addr, "");  // the old key is gone
    EXPECT_TRUE(messages_.has(MessageLevel::Debug, "Delete server clock one"));
    EXPECT_THAT(storedRows(), ElementsAre("renamed", "web"));
    EXPECT_FALSE(m->editServer(5));

    ui_.queries.clear();
    m->open(1);
    EXPECT_THAT(ui_.queries, ElementsAre("web"));
    add(*m, kDaytime);  // sanity: add still works after an edit
    ui_.pages.push_back(ServerRecord{"", "10.9.9.9", 0, 0, 1, "Never"});
    m->open(-1);
    EXPECT_THAT(m->rows(), ElementsAre("renamed", "web", "day", "10.9.9.9"));
}

TEST_F(ServerListEditing, DeleteAllAsksAndNoKeepsEverything) {
    auto m = model();
    add(*m, kSntp);
    add(*m, kHttp);
    ui_.answers = {false};
    EXPECT_FALSE(m->deleteAll());
    EXPECT_THAT(m->rows(), ElementsAre("clock one", "web"));
    ui_.answers = {true};
    EXPECT_TRUE(m->deleteAll());
    EXPECT_THAT(m->rows(), IsEmpty());
    EXPECT_THAT(storedRows(), IsEmpty());
    EXPECT_THAT(ui_.questions,
                ElementsAre("Confirm Deletion Of All Servers: Do you want to delete all the "
                            "current servers?",
                            "Confirm Deletion Of All Servers: Do you want to delete all the "
                            "current servers?"));
    // From the last row to the first.
    const std::vector<std::string> debug = messages_.texts(MessageLevel::Debug);
    EXPECT_THAT(std::vector<std::string>(debug.end() - 2, debug.end()),
                ElementsAre("Delete server web", "Delete server clock one"));
}

TEST_F(ServerListEditing, RestoreDefaultsWritesThreePoolServersBeforeKeptOnes) {
    auto m = model();
    add(*m, kSntp);
    ui_.answers = {false};
    m->restoreDefaults();
    EXPECT_THAT(m->rows(),
                ElementsAre("0.pool.ntp.org", "1.pool.ntp.org", "2.pool.ntp.org", "clock one"));
    EXPECT_EQ(m->record("1.pool.ntp.org"),
              (ServerRecord{"1.pool.ntp.org", "1.pool.ntp.org", 0, 0, 1, "Never"}));
    EXPECT_EQ(order("clock one"), 3);
    EXPECT_EQ(ui_.queries.back(), "0.pool.ntp.org");
    ui_.answers = {true};
    m->restoreDefaults();
    EXPECT_THAT(storedRows(), ElementsAre("0.pool.ntp.org", "1.pool.ntp.org", "2.pool.ntp.org"));
}

TEST_F(ServerListEditing, ExportThenImportKeepsNamesAddressesProtocolsFlagsAndOrder) {
    auto m = model();
    add(*m, kHttp);
    add(*m, kSntp);
    add(*m, kDaytime);
    ui_.file = path("export.txt");
    m->exportList();
    EXPECT_EQ(file(*ui_.file),
              "web|www.example.org|3|1|1\r\nclock one|10.0.0.1|0|0|0\r\nday|127.0.0.1|7|0|1\r\n");
    EXPECT_THAT(ui_.fileTitles, ElementsAre("Export server list to export.txt *.TXT"));

    ui_.answers = {true};
    m->importList();
    EXPECT_THAT(m->rows(), ElementsAre("web", "clock one", "day"));
    EXPECT_EQ(m->record("web"), kHttp);
    EXPECT_EQ(m->record("clock one"), kSntp);
    EXPECT_EQ(m->record("day"), kDaytime);
    EXPECT_THAT(storedRows(), ElementsAre("web", "clock one", "day"));
    EXPECT_EQ(ui_.queries.back(), "web");
}

TEST_F(ServerListEditing, ExportOverALongerOldFileLeavesNothingOfIt) {
    auto m = model();
    add(*m, kSntp);
    ui_.file = path("old.txt");
    write(*ui_.file,
          "a|1.1.1.1|0|0|1\r\nb|2.2.2.2|0|0|1\r\nc|3.3.3.3|0|0|1\r\nd|4.4.4.4|0|0|1\r\n");
    m->exportList();
    EXPECT_EQ(file(*ui_.file), "clock one|10.0.0.1|0|0|0\r\n");
    ui_.answers = {true};
    m->importList();
    EXPECT_THAT(m->rows(), ElementsAre("clock one"));
}

TEST_F(ServerListEditing, NoDuringImportKeepsTheOldServersAfterTheImportedOnes) {
    auto m = model();
    add(*m, kSntp);
    add(*m, kHttp);
    ui_.file = path("in.txt");
    write(*ui_.file, "x|10.1.1.1|0|0|1\ny|10.1.1.2|1|0|1\n");
    ui_.answers = {false};
    m->importList();
    EXPECT_THAT(m->rows(), ElementsAre("x", "y", "clock one", "web"));
    EXPECT_THAT(storedRows(), ElementsAre("x", "y", "clock one", "web"));
    EXPECT_EQ(m->record("web"), kHttp);
}

TEST_F(ServerListEditing, CancelledOrUnreadableFileChangesNothing) {
    auto m = model();
    add(*m, kSntp);
    ui_.file = std::nullopt;
    m->exportList();
    m->importList();
    ui_.file = path("missing/none.txt");
    m->importList();
    m->exportList();
    EXPECT_TRUE(ui_.questions.empty());
    EXPECT_THAT(m->rows(), ElementsAre("clock one"));
    EXPECT_FALSE(m->exportTo(path("missing/none.txt")));
}

TEST(ImportLine, SplitsFiveFieldsAndSkipsTheRest) {
    struct Case {
        const char* line;
        std::optional<ServerRecord> expected;
    };
    const Case cases[] = {
        {"a|host|3|1|0", ServerRecord{"a", "host", 3, 1, 0, "Never"}},
        {"|10.0.0.9|0|0|1", ServerRecord{"10.0.0.9", "10.0.0.9", 0, 0, 1, "Never"}},
        {"a|host| 24|x|-1", ServerRecord{"a", "host", 24, 0, -1, "Never"}},
        {"a|host|99999999999|0|1", ServerRecord{"a", "host", 2147483647, 0, 1, "Never"}},
        {"a|host|0|0", std::nullopt},      // four fields
        {"a|host|0|0|1|x", std::nullopt},  // six fields
        {"", std::nullopt},
        {"||0|0|1", std::nullopt},          // no name and no address
        {"a\\b|host|0|0|1", std::nullopt},  // would name a key below
        {"a\rb|host|0|0|1", std::nullopt},  // would export as two lines
        {"a|ho\rst|0|0|1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ServerListModel::parseImportLine(c.line), c.expected);
    }
}

TEST_F(ServerListEditing, ImportSkipsBadLinesAndSplitsOverlongOnes) {
    auto m = model();
    ui_.file = path("in.txt");
    const std::string longLine = std::string(600, 'n') + "|h|0|0|1";
    const std::string longest = std::string(510 - 8, 'm') + "|h|0|0|1";  // with "\n\0": 512
    write(*ui_.file, "four|h|0|0\r\nsix|h|0|0|1|1\r\n\r\nok|h|2|0|1\r\n" + longLine + "\n" +
                         longest + "\n|h2|0|0|1");
    m->importList();
    EXPECT_THAT(m->rows(), ElementsAre("ok", longest.substr(0, 502), "h2"));
    EXPECT_EQ(m->record("ok").protocol, 2);
}

// What an export line cannot carry back is refused, with the reason, on add and on edit.
TEST_F(ServerListEditing, NamesAndAddressesThatWouldNotRoundTripAreRefused) {
    struct Case {
        const char* name;
        const char* addr;
        const char* reason;
    };
    const Case cases[] = {
        {"a|b", "h", "A server name or address may not contain '|' or a line break"},
        {"a", "h|1", "A server name or address may not contain '|' or a line break"},
        {"a\rb", "h", "A server name or address may not contain '|' or a line break"},
        {"a", "h\n", "A server name or address may not contain '|' or a line break"},
        {"", "h\r\n", "A server name or address may not contain '|' or a line break"},
        {"a\\b", "h", "A server name may not contain a backslash"},
        {"", "", "A server needs a name or an address"},
    };
    auto m = model();
    add(*m, kSntp);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + std::string(" / ") + c.addr);
        const size_t warned = messages_.texts(MessageLevel::Warn).size();
        const ServerRecord bad{c.name, c.addr, 0, 0, 1, "Never"};
        ui_.pages.push_back(bad);
        EXPECT_FALSE(m->addServer());
        EXPECT_EQ(m->refusal(), c.reason);
        const auto warnings = messages_.texts(MessageLevel::Warn);
        ASSERT_EQ(warnings.size(), warned + 1);
        EXPECT_EQ(warnings.back(), c.reason);
        ui_.pages.push_back(bad);
        EXPECT_FALSE(m->editServer(0));
        EXPECT_EQ(m->refusal(), c.reason);
        EXPECT_EQ(m->record("clock one"), kSntp);
        EXPECT_THAT(storedRows(), ElementsAre("clock one"));
    }
    ui_.pages.push_back(kHttp);
    EXPECT_TRUE(m->addServer());
    EXPECT_EQ(m->refusal(), "");
}

// Lines are read with a bound, at most a thousand servers are taken, and the whole list
// reaches the store in one write.
TEST_F(ServerListEditing, ImportIsBoundedAndWritesTheStoreOnce) {
    auto m = model();
    add(*m, kSntp);
    add(*m, kHttp);
    ui_.file = path("many.txt");
    {
        std::ofstream out(*ui_.file, std::ios::binary);
        out << "first|10.0.0.1|0|0|1\r\n" << std::string(1 << 20, 'x') << "|h|0|0|1\r\n";
        for (int i = 2; i <= 1001; ++i) {
            out << "s" << i << "|10.0." << i / 256 << "." << i % 256 << "|0|0|1\r\n";
        }
    }
#ifdef __linux__
    FileReplacements writes(platform::registryFile(platform::RegRoot::CurrentUser));
#endif
    ui_.answers = {true};
    m->importList();
#ifdef __linux__
    EXPECT_EQ(writes.count(), 1);
#endif
    ASSERT_EQ(m->rows().size(), 1000u);
    EXPECT_EQ(m->rows().front(), "first");
    EXPECT_EQ(m->rows().back(), "s1000");
    EXPECT_EQ(storedRows(), m->rows());
    EXPECT_EQ(order("s1000"), 999);
    EXPECT_EQ(m->record("s1000").addr, "10.0.3.232");
    EXPECT_THAT(messages_.texts(MessageLevel::Warn),
                ElementsAre("Line 2 of the import file is too long and is skipped",
                            "An import takes at most 1000 servers: the rest of the file is "
                            "refused"));
}

TEST_F(ServerListEditing, TheServiceStoreIsItsOwn) {
    ServerListModel service(platform::RegRoot::LocalMachine, engine::kServiceParametersKey, ui_,
                            messages_);
    ui_.pages.push_back(kSntp);
    ASSERT_TRUE(service.addServer());
    EXPECT_THAT(storedRows(), IsEmpty());
    EXPECT_TRUE(service.deleteServer("CLOCK ONE"));
    EXPECT_FALSE(service.deleteServer("clock one"));
    EXPECT_THAT(service.rows(), IsEmpty());
}
