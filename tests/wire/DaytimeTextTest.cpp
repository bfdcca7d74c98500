#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "wire/DaytimeText.h"

using wire::correctionWithinHour;
using wire::localSecondsWithinHour;
using wire::secondsWithinHour;

namespace {

struct ScanCase {
    const char* text;
    std::optional<int> seconds;
};

}  // namespace

TEST(DaytimeText, FindsTheMinutesAndSecondsOfTheFirstUsableGroup) {
    const ScanCase cases[] = {
        {"08 DEC 2026 02:55:15 UTC\r\n", 55 * 60 + 15},   // xinetd
        {"Tue Dec  8 03:16:27 2026\r\n", 16 * 60 + 27},   // ctime style
        {"Tuesday, December 8, 2026 08:16:27-UTC", 987},  // a time after a date
        {"12:34", std::nullopt},                          // five characters, one colon
        {"1234567", std::nullopt},                        // seven characters hold no time
        {"01:02:03", 123},                                // exactly 8: position 0 only
        {"01:02:x0", std::nullopt},                       // ... and no seconds there
        {"x01:02:03", 123},                               // 9 characters: positions 0 and 1
        {"xx01:02:03", 123},                              // ... and position 2 is searched
        {"99:61:00 then 23:59:59", 59 * 60 + 59},         // minutes 61 fail, the next wins
        {"00:00:60 00:01:00", 60},                        // seconds 60 fail too
        {"07:-1:05 07:00:05", 5},                         // a negative field fails
        {"77777:05:06", 306},                             // wherever the colons line up
        {"ab:cd:ef ", std::nullopt},                      // colons, no numbers
        {"12:34:", std::nullopt},                         // no seconds
        {"12:34:  7  ", 34 * 60 + 7},                     // sscanf skips blanks before %d
        {"12:59:99999999999999999999", std::nullopt},     // a huge field is out of range
        {"12345:01:0", std::nullopt},                     // no seconds field to read
        {"-1:01:02x", 62},                                // hours may hold any value
    };
    for (const ScanCase& c : cases) {
        EXPECT_EQ(secondsWithinHour(c.text), c.seconds) << c.text;
    }
    EXPECT_EQ(secondsWithinHour(std::string("\0\0\0 10:20:30", 12)), 20 * 60 + 30);
}

TEST(DaytimeText, CorrectsAlongTheShorterWayRoundTheHour) {
    const struct {
        int local;
        int remote;
        int correction;
    } cases[] = {
        {59 * 60 + 50, 10, 20},   // local 59:50, server 00:10: +20 s, not -3580 s
        {10, 59 * 60 + 50, -20},  // and the other way round
        {987, 987, 0},            // another time zone by whole hours: nothing to do
        {1000, 1010, 10},         // server ahead
        {1010, 1000, -10},        // server behind
        {0, 1800, -1800},         // exactly half an hour either way stays in range
        {1800, 0, 1800},         {0, 1801, -1799}, {3599, 0, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(correctionWithinHour(c.local, c.remote), c.correction)
            << c.local << " vs " << c.remote;
    }
    for (int local = 0; local < 3600; local += 7) {
        for (int remote = 0; remote < 3600; remote += 11) {
            const int d = correctionWithinHour(local, remote);
            ASSERT_GE(d, -1800);
            ASSERT_LE(d, 1800);
            ASSERT_EQ(((local + d) % 3600 + 3600) % 3600, remote);
        }
    }
}

TEST(DaytimeText, TakesTheLocalSecondsFromTheWholeTimeValue) {
    EXPECT_EQ(localSecondsWithinHour(3600.0 * 1000 + 59 * 60 + 50.9), 59 * 60 + 50);
    EXPECT_EQ(localSecondsWithinHour(4294967296.0 + 125.5), 125);  // the next era
    EXPECT_EQ(localSecondsWithinHour(0.0), 0);
}
