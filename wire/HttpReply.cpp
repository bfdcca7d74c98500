#include "wire/HttpReply.h"

#include <array>
#include <cstring>
#include <vector>

#include "core/Format.h"
#include "core/TimeValue.h"
#include "wire/DaytimeText.h"

namespace wire {

namespace {

struct StatusText {
    int code;
    const char* text;
};

constexpr std::array<StatusText, 31> kStatusTexts{{
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-authoritative information"},
    {204, "No content"},
    {205, "Reset content"},
    {206, "Partial content"},
    {300, "Multiple Choices"},
    {301, "Moved permanently"},
    {302, "Moved temporarily"},
    {303, "See other"},
    {304, "Not modified"},
    {305, "use proxy"},
    {400, "Bad request"},
    {401, "Unauthorized"},
    {402, "Payment required"},
    {403, "Forbidden"},
    {404, "Not found"},
    {405, "Method not allowed"},
    {406, "None acceptable"},
    {407, "Proxy authentication required"},
    {408, "Request timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length required"},
    {412, "Unless true"},
    {500, "Internal server error"},
    {501, "Not implemented"},
    {502, "Bad gateway"},
    {503, "Service unavailable"},
    {504, "Gateway timeout"},
}};

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Leading decimal digits, as atoi reads a field; nothing without any or past `limit`.
std::optional<int> leadingNumber(std::string_view text, int limit = 99999) {
    size_t at = 0;
    int value = 0;
    while (at < text.size() && isDigit(text[at])) {
        value = value * 10 + (text[at] - '0');
        if (value > limit) {
            return std::nullopt;
        }
        ++at;
    }
    if (at == 0) {
        return std::nullopt;
    }
    return value;
}

// Months by their three-letter abbreviation (1..12); anything else is January.
int monthNumber(std::string_view text) {
    for (int m = 0; m < 12; ++m) {
        if (text.size() >= 3 && text.compare(0, 3, kMonths[m]) == 0) {
            return m + 1;
        }
    }
    return 1;
}

// Two-digit groups "hh:mm:ss".
bool readClock(std::string_view text, int& hour, int& minute, int& second) {
    if (text.size() < 8 || text[2] != ':' || text[5] != ':') {
        return false;
    }
    for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) {
        if (!isDigit(text[i])) {
            return false;
        }
    }
    hour = (text[0] - '0') * 10 + (text[1] - '0');
    minute = (text[3] - '0') * 10 + (text[4] - '0');
    second = (text[6] - '0') * 10 + (text[7] - '0');
    return true;
}

// The first six blank-separated words.
std::array<std::string_view, 6> words(std::string_view text) {
    std::array<std::string_view, 6> out{};
    size_t at = 0;
    for (auto& word : out) {
        while (at < text.size() && isBlank(text[at])) {
            ++at;
        }
        const size_t start = at;
        while (at < text.size() && !isBlank(text[at])) {
            ++at;
        }
        word = text.substr(start, at - start);
    }
    return out;
}

// The value of the "Date:" header (to the end of the reply), looked for at the start of a
// header line, before the blank line that ends the headers.
std::optional<std::string_view> dateHeader(std::string_view reply) {
    size_t end = reply.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        end = reply.find("\n\n");
    }
    const std::string_view headers = reply.substr(0, end);
    for (size_t line = headers.find('\n'); line != std::string_view::npos;
         line = headers.find('\n', line + 1)) {
        const std::string_view rest = headers.substr(line + 1);
        constexpr std::string_view kName = "date:";
        if (rest.size() < kName.size()) {
            break;
        }
        bool same = true;
        for (size_t i = 0; i < kName.size(); ++i) {
            same = same && lower(rest[i]) == kName[i];
        }
        if (same) {
            return reply.substr(line + 1 + kName.size());
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> httpStatusCode(std::string_view reply) {
    // "HTTP/%01d.%01d %d": one digit each for the version, any number for the status.
    size_t at = 0;
    if (reply.substr(0, 5) != "HTTP/") {
        return std::nullopt;
    }
    at = 5;
    for (int part = 0; part < 2; ++part) {
        while (at < reply.size() && isBlank(reply[at])) {
            ++at;
        }
        if (at >= reply.size() || !isDigit(reply[at])) {
            return std::nullopt;
        }
        ++at;
        if (part == 0) {
            if (at >= reply.size() || reply[at] != '.') {
                return std::nullopt;
            }
            ++at;
        }
    }
    while (at < reply.size() && isBlank(reply[at])) {
        ++at;
    }
    bool negative = false;
    if (at < reply.size() && (reply[at] == '+' || reply[at] == '-')) {
        negative = reply[at] == '-';
        ++at;
    }
    const auto code = leadingNumber(reply.substr(at), 1000000);
    if (!code) {
        return std::nullopt;
    }
    return negative ? -*code : *code;
}

std::optional<int64_t> httpDateSeconds(std::string_view value) {
    const auto w = words(value);
    int day = 0;
    int month = 1;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::string_view clock;
    if (w[0].size() >= 5) {
        // "Sunday, 06-Nov-94 08:49:37 GMT"
        const size_t first = w[1].find('-');
        const size_t secondHyphen =
            first == std::string_view::npos ? first : w[1].find('-', first + 1);
        if (secondHyphen == std::string_view::npos) {
            return std::nullopt;
        }
        const auto d = leadingNumber(w[1]);
        const std::string_view yy = w[1].substr(secondHyphen + 1);
        if (!d || yy.size() < 2 || !isDigit(yy[0]) || !isDigit(yy[1])) {
            return std::nullopt;
        }
        day = *d;
        month = monthNumber(w[1].substr(first + 1));
        const int twoDigits = (yy[0] - '0') * 10 + (yy[1] - '0');
        year = twoDigits > 89 ? 1900 + twoDigits : 2000 + twoDigits;
        clock = w[2];
    } else if (w[5] == "GMT") {
        // "Sun, 06 Nov 1994 08:49:37 GMT"
        const auto d = leadingNumber(w[1]);
        const auto y = leadingNumber(w[3]);
        if (!d || !y) {
            return std::nullopt;
        }
        day = *d;
        month = monthNumber(w[2]);
        year = *y;
        clock = w[4];
    } else {
        // "Sun Nov  6 08:49:37 1994"
        const auto d = leadingNumber(w[2]);
        const auto y = leadingNumber(w[4]);
        if (!d || !y) {
            return std::nullopt;
        }
        month = monthNumber(w[1]);
        day = *d;
        year = *y;
        clock = w[3];
    }
    if (!readClock(clock, hour, minute, second)) {
        return std::nullopt;
    }
    if (day < 1 || day > 31 || year < 1970 || year > 9999 || hour > 23 || minute > 59 ||
        second > 60) {
        return std::nullopt;
    }
    return core::daysSinceUnixEpoch(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

HttpTime readHttpReply(std::string_view reply) {
    HttpTime result;
    if (const auto status = httpStatusCode(reply)) {
        if (*status > 399) {
            result.kind = HttpTime::Kind::HttpError;
            result.status = *status;
            return result;
        }
        if (const auto value = dateHeader(reply)) {
            if (const auto seconds = httpDateSeconds(*value)) {
                result.kind = HttpTime::Kind::Date;
                result.unixSeconds = *seconds;
                return result;
            }
        }
    }
    // No status line or no readable date: the first time of day in the reply.
    if (const auto within = secondsWithinHour(reply)) {
        result.kind = HttpTime::Kind::TimeOfDay;
        result.secondsWithinHour = *within;
    }
    return result;
}

std::string httpErrorText(int status) {
    for (const StatusText& row : kStatusTexts) {
        if (row.code == status) {
            return core::format("%s (HTTP error %d)", row.text, status);
        }
    }
    return core::format("HTTP error %d", status);
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
        }
        for (size_t k = 0; k < 4; ++k) {
            out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return out;
}

namespace {

constexpr std::string_view kScheme = "http://";

// "host:port": the host, and the port when one is written (1..65535).
void splitHostPort(std::string_view text, std::string& host, uint16_t& port) {
    const size_t colon = text.find(':');
    host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
        const auto number = leadingNumber(text.substr(colon + 1), 65535);
        if (number && *number > 0) {
            port = static_cast<uint16_t>(*number);
        }
    }
}

}  // namespace

HttpTarget directTarget(std::string_view address) {
    if (address.substr(0, kScheme.size()) == kScheme) {
        address.remove_prefix(kScheme.size());
    }
    HttpTarget target;
    const size_t slash = address.find('/');
    splitHostPort(address.substr(0, slash), target.host, target.port);
    target.path = slash == std::string_view::npos ? "/" : std::string(address.substr(slash));
    return target;
}

HttpTarget proxyTarget(std::string_view address, std::string_view proxyAddress, int proxyPort) {
    HttpTarget target;
    target.path = address.substr(0, kScheme.size()) == kScheme
                      ? std::string(address)
                      : std::string(kScheme) + std::string(address);
    if (proxyPort > 0 && proxyPort < 65536) {
        target.port = static_cast<uint16_t>(proxyPort);
    }
    if (proxyAddress.substr(0, kScheme.size()) == kScheme) {
        proxyAddress.remove_prefix(kScheme.size());
    }
    splitHostPort(proxyAddress.substr(0, proxyAddress.find('/')), target.host, target.port);
    return target;
}

std::string httpRequest(const std::string& path, const std::string& authorisation) {
    if (authorisation.empty()) {
        return "GET " + path + " HTTP/1.0\r\nPragma: no-cache\r\n\r\n";
    }
    return "GET " + path + " HTTP/1.0\r\nPragma: no-cache\r\nProxy-authorization: Basic " +
           authorisation + "\r\n\r\n";
}

}  // namespace wire
