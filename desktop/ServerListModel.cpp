#include "desktop/ServerListModel.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <memory>

#include "engine/CReg.h"
#include "engine/Format.h"
#include "engine/Handlers.h"
#include "engine/ServerList.h"

namespace desktop {

namespace {

constexpr const char* kSource = "Kronel";
// An import line holds at most this many bytes, its line end and a terminating zero included.
constexpr size_t kImportLineLength = 512;

bool sameName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Decimal as the C library reads it: leading blanks, a sign, digits; 0 when none.
int decimal(const std::string& field) {
    errno = 0;
    const long value = std::strtol(field.c_str(), nullptr, 10);
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN) {
        return value < 0 ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(value);
}

bool usesProxy(int protocol) {
    return protocol == 3 || protocol == 7;
}
bool usesRejectNtp(int protocol) {
    return protocol == 0;
}

}  // namespace

ServerListModel::ServerListModel(platform::RegRoot root, std::string parametersKey,
                                 ServerListUi& ui, engine::MessageHandler& messages)
    : root_(root), parametersKey_(std::move(parametersKey)), ui_(ui), messages_(messages) {
    reload();
}

std::string ServerListModel::entryPath(const std::string& name) const {
    return parametersKey_ + "\\" + engine::kServerDetailsSubkey + "\\" + name;
}

void ServerListModel::reload() {
    const engine::CReg details(parametersKey_ + "\\" + engine::kServerDetailsSubkey, root_, true);
    const engine::ServerList list = engine::ServerList::read(details);
    rows_.clear();
    for (int i = 0; i < list.size(); ++i) {
        // A slot left empty by clashing `order` values has no server to show.
        if (!list.slot(i).empty()) {
            rows_.push_back(list.slot(i));
        }
    }
}

ServerRecord ServerListModel::record(const std::string& name) const {
    ServerRecord r;
    r.name = name;
    // Opening a key creates it: a name without an entry must not gain one by being looked at.
    std::unique_ptr<platform::RegistryKey> probe;
    if (!platform::openRegistryKey(root_, entryPath(name), false, true, probe).ok()) {
        return r;
    }
    const engine::CReg entry(entryPath(name), root_, true);
    r.addr = entry.readText("addr", "");
    r.protocol = entry.readInt("protocol", 0);
    r.useproxy = entry.readInt("useproxy", 0);
    r.rejectntp = entry.readInt("rejectntp", 1);
    r.info = entry.readText("info", "Never");
    return r;
}

void ServerListModel::writeRecord(const ServerRecord& record) {
    // Write results are not acted on: the list shows what the user asked for either way.
    engine::CReg entry(entryPath(record.name), root_);
    (void)entry.writeText("addr", record.addr);
    (void)entry.writeInt("protocol", static_cast<uint32_t>(record.protocol));
    if (usesProxy(record.protocol)) {
        (void)entry.writeInt("useproxy", static_cast<uint32_t>(record.useproxy));
    }
    if (usesRejectNtp(record.protocol)) {
        (void)entry.writeInt("rejectntp", static_cast<uint32_t>(record.rejectntp));
    }
}

void ServerListModel::deleteKey(const std::string& name) {
    messages_.debug(kSource, "Delete server %s", name.c_str());
    (void)platform::deleteRegistryKey(root_, entryPath(name));
}

int ServerListModel::rowOf(const std::string& name) const {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (sameName(rows_[i], name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void ServerListModel::insertRow(size_t index, const std::string& name) {
    // One key per name: a row of the same name (names are case-insensitive) gives way.
    const int existing = rowOf(name);
    if (existing >= 0) {
        rows_.erase(rows_.begin() + existing);
        if (static_cast<size_t>(existing) < index) {
            --index;
        }
    }
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(std::min(index, rows_.size())), name);
}

void ServerListModel::queryFirst() {
    if (!rows_.empty()) {
        ui_.startQuery(rows_.front());
    }
}

void ServerListModel::renumber() {
    for (size_t i = rows_.size(); i-- > 0;) {
        engine::CReg entry(entryPath(rows_[i]), root_);
        (void)entry.writeInt("order", static_cast<uint32_t>(i));
    }
}

bool ServerListModel::settleName(ServerRecord& record) {
    if (record.name.empty()) {
        record.name = record.addr;
    }
    // A key name can hold neither a backslash (it would name a key below) nor a NUL.
    return !record.name.empty() &&
           record.name.find_first_of(std::string("\\\0", 2)) == std::string::npos &&
           record.addr.find('\0') == std::string::npos;
}

bool ServerListModel::addServer() {
    editing_ = true;
    std::optional<ServerRecord> edited = ui_.editServer(ServerRecord{});
    editing_ = false;
    if (!edited || !settleName(*edited)) {
        return false;
    }
    writeRecord(*edited);
    insertRow(rows_.size(), edited->name);
    renumber();
    messages_.debug(kSource, "Added server %s", edited->name.c_str());
    queryFirst();
    return true;
}

bool ServerListModel::editServer(int row) {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) {
        return false;
    }
    const std::string oldName = rows_[static_cast<size_t>(row)];
    editing_ = true;
    std::optional<ServerRecord> edited = ui_.editServer(record(oldName));
    editing_ = false;
    if (!edited || !settleName(*edited)) {
        return false;
    }
    if (edited->name != oldName) {
        rows_.erase(rows_.begin() + row);
        insertRow(static_cast<size_t>(row), edited->name);
        if (!sameName(edited->name, oldName)) {
            deleteKey(oldName);
        }
    }
    writeRecord(*edited);
    renumber();
    queryFirst();
    return true;
}

void ServerListModel::open(int row) {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) {
        addServer();
        return;
    }
    ui_.startQuery(rows_[static_cast<size_t>(row)]);
}

bool ServerListModel::deleteAll() {
    if (!ui_.askYesNo(kDeleteAllText, kDeleteAllCaption)) {
        return false;
    }
    for (size_t i = rows_.size(); i-- > 0;) {
        deleteKey(rows_[i]);
    }
    rows_.clear();
    return true;
}

void ServerListModel::restoreDefaults() {
    deleteAll();
    const std::string list = kDefaultServers;
    size_t row = 0;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        const std::string piece = list.substr(start, comma - start);
        if (!piece.empty()) {
            writeRecord(ServerRecord{piece, piece, 0, 0, 1, "Never"});
            insertRow(row++, piece);
        }
        start = comma + 1;
    }
    renumber();
    queryFirst();
}

