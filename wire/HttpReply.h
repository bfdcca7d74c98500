#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wire {

// What a web server's reply says about the time.
struct HttpTime {
    enum class Kind {
        Date,       // a readable "Date:" header: `unixSeconds`
        TimeOfDay,  // no usable header, but an "hh:mm:ss" group: `secondsWithinHour`
        HttpError,  // status above 399: `status`
        NoTime,     // nothing to go by
    };
    Kind kind = Kind::NoTime;
    int status = 0;
    int64_t unixSeconds = 0;
    int secondsWithinHour = 0;
};

// Reads a whole reply: the status line, then the "Date:" header, else the first time of day
// anywhere in the reply.
HttpTime readHttpReply(std::string_view reply);

// The status code of a status line "HTTP/1.0 200 ...", when all three numbers are there.
std::optional<int> httpStatusCode(std::string_view reply);

// The instant a "Date:" value names, in any of the three forms servers send:
//   "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
//   "Sun Nov  6 08:49:37 1994". Two-digit years above 89 are 19xx, the others 20xx; a month
// that is not an English abbreviation counts as January. Nothing when a field is out of range.
std::optional<int64_t> httpDateSeconds(std::string_view value);

// "Not found (HTTP error 404)", or "HTTP error 418" for a code without a text.
std::string httpErrorText(int status);

// Standard Base64 with padding, for the Basic proxy authorisation.
std::string base64(std::string_view bytes);

// Where a request goes and what it asks for.
struct HttpTarget {
    std::string host;
    uint16_t port = 80;
    std::string path;
};

// A direct request: "http://" dropped, the host up to the first slash (a ":port" there
// replaces 80), the path from the slash on ("/" without one).
HttpTarget directTarget(std::string_view address);
// Through a proxy: the whole address (with "http://" in front) is the path; the connection
// goes to the proxy, whose address may carry its own ":port" over `proxyPort`.
HttpTarget proxyTarget(std::string_view address, std::string_view proxyAddress, int proxyPort);

// The GET request; `authorisation` is the Base64 "name:password" or empty for none.
std::string httpRequest(const std::string& path, const std::string& authorisation);

}  // namespace wire
