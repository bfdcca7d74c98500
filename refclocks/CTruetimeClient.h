#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/AsciiTimeCodes.h"

namespace refclocks {

// Kinemetrics/TrueTime GPS, GOES, OMEGA and WWV receivers: the once-a-second time output at
// 9600 baud 8-N-1 (see wire::TruetimeDecoder).
class CTruetimeClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "Truetime Clock Client";
    static constexpr int kBaudRate = 9600;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CTruetimeClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                    int pollMinutes);
    ~CTruetimeClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::TruetimeDecoder decoder_{};
};

}  // namespace refclocks
