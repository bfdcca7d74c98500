#include "wisp/IniFile.h"

#include <climits>

namespace wisp {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char foldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) {
            return false;
        }
    }
    return true;
}

// Control characters other than tab have no place in a name or a value.
bool printable(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

// A ';' at the start or after a blank begins a comment to the end of the line.
std::string_view withoutComment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ';' && (i == 0 || blank(line[i - 1]))) {
            return line.substr(0, i);
        }
    }
    return line;
}

}  // namespace

bool IniFile::parse(std::string_view text, IniFile& out, Error& error) {
    out.entries_.clear();
    out.skipped_.clear();
    error = Error{};
    if (text.size() > kMaxSize) {
        error.reason = "larger than a settings file";
        return false;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::string section;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        auto skip = [&](const char* reason) {
            out.skipped_.push_back({number, std::string("skipped (") + reason + ")"});
        };
        if (!printable(line)) {
            skip("not text");
            continue;
        }
        line = trimmed(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        line = trimmed(withoutComment(line));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            const bool closed = line.size() > 1 && line.back() == ']';
            const std::string_view name = trimmed(line.substr(1, line.size() - (closed ? 2 : 1)));
            if (name.empty() || name.find_first_of("[]") != std::string_view::npos) {
                skip("section header without its name or ']'");
                continue;
            }
            // A header that lost its ']' still names the section: reading the keys below it
            // as belonging elsewhere would turn a configured sender into a listener.
            if (!closed) {
                out.skipped_.push_back(
                    {number, "has no ']' and is read as [" + std::string(name) + "]"});
            }
            section.assign(name);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            skip("neither a section nor a key=value line");
            continue;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        if (key.empty()) {
            skip("a value without its key");
            continue;
        }
        out.entries_.push_back(
            {section, std::string(key), std::string(trimmed(line.substr(equals + 1)))});
    }
    return true;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    for (const Entry& entry : entries_) {
        if (sameName(entry.section, section) && sameName(entry.key, key)) {
            return entry.value;
        }
    }
    return std::nullopt;
}

std::optional<int> parseIniInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX || value < INT_MIN) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace wisp
