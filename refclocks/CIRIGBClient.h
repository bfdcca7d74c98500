#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/PulseTimeCodes.h"

namespace refclocks {

// An IRIG-B (DC level shift) time code on the port's receive line, sampled at 1000 baud: one
// byte for each 10 ms bit element, its length telling 0, 1 and marker apart (see
// wire::IrigBDecoder).
class CIRIGBClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "IRIG-B Clock Client";
    static constexpr int kBaudRate = 1000;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CIRIGBClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                 int pollMinutes);
    ~CIRIGBClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::IrigBDecoder decoder_{};
};

}  // namespace refclocks
