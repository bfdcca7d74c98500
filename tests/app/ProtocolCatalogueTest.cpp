#include "engine/ProtocolCatalogue.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "app/ProtocolTable.h"
#include "desktop/ServerListModel.h"
#include "engine/CReg.h"
#include "platform/SimulatedClock.h"
#include "support/RecordingMessages.h"
#include "support/RecordingTime.h"
#include "support/TestSupport.h"

namespace {

// Hands the list the page it is given and answers nothing else.
class OnePageUi : public desktop::ServerListUi {
public:
    std::optional<desktop::ServerRecord> page;
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    std::optional<std::string> chooseExportFile(const std::string&, const std::string&,
                                                const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> chooseImportFile(const std::string&, const std::string&,
                                                const std::string&) override {
        return std::nullopt;
    }
    std::optional<desktop::ServerRecord> editServer(const desktop::ServerRecord&) override {
        return page;
    }
    void startQuery(const std::string&) override {}
};

bool stored(const std::string& server, const char* value) {
    const engine::CReg entry(
        std::string(engine::kUserParametersKey) + "\\Server Details\\" + server,
        platform::RegRoot::CurrentUser, true);
    return entry.readDword(value, 0xFFFFFFFFu) != 0xFFFFFFFFu;
}

}  // namespace

// Each row as the factory and the server list see it: the name shown is the name its client
// reports under, and the list stores a flag exactly where the row says it applies.
TEST(ProtocolCatalogue, EveryRowIsMadeNamedAndStoredAsItSays) {
    testsupport::TempStore store;
    testsupport::RecordingMessages messages;
    platform::SimulatedClock clock;
    testsupport::RecordingTime time(clock);
    OnePageUi ui;
    desktop::ServerListModel list(platform::RegRoot::CurrentUser, engine::kUserParametersKey, ui,
                                  messages);
    const auto factory = app::makeProtocolTable();

    int previous = -1;
    for (const engine::ProtocolRow& row : engine::kProtocolCatalogue) {
        SCOPED_TRACE(row.name);
        EXPECT_GT(row.number, previous);
        previous = row.number;
        EXPECT_EQ(factory->displayName(row.number, false), row.name);
        for (const bool sntpFix : {false, true}) {
            const engine::ClientContext context{messages, time, 120, sntpFix, nullptr,
                                                {},       3,    0,   {}};
            const auto client = factory->createClient({"s", "127.0.0.1", row.number}, context);
            ASSERT_NE(client, nullptr);
            EXPECT_EQ(client->sourceName(), factory->displayName(row.number, sntpFix));
        }
        EXPECT_EQ(engine::needsAddress(row.number), row.needsAddress);

        const std::string server = "server " + std::to_string(row.number);
        ui.page = desktop::ServerRecord{server, "127.0.0.1", row.number, 1, 0, "Never"};
        ASSERT_TRUE(list.addServer());
        EXPECT_EQ(stored(server, "useproxy"), row.takesProxy);
        EXPECT_EQ(stored(server, "rejectntp"), row.takesRejectNtp);
    }
    EXPECT_EQ(factory->displayName(0, true), engine::kSntpAlternativeName);
    EXPECT_EQ(list.rows().size(), engine::kProtocolCatalogue.size());

    // A number without a row: no name, no client, no flags, and an address wanted.
    for (const int unassigned : {-1, 16, 19, previous + 1}) {
        SCOPED_TRACE(unassigned);
        EXPECT_EQ(factory->displayName(unassigned, false), "");
        const engine::ClientContext context{messages, time, 120, false, nullptr, {}, 3, 0, {}};
        EXPECT_EQ(factory->createClient({"s", "127.0.0.1", unassigned}, context), nullptr);
        EXPECT_TRUE(engine::needsAddress(unassigned));
        EXPECT_FALSE(engine::takesProxy(unassigned));
        EXPECT_FALSE(engine::takesRejectNtp(unassigned));
    }
}
