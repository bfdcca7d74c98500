#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/NmeaSentence.h"

using wire::NmeaKind;
using wire::NmeaReading;
using wire::parseNmeaSentence;

namespace {

struct Case {
    const char* sentence;  // as collected: up to and including the asterisk
    NmeaKind kind;
    // Expected "y/m/d h:m:s.ms status fix" after the sentence, from a reading that held
    // 2001/2/3 04:05:06.007 status V fix 9 before it.
    const char* expected;
};

std::string summary(const NmeaReading& r) {
    char text[96];
    std::snprintf(text, sizeof text, "%d/%d/%d %d:%d:%d.%d %c %c", r.year, r.month, r.day, r.hour,
                  r.minute, r.second, r.milliseconds, r.status, r.fixQuality);
    return text;
}

NmeaReading before() {
    NmeaReading r;
    r.year = 2001;
    r.month = 2;
    r.day = 3;
    r.hour = 4;
    r.minute = 5;
    r.second = 6;
    r.milliseconds = 7;
    r.status = 'V';
    r.fixQuality = '9';
    return r;
}

const Case kCases[] = {
    {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*", NmeaKind::Rmc,
     "1994/3/23 12:35:19.0 A 9"},
    // A receiver that writes the year 2000 as 100.
    {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,2303100,003.1,W*", NmeaKind::Rmc,
     "2000/3/23 12:35:19.0 A 9"},
    {"$GPRMC,000000,V,,,,,,,010180,,*", NmeaKind::Rmc, "1980/1/1 0:0:0.0 V 9"},
    {"$GPRMC,235960.25,A,,,,,,,311279,,*", NmeaKind::Rmc, "2079/12/31 23:59:60.250 A 9"},
    // Twelve fields (mode indicator), other talkers, fractions of a second.
    {"$GPRMC,030719.000,A,3747.0873,S,17518.8938,E,0.69,181.39,311214,,,A*", NmeaKind::Rmc,
     "2014/12/31 3:7:19.0 A 9"},
    {"$GNRMC,171926.60,A,4404.14063,N,12118.85478,W,0.117,,180315,,,A*", NmeaKind::Rmc,
     "2015/3/18 17:19:26.600 A 9"},
    // Empty fields keep what the last sentence gave.
    {"$GPRMC,,A,,,,,,,,,*", NmeaKind::Rmc, "2001/2/3 4:5:6.7 A 9"},
    {"$GPZDA,153347.000,23,04,2010,,*", NmeaKind::Zda, "2010/4/23 15:33:47.0 V 9"},
    {"$ZQZDA,000001.5,29,02,2024,-05,00*", NmeaKind::Zda, "2024/2/29 0:0:1.500 V 9"},
    {"$GPGGA,030719.000,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000*", NmeaKind::Gga,
     "2001/2/3 3:7:19.0 V 1"},
    {"$GPGGA,120317,4221.4394,N,01321.9948,E,0,00,,,M,,M,,*", NmeaKind::Gga,
     "2001/2/3 12:3:17.0 V 0"},
    // Wrong field counts, other sentences, malformed names.
    {"$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394*", NmeaKind::None, nullptr},
    {"$GPRMC,1,A,1,N,1,E,1,1,230394,1,W,A,B*", NmeaKind::None, nullptr},
    {"$GPZDA,153347.000,23,04,2010,*", NmeaKind::None, nullptr},
    {"$GPGGA,030719.000,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,*", NmeaKind::None,
     nullptr},
    {"$GPGSV,3,1,12,17,72,207,32,28,59,095,31,06,35,347,25,01,29,132,23*", NmeaKind::None, nullptr},
    {"$G1RMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*", NmeaKind::None, nullptr},
    {"$gpRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*", NmeaKind::None, nullptr},
    {"$GPRMC", NmeaKind::None, nullptr},
    {"", NmeaKind::None, nullptr},
    // Fields that are not numbers in their range leave everything as it was.
    {"$GPRMC,246000,A,,,,,,,230394,,*", NmeaKind::None, nullptr},
    {"$GPRMC,126100,A,,,,,,,230394,,*", NmeaKind::None, nullptr},
    {"$GPRMC,12x519,A,,,,,,,230394,,*", NmeaKind::None, nullptr},
    {"$GPRMC,123519,A,,,,,,,300294,,*", NmeaKind::None, nullptr},
    {"$GPRMC,123519,A,,,,,,,231394,,*", NmeaKind::None, nullptr},
    {"$GPRMC,123519,A,99999999999999999999,N,,,,,230394,,*", NmeaKind::None, nullptr},
    {"$GPZDA,153347.000,29,02,2023,,*", NmeaKind::None, nullptr},
    {"$GPZDA,153347.000,,,,,*", NmeaKind::Zda, "2001/2/3 15:33:47.0 V 9"},
    {"$GPZDA,153347.000,23,04,210,,*", NmeaKind::None, nullptr},
    {"$GPZDA,1.2.3,23,04,2010,,*", NmeaKind::None, nullptr},
};

}  // namespace

TEST(NmeaSentence, ParsesTheThreeSentencesAndRejectsTheRest) {
    for (const Case& c : kCases) {
        NmeaReading reading = before();
        const NmeaKind kind = parseNmeaSentence(c.sentence, reading);
        EXPECT_EQ(kind, c.kind) << c.sentence;
        EXPECT_EQ(summary(reading), c.expected ? c.expected : summary(before())) << c.sentence;
    }
    // Without a date from this sentence or an earlier one there is no time to report.
    NmeaReading fresh;
    EXPECT_EQ(parseNmeaSentence("$GPRMC,123519,A,,,,,,,,,*", fresh), NmeaKind::None);
}

TEST(NmeaSentence, PositionLineUsesDegreesMinutesAndTheDegreeSign) {
    NmeaReading r;
    ASSERT_EQ(
        parseNmeaSentence("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*", r),
        NmeaKind::Rmc);
    EXPECT_EQ(wire::nmeaPositionLine(r), "Latitude 48\260 7.04' N Longitude 11\260 31.00' E");
    ASSERT_EQ(parseNmeaSentence(
                  "$GPGGA,030719.000,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000*", r),
              NmeaKind::Gga);
    EXPECT_EQ(wire::nmeaPositionLine(r), "Latitude 37\260 47.09' S Longitude 175\260 18.89' E");
}
