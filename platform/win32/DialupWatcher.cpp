// The dial-up watcher on Windows: the remote-access library, loaded at run time because not
// every system has it, asked for its connections and their states.
#include "platform/DialupWatcher.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "win32/Adapters.h"
#include "win32/Win32.h"

// After the Windows headers it builds on.
#include <ras.h>
#include <raserror.h>

namespace platform {

namespace {

// The SDK spells these structures as macros.
using RasConnection = RASCONNA;
using RasConnectionStatus = RASCONNSTATUSA;

using RasEnumConnectionsFn = DWORD(WINAPI*)(LPRASCONNA, LPDWORD, LPDWORD);
using RasGetConnectStatusFn = DWORD(WINAPI*)(HRASCONN, LPRASCONNSTATUSA);
using RasEnumEntriesFn = DWORD(WINAPI*)(LPCSTR, LPCSTR, LPRASENTRYNAMEA, LPDWORD, LPDWORD);

template <typename Fn>
Fn lookUp(HMODULE library, const char* name) {
    // Through void(*)(): the one function type that converts to any other cleanly.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

class RasLibrary {
public:
    // Loaded from the system directory only, so no copy beside the program is taken for it,
    // and with the system's "insert a disk" boxes kept away.
    RasLibrary() {
        char directory[MAX_PATH + 1] = {};
        const UINT length = ::GetSystemDirectoryA(directory, sizeof directory);
        if (length == 0 || length >= sizeof directory) {
            return;
        }
        const std::string path = std::string(directory, length) + "\\rasapi32.dll";
        const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        library_ = ::LoadLibraryA(path.c_str());
        ::SetErrorMode(previous);
        if (library_ == nullptr) {
            return;
        }
        enumConnections_ = lookUp<RasEnumConnectionsFn>(library_, "RasEnumConnectionsA");
        getConnectStatus_ = lookUp<RasGetConnectStatusFn>(library_, "RasGetConnectStatusA");
        enumEntries_ = lookUp<RasEnumEntriesFn>(library_, "RasEnumEntriesA");
        if (enumConnections_ == nullptr || getConnectStatus_ == nullptr ||
            enumEntries_ == nullptr) {
            ::FreeLibrary(library_);
            library_ = nullptr;
        }
    }
    ~RasLibrary() {
        if (library_ != nullptr) {
            ::FreeLibrary(library_);
        }
    }
    RasLibrary(const RasLibrary&) = delete;
    RasLibrary& operator=(const RasLibrary&) = delete;

    bool loaded() const { return library_ != nullptr; }

    // Every connection, as a point-to-point link that is up, running while connected.
    // Nothing when the library refuses to enumerate.
    std::optional<std::vector<NetworkInterface>> connections() const {
        // First with room for one connection; ERROR_BUFFER_TOO_SMALL (603) says how much.
        RasConnection one{};
        one.dwSize = sizeof one;
        DWORD size = sizeof one;
        DWORD count = 0;
        DWORD rc = enumConnections_(&one, &size, &count);
        if (rc != ERROR_SUCCESS && rc != ERROR_BUFFER_TOO_SMALL) {
            return std::nullopt;
        }
        std::vector<RasConnection> all;
        if (rc == ERROR_SUCCESS) {
            all.assign(&one, &one + std::min<DWORD>(count, 1));
        } else {
            all.assign((size + sizeof(RasConnection) - 1) / sizeof(RasConnection), RasConnection{});
            for (RasConnection& entry : all) {
                entry.dwSize = sizeof entry;
            }
            size = static_cast<DWORD>(all.size() * sizeof(RasConnection));
            count = 0;
            if (enumConnections_(all.data(), &size, &count) != ERROR_SUCCESS) {
                return std::nullopt;
            }
            all.resize(std::min<size_t>(count, all.size()));
        }
        std::vector<NetworkInterface> links;
        for (const RasConnection& connection : all) {
            RasConnectionStatus status{};
            status.dwSize = sizeof status;
            const bool connected =
                getConnectStatus_(connection.hrasconn, &status) == ERROR_SUCCESS &&
                status.rasconnstate == RASCS_Connected;
            links.push_back({connection.szEntryName, true, true, connected});
        }
        return links;
    }

private:
    HMODULE library_ = nullptr;
    RasEnumConnectionsFn enumConnections_ = nullptr;
    RasGetConnectStatusFn getConnectStatus_ = nullptr;
    RasEnumEntriesFn enumEntries_ = nullptr;
};

bool anyConnected(const std::vector<NetworkInterface>& interfaces) {
    return std::any_of(interfaces.begin(), interfaces.end(), [](const NetworkInterface& i) {
        return i.pointToPoint && i.up && i.running;
    });
}

}  // namespace

std::optional<std::vector<NetworkInterface>> listNetworkInterfaces() {
    const auto buffer = win32::adapterAddresses(AF_UNSPEC);
    if (!buffer) {
        return std::nullopt;
    }
    std::vector<NetworkInterface> interfaces;
    for (const auto* a = win32::firstAdapter(*buffer); a != nullptr; a = a->Next) {
        const bool up = a->OperStatus == IfOperStatusUp;
        interfaces.push_back(
            {a->AdapterName ? a->AdapterName : "", a->IfType == IF_TYPE_PPP, up, up});
    }
    return interfaces;
}

DialupWatcher::DialupWatcher() {
    // Loaded once for the watcher and every copy of it, unloaded with the last.
    auto library = std::make_shared<const RasLibrary>();
    if (!library->loaded()) {
        return;
    }
    available_ = true;
    lister_ = [library] { return library->connections(); };
}

DialupWatcher::DialupWatcher(InterfaceLister lister) : lister_(std::move(lister)) {
    if (lister_) {
        const auto interfaces = lister_();
        available_ =
            interfaces && std::any_of(interfaces->begin(), interfaces->end(),
                                      [](const NetworkInterface& i) { return i.pointToPoint; });
    }
}

bool DialupWatcher::connected() const {
    if (!lister_) {
        return false;
    }
    const auto interfaces = lister_();
    return interfaces && anyConnected(*interfaces);
}

}  // namespace platform
