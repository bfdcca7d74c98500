#pragma once
// What the time-code fuzz targets share: bytes fed to decoders as a receiver would send them,
// and the checks every decoded time must pass.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "wire/TimeCode.h"

namespace timecodefuzz {

// 2026-12-08 12:00:00 UTC: the local clock the decoders resolve missing years against.
inline constexpr double kLocal = 4005720000.0;

inline void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// A decoded time must be a real calendar time of the years 1900 to 2199 (a zone's hours either
// side), with its status line.
inline void checkDecoded(const wire::DecodedTime& t, double local) {
    constexpr double k2200 = 9467107200.0;
    check(std::isfinite(t.reference));
    check(t.reference > -86400.0 && t.reference < k2200 + 86400.0);
    check(t.local == local);
    check(t.text.size() == 23 && t.text.compare(19, 4, " UTC") == 0);
}

// Feeds every byte with the local clock fixed and `step` seconds of monotonic time between
// bytes; a byte equal to `gapByte` (when >= 0) stands for a silence instead.
inline void feed(wire::TimeCodeDecoder& decoder, const uint8_t* data, size_t size, double step,
                 int gapByte = -1) {
    double monotonic = 0;
    for (size_t i = 0; i < size; ++i) {
        if (static_cast<int>(data[i]) == gapByte) {
            monotonic += 1.6;
            decoder.gap(monotonic);
            (void)decoder.takeRefusal();
            continue;
        }
        monotonic += step;
        const auto decoded = decoder.take(data[i], {kLocal, monotonic});
        (void)decoder.takeRefusal();
        if (decoded) {
            checkDecoded(*decoded, kLocal);
        }
    }
}

}  // namespace timecodefuzz
