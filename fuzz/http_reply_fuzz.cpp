// HTTP replies come from any web server or proxy the client is pointed at. Whatever they hold,
// reading them must stay defined and a time taken from them must be a real instant.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "netclients/HttpReply.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const netclients::HttpTime time = netclients::readHttpReply(reply);
    switch (time.kind) {
        case netclients::HttpTime::Kind::Date:
            // 1970-01-01 to the end of 9999.
            check(time.unixSeconds >= 0 && time.unixSeconds < 253402300800 + 86400 * 31);
            break;
        case netclients::HttpTime::Kind::TimeOfDay:
            check(time.secondsWithinHour >= 0 && time.secondsWithinHour < 3600);
            break;
        case netclients::HttpTime::Kind::HttpError:
            check(time.status > 399);
            check(!netclients::httpErrorText(time.status).empty());
            break;
        case netclients::HttpTime::Kind::NoTime:
            break;
    }
    // The same bytes as a configured address must split without surprises.
    const netclients::HttpTarget direct = netclients::directTarget(reply);
    check(!direct.path.empty() && direct.path[0] == '/' && direct.port != 0);
    const netclients::HttpTarget proxied = netclients::proxyTarget(reply, reply, 8080);
    check(proxied.path.rfind("http://", 0) == 0 && proxied.port != 0);
    check(netclients::base64(reply).size() == (size + 2) / 3 * 4);
    return 0;
}
