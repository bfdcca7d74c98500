#pragma once
#include <memory>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/SerialPort.h"
#include "refclocks/SerialSetup.h"

namespace refclocks {

// The base of the receivers whose line settings are fixed per clock kind; the port name
// ("COM1") is the entry's address.
class CSerialClient : public engine::CTimeClient {
public:
    CSerialClient(engine::MessageHandler& messages, engine::TimeHandler& time, std::string portName,
                  int pollMinutes, int baudRate, int dataBits, int parity, int stopBits,
                  std::string sourceName);
    ~CSerialClient() override;

    void start() override;
    void stop() override;
    // Brings the line back to a known state; what that means is the clock's own.
    virtual void lineReset() = 0;

    void setPortOpener(PortOpener opener) { opener_ = std::move(opener); }

protected:
    std::unique_ptr<platform::SerialPort> port_;
    const int baudRate_;
    const int dataBits_;
    const int parity_;
    const int stopBits_;

private:
    PortOpener opener_ = systemPortOpener();
};

}  // namespace refclocks
