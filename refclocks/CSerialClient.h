#pragma once
#include <memory>
#include <string>

#include "engine/CTimeClient.h"
#include "platform/SerialPort.h"
#include "refclocks/ReceiverRow.h"
#include "refclocks/SerialSetup.h"
#include "refclocks/TimeCodeReader.h"
#include "wire/TimeCode.h"

namespace refclocks {

// The port a receiver opens and the line it sets, as the factory works them out.
struct SerialLine {
    std::string path;       // "\\.\COM1"
    std::string shownName;  // how messages name the port; the client's address
    std::string mode;
    platform::LineSettings line;
    platform::SerialTimeouts timeouts;
    std::string complaint;  // an Error line each start gives first ("" for none)
};

// The NMEAWakeup text as sent: \n, \r and \t become their control characters; a backslash
// before anything else stands for that character.
std::string expandWakeup(const std::string& text);

// Every receiver: opens its port, prepares the line as its row says, hands each byte to its
// decoder and each decoded time through the one report gate.
class CSerialClient : public engine::CTimeClient {
public:
    // A pulse later than this after a sentence belongs to another second; also the bound on
    // the wait, so stop never waits on a receiver without a pulse line.
    static constexpr platform::Millis kPulseLimit{2000};

    CSerialClient(core::MessageHandler& messages, core::TimeHandler& time, const ReceiverRow& row,
                  SerialLine line, const ReceiverSettings& settings);
    ~CSerialClient() override;

    void start() override;
    void stop() override;
    void run() override;

    void setPortOpener(PortOpener opener) { opener_ = std::move(opener); }

protected:
    // The consistency check of Gate::Consistent: a time whose change since the last one
    // differs from the local clock's change by more than 60 s is only remembered ("Received
    // time inconsistant with last value" at Warn); otherwise the status line is shown and the
    // time reported with `referenceId`. Both last values are 0 at start, so the first frame
    // passes only when the local clock is already close. With `report` false the frame is
    // only checked and remembered; `namesTime` adds the decoded time to the Warn line.
    bool reportIfConsistent(double reference, double local, const std::string& statusLine,
                            const char* referenceId, bool report = true, bool namesTime = false);

    std::unique_ptr<platform::SerialPort> port_;

private:
    void prepareLine();
    void sendWakeup();
    // The report gate: every decoded time passes here on its way to the engine.
    void report(const wire::DecodedTime& t);
    void minuteRule(const wire::DecodedTime& t);
    void publish(double correction);
    // Waits for the next change of the modem lines, the second mark of a 1PPS receiver.
    bool awaitModemChange();

    const ReceiverRow& row_;
    const SerialLine line_;
    const std::string wakeup_;
    std::unique_ptr<wire::TimeCodeDecoder> decoder_;
    PortOpener opener_ = systemPortOpener();
    double lastReference_ = 0;
    double lastLocal_ = 0;
    ReportSchedule schedule_;
    bool armed_ = true;
    int countdown_ = 0;
};

}  // namespace refclocks
