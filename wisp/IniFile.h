#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisp {

// An ini file as people write it: "[section]" headers, "key=value" lines, blank lines and
// comments starting with ';' or '#'. Names compare without regard to case; blanks around
// names and values are dropped; CRLF or LF line ends, an optional UTF-8 byte-order mark. Any
// other line, or a byte that no text file holds (NUL), makes the whole file malformed.
class IniFile {
public:
    struct Error {
        int line = 0;  // 1-based; 0 for the file as a whole
        std::string reason;
    };

    // Files beyond this size are not settings files.
    static constexpr size_t kMaxSize = 64 * 1024;

    static bool parse(std::string_view text, IniFile& out, Error& error);

    // The first value of `key` in `section`, or nothing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

private:
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries_;
};

// An integer setting: an optional sign and decimal digits that fit an int; nothing otherwise.
std::optional<int> parseIniInteger(std::string_view text);

}  // namespace wisp
