// Server-list import files: any bytes, split into lines and fields.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "desktop/ServerListModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    for (const desktop::ServerRecord& r : desktop::ServerListModel::parseImport(in)) {
        // Whatever is accepted must be storable as a key name and export as one line...
        if (r.name.empty() || r.name.find('\\') != std::string::npos ||
            r.name.find('\0') != std::string::npos) {
            __builtin_trap();
        }
        const std::string line = desktop::ServerListModel::exportLine(r);
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            __builtin_trap();
        }
        // ... and read back as the same record.
        const auto again =
            desktop::ServerListModel::parseImportLine(line.substr(0, line.size() - 2));
        if (!again || again->name != r.name || again->addr != r.addr) {
            __builtin_trap();
        }
    }
    return 0;
}
