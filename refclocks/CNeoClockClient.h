#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/AsciiTimeCodes.h"

namespace refclocks {

// The NeoClock4X DCF77/TDF receiver on 2400 baud 8-N-2, as NTP's reference-clock
// documentation page of its driver (driver 44) and Neol's manual describe the line. The
// layout of its telegram is not publicly documented: this client reads the nearest
// documented telegram of a serial DCF77 receiver, Meinberg's standard time string (see
// wire::MeinbergDecoder).
class CNeoClockClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "NeoClock Clock Client";
    static constexpr int kBaudRate = 2400;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 2;

    CNeoClockClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                    int pollMinutes);
    ~CNeoClockClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::MeinbergDecoder decoder_{};
};

}  // namespace refclocks