std::string ServerListModel::exportLine(const ServerRecord& r) {
    return engine::format("%s|%s|%d|%d|%d\r\n", r.name.c_str(), r.addr.c_str(), r.protocol,
                          r.useproxy, r.rejectntp);
}

bool ServerListModel::exportTo(const std::string& path) {
    // Truncated: bytes of an older, longer list must not follow the new lines.
    std::ofstream file(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file) {
        return false;
    }
    for (const std::string& name : rows_) {
        file << exportLine(record(name));
    }
    file.close();
    return !file.fail();
}

void ServerListModel::exportList() {
    const std::optional<std::string> path =
        ui_.chooseExportFile(kExportTitle, kExportFileName, kExportFilter);
    if (path) {
        (void)exportTo(*path);  // a file error ends the export quietly
    }
}

std::optional<ServerRecord> ServerListModel::parseImportLine(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t bar = line.find('|', start);
        fields.push_back(line.substr(start, bar - start));
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }
    if (fields.size() != 5) {
        return std::nullopt;
    }
    ServerRecord r;
    r.name = fields[0];
    r.addr = fields[1];
    if (!settleName(r)) {
        return std::nullopt;
    }
    r.protocol = decimal(fields[2]);
    r.useproxy = decimal(fields[3]);
    r.rejectntp = decimal(fields[4]);
    return r;
}

std::vector<ServerRecord> ServerListModel::parseImport(std::istream& in) {
    std::vector<ServerRecord> records;
    std::string line;
    while (std::getline(in, line)) {
        // Longer than a line may be (with its line end and a terminating zero): skipped
        // whole, so that its tail never comes back as a server of its own.
        if (line.size() + 2 > kImportLineLength) {
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::optional<ServerRecord> r = parseImportLine(line)) {
            records.push_back(std::move(*r));
        }
    }
    return records;
}

bool ServerListModel::importFrom(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    const std::vector<ServerRecord> records = parseImport(file);
    deleteAll();  // the import goes on whatever the answer
    size_t row = 0;
    for (const ServerRecord& r : records) {
        writeRecord(r);
        insertRow(row++, r.name);
    }
    renumber();
    queryFirst();
    return true;
}

void ServerListModel::importList() {
    const std::optional<std::string> path =
        ui_.chooseImportFile(kImportTitle, kExportFileName, kExportFilter);
    if (path) {
        (void)importFrom(*path);
    }
}

bool ServerListModel::deleteServer(const std::string& name) {
    const int row = rowOf(name);
    if (row < 0) {
        return false;
    }
    deleteKey(rows_[static_cast<size_t>(row)]);
    rows_.erase(rows_.begin() + row);
    renumber();
    return true;
}

}  // namespace desktop
