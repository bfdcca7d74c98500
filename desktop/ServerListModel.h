#pragma once
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace core {
class MessageHandler;
}

namespace desktop {

// One row of the server list as the store keeps it under "Server Details\<name>".
struct ServerRecord {
    std::string name;
    std::string addr;
    int protocol = 0;
    int useproxy = 0;
    int rejectntp = 1;
    std::string info = "Never";

    bool operator==(const ServerRecord&) const = default;
};

// The three public SNTP servers "restore defaults" writes, comma-separated.
inline constexpr const char* kDefaultServers = "0.pool.ntp.org,1.pool.ntp.org,2.pool.ntp.org";
inline constexpr const char* kExportFileName = "export.txt";
inline constexpr const char* kExportFilter = "*.TXT";
inline constexpr const char* kDeleteAllText = "Do you want to delete all the current servers?";
inline constexpr const char* kDeleteAllCaption = "Confirm Deletion Of All Servers";
inline constexpr const char* kExportTitle = "Export server list to";
inline constexpr const char* kImportTitle = "Import server list from";

// What the list needs from whoever shows it: the questions, the file choices, the property
// page and the query that follows a change. A window answers with dialogs, kronelctl with
// its options, the tests with a script.
class ServerListUi {
public:
    virtual ~ServerListUi() = default;
    // Yes (true) or No; the front end shows Yes and No buttons with an exclamation icon.
    virtual bool askYesNo(const std::string& text, const std::string& caption) = 0;
    // A save dialog that asks before replacing a file; nothing when cancelled.
    virtual std::optional<std::string> chooseExportFile(const std::string& title,
                                                        const std::string& initialName,
                                                        const std::string& filter) = 0;
    // An open dialog that requires an existing file; nothing when cancelled.
    virtual std::optional<std::string> chooseImportFile(const std::string& title,
                                                        const std::string& initialName,
                                                        const std::string& filter) = 0;
    // The server's property page: the edited record on OK, nothing on Cancel.
    virtual std::optional<ServerRecord> editServer(const ServerRecord& record) = 0;
    // A fresh query starting with the named server.
    virtual void startQuery(const std::string& name) = 0;
};

// The list of configured servers in polling order, edited through the configuration store:
// every change is written at once, rows are renumbered afterwards, and the queries follow.
class ServerListModel {
public:
    // `parametersKey` under `root` holds "Server Details".
    ServerListModel(platform::RegRoot root, std::string parametersKey, ServerListUi& ui,
                    core::MessageHandler& messages);

    // Reads the rows from the store in the engine's polling order.
    void reload();
    const std::vector<std::string>& rows() const { return rows_; }
    ServerRecord record(const std::string& name) const;
    // Set while the property page is open.
    bool editing() const { return editing_; }

    // Both false when the page was cancelled or the record cannot be stored (an empty name
    // becomes the address); a refusal is logged as a warning and kept in refusal().
    bool addServer();
    bool editServer(int row);
    // Why the last add or edit was refused; empty after one that was not.
    const std::string& refusal() const { return refusal_; }
    // No row (-1): add a server; else query the row's server.
    void open(int row);
    // Asks first; false when the answer was No.
    bool deleteAll();
    void renumber();
    void restoreDefaults();
    void exportList();
    void importList();

    // The steps behind the file dialogs, for front ends that already hold a path.
    // False when the file could not be written or read.
    bool exportTo(const std::string& path);
    bool importFrom(const std::string& path);

    // Deletes one server; false when there is none by that name.
    bool deleteServer(const std::string& name);

    // One line of an import file, without its line end: the record, or nothing when the line
    // is to be skipped.
    static std::optional<ServerRecord> parseImportLine(const std::string& line);
    // The records of an import file, in file order: lines longer than a line may be are
    // skipped, and records past the thousandth refused, each with a warning to `messages`.
    static std::vector<ServerRecord> parseImport(std::istream& in,
                                                 core::MessageHandler* messages = nullptr);
    static std::string exportLine(const ServerRecord& record);

private:
    std::string entryPath(const std::string& name) const;
    // The values of the record that apply to its protocol.
    platform::RegKeyChange recordChange(const ServerRecord& record) const;
    void writeRecord(const ServerRecord& record);
    // The `order` of every row.
    void addOrders(std::vector<platform::RegKeyChange>& changes) const;
    // Delete all's question and, on Yes, the deletions, left in `changes` to be written.
    bool askDeleteAll(std::vector<platform::RegKeyChange>& changes);
    // Logs and keeps the reason when the record cannot be stored.
    bool refused(ServerRecord& record);
    void deleteKey(const std::string& name);
    void insertRow(size_t index, const std::string& name);
    int rowOf(const std::string& name) const;
    void queryFirst();
    // Makes an empty name the address; why the record cannot be stored, or "".
    static std::string settleName(ServerRecord& record);

    platform::RegRoot root_;
    std::string parametersKey_;
    ServerListUi& ui_;
    core::MessageHandler& messages_;
    std::vector<std::string> rows_;
    bool editing_ = false;
    std::string refusal_;
};

}  // namespace desktop
