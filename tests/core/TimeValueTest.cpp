#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <utility>

#include "core/Format.h"
#include "core/Handlers.h"
#include "core/TimeValue.h"

using namespace core;

TEST(TimeValue, EpochsAreSeventyYearsApart) {
    EXPECT_DOUBLE_EQ(timeValueFromUnix({0, 0}), 2208988800.0);
    EXPECT_DOUBLE_EQ(timeValueFromUnix({1, 500}), 2208988801.5);
    const CalendarTime epoch = calendarFromUnix({0, 0});
    EXPECT_EQ(epoch.year, 1970);
    EXPECT_EQ(epoch.month, 1);
    EXPECT_EQ(epoch.day, 1);
    EXPECT_EQ(epoch.weekday, 4);
    EXPECT_EQ(statusTimeText(epoch), "Thu Jan  1 00:00:00 1970");
}

TEST(TimeValue, GregorianLeapYears) {
    EXPECT_TRUE(isLeapYear(2000));
    EXPECT_FALSE(isLeapYear(1900));
    EXPECT_FALSE(isLeapYear(2100));
    EXPECT_TRUE(isLeapYear(2024));
    EXPECT_FALSE(isLeapYear(2026));
    EXPECT_EQ(daysSinceUnixEpoch(2000, 3, 1) - daysSinceUnixEpoch(2000, 2, 28), 2);
    EXPECT_EQ(daysSinceUnixEpoch(2100, 3, 1) - daysSinceUnixEpoch(2100, 2, 28), 1);
    EXPECT_EQ(daysSinceUnixEpoch(1900, 3, 1) - daysSinceUnixEpoch(1900, 2, 28), 1);
}

// The Windows C library has no gmtime_r and no calendar before 1970 to compare with.
#ifndef _WIN32
TEST(TimeValue, CalendarConversionsAgreeWithTheCLibraryAcrossCenturies) {
    // Every day from 1900 to 2200, at a time of day that moves with the day.
    for (int64_t day = -25567; day < 84000; ++day) {
        const int64_t seconds = day * 86400 + (day * 7919) % 86400;
        const time_t t = static_cast<time_t>(seconds);
        std::tm expected{};
        gmtime_r(&t, &expected);
        const CalendarTime c = calendarFromUnix({seconds, 123});
        ASSERT_EQ(c.year, expected.tm_year + 1900) << seconds;
        ASSERT_EQ(c.month, expected.tm_mon + 1) << seconds;
        ASSERT_EQ(c.day, expected.tm_mday) << seconds;
        ASSERT_EQ(c.hour, expected.tm_hour) << seconds;
        ASSERT_EQ(c.minute, expected.tm_min) << seconds;
        ASSERT_EQ(c.second, expected.tm_sec) << seconds;
        ASSERT_EQ(c.weekday, expected.tm_wday) << seconds;
        const platform::UnixTime back = unixFromCalendar(c);
        ASSERT_EQ(back.seconds, seconds);
        ASSERT_EQ(back.milliseconds, 123);
    }
}
#endif

TEST(TimeValue, LeapDayAndYearEnd) {
    const CalendarTime leapDay =
        calendarFromUnix({unixFromCalendar({2024, 2, 29, 23, 59, 59, 999}).seconds, 0});
    EXPECT_EQ(leapDay.month, 2);
    EXPECT_EQ(leapDay.day, 29);
    const CalendarTime next =
        calendarFromUnix({unixFromCalendar({2024, 2, 29, 23, 59, 59, 0}).seconds + 1, 0});
    EXPECT_EQ(next.month, 3);
    EXPECT_EQ(next.day, 1);
    const CalendarTime yearEnd =
        calendarFromUnix({unixFromCalendar({2024, 12, 31, 12, 0, 0, 0}).seconds, 0});
    EXPECT_EQ(yearEnd.month, 12);
    EXPECT_EQ(yearEnd.day, 31);
}

TEST(TimeValue, BackToUnixTruncatesSecondsAndMilliseconds) {
    const platform::UnixTime t = unixFromTimeValue(2208988800.0 + 1765000000.9876);
    EXPECT_EQ(t.seconds, 1765000000);
    EXPECT_EQ(t.milliseconds, 987);
    const platform::UnixTime before = unixFromTimeValue(2208988800.0 - 0.5);
    EXPECT_EQ(before.seconds, -1);
    EXPECT_EQ(before.milliseconds, 500);
}

TEST(TimeValue, TimeTexts) {
    const CalendarTime c =
        calendarFromUnix({unixFromCalendar({2026, 12, 8, 3, 8, 5, 0}).seconds, 427});
    EXPECT_EQ(statusTimeText(c), "Tue Dec  8 03:08:05 2026");
    EXPECT_EQ(statusTimeText(c).size(), 24u);
    EXPECT_EQ(displayTimeText(c), "2026/12/08 03:08:05.42");
}

TEST(Format, PluralSuffixOnlyForExactlyOne) {
    EXPECT_STREQ(plural(1.0), "");
    EXPECT_STREQ(plural(-1.0), "");
    EXPECT_STREQ(plural(1.5), "s");
    EXPECT_STREQ(plural(0.0), "s");
    EXPECT_STREQ(plural(2), "s");
    EXPECT_EQ(format("%.3f second%s", -1.0, plural(-1.0)), "-1.000 second");
    EXPECT_EQ(format("%s", std::string(5000, 'x').c_str()).size(), 5000u);
}

TEST(Format, TextFromOutsideStaysWithinOneLogLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"250 OK", "250 OK"},
        {"HELO x\r\n", "HELO x"},  // one trailing line end goes
        {"a\n", "a"},
        {"a\r\nb\x01", "a\\r\\nb\\x01"},
        {"x\nError: Kronel forged\r\n\r\n", "x\\nError: Kronel forged\\r\\n"},
        {"tab\there", "tab\\there"},
        {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
        {std::string("nul\0!", 5), "nul\\x00!"},
        {"caf\xc3\xa9 \x85\xff", "caf\\xC3\\xA9 \\x85\\xFF"},  // no byte from 0x7F up either
        {"", ""},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(printableForLog(text), shown) << shown;
    }
}

TEST(PollExponent, Log2OfTheIntervalBoundedFourToFourteen) {
    EXPECT_EQ(pollExponentFor(120), 13);
    EXPECT_EQ(pollExponentFor(60), 12);
    EXPECT_EQ(pollExponentFor(1), 6);
    EXPECT_EQ(pollExponentFor(0), 4);
    EXPECT_EQ(pollExponentFor(270), 14);
    EXPECT_EQ(pollExponentFor(100000), 14);
}

TEST(ReferenceId, LettersAndAddresses) {
    EXPECT_EQ(referenceIdFromText("GPS"), (ReferenceId{'G', 'P', 'S', 0}));
    EXPECT_EQ(referenceIdFromText("LOCL"), (ReferenceId{'L', 'O', 'C', 'L'}));
    const uint32_t address = 0x0100007f;  // 127.0.0.1 in network order on this host
    EXPECT_EQ(referenceIdFromAddress(address), (ReferenceId{127, 0, 0, 1}));
}
