#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace wire {

// What a receiver's decoder hands its client: the reference time of a message's on-time mark
// and the local clock's reading when that mark came, with the line the status display shows.
struct DecodedTime {
    double reference = 0;  // time value (seconds since 1900)
    double local = 0;
    std::string text;
};

// When a byte came: the local clock (a time value) and a monotonic reading in seconds, which
// measures gaps on the line even while the local clock is being stepped.
struct ByteTime {
    double local = 0;
    double monotonic = 0;
};

// Turns a receiver's byte stream into times. Decoders only decode: the client owns the port,
// the checks before reporting and the reporting.
class TimeCodeDecoder {
public:
    virtual ~TimeCodeDecoder() = default;
    // One received byte; a time when it completes a message that holds one.
    virtual std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) = 0;
    // Nothing came for longer than a receiver leaves between two messages or pulses.
    virtual void gap(double /*monotonic*/) {}
    // Why the last message was refused ("" when none was since the last call).
    std::string takeRefusal() { return std::exchange(refusal_, std::string()); }

protected:
    void refuse(std::string why) { refusal_ = std::move(why); }

private:
    std::string refusal_;
};

// Calendar helpers shared by the decoders. All times are UTC time values.
namespace timecode {

bool validDate(int year, int month, int day);
bool validTimeOfDay(int hour, int minute, int second);  // a leap second (60) is allowed
double timeValue(int year, int month, int day, int hour, int minute, double second);
// The date of day `dayOfYear` (1 = 1 January) of `year`; false when the year has no such day.
bool dateOfDayOfYear(int year, int dayOfYear, int& month, int& day);
// The year whose calendar time lies nearest the local clock, of the one before the local
// clock's year, that year and the one after: for formats that send no year, or two digits of
// it (`yearOfCentury` 0..99; -1 for none). nullopt when no such year has the day.
std::optional<double> nearestDayOfYear(int yearOfCentury, int dayOfYear, int hour, int minute,
                                       double second, double local);
std::optional<double> nearestDate(int yearOfCentury, int month, int day, int hour, int minute,
                                  double second, double local);
// The year of the local clock.
int yearOf(double local);
// "2026/12/08 16:55:00 UTC": how the decoders show a time on the status line.
std::string timeText(double reference);
// Digits of `text` at [at, at + count) as a number; -1 unless all are decimal digits.
int digits(const std::string& text, size_t at, size_t count);

}  // namespace timecode

}  // namespace wire
