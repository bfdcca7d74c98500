#pragma once
// The text of one configuration store: the .reg export format regedit reads and writes.
// Pure data and text, no system calls, so the parser can be fuzzed and tested on its own.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace platform {

// Registry names compare as Windows compares them: ASCII letters fold to upper case, other
// bytes compare as they are.
int compareRegNames(std::string_view a, std::string_view b);
bool sameRegName(std::string_view a, std::string_view b);

// One key: its name as first written, its values in the order they were added, and its
// subkeys kept in case-insensitive name order.
class RegKeyNode {
public:
    explicit RegKeyNode(std::string name) : name_(std::move(name)) {}
    RegKeyNode(const RegKeyNode&) = delete;
    RegKeyNode& operator=(const RegKeyNode&) = delete;
    RegKeyNode(RegKeyNode&&) = default;
    RegKeyNode& operator=(RegKeyNode&&) = default;

    const std::string& name() const { return name_; }

    RegKeyNode* child(std::string_view name) const;
    RegKeyNode& ensureChild(std::string_view name);
    bool removeChild(std::string_view name);
    size_t childCount() const { return children_.size(); }
    const RegKeyNode& childAt(size_t index) const { return *children_[index]; }

    const RegValue* value(std::string_view name) const;
    // Replaces the value of the same name (keeping its place and spelling) or appends it.
    void setValue(RegValue value);
    bool removeValue(std::string_view name);
    const std::vector<RegValue>& values() const { return values_; }

private:
    size_t lowerBound(std::string_view name) const;

    std::string name_;
    std::vector<RegValue> values_;
    std::vector<std::unique_ptr<RegKeyNode>> children_;
};

// Why a text is not a store.
struct RegParseError {
    size_t line = 0;  // 1-based; 0 when the text as a whole is wrong
    std::string reason;
};

// A whole store: the roots (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, ...) are the children of
// an unnamed top node, so both programs' roots can share one file.
class RegFile {
public:
    static const char* rootName(RegRoot root);

    // Splits a backslash-separated key path; empty parts are skipped. False when a part
    // cannot be written as a section header (line breaks, NUL).
    static bool splitPath(std::string_view path, std::vector<std::string>& parts);

    RegKeyNode* find(RegRoot root, const std::vector<std::string>& parts) const;
    RegKeyNode& ensure(RegRoot root, const std::vector<std::string>& parts);
    // Removes the key and everything below it; false when it does not exist.
    bool remove(RegRoot root, const std::vector<std::string>& parts);

    const RegKeyNode& top() const { return top_; }
    RegKeyNode& top() { return top_; }

    // Reads a store. Accepts "Windows Registry Editor Version 5.00" and "REGEDIT4", CRLF or
    // LF line ends, a UTF-8 or UTF-16LE byte-order mark (regedit's own exports are UTF-16LE),
    // ';' comments, and the deletion forms [-KEY] and "Name"=-. A text of nothing but blanks
    // is an empty store. On failure `out` is unspecified.
    static bool parse(std::string_view text, RegFile& out, RegParseError& error);

    // The store as a 5.00 file with CRLF line ends, every key in tree order.
    std::string text() const;

    // True when the text can be stored as a value (no NUL). A text holding a line break or
    // another control character is written in regedit's hex(1) form.
    static bool storableText(std::string_view text);
    // True when the text can be a value name: no NUL and no line break, which no form of
    // the file can hold in a name.
    static bool storableName(std::string_view name);

private:
    RegKeyNode top_{""};
};

}  // namespace platform
