// Daytime answers are free text from anyone who can answer port 13. Whatever they hold, the
// scan must stay defined and its result must be a time within the hour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wire/DaytimeText.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto seconds = wire::secondsWithinHour(text);
    check(!seconds || (*seconds >= 0 && *seconds < 3600));
    check(size > 7 || !seconds);
    if (seconds) {
        for (int local : {0, 1799, 1800, 3599}) {
            const int d = wire::correctionWithinHour(local, *seconds);
            check(d >= -1800 && d <= 1800);
            check(((local + d) % 3600 + 3600) % 3600 == *seconds);
        }
    }
    return 0;
}
