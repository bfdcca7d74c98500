#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace wire {

// Daytime answers are free text whose layout varies by server; only the minutes and seconds
// of the first "hh:mm:ss" group are trusted, so the hour, date and time zone never matter.

// Seconds within the hour (minutes x 60 + seconds) of the first position whose third and sixth
// characters are colons and that reads as "%d:%d:%d" with minutes and seconds 0 to 59. Texts of
// 7 characters or fewer hold no time.
std::optional<int> secondsWithinHour(std::string_view text);

// The correction, in seconds, that brings `localSecondsWithinHour` to `remoteSecondsWithinHour`
// along the shorter way round the hour: -1800 to +1800, positive when the server is ahead.
int correctionWithinHour(int localSecondsWithinHour, int remoteSecondsWithinHour);

// Whole seconds of a time value (seconds since 1900), modulo 2^32 as the wire formats keep
// them, within the hour.
int localSecondsWithinHour(double timeValue);

}  // namespace wire
