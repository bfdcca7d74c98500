#pragma once
// Time codes read from a receiver's pulse line sampled by the serial port: each pulse starts
// a character, and how many of its bits are low tells the pulse's length.
#include <cstdint>
#include <vector>

#include "wire/TimeCode.h"

namespace wire {

// How long a pulse that became `byte` was, in bit times: the start bit and the low data
// bits that follow it (data bits come least significant first).
int pulseBits(unsigned char byte);

// DCF77 at 50 baud (20 ms a bit): a 100 ms pulse (binary 0) leaves 5 bit times low (0xF0), a
// 200 ms pulse (binary 1) all 10 (0x00). Second 59 has no pulse, so the gap marks the minute;
// the frame of seconds 0-58 names the minute that begins with the next pulse: bit 0 always
// 0, 17/18 CEST/CET, 20 always 1, minutes 21-27 (BCD) with even parity 28, hours 29-34 with
// parity 35, day 36-41, weekday 42-44, month 45-49, year 50-57 with parity 58 over 36-57.
// Followed: PTB, "Zeit- und Normalfrequenzverbreitung mit DCF77" (the DCF77 time code).
class Dcf77Decoder : public TimeCodeDecoder {
public:
    static constexpr double kMarkPatience = 2.5;  // seconds from the gap to the minute's pulse
    explicit Dcf77Decoder(const char* clockName = "DCF77") : clockName_(clockName) {}
    std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) override;
    void gap(double monotonic) override;

    // Decodes 59 bits (seconds 0 to 58) into the UTC time of the minute they name.
    std::optional<double> decodeFrame(const std::vector<uint8_t>& bits, double local);

private:
    const char* clockName_;
    std::vector<uint8_t> bits_;
    bool synced_ = true;  // the start counts as a gap: a frame must still have 59 pulses
    std::optional<double> pending_;
    double pendingSince_ = 0;
    double lastLocal_ = 0;
};

// IRIG-B at 1000 baud (1 ms a bit): 100 elements a second, 2 ms (binary 0, 0xFE), 5 ms
// (binary 1, 0xF0) and 8 ms (position marker, 0x80) long. P0 then Pr begins a frame, whose
// leading edge is on time; markers every tenth element; BCD seconds (1-8), minutes (10-17),
// hours (20-26), day of the year (30-41) and the year of the century in the control
// functions (50-58) where the generator sends it (00 otherwise: the local clock supplies it).
// Followed: IRIG Standard 200-04, "IRIG Serial Time Code Formats", format B.
class IrigBDecoder : public TimeCodeDecoder {
public:
    enum Element : uint8_t { Zero = 0, One = 1, Marker = 2 };
    static Element element(unsigned char byte);

    std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) override;
    // Decodes a frame of 100 elements from Pr; the UTC time of its on-time mark.
    std::optional<double> decodeFrame(const std::vector<uint8_t>& elements, double local);

private:
    std::vector<uint8_t> elements_;
    bool collecting_ = false;
    bool lastWasMarker_ = false;
    double frameLocal_ = 0;
};

}  // namespace wire
