#include "SocketNames.h"

#include <cstdio>

#include "NameLookup.h"
#include "ServiceOverrides.h"
#include "platform/Socket.h"

namespace platform {

std::string Endpoint::addressText() const {
    // The address is in network order: its bytes in memory are the parts in order.
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

std::optional<uint32_t> parseDottedIPv4(std::string_view text) {
    // Exactly four decimal parts of 0..255 without leading zeros, as inet_pton takes them;
    // anything else is left to a name lookup.
    uint32_t address = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&address);
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return std::nullopt;
            }
            ++at;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        const size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return std::nullopt;
        }
        bytes[part] = static_cast<unsigned char>(value);
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    return address;
}

Status resolveIPv4(const std::string& name, uint32_t& address, Event* stop) {
    if (auto dotted = parseDottedIPv4(name)) {
        address = *dotted;
        return Status::success();
    }
    if (name.empty()) {
        setLastSocketError(wsa::kHostNotFound);
        return Status::failure(wsa::kHostNotFound);
    }
    if (!socketLibraryReady()) {
        return Status::failure(lastSocketError());
    }
    return lookupUntilStopped(name, address, stop, systemHostLookup);
}

uint16_t servicePort(const char* name, const char* protocol, uint16_t fallback) {
    if (const auto port = serviceOverride(name, protocol)) {
        return *port;
    }
    return systemServicePort(name, protocol).value_or(fallback);
}

}  // namespace platform
