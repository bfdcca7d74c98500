#include "win32/Adapters.h"

namespace platform::win32 {

std::optional<std::vector<unsigned char>> adapterAddresses(ULONG family) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the two calls: a few tries.
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        rc = ::GetAdaptersAddresses(
            family, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc == ERROR_NO_DATA) {
        return std::vector<unsigned char>{};
    }
    if (rc != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return buffer;
}

}  // namespace platform::win32
