#pragma once
#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace core {

// A time value is a double of seconds since 1900-01-01 00:00:00 UTC (the NTP epoch).
inline constexpr double kNtpUnixOffset = 2208988800.0;

struct CalendarTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    int weekday = 4;  // 0 = Sunday
};

bool isLeapYear(int year);
// Whole days since 1970-01-01 for a Gregorian date (negative before it).
int64_t daysSinceUnixEpoch(int year, int month, int day);
CalendarTime calendarFromUnix(const platform::UnixTime& time);
platform::UnixTime unixFromCalendar(const CalendarTime& calendar);

double timeValueFromUnix(const platform::UnixTime& time);
// Whole seconds since 1970 (truncated) and milliseconds (the fraction × 1000, truncated).
platform::UnixTime unixFromTimeValue(double timeValue);
double timeValueNow(const platform::Clock& clock);

// "Tue Dec  8 03:08:00 2026": the 24-character calendar text for status values.
std::string statusTimeText(const CalendarTime& calendar);
// "2026/12/08 03:08:00.42": the display and log-file text.
std::string displayTimeText(const CalendarTime& calendar);

}  // namespace core
