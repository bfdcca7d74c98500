#include "refclocks/CSpectracomClient.h"

namespace refclocks {

CSpectracomClient::CSpectracomClient(core::MessageHandler& messages, core::TimeHandler& time,
                                     std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CSpectracomClient::~CSpectracomClient() {
    stop();
}

void CSpectracomClient::lineReset() {
    (void)port_->purge();
}

void CSpectracomClient::run() {
    lineReset();
    runTimeCode(decoder_, "Spectracom", "WWVB");
}

}  // namespace refclocks
