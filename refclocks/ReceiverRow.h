#pragma once
#include <functional>
#include <memory>
#include <string>

#include "core/Handlers.h"
#include "wire/TimeCode.h"

namespace refclocks {

// Where a receiver's port and line come from.
enum class PortFrom {
    Address,      // the entry's address names the port ("COM1"); the line is the row's
    GpsSettings,  // COMn from GPSPort, 4800 or 9600 baud 8-N-1 from GPSSpeed, RTS handshake
};

// What the client does to the line before it listens.
enum class LineStart {
    Purge,
    PurgeAndPulseRts,  // RTS raised and dropped again resets the receiver
    PulseLine,  // powered from DTR alone (RTS low); a read ends 1.5 s into a second without a pulse
    GpsPort,    // reads end after 5 s without data, so a silent receiver never holds up stop
};

// How decoded times reach the engine, at most once a poll interval.
enum class Gate {
    // Clocks that decode a whole frame: a time whose change since the last one differs from
    // the local clock's change by more than 60 s is only remembered.
    Consistent,
    ConsistentNamingTime,  // the same, the warning naming the refused time
    EveryMessage,          // every time shown, none checked
    // NMEA: reported in the first half of a minute once a second half has been seen, every
    // poll interval's worth of such minutes.
    ByMinute,
};

// What the factory hands every receiver besides its row.
struct ReceiverSettings {
    std::string address{};  // the port of the receivers on a port named by their entry
    int pollMinutes = 1;
    int gpsPort = 3;
    int gpsSpeed = 0;
    std::string nmeaWakeup{};
    int nmeaAdjustMs = 0;
};

// What a decoder may be made with: the time handler (NMEA keeps its position there), the
// adjustment added to a sentence's time, and a wait for the receiver's time mark on the
// modem lines (false: none came in time, or the client stops).
struct DecoderContext {
    core::TimeHandler& time;
    int adjustMs = 0;
    std::function<bool()> timeMark;
};

using DecoderMaker = std::unique_ptr<wire::TimeCodeDecoder> (*)(const DecoderContext&);

// One receiver kind.
struct ReceiverRow {
    int protocol;
    const char* name;         // the source name
    const char* kind;         // "Listening for <kind> messages"
    const char* referenceId;  // of each time it reports
    PortFrom port;
    int baudRate;  // the line of PortFrom::Address rows, 8 data bits
    int parity;
    int stopBits;
    LineStart lineStart;
    Gate gate;
    bool sendsWakeup;  // the NMEAWakeup text, once, 5 s after the start
    DecoderMaker decoder;
};

}  // namespace refclocks
