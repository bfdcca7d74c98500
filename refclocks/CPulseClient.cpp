#include "refclocks/CPulseClient.h"

namespace refclocks {

CPulseClient::CPulseClient(engine::MessageHandler& messages, engine::TimeHandler& time,
                           std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CPulseClient::~CPulseClient() {
    stop();
}

void CPulseClient::lineReset() {
    // The pulse line needs no reset.
}

void CPulseClient::run() {
    // The receiver is powered from DTR alone, and a read ends 1.5 s into the second
    // without a pulse.
    if (!port_->setRts(false).ok()) {
        messages_.debug(name(), "RTS control failed");
    }
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstant = 1500;
    timeouts.writeTotalConstant = 1000;
    (void)port_->setTimeouts(timeouts);
    lineReset();
    runTimeCode(decoder_, "Pulse", "DCF", true);
}

}  // namespace refclocks
