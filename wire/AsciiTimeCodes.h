#pragma once
// The text time codes of the receivers that send one line per second (or minute).
#include <string>

#include "wire/TimeCode.h"

namespace wire {

// Collects one line between a start and an end byte and notes the local clock at the line's
// on-time mark, which each format puts in a different place.
class AsciiLineDecoder : public TimeCodeDecoder {
public:
    std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) override;

protected:
    enum class OnTime {
        StartByte,             // the start byte itself
        FirstByte,             // the first byte after the start byte
        EndByte,               // the end byte
        CarriageReturnBefore,  // the carriage return before the start byte
    };
    AsciiLineDecoder(unsigned char start, unsigned char end, OnTime onTime, size_t maxLength,
                     const char* formatName);
    // The line without its start and end bytes, and the local clock at its on-time mark.
    virtual std::optional<DecodedTime> decode(const std::string& line, double onTimeLocal) = 0;

    const char* const formatName_;

private:
    const unsigned char start_;
    const unsigned char end_;
    const OnTime onTime_;
    const size_t maxLength_;
    bool collecting_ = false;
    std::string line_;
    double lineLocal_ = 0;
    double lastCarriageReturn_ = 0;
    bool afterCarriageReturn_ = false;
};

// Kinemetrics/TrueTime receivers (GPS-DC, GPS-TM/TMD, XL-DC, 468-DC, OM-DC, TL-3): once a
// second "<SOH>DDD:HH:MM:SSQ<CR><LF>", the carriage return on time, Q the time quality
// (' ' < 1 ms, '.' 1 ms, '*' 5 ms, '#' 50 ms, '?' 500 ms; OMEGA 'A'-'H' < 1 ms, '>' 5 s).
// Followed: TrueTime XL-DC manual, serial function F08; NTP's reference-clock documentation
// page of the TrueTime driver (driver 5). No year is sent: the local clock's date supplies it.
class TruetimeDecoder : public AsciiLineDecoder {
public:
    TruetimeDecoder();

protected:
    std::optional<DecodedTime> decode(const std::string& line, double onTimeLocal) override;
};

// Spectracom WWVB/GPS clocks, data formats 0 and 2, each line on time at its leading <CR>:
//   format 0  "<CR><LF>I^^DDD^HH:MM:SS^^TZ=zz<CR><LF>"  (I ' ' synchronised, '?' not)
//   format 2  "<CR><LF>IQyy^ddd^hh:mm:ss.fff^LD"        (Q ' ' < 1 ms, 'A' < 10 ms,
//             'B' < 100 ms, 'C' < 500 ms, 'D' > 500 ms; L leap second, D daylight saving)
// Followed: Spectracom's ASCII data format descriptions (NetClock manual appendix); NTP's
// reference-clock documentation page of the Spectracom driver (driver 4). Format 0 is taken
// when it carries UTC (TZ=00); its day of the year takes its year from the local clock.
class SpectracomDecoder : public AsciiLineDecoder {
public:
    SpectracomDecoder();

protected:
    std::optional<DecodedTime> decode(const std::string& line, double onTimeLocal) override;
};

// EndRun Technologies' native time-of-day message, sent by the Praecis Ct, Cf and Ce:
// "T YYYY DDD HH:MM:SS zZZ m<CR><LF>" once a second, the Time Figure Of Merit T ('6'..'9',
// '9' unsynchronised) on time; z ZZ the offset to UTC in half hours; m the time mode
// (U UTC, L local, G GPS, T TAI). Followed: EndRun's time format as published in the
// Spectracom SecureSync manual ("EndRun Formats") and EndRun's Praecis user manual.
class EndRunDecoder : public AsciiLineDecoder {
public:
    EndRunDecoder();

protected:
    std::optional<DecodedTime> decode(const std::string& line, double onTimeLocal) override;
};

// Meinberg's standard time string of its DCF77 and GPS clocks:
// "<STX>D:dd.mm.yy;T:w;U:hh.mm.ss;uvxy<ETX>", the <STX> on time; u '#' not synchronised
// since reset, v '*' running on its crystal, x the zone ('U' UTC, ' ' CET, 'S' CEST), y an
// announcement. Followed: Meinberg's page "Meinberg Standard Time String" (timestr.htm).
class MeinbergDecoder : public AsciiLineDecoder {
public:
    MeinbergDecoder();

protected:
    std::optional<DecodedTime> decode(const std::string& line, double onTimeLocal) override;
};

// The Arbiter 1088A/B GPS clock's broadcast format B5, "<CR><LF>i yy ddd hh:mm:ss.000bbb",
// on time at the leading <CR>, i ' ' locked or '?' unlocked. Followed: NTP's
// reference-clock documentation page of the Arbiter driver (driver 11).
class ArbiterDecoder : public AsciiLineDecoder {
public:
    ArbiterDecoder();

protected:
    std::optional<DecodedTime> decode(const std::string& line, double onTimeLocal) override;
};

// Gude's serial DCF77 receiver protocol: "<hhmmTTMMYYWZFFSUA000KK>PP", local German time,
// Z 'F' radio or 'Q' crystal, S 1 in summer time, KK the seconds, PP the sum of every byte
// from '<' to '>' modulo 256 in hexadecimal; the '<' on time. Followed: Gude's description of
// the receiver's output ("FAQ V.24 Ausgabeprotokoll", configuration "Gude").
class GudeDecoder : public TimeCodeDecoder {
public:
    std::optional<DecodedTime> take(unsigned char byte, const ByteTime& at) override;

private:
    std::optional<DecodedTime> decode(double onTimeLocal);

    enum class State { Hunting, Body, Checksum } state_ = State::Hunting;
    std::string frame_;
    double startLocal_ = 0;
};

}  // namespace wire
