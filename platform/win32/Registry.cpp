// The configuration store on Windows: the registry itself.
//
// A store file named by setRegistryFile or KRONEL_REGISTRY (tests, side-by-side runs) cannot
// be the registry, so it becomes a key of its own, HKEY_CURRENT_USER\Software\Kronel Stores\ID,
// holding both roots. The file marks the store's life: while it is missing the store is
// empty, so a test that removes its folder leaves nothing behind for the next one; the file
// itself only says where the store is kept.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/RegFile.h"
#include "platform/Registry.h"
#include "platform/Seams.h"
#include "win32/Win32.h"

namespace platform {

namespace {

constexpr const char* kStoresKey = "Software\\Kronel Stores";

class UniqueKey {
public:
    UniqueKey() = default;
    explicit UniqueKey(HKEY key) : key_(key) {}
    ~UniqueKey() {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
    }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::mutex g_overrideMutex;
std::string g_overridePath;

std::string overridePath() {
    {
        std::lock_guard guard(g_overrideMutex);
        if (!g_overridePath.empty()) {
            return g_overridePath;
        }
    }
    return environment("KRONEL_REGISTRY");
}

// One key name per file, however its path is spelt: the file name for whoever looks, and a
// hash of the full path, which Windows compares without regard to case.
std::string storeId(const std::string& path) {
    char full[MAX_PATH * 4];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    std::string canonical = (n > 0 && n < sizeof full) ? std::string(full, n) : path;
    std::transform(canonical.begin(), canonical.end(), canonical.begin(), [](char c) {
        if (c == '/') {
            return '\\';
        }
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : canonical) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    std::string name = std::filesystem::path(path).filename().string().substr(0, 100);
    std::replace(name.begin(), name.end(), '\\', '_');
    char id[24];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(hash));
    return name.empty() ? std::string(id) : name + " " + id;
}

// Makes the store's file when it is missing, emptying the key it stands for. A file that can
// be neither found nor made is a store that cannot be opened, as on POSIX.
Status claimStore(const std::string& file, const std::string& storeKey) {
    std::error_code ignored;
    const auto parent = std::filesystem::path(file).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ignored);
    }
    win32::UniqueHandle handle(::CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_EXISTS) {
            const DWORD attributes = ::GetFileAttributesA(file.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                return Status::success();
            }
            return Status::failure(regerr::kAccessDenied);
        }
        return Status::failure(static_cast<int>(error));
    }
    ::RegDeleteTreeA(HKEY_CURRENT_USER, storeKey.c_str());
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; This store is kept in the registry under HKEY_CURRENT_USER\\" +
        storeKey + "\r\n";
    DWORD written = 0;
    ::WriteFile(handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return Status::success();
}

// Where root\path lives: the system's root and the path below it.
struct KeyLocation {
    HKEY base;
    std::string path;
};

Status locate(RegRoot root, const std::string& path, KeyLocation& where, bool& isRoot) {
    std::vector<std::string> parts;
    if (!RegFile::splitPath(path, parts)) {
        return Status::failure(regerr::kInvalidParameter);
    }
    isRoot = parts.empty();
    std::string joined;
    for (const auto& part : parts) {
        if (!joined.empty()) {
            joined += '\\';
        }
        joined += part;
    }
    const std::string file = overridePath();
    if (file.empty()) {
        where.base = root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        where.path = joined;
        return Status::success();
    }
    const std::string storeKey = std::string(kStoresKey) + "\\" + storeId(file);
    if (Status s = claimStore(file, storeKey); !s.ok()) {
        return s;
    }
    where.base = HKEY_CURRENT_USER;
    where.path = storeKey + "\\" + RegFile::rootName(root);
    if (!joined.empty()) {
        where.path += "\\" + joined;
    }
    return Status::success();
}

Status result(LSTATUS rc) {
    return rc == ERROR_SUCCESS ? Status::success() : Status::failure(static_cast<int>(rc));
}

class Win32RegistryKey : public RegistryKey {
public:
    explicit Win32RegistryKey(HKEY key) : key_(key) {}

