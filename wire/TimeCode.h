#pragma once
#include <cstdint>
#include <functional>
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
    // Receivers that send several messages a second are reported by the minute: the second of
    // the minute the message names, and whether the message may be reported at all (a fix
    // that is not valid still counts its minute). -1: not counted by the minute.
    int second = -1;
    bool usable = true;
    // The correction for a local reading when it is not reference - local (a message that
    // names only a time of day folds it into half a day around the local clock).
    std::function<double(double local)> offset{};
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
    // Which moment stamps a decoded time: the arrival of the byte that carries the message's
    // on-time mark (the decoder takes it from that byte's ByteTime), or the end of the message,
    // read once the decoder is done with its last byte (and any time mark after it).
    enum class Stamp { MarkByte, MessageEnd };

    virtual ~TimeCodeDecoder() = default;
    virtual Stamp stamp() const { return Stamp::MarkByte; }
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
