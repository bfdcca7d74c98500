#include "refclocks/CZodiac.h"

namespace refclocks {

CZodiac::CZodiac(core::MessageHandler& messages, core::TimeHandler& time, int pollMinutes,
                 int portNumber, int speedIndex)
    : CGPSClient(messages, time, pollMinutes, portNumber, speedIndex, kSourceName) {}

CZodiac::~CZodiac() {
    stop();
}

void CZodiac::run() {
    // Reads end after 5 s without data, so stopping is never held up by a silent receiver.
    platform::SerialTimeouts timeouts;
    timeouts.readTotalConstant = 5000;
    timeouts.writeTotalConstant = 1000;
    (void)port_->setTimeouts(timeouts);
    (void)port_->purge();
    signalStarted();
    messages_.debug(name(), "started");
    messages_.info(name(), "Listening for Zodiac messages");
    const bool stopped = readTimeCodes(*this, *port_, stopEvent_, messages_, time_, decoder_, 1.5,
                                       [&](const wire::DecodedTime& t) {
                                           messages_.status(name(), "%s", t.text.c_str());
                                           if (!schedule_.due()) {
                                               return;
                                           }
                                           time_.setTime(t.reference - t.local);
                                           time_.setReferenceId(core::referenceIdFromText("GPS"));
                                           schedule_.reported(pollMinutes());
                                       });
    if (stopped) {
        markStopped();
    }
}

}  // namespace refclocks
