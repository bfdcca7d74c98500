#include "core/TimeValue.h"

#include <cmath>
#include <cstdio>

namespace core {

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

namespace {

constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Leap days in the years before `year` since year 1 (proleptic Gregorian).
int64_t leapDaysBefore(int64_t year) {
    const int64_t y = year - 1;
    return floorDiv(y, 4) - floorDiv(y, 100) + floorDiv(y, 400);
}

int64_t daysBeforeYear(int64_t year) {
    return (year - 1970) * 365 + leapDaysBefore(year) - leapDaysBefore(1970);
}

}  // namespace

int64_t daysSinceUnixEpoch(int year, int month, int day) {
    int64_t days = daysBeforeYear(year) + kDaysBeforeMonth[month - 1] + (day - 1);
    if (month > 2 && isLeapYear(year)) {
        ++days;
    }
    return days;
}

CalendarTime calendarFromUnix(const platform::UnixTime& time) {
    CalendarTime c;
    const int64_t days = floorDiv(time.seconds, 86400);
    const int64_t secondOfDay = time.seconds - days * 86400;
    c.hour = static_cast<int>(secondOfDay / 3600);
    c.minute = static_cast<int>(secondOfDay / 60 % 60);
    c.second = static_cast<int>(secondOfDay % 60);
    c.milliseconds = time.milliseconds;
    c.weekday = static_cast<int>(days + 4 - floorDiv(days + 4, 7) * 7);  // 1970-01-01: a Thursday

    // Estimate the year, then correct it; the estimate is never off by more than one.
    int64_t year = 1970 + floorDiv(days * 400, 146097);
    while (daysBeforeYear(year) > days) {
        --year;
    }
    while (daysBeforeYear(year + 1) <= days) {
        ++year;
    }
    c.year = static_cast<int>(year);
    int dayOfYear = static_cast<int>(days - daysBeforeYear(year));
    const bool leap = isLeapYear(c.year);
    int month = 11;
    while (month > 0 && dayOfYear < kDaysBeforeMonth[month] + (leap && month > 1 ? 1 : 0)) {
        --month;
    }
    dayOfYear -= kDaysBeforeMonth[month] + (leap && month > 1 ? 1 : 0);
    c.month = month + 1;
    c.day = dayOfYear + 1;
    return c;
}

platform::UnixTime unixFromCalendar(const CalendarTime& c) {
    const int64_t days = daysSinceUnixEpoch(c.year, c.month, c.day);
    return {days * 86400 + c.hour * 3600 + c.minute * 60 + c.second, c.milliseconds};
}

double timeValueFromUnix(const platform::UnixTime& time) {
    return static_cast<double>(time.seconds) + kNtpUnixOffset + time.milliseconds / 1000.0;
}

platform::UnixTime unixFromTimeValue(double timeValue) {
    const double sinceUnix = timeValue - kNtpUnixOffset;
    const double whole = std::trunc(sinceUnix);
    int ms = static_cast<int>((sinceUnix - whole) * 1000.0);
    int64_t seconds = static_cast<int64_t>(whole);
    // Before 1970 the fraction is negative: borrow a second so milliseconds stay 0..999.
    if (ms < 0) {
        ms += 1000;
        seconds -= 1;
    }
    return {seconds, ms};
}

double timeValueNow(const platform::Clock& clock) {
    return timeValueFromUnix(clock.now());
}

std::string statusTimeText(const CalendarTime& c) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", kWeekdays[c.weekday % 7],
                  kMonths[(c.month - 1) % 12], c.day, c.hour, c.minute, c.second, c.year);
    return text;
}

std::string displayTimeText(const CalendarTime& c) {
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d.%02d", c.year, c.month, c.day,
                  c.hour, c.minute, c.second, c.milliseconds / 10);
    return text;
}

}  // namespace core
