#include "refclocks/Receivers.h"

#include <array>

#include "core/Format.h"
#include "refclocks/NmeaDecoder.h"
#include "wire/AsciiTimeCodes.h"
#include "wire/BinaryTimeCodes.h"
#include "wire/PulseTimeCodes.h"

namespace refclocks {

namespace {

template <typename Decoder>
std::unique_ptr<wire::TimeCodeDecoder> plain(const DecoderContext&) {
    return std::make_unique<Decoder>();
}

std::unique_ptr<wire::TimeCodeDecoder> dcf77(const DecoderContext&) {
    return std::make_unique<wire::Dcf77Decoder>("DCF77");
}

// No maker's description of the "Pulse" clock is public; the nearest documented pulse code
// received in its market is DCF77's.
std::unique_ptr<wire::TimeCodeDecoder> pulse(const DecoderContext&) {
    return std::make_unique<wire::Dcf77Decoder>("Pulse");
}

std::unique_ptr<wire::TimeCodeDecoder> nmea(const DecoderContext& c) {
    return std::make_unique<NmeaDecoder>(c.time, c.adjustMs);
}

// The sentence gives the date and time, the next change of the modem lines marks the second.
std::unique_ptr<wire::TimeCodeDecoder> nmeaWithPulse(const DecoderContext& c) {
    return std::make_unique<NmeaDecoder>(c.time, c.adjustMs, c.timeMark);
}

using enum PortFrom;
using enum LineStart;
using enum Gate;

// Where a receiver's maker publishes no description of its output, its row reads the nearest
// documented one: NeoClock4X (2400 8-N-2, as the NeoClock manual gives the line) reads
// Meinberg's standard time string, Galleon's DCF77/MSF clocks (2400 8-N-1) Gude's telegram,
// EMCPro the Arbiter 1088's broadcast format B5.
constexpr std::array<ReceiverRow, 13> kReceivers = {{
    {5, "Zodiac GPS Client", "Zodiac", "GPS", GpsSettings, 0, 0, 0, GpsPort, EveryMessage, false,
     plain<wire::ZodiacDecoder>},
    {6, "NMEA Client", "GPS", "GPS", GpsSettings, 0, 0, 0, GpsPort, ByMinute, true, nmea},
    {9, "Galleon Clock Client", "Galleon", "DCF", Address, 2400, 0, 0, Purge, Consistent, false,
     plain<wire::GudeDecoder>},
    {11, "Trimble Clock Client", "Trimble", "GPS", Address, 9600, 1, 0, PurgeAndPulseRts,
     Consistent, false, plain<wire::TsipDecoder>},
    {12, "Praecis Clock Client", "Praecis", "CDMA", Address, 9600, 0, 0, PurgeAndPulseRts,
     Consistent, false, plain<wire::EndRunDecoder>},
    {13, "Truetime Clock Client", "Truetime", "GPS", Address, 9600, 0, 0, Purge, Consistent, false,
     plain<wire::TruetimeDecoder>},
    {14, "Spectracom Clock Client", "Spectracom", "WWVB", Address, 9600, 0, 0, Purge, Consistent,
     false, plain<wire::SpectracomDecoder>},
    {15, "NeoClock Clock Client", "NeoClock", "DCF", Address, 2400, 0, 2, Purge, Consistent, false,
     plain<wire::MeinbergDecoder>},
    {20, "DCF77 Clock Client", "DCF77", "DCF", Address, 50, 0, 0, PulseLine, Consistent, false,
     dcf77},
    {21, "Pulse Clock Client", "Pulse", "DCF", Address, 50, 0, 0, PulseLine, ConsistentNamingTime,
     false, pulse},
    {22, "EMCPro Clock Client", "EMCPro", "GPS", Address, 9600, 0, 0, Purge, Consistent, false,
     plain<wire::ArbiterDecoder>},
    {23, "IRIG-B Clock Client", "IRIG-B", "IRIG", Address, 1000, 0, 0, Purge, Consistent, false,
     plain<wire::IrigBDecoder>},
    {24, "NMEA with 1PPS Client", "GPS", "GPS", GpsSettings, 0, 0, 0, GpsPort, ByMinute, true,
     nmeaWithPulse},
}};

// The mode string of a GPSSpeed index; nullptr for an index without one.
const char* gpsMode(int speedIndex) {
    switch (speedIndex) {
        case 0:
            return "baud=4800 parity=N data=8 stop=1";
        case 1:
            return "baud=9600 parity=N data=8 stop=1";
        default:
            return nullptr;
    }
}

}  // namespace

std::span<const ReceiverRow> receiverRows() {
    return kReceivers;
}

const ReceiverRow* receiverRow(int protocol) {
    for (const ReceiverRow& row : kReceivers) {
        if (row.protocol == protocol) {
            return &row;
        }
    }
    return nullptr;
}

SerialLine serialLine(const ReceiverRow& row, const ReceiverSettings& settings) {
    SerialLine out;
    out.line.dataBits = 8;
    out.line.dtr = platform::DtrControl::Enable;
    out.timeouts.writeTotalConstant = 1000;
    if (row.port == Address) {
        out.path = "\\\\.\\" + settings.address;
        out.shownName = settings.address;
        // The line settings, not the mode string, carry the row's line.
        out.mode = "baud=9600 parity=O data=8 stop=1";
        out.line.baudRate = row.baudRate;
        out.line.parity = row.parity;
        out.line.stopBits = row.stopBits;
        out.line.rts = platform::RtsControl::Enable;
        out.timeouts.readTotalConstant = 5000;
        return out;
    }
    out.path = core::format("\\\\.\\COM%d", settings.gpsPort);
    out.shownName = out.path;
    const char* mode = gpsMode(settings.gpsSpeed);
    if (mode == nullptr) {
        out.complaint =
            core::format("GPS speed %d is not supported, using 4800 baud", settings.gpsSpeed);
        mode = gpsMode(0);
    }
    out.mode = mode;
    out.line.baudRate = settings.gpsSpeed == 1 ? 9600 : 4800;
    out.line.parity = 0;
    out.line.stopBits = 0;
    out.line.rts = platform::RtsControl::Handshake;
    return out;
}

std::unique_ptr<CSerialClient> makeReceiver(const ReceiverRow& row,
                                            const ReceiverSettings& settings,
                                            core::MessageHandler& messages,
                                            core::TimeHandler& time) {
    return std::make_unique<CSerialClient>(messages, time, row, serialLine(row, settings),
                                           settings);
}

std::unique_ptr<CSerialClient> makeReceiver(int protocol, const ReceiverSettings& settings,
                                            core::MessageHandler& messages,
                                            core::TimeHandler& time) {
    const ReceiverRow* row = receiverRow(protocol);
    return row == nullptr ? nullptr : makeReceiver(*row, settings, messages, time);
}

}  // namespace refclocks
