#include "wire/DaytimeText.h"

#include <cmath>

namespace wire {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%d" as sscanf reads it: blanks, an optional sign, at least one digit. Values beyond the
// range of int saturate instead of overflowing, which is all a range check needs.
bool readInt(std::string_view text, size_t& at, long long& value) {
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    const size_t digits = at;
    long long v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (v < 10000000000LL) {
            v = v * 10 + (text[at] - '0');
        }
        ++at;
    }
    if (at == digits) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

// "%d:%d:%d" at `at`: the minutes and seconds, -1 for each field not read.
void readTimeOfDay(std::string_view text, size_t at, long long& minutes, long long& seconds) {
    long long hours = -1;
    minutes = -1;
    seconds = -1;
    if (!readInt(text, at, hours) || at >= text.size() || text[at] != ':') {
        return;
    }
    ++at;
    if (!readInt(text, at, minutes) || at >= text.size() || text[at] != ':') {
        return;
    }
    ++at;
    (void)readInt(text, at, seconds);
}

}  // namespace

std::optional<int> secondsWithinHour(std::string_view text) {
    if (text.size() <= 7) {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size() - 7; ++i) {
        if (text[i + 2] != ':' || text[i + 5] != ':') {
            continue;
        }
        long long minutes = -1;
        long long seconds = -1;
        readTimeOfDay(text, i, minutes, seconds);
        if (minutes >= 0 && minutes <= 59 && seconds >= 0 && seconds <= 59) {
            return static_cast<int>(minutes * 60 + seconds);
        }
    }
    return std::nullopt;
}

int correctionWithinHour(int local, int remote) {
    int d = local - remote;
    if (d > 0) {
        d = (d + 1800) % 3600 - 1800;
    } else {
        d = (d - 1800) % 3600 + 1800;  // % keeps the sign of the dividend
    }
    return -d;
}

int localSecondsWithinHour(double timeValue) {
    double wire = std::fmod(std::floor(timeValue), 4294967296.0);
    if (!(wire >= 0)) {
        wire = wire < 0 ? wire + 4294967296.0 : 0;
    }
    return static_cast<int>(static_cast<uint32_t>(wire) % 3600);
}

}  // namespace wire
