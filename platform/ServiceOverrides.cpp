#include "ServiceOverrides.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/Seams.h"
#include "platform/Socket.h"

namespace platform {

namespace {

// So tests run side by side on loopback without privileged ports.
struct ServiceOverrides {
    std::mutex mutex;
    std::map<std::string, uint16_t> ports;
    bool loaded = false;

    void parse(const std::string& table) {
        ports.clear();
        size_t start = 0;
        while (start <= table.size()) {
            size_t end = table.find(',', start);
            if (end == std::string::npos) {
                end = table.size();
            }
            const std::string item = table.substr(start, end - start);
            const size_t eq = item.find('=');
            if (eq != std::string::npos) {
                const long port = std::strtol(item.c_str() + eq + 1, nullptr, 10);
                if (port > 0 && port < 65536) {
                    ports[item.substr(0, eq)] = static_cast<uint16_t>(port);
                }
            }
            start = end + 1;
        }
        loaded = true;
    }
};

ServiceOverrides& overrides() {
    static ServiceOverrides table;
    return table;
}

}  // namespace

void setServiceOverrides(const std::string& table) {
    auto& o = overrides();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.parse(table);
}

std::optional<uint16_t> serviceOverride(const char* name, const char* protocol) {
    auto& o = overrides();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (!o.loaded) {
        o.parse(environment("KRONEL_SERVICES"));
    }
    auto it = o.ports.find(std::string(name) + "/" + protocol);
    if (it == o.ports.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace platform
