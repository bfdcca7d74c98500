#include "refclocks/CTruetimeClient.h"

namespace refclocks {

CTruetimeClient::CTruetimeClient(core::MessageHandler& messages, core::TimeHandler& time,
                                 std::string portName, int pollMinutes)
    : CSerialClient(messages, time, std::move(portName), pollMinutes, kBaudRate, 8, kParity,
                    kStopBits, kSourceName) {}

CTruetimeClient::~CTruetimeClient() {
    stop();
}

void CTruetimeClient::lineReset() {
    (void)port_->purge();
}

void CTruetimeClient::run() {
    lineReset();
    runTimeCode(decoder_, "Truetime", "GPS");
}

}  // namespace refclocks
