#include "refclocks/CIRIGBClient.h"

namespace refclocks {

CIRIGBClient::CIRIGBClient(core::MessageHandler& messages, core::TimeHandler& time,
                           std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CIRIGBClient::~CIRIGBClient() {
    stop();
}

void CIRIGBClient::lineReset() {
    (void)port_->purge();
}

void CIRIGBClient::run() {
    lineReset();
    runTimeCode(decoder_, "IRIG-B", "IRIG");
}

}  // namespace refclocks
