#pragma once
#include "refclocks/AsciiTimeCodes.h"
#include "refclocks/CSerialClient.h"

namespace refclocks {

// The EMCPro GPS clock. No description of its serial output is public; this client reads the
// nearest documented once-a-second text of a GPS clock on a 9600 baud 8-N-1 line, the
// Arbiter 1088A/B's broadcast format B5 (see ArbiterDecoder).
class CEMCProClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "EMCPro Clock Client";
    static constexpr int kBaudRate = 9600;
    static constexpr int kParity = 0;
    static constexpr int kStopBits = 0;

    CEMCProClient(engine::MessageHandler& messages, engine::TimeHandler& time, std::string portName,
                  int pollMinutes);
    ~CEMCProClient() override;

    void run() override;
    void lineReset() override;

private:
    ArbiterDecoder decoder_{};
};

}  // namespace refclocks
