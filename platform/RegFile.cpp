#include "platform/RegFile.h"

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;

constexpr const char* kRootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                      "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

unsigned char foldName(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool startsWithFolded(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && sameRegName(s.substr(0, prefix.size()), prefix);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads 1..8 hex digits from the front of s.
bool takeHex32(std::string_view& s, uint32_t& value) {
    size_t n = 0;
    value = 0;
    while (n < s.size() && hexDigit(s[n]) >= 0) {
        if (n == 8) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(hexDigit(s[n]));
        ++n;
    }
    s.remove_prefix(n);
    return n > 0;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// regedit exports in UTF-16LE with a byte-order mark; the rest of the parser works on bytes.
bool decodeUtf16le(std::string_view in, std::string& out) {
    if (in.size() % 2 != 0) {
        return false;
    }
    out.reserve(in.size() / 2);
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(in[i])) |
               (static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8);
    };
    for (size_t i = 0; i < in.size(); i += 2) {
        uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 3 >= in.size()) {
                return false;
            }
            const uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        appendUtf8(out, cp);
    }
    return true;
}

// A quoted name or text at the front of s (which starts at the opening quote). \\ and \" are
// the format's only escapes, as in regedit; a backslash before anything else is itself, which
// is what a hand-edited path such as "C:\new\reports.txt" means.
bool takeQuoted(std::string_view& s, std::string& out) {
    out.clear();
    size_t i = 1;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return RegFile::storableText(out);
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[i + 1];
            i += 2;
            continue;
        }
        out += c;
        ++i;
    }
    return false;
}

void quote(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

// The next code point of UTF-8 text at `i`; a byte that does not start a well-formed sequence
// stands for itself (as in Latin-1), so every text has an encoding.
uint32_t nextCodePoint(std::string_view text, size_t& i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 1;
    uint32_t cp = lead;
    uint32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        least = 0x10000;
    }
    if (length > 1 && i + length <= text.size()) {
        uint32_t value = cp;
        bool wellFormed = true;
        for (size_t k = 1; k < length && wellFormed; ++k) {
            wellFormed = (byte(i + k) & 0xC0) == 0x80;
            value = (value << 6) | (byte(i + k) & 0x3F);
        }
        if (wellFormed && value >= least && value <= 0x10FFFF &&
            !(value >= 0xD800 && value <= 0xDFFF)) {
            i += length;
            return value;
        }
    }
    ++i;
    return lead;
}

// A REG_SZ as regedit writes it in hex(1): UTF-16LE with its terminating zero.
std::string utf16leWithTerminator(std::string_view text) {
    std::string out;
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < text.size();) {
        const uint32_t cp = nextCodePoint(text, i);
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    unit(0);
    return out;
}

bool knownRoot(std::string_view name, std::string& canonical) {
    for (const char* root : kRootNames) {
        if (sameRegName(name, root)) {
            canonical = root;
            return true;
        }
    }
    return false;
}

class Parser {
public:
    Parser(RegFile& out, RegParseError& error) : out_(out), error_(error) {}

