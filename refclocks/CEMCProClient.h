#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/AsciiTimeCodes.h"

namespace refclocks {

// The EMCPro GPS clock. No description of its serial output is public; this client reads the
// nearest documented once-a-second text of a GPS clock on a 9600 baud 8-N-1 line, the
// Arbiter 1088A/B's broadcast format B5 (see wire::ArbiterDecoder).
class CEMCProClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "EMCPro Clock Client";
    static constexpr int kBaudRate = 9600;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CEMCProClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                  int pollMinutes);
    ~CEMCProClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::ArbiterDecoder decoder_{};
};

}  // namespace refclocks
