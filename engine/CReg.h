#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "config/Settings.h"
#include "platform/Registry.h"

namespace engine {

// Where each program keeps its settings.
inline constexpr const char* kServiceParametersKey =
    "SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters";
inline constexpr const char* kUserParametersKey = "Software\\Kronel";
inline constexpr const char* kServerDetailsSubkey = "Server Details";

// One key of the configuration store, opened (and created when missing) on construction.
// Reads never fail toward the caller: a missing key or value yields the default.
class CReg : public config::StoredValues {
public:
    static constexpr size_t kTextBufferSize = 10240;

    CReg(const std::string& path, platform::RegRoot root = platform::RegRoot::LocalMachine,
         bool readOnly = false);
    ~CReg();
    CReg(const CReg&) = delete;
    CReg& operator=(const CReg&) = delete;

    bool isOpen() const { return key_ != nullptr; }
    const std::string& path() const { return path_; }
    platform::RegRoot root() const { return root_; }

    uint32_t readDword(const std::string& name, uint32_t defaultValue) const override;
    int readInt(const std::string& name, int defaultValue) const;
    void readInt(const std::string& name, int& out, int defaultValue) const;
    // Texts that do not fit the 10,240-byte read buffer yield the default.
    std::string readText(const std::string& name, const std::string& defaultValue) const override;

    platform::Status writeInt(const std::string& name, uint32_t value);
    platform::Status writeText(const std::string& name, const std::string& text);

    uint32_t subkeyCount() const;
    // false when the enumeration has ended.
    bool subkeyName(uint32_t index, std::string& name) const;
    bool valueAt(uint32_t index, platform::RegValue& value) const;

    // Closes the key and deletes it from its parent.
    platform::Status deleteKey();

private:
    std::string path_;
    platform::RegRoot root_;
    std::unique_ptr<platform::RegistryKey> key_;
};

}  // namespace engine
