// HTTP replies come from any web server or proxy the client is pointed at. Whatever they hold,
// reading them must stay defined and a time taken from them must be a real instant.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wire/HttpReply.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const wire::HttpTime time = wire::readHttpReply(reply);
    switch (time.kind) {
        case wire::HttpTime::Kind::Date:
            // 1970-01-01 to the end of 9999.
            check(time.unixSeconds >= 0 && time.unixSeconds < 253402300800 + 86400 * 31);
            break;
        case wire::HttpTime::Kind::TimeOfDay:
            check(time.secondsWithinHour >= 0 && time.secondsWithinHour < 3600);
            break;
        case wire::HttpTime::Kind::HttpError:
            check(time.status > 399);
            check(!wire::httpErrorText(time.status).empty());
            break;
        case wire::HttpTime::Kind::NoTime:
            break;
    }
    // The same bytes as a configured address must split without surprises.
    const wire::HttpTarget direct = wire::directTarget(reply);
    check(!direct.path.empty() && direct.path[0] == '/' && direct.port != 0);
    const wire::HttpTarget proxied = wire::proxyTarget(reply, reply, 8080);
    check(proxied.path.rfind("http://", 0) == 0 && proxied.port != 0);
    check(wire::base64(reply).size() == (size + 2) / 3 * 4);
    return 0;
}
