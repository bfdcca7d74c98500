#include "TimeCodeStreams.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace testsupport {

namespace {

std::tm utc(int64_t unix) {
    const std::time_t t = static_cast<std::time_t>(unix);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

std::string textf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string textf(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void stuffed(std::string& out, uint8_t byte) {
    out += static_cast<char>(byte);
    if (byte == 0x10) {
        out += static_cast<char>(byte);
    }
}

void word(std::string& out, uint16_t w) {
    out += static_cast<char>(w & 0xFF);
    out += static_cast<char>(w >> 8);
}

// Summer time in Germany: from 01:00 UTC on the last Sunday of March to 01:00 UTC on the last
// Sunday of October.
bool germanSummer(int64_t unix) {
    const std::tm tm = utc(unix);
    auto lastSunday = [&](int month) {
        std::tm m{};
        m.tm_year = tm.tm_year;
        m.tm_mon = month;
        m.tm_mday = 31;
        m.tm_hour = 1;
        const int64_t t = timegm(&m);
        return t - utc(t).tm_wday * 86400;
    };
    return unix >= lastSunday(2) && unix < lastSunday(9);
}

void bcd(std::vector<uint8_t>& bits, size_t at, int value, std::initializer_list<int> weights) {
    int units = value % 10;
    int tens = value / 10 % 10;
    int hundreds = value / 100;
    for (const int w : weights) {
        int& digit = w >= 100 ? hundreds : w >= 10 ? tens : units;
        const int unit = w >= 100 ? w / 100 : w >= 10 ? w / 10 : w;
        bits[at++] = (digit & unit) ? 1 : 0;
    }
}

}  // namespace

std::string truetimeMessage(int64_t unix, char quality) {
    const std::tm t = utc(unix);
    return textf("\x01%03d:%02d:%02d:%02d%c\r\n", t.tm_yday + 1, t.tm_hour, t.tm_min, t.tm_sec,
                 quality);
}

std::string spectracomFormat0(int64_t unix) {
    const std::tm t = utc(unix);
    return textf("\r\n   %03d %02d:%02d:%02d  TZ=00\r\n", t.tm_yday + 1, t.tm_hour, t.tm_min,
                 t.tm_sec);
}

std::string spectracomFormat2(int64_t unix) {
    const std::tm t = utc(unix);
    return textf("\r\n  %02d %03d %02d:%02d:%02d.000   \r", t.tm_year % 100, t.tm_yday + 1,
                 t.tm_hour, t.tm_min, t.tm_sec);
}

std::string endRunMessage(int64_t unix, char figureOfMerit) {
    const std::tm t = utc(unix);
    return textf("%c %04d %03d %02d:%02d:%02d +00 U\r\n", figureOfMerit, t.tm_year + 1900,
                 t.tm_yday + 1, t.tm_hour, t.tm_min, t.tm_sec);
}

std::string meinbergString(int64_t unix) {
    const std::tm t = utc(unix);
    return textf(
        "\x02"
        "D:%02d.%02d.%02d;T:%d;U:%02d.%02d.%02d;  U \x03",
        t.tm_mday, t.tm_mon + 1, t.tm_year % 100, t.tm_wday == 0 ? 7 : t.tm_wday, t.tm_hour,
        t.tm_min, t.tm_sec);
}

std::string arbiterB5(int64_t unix) {
    const std::tm t = utc(unix);
    return textf("\r\n  %02d %03d %02d:%02d:%02d.000   \r", t.tm_year % 100, t.tm_yday + 1,
                 t.tm_hour, t.tm_min, t.tm_sec);
}

std::string gudeTelegram(int64_t unix) {
    const bool summer = germanSummer(unix);
    const std::tm t = utc(unix + (summer ? 7200 : 3600));
    std::string frame = textf("<%02d%02d%02d%02d%02d%dF00%d00000%02d>", t.tm_hour, t.tm_min,
                              t.tm_mday, t.tm_mon + 1, t.tm_year % 100,
                              t.tm_wday == 0 ? 7 : t.tm_wday, summer ? 1 : 0, t.tm_sec);
    unsigned sum = 0;
    for (const char c : frame) {
        sum += static_cast<unsigned char>(c);
    }
    return frame + textf("%02X", sum & 0xFF) + "\r\n";
}

std::string tsipPrimaryTiming(int64_t unix) {
    const std::tm t = utc(unix);
    const int64_t gps = unix - 315964800 + 18;  // GPS time, 18 leap seconds ahead
    const uint32_t tow = static_cast<uint32_t>(gps % 604800);
    const uint16_t week = static_cast<uint16_t>(gps / 604800);
    const int year = t.tm_year + 1900;
    const uint8_t body[] = {0x8F,
                            0xAB,
                            static_cast<uint8_t>(tow >> 24),
                            static_cast<uint8_t>(tow >> 16),
                            static_cast<uint8_t>(tow >> 8),
                            static_cast<uint8_t>(tow),
                            static_cast<uint8_t>(week >> 8),
                            static_cast<uint8_t>(week),
                            0,
                            18,
                            0x03,
                            static_cast<uint8_t>(t.tm_sec),
                            static_cast<uint8_t>(t.tm_min),
                            static_cast<uint8_t>(t.tm_hour),
                            static_cast<uint8_t>(t.tm_mday),
                            static_cast<uint8_t>(t.tm_mon + 1),
                            static_cast<uint8_t>(year >> 8),
                            static_cast<uint8_t>(year)};
    std::string out(1, '\x10');
    for (const uint8_t b : body) {
        stuffed(out, b);
    }
    return out + "\x10\x03";
}

std::string zodiacTimeMark(int64_t unix) {
    const std::tm t = utc(unix);
    const uint32_t sow =
        static_cast<uint32_t>(t.tm_wday * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec);
    const uint16_t header[4] = {0x81FF, 1108, 14, 0};
    std::string out;
    uint16_t sum = 0;
    for (const uint16_t w : header) {
        word(out, w);
        sum = static_cast<uint16_t>(sum + w);
    }
    word(out, static_cast<uint16_t>(-sum));
    uint16_t data[14] = {};
    data[8] = static_cast<uint16_t>(sow & 0xFFFF);  // word 14
    data[9] = static_cast<uint16_t>(sow >> 16);     // word 15
    data[10] = 18;                                  // word 16: GPS-UTC offset
    data[13] = 0x0003;                              // word 19: valid, UTC
    sum = 0;
    for (const uint16_t w : data) {
        word(out, w);
        sum = static_cast<uint16_t>(sum + w);
    }
    word(out, static_cast<uint16_t>(-sum));
    return out;
}

std::vector<uint8_t> dcf77Bits(int64_t unix) {
    const bool summer = germanSummer(unix);
    const std::tm t = utc(unix + (summer ? 7200 : 3600));
    std::vector<uint8_t> bits(59, 0);
    bits[17] = summer ? 1 : 0;
    bits[18] = summer ? 0 : 1;
    bits[20] = 1;
    bcd(bits, 21, t.tm_min, {1, 2, 4, 8, 10, 20, 40});
    bcd(bits, 29, t.tm_hour, {1, 2, 4, 8, 10, 20});
    bcd(bits, 36, t.tm_mday, {1, 2, 4, 8, 10, 20});
    bcd(bits, 42, t.tm_wday == 0 ? 7 : t.tm_wday, {1, 2, 4});
    bcd(bits, 45, t.tm_mon + 1, {1, 2, 4, 8, 10});
    bcd(bits, 50, t.tm_year % 100, {1, 2, 4, 8, 10, 20, 40, 80});
    auto parity = [&](size_t from, size_t to) {
        int ones = 0;
        for (size_t i = from; i < to; ++i) {
            ones += bits[i];
        }
        bits[to] = ones % 2;
    };
    parity(21, 28);
    parity(29, 35);
    parity(36, 58);
    return bits;
}

std::string dcf77Pulses(const std::vector<uint8_t>& bits) {
    std::string out;
    for (const uint8_t bit : bits) {
        out += static_cast<char>(bit ? 0x00 : 0xF0);  // 200 ms or 100 ms low at 50 baud
    }
    return out;
}

Chunks dcf77Minute(int64_t unix) {
    return {dcf77Pulses(dcf77Bits(unix)), std::string(1, '\xF0')};
}

std::string irigBFrame(int64_t unix, bool withYear) {
    const std::tm t = utc(unix);
    std::vector<uint8_t> e(100, 0);
    bcd(e, 1, t.tm_sec % 10, {1, 2, 4, 8});
    bcd(e, 6, t.tm_sec / 10, {1, 2, 4});
    bcd(e, 10, t.tm_min % 10, {1, 2, 4, 8});
    bcd(e, 15, t.tm_min / 10, {1, 2, 4});
    bcd(e, 20, t.tm_hour % 10, {1, 2, 4, 8});
    bcd(e, 25, t.tm_hour / 10, {1, 2});
    const int day = t.tm_yday + 1;
    bcd(e, 30, day % 10, {1, 2, 4, 8});
    bcd(e, 35, day / 10 % 10, {1, 2, 4, 8});
    bcd(e, 40, day / 100, {1, 2});
    if (withYear) {
        bcd(e, 50, t.tm_year % 10, {1, 2, 4, 8});
        bcd(e, 55, t.tm_year / 10 % 10, {1, 2, 4, 8});
    }
    std::string out(1, '\x80');  // P0 of the frame before
    for (size_t i = 0; i < 100; ++i) {
        const bool marker = i == 0 || i % 10 == 9;
        out += static_cast<char>(marker ? 0x80 : e[i] ? 0xF0 : 0xFE);
    }
    return out;
}

Chunks streamFor(int protocol, int64_t unix) {
    switch (protocol) {
        case 5:
            return {zodiacTimeMark(unix)};
        case 9:
            return {gudeTelegram(unix)};
        case 11:
            return {tsipPrimaryTiming(unix)};
        case 12:
            return {"\r\n" + endRunMessage(unix)};
        case 13:
            return {truetimeMessage(unix)};
        case 14:
            return {spectracomFormat2(unix)};
        case 15:
            return {meinbergString(unix)};
        case 20:
        case 21:
            return dcf77Minute(unix);
        case 22:
            return {arbiterB5(unix)};
        case 23:
            return {irigBFrame(unix)};
        default:
            return {};
    }
}

}  // namespace testsupport
