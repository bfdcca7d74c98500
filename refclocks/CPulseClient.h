#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/PulseTimeCodes.h"

namespace refclocks {

// Radio clocks that give only their demodulated second pulses, sampled at 50 baud. No maker's
// description of the "Pulse" clock is public; the nearest documented pulse code received in
// its market is DCF77's (PTB's time code), which this client decodes as the DCF77 client
// does (see wire::Dcf77Decoder), naming the refused time in its consistency warning.
class CPulseClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "Pulse Clock Client";
    static constexpr int kBaudRate = 50;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CPulseClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                 int pollMinutes);
    ~CPulseClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::Dcf77Decoder decoder_{"Pulse"};
};

}  // namespace refclocks
