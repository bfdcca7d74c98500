#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace platform {

// Registry result codes, as Windows numbers them.
namespace regerr {
inline constexpr int kSuccess = 0;
inline constexpr int kFileNotFound = 2;
inline constexpr int kAccessDenied = 5;
inline constexpr int kInvalidHandle = 6;
inline constexpr int kInvalidData = 13;  // the store file is malformed and could not be moved aside
inline constexpr int kInvalidParameter = 87;
inline constexpr int kMoreData = 234;
inline constexpr int kNoMoreItems = 259;
inline constexpr int kKeyDeleted = 1018;
inline constexpr int kUnsupportedType = 1630;  // the value exists with another type
}  // namespace regerr

enum class RegRoot { LocalMachine, CurrentUser };
// Other: a type this system does not use (binary, expand-string, multi-string, ...), kept as
// it was found so that a store imported from Windows survives being rewritten.
enum class RegType { Dword, String, Other };

struct RegValue {
    std::string name;  // "" is the key's default value
    RegType type = RegType::String;
    uint32_t dword = 0;
    std::string text;        // String: the text; Other: the raw bytes
    uint32_t otherType = 0;  // Other: the Windows type number (REG_BINARY is 3)
};

// One open key of the configuration store. Names of keys and values are case-insensitive
// and case-preserving; subkeys enumerate in case-insensitive name order.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    virtual Status queryDword(const std::string& name, uint32_t& value) = 0;
    // Fails with kMoreData when the text and its terminating zero exceed bufferSize bytes.
    virtual Status queryString(const std::string& name, std::string& value, size_t bufferSize) = 0;
    virtual Status setDword(const std::string& name, uint32_t value) = 0;
    // Any text but one holding a NUL (kInvalidParameter: a REG_SZ ends at its first NUL).
    virtual Status setString(const std::string& name, const std::string& value) = 0;
    virtual Status deleteValue(const std::string& name) = 0;
    virtual uint32_t subkeyCount() = 0;
    // kNoMoreItems past the end.
    virtual Status subkeyName(uint32_t index, std::string& name) = 0;
    virtual Status valueAt(uint32_t index, RegValue& value) = 0;
};

// Opens (creating when asked and missing) root\path, backslash-separated.
Status openRegistryKey(RegRoot root, const std::string& path, bool create, bool readOnly,
                       std::unique_ptr<RegistryKey>& key);
// Deletes root\path and everything below it.
Status deleteRegistryKey(RegRoot root, const std::string& path);

// One key's part of a change made in one go: the key (and all below it) deleted, or the key
// created when missing and the values set in it.
struct RegKeyChange {
    std::string path;
    bool remove = false;
    std::vector<RegValue> values;  // Dword or String
};
// Applies the changes in their order as one write of the store (deleting a missing key is
// no error), so a list of many keys costs one rewrite of the file, not one per value.
// kInvalidParameter, with nothing changed, when a path, a name or a text cannot be stored.
Status changeRegistry(RegRoot root, const std::vector<RegKeyChange>& changes);

// Where each root is kept (POSIX backend): KRONEL_REGISTRY for both, else the defaults.
std::string registryFile(RegRoot root);
// Points both roots at one file (tests); "" returns to the environment's choice.
void setRegistryFile(const std::string& path);

}  // namespace platform
