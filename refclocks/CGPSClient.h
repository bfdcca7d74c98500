#pragma once
#include <memory>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/SerialPort.h"
#include "refclocks/SerialSetup.h"

namespace refclocks {

// The base of the GPS receivers: the port is COMn from GPSPort, the speed an index from
// GPSSpeed. start opens and configures the port before the thread runs.
class CGPSClient : public engine::CTimeClient {
public:
    CGPSClient(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
               int portNumber, int speedIndex, std::string sourceName);
    ~CGPSClient() override;

    void start() override;
    void stop() override;

    // The mode string of a speed index; nullptr for an index without one.
    static const char* modeString(int speedIndex);
    // "\\.\COM3"
    static std::string devicePath(int portNumber);

    void setPortOpener(PortOpener opener) { opener_ = std::move(opener); }

protected:
    std::unique_ptr<platform::SerialPort> port_;
    const int portNumber_;
    const int speedIndex_;

private:
    PortOpener opener_ = systemPortOpener();
};

}  // namespace refclocks
