#pragma once
#include <string>
#include <string_view>

namespace wire {

enum class NmeaKind { None, Rmc, Zda, Gga };

// What the receive loop keeps from one sentence to the next: a field left empty by the
// receiver leaves its value as the last sentence had it.
struct NmeaReading {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    char status = ' ';      // RMC: 'A' valid
    char fixQuality = '0';  // GGA: '0' no fix
    double latitude = 0;    // ddmm.mm
    char latitudeHemisphere = ' ';
    double longitude = 0;  // dddmm.mm
    char longitudeHemisphere = ' ';
};

// Parses one collected sentence (the text between the line feed and the carriage return or
// asterisk). Accepts RMC with 11 or 12 fields, ZDA with 6 and GGA with 14, under any
// two-letter talker. A sentence that is none of these, or whose time, date or position field
// is not a number in its range, gives None and leaves `reading` as it was.
NmeaKind parseNmeaSentence(std::string_view sentence, NmeaReading& reading);

// "Latitude 48\260 7.04' N Longitude 11\260 31.00' E", \260 the degree sign in Latin-1.
std::string nmeaPositionLine(const NmeaReading& reading);

}  // namespace wire
