#pragma once
// The system's list of network adapters, shared by the dial-up watcher and the broadcast test.
#include <optional>
#include <vector>

#include "win32/Win32.h"

// After Win32.h: it needs the Winsock types.
#include <iphlpapi.h>

namespace platform::win32 {

// GetAdaptersAddresses of `family` into a buffer that the first IP_ADAPTER_ADDRESSES starts; an
// empty buffer when there are none; nothing when the call fails.
std::optional<std::vector<unsigned char>> adapterAddresses(ULONG family);

inline const IP_ADAPTER_ADDRESSES* firstAdapter(const std::vector<unsigned char>& buffer) {
    return buffer.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
}

}  // namespace platform::win32
