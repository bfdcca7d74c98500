#include "refclocks/CSerialClient.h"

#include <cmath>

namespace refclocks {

CSerialClient::CSerialClient(core::MessageHandler& messages, core::TimeHandler& time,
                             std::string portName, int pollMinutes, int baudRate, int dataBits,
                             int parity, int stopBits, std::string sourceName)
    : CTimeClient(messages, time, std::move(portName), pollMinutes, std::move(sourceName)),
      baudRate_(baudRate),
      dataBits_(dataBits),
      parity_(parity),
      stopBits_(stopBits) {}

CSerialClient::~CSerialClient() {
    stop();
}

void CSerialClient::start() {
    platform::LineSettings line;
    line.baudRate = baudRate_;
    line.dataBits = dataBits_;
    line.parity = parity_;
    line.stopBits = stopBits_;
    line.dtr = platform::DtrControl::Enable;
    line.rts = platform::RtsControl::Enable;
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstant = 5000;
    timeouts.writeTotalConstant = 1000;
    const std::string path = "\\\\.\\" + server_;
    std::string failure;
    port_ = openAndConfigure(opener_, path, "baud=9600 parity=O data=8 stop=1", line, timeouts,
                             server_, failure);
    if (!port_) {
        messages_.error(name(), "%s", failure.c_str());
        time_.sourceFailed();
        return;
    }
    CTimeClient::start();
}

bool CSerialClient::reportIfConsistent(double reference, double local,
                                       const std::string& statusLine, const char* referenceId,
                                       bool report, bool namesTime) {
    const double drift = std::fabs((reference - lastReference_) - (local - lastLocal_));
    lastReference_ = reference;
    lastLocal_ = local;
    if (drift > 60.0) {
        if (namesTime) {
            messages_.warn(name(), "Received time inconsistant with last value (%s)",
                           statusLine.c_str());
        } else {
            messages_.warn(name(), "Received time inconsistant with last value");
        }
        return false;
    }
    messages_.status(name(), "%s", statusLine.c_str());
    if (!report) {
        return false;
    }
    time_.setTime(reference - local);
    time_.setReferenceId(core::referenceIdFromText(referenceId));
    return true;
}

void CSerialClient::runTimeCode(wire::TimeCodeDecoder& decoder, const char* kind,
                                const char* referenceId, bool namesTime) {
    signalStarted();
    messages_.debug(name(), "started");
    messages_.info(name(), "Listening for %s messages", kind);
    // Pulse clocks leave a second without a pulse: a silence of 1.5 s marks it.
    const bool stopped = readTimeCodes(
        *this, *port_, stopEvent_, messages_, time_, decoder, 1.5, [&](const wire::DecodedTime& t) {
            const bool due = schedule_.due();
            if (reportIfConsistent(t.reference, t.local, t.text, referenceId, due, namesTime)) {
                schedule_.reported(pollMinutes());
            }
        });
    if (stopped) {
        markStopped();
    }
}

void CSerialClient::stop() {
    // The thread ends first (its reads wake on the stop event), then the port closes.
    CTimeClient::stop();
    port_.reset();
}

void CSerialClient::preparePulseLine() {
    if (!port_->setRts(false).ok()) {
        messages_.debug(name(), "RTS control failed");
    }
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstant = 1500;
    timeouts.writeTotalConstant = 1000;
    (void)port_->setTimeouts(timeouts);
}

}  // namespace refclocks
