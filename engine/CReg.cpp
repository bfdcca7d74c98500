#include "engine/CReg.h"

namespace engine {

CReg::CReg(const std::string& path, platform::RegRoot root, bool readOnly)
    : path_(path), root_(root) {
    // On failure key_ stays empty and every read falls back to its default.
    (void)platform::openRegistryKey(root, path, true, readOnly, key_);
}

CReg::~CReg() = default;

uint32_t CReg::readDword(const std::string& name, uint32_t defaultValue) const {
    uint32_t value = 0;
    if (key_ && key_->queryDword(name, value).ok()) {
        return value;
    }
    return defaultValue;
}

int CReg::readInt(const std::string& name, int defaultValue) const {
    return static_cast<int>(readDword(name, static_cast<uint32_t>(defaultValue)));
}

void CReg::readInt(const std::string& name, int& out, int defaultValue) const {
    out = readInt(name, defaultValue);
}

std::string CReg::readText(const std::string& name, const std::string& defaultValue) const {
    std::string value;
    if (key_ && key_->queryString(name, value, kTextBufferSize).ok()) {
        return value;
    }
    return defaultValue;
}

platform::Status CReg::writeInt(const std::string& name, uint32_t value) {
    if (!key_) {
        return platform::Status::failure(platform::regerr::kInvalidHandle);
    }
    return key_->setDword(name, value);
}

platform::Status CReg::writeText(const std::string& name, const std::string& text) {
    if (!key_) {
        return platform::Status::failure(platform::regerr::kInvalidHandle);
    }
    return key_->setString(name, text);
}

uint32_t CReg::subkeyCount() const {
    return key_ ? key_->subkeyCount() : 0;
}

bool CReg::subkeyName(uint32_t index, std::string& name) const {
    return key_ && key_->subkeyName(index, name).ok();
}

bool CReg::valueAt(uint32_t index, platform::RegValue& value) const {
    return key_ && key_->valueAt(index, value).ok();
}

platform::Status CReg::deleteKey() {
    key_.reset();
    return platform::deleteRegistryKey(root_, path_);
}

}  // namespace engine
