#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/PulseTimeCodes.h"

namespace refclocks {

// A DCF77 receiver whose pulse output drives the port's receive line, sampled at 50 baud:
// one byte a second, a short or long one for each bit of the PTB time code (see
// wire::Dcf77Decoder). The receiver is powered from DTR; RTS is dropped.
class Cdcf77Client : public CSerialClient {
public:
    static constexpr const char* kSourceName = "DCF77 Clock Client";
    static constexpr int kBaudRate = 50;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    Cdcf77Client(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                 int pollMinutes);
    ~Cdcf77Client() override;

    void run() override;
    void lineReset() override;

private:
    wire::Dcf77Decoder decoder_{"DCF77"};
};

}  // namespace refclocks