    bool run(std::string_view text) {
        splitLines(text);
        size_t i = 0;
        while (i < lines_.size() && trim(lines_[i]).empty()) {
            ++i;
        }
        if (i == lines_.size()) {
            return true;
        }
        const std::string_view header = trim(lines_[i]);
        if (sameRegName(header, kHeader5)) {
            regedit4_ = false;
        } else if (sameRegName(header, kHeader4)) {
            regedit4_ = true;
        } else {
            return fail(i,
                        "not a registry file (no \"Windows Registry Editor Version 5.00\" "
                        "or \"REGEDIT4\" header)");
        }
        for (++i; i < lines_.size(); ++i) {
            const std::string_view line = trim(lines_[i]);
            if (line.empty() || line.front() == ';') {
                continue;
            }
            bool ok = false;
            if (line.front() == '[') {
                ok = section(i, line);
            } else if (line.front() == '"' || line.front() == '@') {
                ok = valueLine(i, line);
            } else {
                ok = fail(i, "unexpected text");
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

private:
    void splitLines(std::string_view text) {
        size_t start = 0;
        while (start <= text.size()) {
            const size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool fail(size_t index, const char* reason) {
        error_.line = index + 1;
        error_.reason = reason;
        return false;
    }

    bool section(size_t index, std::string_view line) {
        if (line.back() != ']') {
            return fail(index, "key line without closing ']'");
        }
        std::string_view inner = line.substr(1, line.size() - 2);
        const bool deletion = !inner.empty() && inner.front() == '-';
        if (deletion) {
            inner.remove_prefix(1);
        }
        std::vector<std::string> parts;
        if (!RegFile::splitPath(inner, parts) || parts.empty()) {
            return fail(index, "bad key name");
        }
        std::string root;
        if (!knownRoot(parts.front(), root)) {
            return fail(index, "unknown root key");
        }
        parts.front() = root;
        if (deletion) {
            removePath(parts);
            current_ = nullptr;
            skipping_ = true;
            return true;
        }
        RegKeyNode* node = &out_.top();
        for (const auto& part : parts) {
            node = &node->ensureChild(part);
        }
        current_ = node;
        skipping_ = false;
        return true;
    }

    void removePath(const std::vector<std::string>& parts) {
        RegKeyNode* parent = &out_.top();
        for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) {
            parent = parent->child(parts[i]);
        }
        if (parent != nullptr) {
            parent->removeChild(parts.back());
        }
    }

    bool valueLine(size_t& index, std::string_view line) {
        RegValue value;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (!takeQuoted(line, value.name)) {
            return fail(index, "bad value name");
        }
        line = trim(line);
        if (line.empty() || line.front() != '=') {
            return fail(index, "value without '='");
        }
        line = trim(line.substr(1));
        if (current_ == nullptr && !skipping_) {
            return fail(index, "value outside a key");
        }
        bool remove = false;
        if (line == "-") {
            remove = true;
        } else if (!line.empty() && line.front() == '"') {
            value.type = RegType::String;
            if (!takeQuoted(line, value.text) || !trim(line).empty()) {
                return fail(index, "bad text value");
            }
        } else if (startsWithFolded(line, "dword:")) {
            line.remove_prefix(6);
            value.type = RegType::Dword;
            if (!takeHex32(line, value.dword) || !trim(line).empty()) {
                return fail(index, "bad dword value");
            }
        } else if (startsWithFolded(line, "hex")) {
            if (!hexValue(index, line, value)) {
                return false;
            }
        } else {
            return fail(index, "unknown value type");
        }
        if (skipping_) {
            return true;  // values of a deleted key are dropped, as regedit drops them
        }
        if (remove) {
            current_->removeValue(value.name);
        } else {
            current_->setValue(std::move(value));
        }
        return true;
    }

    bool hexValue(size_t& index, std::string_view line, RegValue& value) {
        line.remove_prefix(3);
        value.type = RegType::Other;
        value.otherType = kRegBinary;
        if (!line.empty() && line.front() == '(') {
            line.remove_prefix(1);
            if (!takeHex32(line, value.otherType) || line.empty() || line.front() != ')') {
                return fail(index, "bad hex value type");
            }
            line.remove_prefix(1);
        }
        if (line.empty() || line.front() != ':') {
            return fail(index, "bad hex value");
        }
        line.remove_prefix(1);
        std::string bytes;
        for (;;) {
            line = trim(line);
            const bool more = !line.empty() && line.back() == '\\';
            if (more) {
                line.remove_suffix(1);
            }
            if (!hexBytes(line, bytes)) {
                return fail(index, "bad hex bytes");
            }
            if (!more) {
                break;
            }
            if (++index >= lines_.size()) {
                return fail(index - 1, "hex value continued past the end");
            }
            line = lines_[index];
        }
        // REGEDIT4 holds text types in the ANSI code page; 5.00 in UTF-16LE.
        if (regedit4_ && (value.otherType == 1 || value.otherType == 2 || value.otherType == 7)) {
            std::string wide;
            for (char c : bytes) {
                wide += c;
                wide += '\0';
            }
            bytes = std::move(wide);
        }
        value.text = std::move(bytes);
        textFromHex(value);
        return true;
    }

    // A hex(1) value is a REG_SZ like any other: text held in UTF-16LE, ending in a zero.
    static void textFromHex(RegValue& value) {
        if (value.otherType != kRegSz) {
            return;
        }
        std::string_view units = value.text;
        if (units.size() >= 2 && units.substr(units.size() - 2) == std::string_view("\0\0", 2)) {
            units.remove_suffix(2);
        }
        std::string text;
        if (decodeUtf16le(units, text) && RegFile::storableText(text)) {
            value.type = RegType::String;
            value.text = std::move(text);
            value.otherType = 0;
        }
    }

    // Comma-separated bytes of one or two hex digits; a trailing comma is allowed.
    static bool hexBytes(std::string_view s, std::string& bytes) {
        s = trim(s);
        while (!s.empty()) {
            const int hi = hexDigit(s.front());
            if (hi < 0) {
                return false;
            }
            s.remove_prefix(1);
            int byte = hi;
            if (!s.empty() && hexDigit(s.front()) >= 0) {
                byte = hi * 16 + hexDigit(s.front());
                s.remove_prefix(1);
            }
            bytes += static_cast<char>(byte);
            s = trim(s);
            if (s.empty()) {
                break;
            }
            if (s.front() != ',') {
                return false;
            }
            s = trim(s.substr(1));
        }
        return true;
    }

    RegFile& out_;
    RegParseError& error_;
    std::vector<std::string_view> lines_;
    RegKeyNode* current_ = nullptr;
    bool skipping_ = false;
    bool regedit4_ = false;
};

// hex: (binary) or hex(TYPE): and the bytes, wrapped as regedit wraps long values.
void writeHexBytes(std::string& out, uint32_t type, std::string_view bytes) {
    char buf[32];
    if (type == kRegBinary) {
        out += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
        out += buf;
    }
    size_t column = out.size() - out.rfind('\n');
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
        out += buf;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
}

void writeValue(std::string& out, const RegValue& value) {
    if (value.name.empty()) {
        out += '@';
    } else {
        quote(out, value.name);
    }
    out += '=';
    char buf[32];
    switch (value.type) {
        case RegType::Dword:
            std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(value.dword));
            out += buf;
            break;
        case RegType::String:
            // A line break would end the line, and regedit has no escape for it or for any
            // other control character: such a text goes as the hex(1) form it imports.
            if (hasControlCharacter(value.text)) {
                writeHexBytes(out, kRegSz, utf16leWithTerminator(value.text));
            } else {
                quote(out, value.text);
            }
            break;
        case RegType::Other:
            writeHexBytes(out, value.otherType, value.text);
            break;
    }
    out += "\r\n";
}

void writeKey(std::string& out, const RegKeyNode& node, std::string& path, bool isRoot) {
    const size_t pathLength = path.size();
    if (!isRoot) {
        path += '\\';
    }
    path += node.name();
    // Every key below a root gets a section, so empty keys survive; a root only when it holds
    // values itself.
    if (!isRoot || !node.values().empty()) {
        out += '[';
        out += path;
        out += "]\r\n";
        for (const auto& value : node.values()) {
            writeValue(out, value);
        }
        out += "\r\n";
    }
    for (size_t i = 0; i < node.childCount(); ++i) {
        writeKey(out, node.childAt(i), path, false);
    }
    path.resize(pathLength);
}

}  // namespace

int compareRegNames(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = foldName(a[i]);
        const unsigned char y = foldName(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool sameRegName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && compareRegNames(a, b) == 0;
}

size_t RegKeyNode::lowerBound(std::string_view name) const {
    const auto it = std::lower_bound(children_.begin(), children_.end(), name,
                                     [](const std::unique_ptr<RegKeyNode>& c, std::string_view n) {
                                         return compareRegNames(c->name(), n) < 0;
                                     });
    return static_cast<size_t>(it - children_.begin());
}

RegKeyNode* RegKeyNode::child(std::string_view name) const {
    const size_t i = lowerBound(name);
    if (i < children_.size() && sameRegName(children_[i]->name(), name)) {
        return children_[i].get();
    }
    return nullptr;
}

RegKeyNode& RegKeyNode::ensureChild(std::string_view name) {
    const size_t i = lowerBound(name);
    if (i < children_.size() && sameRegName(children_[i]->name(), name)) {
        return *children_[i];
    }
    const auto it = children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(i),
                                     std::make_unique<RegKeyNode>(std::string(name)));
    return **it;
}

bool RegKeyNode::removeChild(std::string_view name) {
    const size_t i = lowerBound(name);
    if (i < children_.size() && sameRegName(children_[i]->name(), name)) {
        children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }
    return false;
}

const RegValue* RegKeyNode::value(std::string_view name) const {
    for (const auto& v : values_) {
        if (sameRegName(v.name, name)) {
            return &v;
        }
    }
    return nullptr;
}

void RegKeyNode::setValue(RegValue value) {
    for (auto& v : values_) {
        if (sameRegName(v.name, value.name)) {
            value.name = std::move(v.name);
            v = std::move(value);
            return;
        }
    }
    values_.push_back(std::move(value));
}

bool RegKeyNode::removeValue(std::string_view name) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (sameRegName(it->name, name)) {
            values_.erase(it);
            return true;
        }
    }
    return false;
}

