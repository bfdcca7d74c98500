#include "wire/NmeaSentence.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace wire {

namespace {

constexpr size_t kNameLength = 7;  // "$GPRMC,"
constexpr size_t kMostFields = 19;

struct Fields {
    std::array<std::string_view, kMostFields> items{};
    size_t count = 0;
};

// Splits at commas, keeping empty fields; the last field takes whatever is left.
Fields split(std::string_view text) {
    Fields fields;
    size_t begin = 0;
    while (fields.count + 1 < kMostFields) {
        const size_t comma = text.find(',', begin);
        if (comma == std::string_view::npos) {
            break;
        }
        fields.items[fields.count++] = text.substr(begin, comma - begin);
        begin = comma + 1;
    }
    fields.items[fields.count++] = text.substr(begin);
    return fields;
}

// The sentence name under any two-letter talker: "$GPRMC", "$GNRMC", "$ZQZDA".
bool named(std::string_view sentence, std::string_view type) {
    auto letter = [](char c) { return c >= 'A' && c <= 'Z'; };
    return sentence.size() >= kNameLength && sentence[0] == '$' && letter(sentence[1]) &&
           letter(sentence[2]) && sentence.substr(3, 3) == type;
}

// A field of digits with at most one decimal point; anything else is not a number here.
bool number(std::string_view field, double limit, double& value) {
    if (field.empty() || field.size() > 20) {
        return false;
    }
    int points = 0;
    for (char c : field) {
        if (c == '.') {
            ++points;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    if (points > 1 || field == ".") {
        return false;
    }
    value = std::strtod(std::string(field).c_str(), nullptr);
    return std::isfinite(value) && value < limit;
}

bool integer(std::string_view field, int limit, int& value) {
    double d = 0;
    if (!number(field, limit, d) || d != std::floor(d)) {
        return false;
    }
    value = static_cast<int>(d);
    return true;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool validDate(const NmeaReading& r) {
    return r.month >= 1 && r.month <= 12 && r.day >= 1 && r.day <= daysInMonth(r.year, r.month);
}

// hhmmss.ss; an empty field keeps the last time.
bool readTime(std::string_view field, NmeaReading& r) {
    if (field.empty()) {
        return true;
    }
    double t = 0;
    if (!number(field, 240000, t)) {
        return false;
    }
    const int whole = static_cast<int>(t);
    const int minute = whole / 100 % 100;
    const int second = whole % 100;
    if (minute > 59 || second > 60) {
        return false;
    }
    r.hour = whole / 10000;
    r.minute = minute;
    r.second = second;
    // The small bias keeps .6 from reading as 599 ms.
    r.milliseconds = static_cast<int>((t - whole) * 1000.0 + 1e-6);
    if (r.milliseconds > 999) {
        r.milliseconds = 999;
    }
    return true;
}

bool readCoordinate(std::string_view field, double limit, double& value) {
    if (field.empty()) {
        return true;
    }
    return number(field, limit, value);
}

void readLetter(std::string_view field, char& value) {
    if (!field.empty()) {
        value = field[0];
    }
}

bool readPosition(const Fields& f, size_t first, NmeaReading& r) {
    if (!readCoordinate(f.items[first], 9100, r.latitude) ||
        !readCoordinate(f.items[first + 2], 18100, r.longitude)) {
        return false;
    }
    readLetter(f.items[first + 1], r.latitudeHemisphere);
    readLetter(f.items[first + 3], r.longitudeHemisphere);
    return true;
}

// ddmmyy; a receiver that writes the year 2000 as 100 gives ddmm100, read as ddmm00.
bool readRmcDate(std::string_view field, NmeaReading& r) {
    if (field.empty()) {
        return true;
    }
    std::string text(field);
    if (text.size() == 7) {
        text.erase(4, 1);
    }
    int date = 0;
    if (!integer(text, 1000000, date)) {
        return false;
    }
    const int yy = date % 100;
    r.day = date / 10000;
    r.month = date / 100 % 100;
    r.year = yy >= 80 ? 1900 + yy : 2000 + yy;
    return validDate(r);
}

NmeaKind parseRmc(const Fields& f, NmeaReading& r) {
    if (f.count != 11 && f.count != 12) {
        return NmeaKind::None;
    }
    if (!readTime(f.items[0], r) || !readPosition(f, 2, r) || !readRmcDate(f.items[8], r)) {
        return NmeaKind::None;
    }
    readLetter(f.items[1], r.status);
    // An empty date field is only good when an earlier sentence gave one.
    return r.year >= 1900 && validDate(r) ? NmeaKind::Rmc : NmeaKind::None;
}

NmeaKind parseZda(const Fields& f, NmeaReading& r) {
    if (f.count != 6 || !readTime(f.items[0], r)) {
        return NmeaKind::None;
    }
    if ((!f.items[1].empty() && !integer(f.items[1], 32, r.day)) ||
        (!f.items[2].empty() && !integer(f.items[2], 13, r.month)) ||
        (!f.items[3].empty() && !integer(f.items[3], 10000, r.year))) {
        return NmeaKind::None;
    }
    // The zone fields are not applied: the time is UTC.
    return r.year >= 1900 && validDate(r) ? NmeaKind::Zda : NmeaKind::None;
}

NmeaKind parseGga(const Fields& f, NmeaReading& r) {
    if (f.count != 14 || !readTime(f.items[0], r) || !readPosition(f, 1, r)) {
        return NmeaKind::None;
    }
    readLetter(f.items[5], r.fixQuality);
    return NmeaKind::Gga;
}

}  // namespace

NmeaKind parseNmeaSentence(std::string_view sentence, NmeaReading& reading) {
    NmeaKind (*parse)(const Fields&, NmeaReading&) = nullptr;
    if (named(sentence, "RMC")) {
        parse = parseRmc;
    } else if (named(sentence, "ZDA")) {
        parse = parseZda;
    } else if (named(sentence, "GGA")) {
        parse = parseGga;
    } else {
        return NmeaKind::None;
    }
    // Work on a copy so that a sentence rejected half-way changes nothing.
    NmeaReading next = reading;
    const NmeaKind kind = parse(split(sentence.substr(kNameLength)), next);
    if (kind != NmeaKind::None) {
        reading = next;
    }
    return kind;
}

std::string nmeaPositionLine(const NmeaReading& r) {
    const int latDegrees = static_cast<int>(r.latitude) / 100;
    const int lonDegrees = static_cast<int>(r.longitude) / 100;
    char line[160];
    std::snprintf(line, sizeof line, "Latitude %d\260 %0.2f' %c Longitude %d\260 %0.2f' %c",
                  latDegrees, r.latitude - latDegrees * 100.0, r.latitudeHemisphere, lonDegrees,
                  r.longitude - lonDegrees * 100.0, r.longitudeHemisphere);
    return line;
}

}  // namespace wire
