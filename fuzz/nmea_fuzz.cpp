// NMEA sentences come from whatever is wired to the serial port. Whatever the bytes, parsing
// must stay defined, a sentence it takes must hold a real calendar time, and a sentence it
// refuses must change nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/NmeaSentence.h"

using wire::NmeaKind;
using wire::NmeaReading;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool same(const NmeaReading& a, const NmeaReading& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.milliseconds == b.milliseconds &&
           a.status == b.status && a.fixQuality == b.fixQuality && a.latitude == b.latitude &&
           a.longitude == b.longitude && a.latitudeHemisphere == b.latitudeHemisphere &&
           a.longitudeHemisphere == b.longitudeHemisphere;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    NmeaReading reading;
    // Sentences as the receive loop collects them: from a line feed to a carriage return or
    // an asterisk, at most 1023 bytes.
    size_t begin = 0;
    while (begin < input.size()) {
        size_t end = input.find_first_of("\r\n*", begin);
        if (end == std::string_view::npos) {
            end = input.size();
        } else if (input[end] == '*') {
            ++end;
        }
        if (end - begin > 1023) {
            end = begin + 1023;
        }
        const std::string_view sentence = input.substr(begin, end - begin);
        const NmeaReading previous = reading;
        const NmeaKind kind = wire::parseNmeaSentence(sentence, reading);
        if (kind == NmeaKind::None) {
            check(same(previous, reading));
        } else {
            check(reading.hour >= 0 && reading.hour < 24 && reading.minute >= 0 &&
                  reading.minute < 60 && reading.second >= 0 && reading.second <= 60 &&
                  reading.milliseconds >= 0 && reading.milliseconds < 1000);
            check(reading.latitude >= 0 && reading.latitude < 9100 && reading.longitude >= 0 &&
                  reading.longitude < 18100);
            if (kind != NmeaKind::Gga) {
                check(reading.year >= 1900 && reading.month >= 1 && reading.month <= 12 &&
                      reading.day >= 1 && reading.day <= 31);
            }
            const std::string line = wire::nmeaPositionLine(reading);
            check(line.rfind("Latitude ", 0) == 0 && line.size() < 80);
        }
        begin = end + 1;
    }
    return 0;
}
