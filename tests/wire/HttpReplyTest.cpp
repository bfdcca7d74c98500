#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "wire/HttpReply.h"

using namespace wire;

namespace {

// 1994-11-06 08:49:37 UTC.
constexpr int64_t kNovember1994 = 784111777;

}  // namespace

TEST(HttpReply, ReadsTheStatusLine) {
    const struct {
        const char* text;
        std::optional<int> status;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\n", 200},
        {"HTTP/1.1 404 Not Found\r\n", 404},
        {"HTTP/1.0   503", 503},
        {"HTTP/10.0 200 OK", std::nullopt},  // one digit per version number
        {"HTTP/1.x 200 OK", std::nullopt},
        {"HTTP/1.0 OK", std::nullopt},
        {"http/1.0 200 OK", std::nullopt},
        {" HTTP/1.0 200 OK", std::nullopt},
        {"HTTP/1.0 99999999999 OK", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(httpStatusCode(c.text), c.status) << c.text;
    }
}

TEST(HttpReply, ReadsTheThreeDateForms) {
    const struct {
        const char* value;
        std::optional<int64_t> seconds;
    } cases[] = {
        {" Sun, 06 Nov 1994 08:49:37 GMT\r\n", kNovember1994},
        {" Sunday, 06-Nov-94 08:49:37 GMT\r\n", kNovember1994},
        {" Sun Nov  6 08:49:37 1994\r\n", kNovember1994},
        {" Thursday, 01-Jan-89 00:00:00 GMT", 3755376000},  // 89: 2089
        {" Monday, 01-Jan-90 00:00:00 GMT", 631152000},     // 90: 1990
        {" Sun, 06 Xyz 1994 08:49:37 GMT", 757846177},      // unknown month: January
        {" Tue, 08 Dec 2026 13:40:57 GMT", 1796737257},
        {" Sun, 06 Nov 1994 8:49:37 GMT", std::nullopt},  // the time needs two-digit groups
        {" Sun, 00 Nov 1994 08:49:37 GMT", std::nullopt},
        {" Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
        {" Sun, 06 Nov 1969 08:49:37 GMT", std::nullopt},
        {" Sunday, 06Nov94 08:49:37 GMT", std::nullopt},
        {" Sun, 06 Nov", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(httpDateSeconds(c.value), c.seconds) << c.value;
    }
}

TEST(HttpReply, ChoosesBetweenDateFallbackAndError) {
    using Kind = HttpTime::Kind;
    const struct {
        const char* reply;
        Kind kind;
        int64_t value;  // unix seconds, seconds within the hour or status
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nServer: x\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\nbody",
         Kind::Date, kNovember1994},
        {"HTTP/1.0 200 OK\r\ndate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n", Kind::Date,
         kNovember1994},
        {"HTTP/1.0 404 Not Found\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n", Kind::HttpError,
         404},
        {"HTTP/1.0 200 OK\r\nServer: x\r\n\r\nIt is 12:34:56 here", Kind::TimeOfDay, 34 * 60 + 56},
        // A "Date:" in the body is no header; the body's time of day is taken.
        {"HTTP/1.0 200 OK\r\n\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT", Kind::TimeOfDay,
         49 * 60 + 37},
        // An unreadable header falls back to the first time of day, here its own.
        {"HTTP/1.0 200 OK\r\nDate: Sun, 06 Nov 1994 25:49:37 GMT\r\n\r\n", Kind::TimeOfDay,
         49 * 60 + 37},
        {"garbage 01:02:03", Kind::TimeOfDay, 123},  // no status line
        {"HTTP/1.0 200 OK\r\n\r\nnothing", Kind::NoTime, 0},
        {"", Kind::NoTime, 0},
    };
    for (const auto& c : cases) {
        const HttpTime t = readHttpReply(c.reply);
        EXPECT_EQ(t.kind, c.kind) << c.reply;
        const int64_t value = t.kind == Kind::Date        ? t.unixSeconds
                              : t.kind == Kind::TimeOfDay ? t.secondsWithinHour
                                                          : t.status;
        EXPECT_EQ(value, c.value) << c.reply;
    }
}

TEST(HttpReply, ErrorTextsAndBase64) {
    EXPECT_EQ(httpErrorText(404), "Not found (HTTP error 404)");
    EXPECT_EQ(httpErrorText(407), "Proxy authentication required (HTTP error 407)");
    EXPECT_EQ(httpErrorText(504), "Gateway timeout (HTTP error 504)");
    // A code without a row still names itself.
    EXPECT_EQ(httpErrorText(418), "HTTP error 418");
    EXPECT_EQ(httpErrorText(599), "HTTP error 599");
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(base64(std::string("\xff\x00\xfe", 3)), "/wD+");
}

TEST(HttpReply, SplitsAddressesIntoHostPortAndPath) {
    const struct {
        const char* address;
        const char* host;
        uint16_t port;
        const char* path;
    } direct[] = {
        {"www.example.com", "www.example.com", 80, "/"},
        {"http://www.example.com/time.html", "www.example.com", 80, "/time.html"},
        {"127.0.0.1:8080", "127.0.0.1", 8080, "/"},
        {"http://127.0.0.1:8080/a/b?c:d", "127.0.0.1", 8080, "/a/b?c:d"},
        {"host/path:99", "host", 80, "/path:99"},  // a port only before the path
        {"host:0", "host", 80, "/"},
        {"host:99999", "host", 80, "/"},
        {"http://", "", 80, "/"},
    };
    for (const auto& c : direct) {
        const HttpTarget t = directTarget(c.address);
        EXPECT_EQ(t.host, c.host) << c.address;
        EXPECT_EQ(t.port, c.port) << c.address;
        EXPECT_EQ(t.path, c.path) << c.address;
    }

    HttpTarget viaProxy = proxyTarget("www.example.com/x", "proxy.lan", 3128);
    EXPECT_EQ(viaProxy.host, "proxy.lan");
    EXPECT_EQ(viaProxy.port, 3128);
    EXPECT_EQ(viaProxy.path, "http://www.example.com/x");
    viaProxy = proxyTarget("http://www.example.com", "http://proxy.lan:8000", 3128);
    EXPECT_EQ(viaProxy.host, "proxy.lan");
    EXPECT_EQ(viaProxy.port, 8000);
    EXPECT_EQ(viaProxy.path, "http://www.example.com");

    EXPECT_EQ(httpRequest("/", ""), "GET / HTTP/1.0\r\nPragma: no-cache\r\n\r\n");
    EXPECT_EQ(httpRequest("http://h/", "YTpi"),
              "GET http://h/ HTTP/1.0\r\nPragma: no-cache\r\nProxy-authorization: Basic "
              "YTpi\r\n\r\n");
}
