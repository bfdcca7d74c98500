#include "refclocks/CPraecisClient.h"

namespace refclocks {

CPraecisClient::CPraecisClient(core::MessageHandler& messages, core::TimeHandler& time,
                               std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CPraecisClient::~CPraecisClient() {
    stop();
}

void CPraecisClient::lineReset() {
    (void)port_->purge();
    if (!port_->setRts(true).ok()) {
        messages_.debug(name(), "RTS control failed");
    }
    (void)port_->setRts(false);
}

void CPraecisClient::run() {
    lineReset();
    runTimeCode(decoder_, "Praecis", "CDMA");
}

}  // namespace refclocks
