#pragma once
#include "refclocks/CSerialClient.h"
#include "wire/BinaryTimeCodes.h"

namespace refclocks {

// Trimble GPS timing receivers (ThunderBolt, Resolution T, Acutime) speaking TSIP at 9600
// baud 8-O-1; the time comes from the primary timing packet 0x8F-AB (see wire::TsipDecoder).
class CTrimbleClient : public CSerialClient {
public:
    static constexpr const char* kSourceName = "Trimble Clock Client";
    static constexpr int kBaudRate = 9600;
    static constexpr int kParity = 1;
    static constexpr int kStopBits = 0;

    CTrimbleClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                   int pollMinutes);
    ~CTrimbleClient() override;

    void run() override;
    void lineReset() override;

private:
    wire::TsipDecoder decoder_{};
};

}  // namespace refclocks
