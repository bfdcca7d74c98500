#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/AsciiTimeCodes.h"

namespace refclocks {

// Galleon's radio clocks (DCF77 and MSF receivers for a PC's serial port). Galleon publishes
// no description of its receivers' serial output; this client reads the nearest documented
// telegram of a serial DCF77 receiver, Gude's (see wire::GudeDecoder), on the line Galleon's
// receivers use, 2400 baud 8-N-1.
class CGalleonClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "Galleon Clock Client";
    static constexpr int kBaudRate = 2400;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CGalleonClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                   int pollMinutes);
    ~CGalleonClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::GudeDecoder decoder_{};
};

}  // namespace refclocks