const char* RegFile::rootName(RegRoot root) {
    return root == RegRoot::LocalMachine ? kRootNames[0] : kRootNames[1];
}

bool RegFile::splitPath(std::string_view path, std::vector<std::string>& parts) {
    parts.clear();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view part = path.substr(start, end - start);
        if (part.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            return false;
        }
        if (!part.empty()) {
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    return true;
}

RegKeyNode* RegFile::find(RegRoot root, const std::vector<std::string>& parts) const {
    RegKeyNode* node = top_.child(rootName(root));
    for (size_t i = 0; i < parts.size() && node != nullptr; ++i) {
        node = node->child(parts[i]);
    }
    return node;
}

RegKeyNode& RegFile::ensure(RegRoot root, const std::vector<std::string>& parts) {
    RegKeyNode* node = &top_.ensureChild(rootName(root));
    for (const auto& part : parts) {
        node = &node->ensureChild(part);
    }
    return *node;
}

bool RegFile::remove(RegRoot root, const std::vector<std::string>& parts) {
    if (parts.empty()) {
        return false;
    }
    RegKeyNode* parent = top_.child(rootName(root));
    for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) {
        parent = parent->child(parts[i]);
    }
    return parent != nullptr && parent->removeChild(parts.back());
}

bool RegFile::parse(std::string_view text, RegFile& out, RegParseError& error) {
    std::string decoded;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        if (!decodeUtf16le(text.substr(2), decoded)) {
            error = {0, "bad UTF-16 text"};
            return false;
        }
        text = decoded;
    } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    return Parser(out, error).run(text);
}

std::string RegFile::text() const {
    std::string out;
    out += kHeader5;
    out += "\r\n\r\n";
    std::string path;
    for (size_t i = 0; i < top_.childCount(); ++i) {
        writeKey(out, top_.childAt(i), path, true);
    }
    return out;
}

bool RegFile::storableText(std::string_view text) {
    return text.find('\0') == std::string_view::npos;
}

bool RegFile::storableName(std::string_view name) {
    return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

}  // namespace platform
