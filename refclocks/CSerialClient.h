#pragma once
#include <memory>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/SerialPort.h"
#include "refclocks/SerialSetup.h"
#include "refclocks/TimeCodeReader.h"
#include "wire/TimeCode.h"

namespace refclocks {

// The base of the receivers whose line settings are fixed per clock kind; the port name
// ("COM1") is the entry's address.
class CSerialClient : public engine::CTimeClient {
public:
    CSerialClient(core::MessageHandler& messages, core::TimeHandler& time, std::string portName,
                  int pollMinutes, int baudRate, int dataBits, int parity, int stopBits,
                  std::string sourceName);
    ~CSerialClient() override;

    void start() override;
    void stop() override;
    // Brings the line back to a known state; what that means is the clock's own.
    virtual void lineReset() = 0;

    void setPortOpener(PortOpener opener) { opener_ = std::move(opener); }

protected:
    // Second-pulse receivers are powered from DTR alone (RTS low), and a read ends 1.5 s into
    // the second without a pulse.
    void preparePulseLine();

    // The check of clocks that decode a whole frame before reporting: a time whose change
    // since the last one differs from the local clock's change by more than 60 s is only
    // remembered ("Received time inconsistant with last value" at Warn); otherwise the
    // status line is shown and the time reported with `referenceId`. Both last values are 0
    // at start, so the first frame passes only when the local clock is already close.
    // With `report` false the frame is only checked and remembered; `namesTime` adds the
    // decoded time to the Warn line.
    bool reportIfConsistent(double reference, double local, const std::string& statusLine,
                            const char* referenceId, bool report = true, bool namesTime = false);

    // The run loop of a decoding clock: "Listening for `kind` messages", then every byte to
    // `decoder` and every decoded time through the consistency check, reported at most once a
    // poll interval. Returns when the client stops.
    void runTimeCode(wire::TimeCodeDecoder& decoder, const char* kind, const char* referenceId,
                     bool namesTime = false);

    std::unique_ptr<platform::SerialPort> port_;
    const int baudRate_;
    const int dataBits_;
    const int parity_;
    const int stopBits_;

private:
    PortOpener opener_ = systemPortOpener();
    double lastReference_ = 0;
    double lastLocal_ = 0;
    ReportSchedule schedule_;
};

}  // namespace refclocks
