#include "desktop/ServerListModel.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <limits>
#include <memory>

#include "core/Format.h"
#include "core/Handlers.h"
#include "engine/CReg.h"
#include "engine/ProtocolCatalogue.h"
#include "engine/ServerList.h"

namespace desktop {

namespace {

constexpr const char* kSource = "Kronel";
// An import line holds at most this many bytes, its line end and a terminating zero included.
constexpr size_t kImportLineLength = 512;
// More would make the list, and every renumbering of it, a burden on the store and the window.
constexpr size_t kImportMaxServers = 1000;

platform::RegValue number(const char* name, int value) {
    platform::RegValue v;
    v.name = name;
    v.type = platform::RegType::Dword;
    v.dword = static_cast<uint32_t>(value);
    return v;
}

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

}  // namespace

ServerListModel::ServerListModel(platform::RegRoot root, std::string parametersKey,
                                 ServerListUi& ui, core::MessageHandler& messages)
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

platform::RegKeyChange ServerListModel::recordChange(const ServerRecord& record) const {
    platform::RegKeyChange change{entryPath(record.name), false, {}};
    platform::RegValue addr;
    addr.name = "addr";
    addr.text = record.addr;
    change.values.push_back(addr);
    change.values.push_back(number("protocol", record.protocol));
    if (engine::takesProxy(record.protocol)) {
        change.values.push_back(number("useproxy", record.useproxy));
    }
    if (engine::takesRejectNtp(record.protocol)) {
        change.values.push_back(number("rejectntp", record.rejectntp));
    }
    return change;
}

void ServerListModel::writeRecord(const ServerRecord& record) {
    // Write results are not acted on: the list shows what the user asked for either way.
    (void)platform::changeRegistry(root_, {recordChange(record)});
}

void ServerListModel::deleteKey(const std::string& name) {
    messages_.debug(kSource, "Delete server %s", name.c_str());
    (void)platform::deleteRegistryKey(root_, entryPath(name));
}

void ServerListModel::addOrders(std::vector<platform::RegKeyChange>& changes) const {
    for (size_t i = rows_.size(); i-- > 0;) {
        changes.push_back({entryPath(rows_[i]), false, {number("order", static_cast<int>(i))}});
    }
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
    std::vector<platform::RegKeyChange> changes;
    addOrders(changes);
    (void)platform::changeRegistry(root_, changes);
}

std::string ServerListModel::settleName(ServerRecord& record) {
    if (record.name.empty()) {
        record.name = record.addr;
    }
    if (record.name.empty()) {
        return "A server needs a name or an address";
    }
    // A key name cannot hold a backslash: it would name a key below.
    if (record.name.find('\\') != std::string::npos) {
        return "A server name may not contain a backslash";
    }
    // Name and address are fields of an export line: a bar or a line end in them would read
    // back as other fields or another line.
    const std::string notInALine("|\r\n\0", 4);
    if (record.name.find_first_of(notInALine) != std::string::npos ||
        record.addr.find_first_of(notInALine) != std::string::npos) {
        return "A server name or address may not contain '|' or a line break";
    }
    return {};
}

bool ServerListModel::refused(ServerRecord& record) {
    refusal_ = settleName(record);
    if (refusal_.empty()) {
        return false;
    }
    messages_.warn(kSource, "%s", refusal_.c_str());
    return true;
}

bool ServerListModel::addServer() {
    editing_ = true;
    std::optional<ServerRecord> edited = ui_.editServer(ServerRecord{});
    editing_ = false;
    refusal_.clear();
    if (!edited || refused(*edited)) {
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
    refusal_.clear();
    if (!edited || refused(*edited)) {
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
    std::vector<platform::RegKeyChange> changes;
    if (!askDeleteAll(changes)) {
        return false;
    }
    (void)platform::changeRegistry(root_, changes);
    return true;
}

bool ServerListModel::askDeleteAll(std::vector<platform::RegKeyChange>& changes) {
    if (!ui_.askYesNo(kDeleteAllText, kDeleteAllCaption)) {
        return false;
    }
    for (size_t i = rows_.size(); i-- > 0;) {
        messages_.debug(kSource, "Delete server %s", rows_[i].c_str());
        changes.push_back({entryPath(rows_[i]), true, {}});
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
    return core::format("%s|%s|%d|%d|%d\r\n", r.name.c_str(), r.addr.c_str(), r.protocol,
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
    if (!settleName(r).empty()) {
        return std::nullopt;
    }
    r.protocol = decimal(fields[2]);
    r.useproxy = decimal(fields[3]);
    r.rejectntp = decimal(fields[4]);
    return r;
}

std::vector<ServerRecord> ServerListModel::parseImport(std::istream& in,
                                                       core::MessageHandler* messages) {
    std::vector<ServerRecord> records;
    // Room for a line as long as it may be (with its line end and a terminating zero); a
    // longer one is never held whole.
    char buffer[kImportLineLength - 1];
    for (size_t number = 1;; ++number) {
        in.getline(buffer, sizeof buffer);
        if (in.bad()) {
            break;
        }
        if (in.fail() && !in.eof()) {
            // Skipped whole, so that its tail never comes back as a server of its own.
            in.clear();
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            if (messages != nullptr) {
                messages->warn(kSource, "Line %d of the import file is too long and is skipped",
                               static_cast<int>(number));
            }
            continue;
        }
        const bool last = in.eof();
        std::string line(buffer, static_cast<size_t>(in.gcount()) - (last ? 0 : 1));
        if (last && line.empty()) {
            break;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::optional<ServerRecord> r = parseImportLine(line)) {
            if (records.size() == kImportMaxServers) {
                if (messages != nullptr) {
                    messages->warn(kSource,
                                   "An import takes at most %d servers: the rest of the file "
                                   "is refused",
                                   static_cast<int>(kImportMaxServers));
                }
                break;
            }
            records.push_back(std::move(*r));
        }
        if (last) {
            break;
        }
    }
    return records;
}

bool ServerListModel::importFrom(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    const std::vector<ServerRecord> records = parseImport(file, &messages_);
    // The whole list goes to the store in one write.
    std::vector<platform::RegKeyChange> changes;
    (void)askDeleteAll(changes);  // the import goes on whatever the answer
    size_t row = 0;
    for (const ServerRecord& r : records) {
        changes.push_back(recordChange(r));
        insertRow(row++, r.name);
    }
    addOrders(changes);
    (void)platform::changeRegistry(root_, changes);
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