    Status queryDword(const std::string& name, uint32_t& value) override {
        if (!RegFile::storableText(name)) {
            return Status::failure(regerr::kFileNotFound);
        }
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        const LSTATUS rc = ::RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type,
                                              reinterpret_cast<BYTE*>(&data), &size);
        if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) && type != REG_DWORD) {
            return Status::failure(regerr::kUnsupportedType);
        }
        if (rc != ERROR_SUCCESS) {
            return result(rc);
        }
        if (size != sizeof data) {
            return Status::failure(regerr::kInvalidData);
        }
        value = data;
        return Status::success();
    }

    Status queryString(const std::string& name, std::string& value, size_t bufferSize) override {
        if (!RegFile::storableText(name)) {
            return Status::failure(regerr::kFileNotFound);
        }
        DWORD type = 0;
        DWORD needed = 0;
        LSTATUS rc = ::RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type, nullptr, &needed);
        if (rc != ERROR_SUCCESS) {
            return result(rc);
        }
        if (type != REG_SZ) {
            return Status::failure(regerr::kUnsupportedType);
        }
        const size_t limit = std::min<size_t>(bufferSize, MAXDWORD);
        // The caller's buffer decides, as with the system's own call; a buffer larger than
        // the value needs is not allocated in full. A text stored without its terminating
        // zero needs one byte more than its size.
        size_t capacity = std::min<size_t>(limit, size_t{needed} + 1);
        for (int attempt = 0; attempt < 4; ++attempt) {
            std::vector<char> buffer(std::max<size_t>(capacity, 1));
            DWORD size = static_cast<DWORD>(capacity);
            rc = ::RegQueryValueExA(key_.get(), name.c_str(), nullptr, &type,
                                    reinterpret_cast<BYTE*>(buffer.data()), &size);
            if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
                if (type != REG_SZ) {
                    return Status::failure(regerr::kUnsupportedType);
                }
            }
            if (rc == ERROR_MORE_DATA) {
                if (capacity >= limit) {
                    return Status::failure(regerr::kMoreData);
                }
                capacity = std::min<size_t>(limit, size_t{size} + 1);  // it grew meanwhile
                continue;
            }
            if (rc != ERROR_SUCCESS) {
                return result(rc);
            }
            const auto end = std::find(buffer.begin(), buffer.begin() + size, '\0');
            if (end == buffer.begin() + size && size_t{size} + 1 > bufferSize) {
                return Status::failure(regerr::kMoreData);
            }
            value.assign(buffer.begin(), end);
            return Status::success();
        }
        return Status::failure(regerr::kMoreData);
    }

    Status setDword(const std::string& name, uint32_t value) override {
        if (!RegFile::storableText(name)) {
            return Status::failure(regerr::kInvalidParameter);
        }
        const DWORD data = value;
        return result(::RegSetValueExA(key_.get(), name.c_str(), 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&data), sizeof data));
    }

    Status setString(const std::string& name, const std::string& value) override {
        // A REG_SZ ends at its first NUL; storing one would silently cut the text.
        if (!RegFile::storableText(name) || !RegFile::storableText(value) ||
            value.size() >= MAXDWORD) {
            return Status::failure(regerr::kInvalidParameter);
        }
        return result(::RegSetValueExA(key_.get(), name.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>(value.size() + 1)));
    }

    Status deleteValue(const std::string& name) override {
        if (!RegFile::storableText(name)) {
            return Status::failure(regerr::kFileNotFound);
        }
        return result(::RegDeleteValueA(key_.get(), name.c_str()));
    }

    uint32_t subkeyCount() override {
        DWORD count = 0;
        if (::RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return 0;
        }
        return count;
    }

    Status subkeyName(uint32_t index, std::string& name) override {
        char buffer[256];  // key names are at most 255 characters
        const LSTATUS rc = ::RegEnumKeyA(key_.get(), index, buffer, sizeof buffer);
        if (rc != ERROR_SUCCESS) {
            return result(rc);
        }
        name = buffer;
        return Status::success();
    }

    Status valueAt(uint32_t index, RegValue& value) override {
        // Sized from the key's longest name and data; another writer may grow them between the
        // two calls, so try again then.
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD longestName = 0;
            DWORD longestData = 0;
            LSTATUS rc =
                ::RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &longestName, &longestData, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) {
                return result(rc);
            }
            std::vector<char> name(size_t{longestName} + 1);
            std::vector<BYTE> data(std::max<DWORD>(longestData, 1));
            DWORD nameSize = static_cast<DWORD>(name.size());
            DWORD dataSize = static_cast<DWORD>(data.size());
            DWORD type = 0;
            rc = ::RegEnumValueA(key_.get(), index, name.data(), &nameSize, nullptr, &type,
                                 data.data(), &dataSize);
            if (rc == ERROR_MORE_DATA) {
                continue;
            }
            if (rc != ERROR_SUCCESS) {
                return result(rc);
            }
            value = RegValue{};
            value.name.assign(name.data(), nameSize);
            if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
                value.type = RegType::Dword;
                DWORD dword = 0;
                std::copy(data.begin(), data.begin() + sizeof dword,
                          reinterpret_cast<BYTE*>(&dword));
                value.dword = dword;
            } else if (type == REG_SZ) {
                value.type = RegType::String;
                const auto* text = reinterpret_cast<const char*>(data.data());
                value.text.assign(text, std::find(text, text + dataSize, '\0'));
            } else {
                value.type = RegType::Other;
                value.otherType = type;
                value.text.assign(reinterpret_cast<const char*>(data.data()), dataSize);
            }
            return Status::success();
        }
        return Status::failure(regerr::kMoreData);
    }

