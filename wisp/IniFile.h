#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisp {

// An ini file as people write it: "[section]" headers, "key=value" lines, blank lines and
// comments starting with ';' or '#', and a "; comment" after a value or header (a ';' at its
// start or after a blank), as profile-string readers allow. Names compare without regard to
// case; blanks around names and values are dropped; CRLF or LF line ends, an optional UTF-8
// byte-order mark. A line it cannot read (no '=', a header without ']', control bytes) is
// skipped and listed, so one bad line costs only itself.
class IniFile {
public:
    struct Error {
        int line = 0;  // 1-based; 0 for the file as a whole
        std::string reason;
    };

    // Files beyond this size are not settings files.
    static constexpr size_t kMaxSize = 64 * 1024;

    // false (and `error`) only for a file that is no settings file at all.
    static bool parse(std::string_view text, IniFile& out, Error& error);

    // The first value of `key` in `section`, or nothing.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // The lines skipped or read only in part, in file order, each with what was done
    // ("skipped (...)").
    const std::vector<Error>& skipped() const { return skipped_; }

private:
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries_;
    std::vector<Error> skipped_;
};

// An integer setting: an optional sign and decimal digits that fit an int; nothing otherwise.
std::optional<int> parseIniInteger(std::string_view text);

}  // namespace wisp
