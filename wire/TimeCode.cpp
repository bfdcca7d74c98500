#include "wire/TimeCode.h"

#include <cmath>

#include "core/Format.h"
#include "core/TimeValue.h"

namespace wire::timecode {

namespace {

constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int daysInMonth(int year, int month) {
    return month == 2 && core::isLeapYear(year) ? 29 : kDaysInMonth[month - 1];
}

// The candidate years for a time without its century or without its year at all.
template <typename TimeOfYear>
std::optional<double> nearest(int yearOfCentury, double local, TimeOfYear timeOf) {
    const int year = yearOf(local);
    std::optional<double> best;
    for (int candidate = year - 1; candidate <= year + 1; ++candidate) {
        // Two digits of a year: the century is the one that brings it nearest the clock.
        int y = candidate;
        if (yearOfCentury >= 0) {
            y = candidate - candidate % 100 + yearOfCentury;
            if (y - year > 50) {
                y -= 100;
            } else if (year - y > 50) {
                y += 100;
            }
        }
        const std::optional<double> t = timeOf(y);
        if (t && (!best || std::fabs(*t - local) < std::fabs(*best - local))) {
            best = t;
        }
        if (yearOfCentury >= 0) {
            break;
        }
    }
    return best;
}

}  // namespace

bool validDate(int year, int month, int day) {
    return year >= 1900 && year < 2200 && month >= 1 && month <= 12 && day >= 1 &&
           day <= daysInMonth(year, month);
}

bool validTimeOfDay(int hour, int minute, int second) {
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second <= 60;
}

double timeValue(int year, int month, int day, int hour, int minute, double second) {
    return static_cast<double>(core::daysSinceUnixEpoch(year, month, day)) * 86400.0 +
           hour * 3600.0 + minute * 60.0 + second + core::kNtpUnixOffset;
}

bool dateOfDayOfYear(int year, int dayOfYear, int& month, int& day) {
    if (year < 1900 || year >= 2200 || dayOfYear < 1) {
        return false;
    }
    int left = dayOfYear;
    for (int m = 1; m <= 12; ++m) {
        if (left <= daysInMonth(year, m)) {
            month = m;
            day = left;
            return true;
        }
        left -= daysInMonth(year, m);
    }
    return false;
}

std::optional<double> nearestDayOfYear(int yearOfCentury, int dayOfYear, int hour, int minute,
                                       double second, double local) {
    return nearest(yearOfCentury, local, [&](int year) -> std::optional<double> {
        int month = 0;
        int day = 0;
        if (!dateOfDayOfYear(year, dayOfYear, month, day)) {
            return std::nullopt;
        }
        return timeValue(year, month, day, hour, minute, second);
    });
}

std::optional<double> nearestDate(int yearOfCentury, int month, int day, int hour, int minute,
                                  double second, double local) {
    return nearest(yearOfCentury, local, [&](int year) -> std::optional<double> {
        if (!validDate(year, month, day)) {
            return std::nullopt;
        }
        return timeValue(year, month, day, hour, minute, second);
    });
}

int yearOf(double local) {
    const double unix = local - core::kNtpUnixOffset;
    if (!(unix > -2.0e9 && unix < 7.0e9)) {
        return 1970;
    }
    platform::UnixTime t;
    t.seconds = static_cast<int64_t>(std::floor(unix));
    return core::calendarFromUnix(t).year;
}

std::string timeText(double reference) {
    const double unix = reference - core::kNtpUnixOffset;
    platform::UnixTime t;
    t.seconds = static_cast<int64_t>(std::floor(unix));
    const core::CalendarTime c = core::calendarFromUnix(t);
    return core::format("%04d/%02d/%02d %02d:%02d:%02d UTC", c.year, c.month, c.day, c.hour,
                        c.minute, c.second);
}

int digits(const std::string& text, size_t at, size_t count) {
    if (at + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace wire::timecode