private:
    UniqueKey key_;
};

}  // namespace

Status openRegistryKey(RegRoot root, const std::string& path, bool create, bool readOnly,
                       std::unique_ptr<RegistryKey>& key) {
    key.reset();
    KeyLocation where{};
    bool isRoot = false;
    Status s = locate(root, path, where, isRoot);
    if (!s.ok()) {
        return s;
    }
    const REGSAM access = readOnly ? KEY_READ : KEY_READ | KEY_WRITE;
    HKEY opened = nullptr;
    LSTATUS rc;
    if (create) {
        DWORD disposition = 0;
        rc = ::RegCreateKeyExA(where.base, where.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               access, nullptr, &opened, &disposition);
    } else {
        rc = ::RegOpenKeyExA(where.base, where.path.c_str(), 0, access, &opened);
    }
    if (rc != ERROR_SUCCESS) {
        return result(rc);
    }
    key = std::make_unique<Win32RegistryKey>(opened);
    return Status::success();
}

Status deleteRegistryKey(RegRoot root, const std::string& path) {
    KeyLocation where{};
    bool isRoot = false;
    Status s = locate(root, path, where, isRoot);
    if (!s.ok()) {
        return s;
    }
    if (isRoot) {
        return Status::failure(regerr::kAccessDenied);  // a root cannot be deleted
    }
    // RegDeleteKeyA removes only a key without subkeys; the tree call removes what is below
    // first, then the key itself.
    return result(::RegDeleteTreeA(where.base, where.path.c_str()));
}

// The registry writes each value on its own and cheaply: the changes are made one by one.
Status changeRegistry(RegRoot root, const std::vector<RegKeyChange>& changes) {
    for (const RegKeyChange& change : changes) {
        if (change.remove) {
            const Status s = deleteRegistryKey(root, change.path);
            if (!s.ok() && s.error != regerr::kFileNotFound) {
                return s;
            }
            continue;
        }
        std::unique_ptr<RegistryKey> key;
        Status s = openRegistryKey(root, change.path, true, false, key);
        for (auto v = change.values.begin(); s.ok() && v != change.values.end(); ++v) {
            s = v->type == RegType::Dword ? key->setDword(v->name, v->dword)
                                          : key->setString(v->name, v->text);
        }
        if (!s.ok()) {
            return s;
        }
    }
    return Status::success();
}

std::string registryFile(RegRoot root) {
    const std::string file = overridePath();
    if (!file.empty()) {
        return file;
    }
    return std::string("the system registry, ") + RegFile::rootName(root);
}

void setRegistryFile(const std::string& path) {
    std::lock_guard guard(g_overrideMutex);
    g_overridePath = path;
}

}  // namespace platform
