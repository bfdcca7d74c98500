#include "refclocks/TimeCodeReader.h"

#include <string>

#include "core/Format.h"
#include "platform/Clock.h"
#include "platform/Seams.h"

namespace refclocks {

namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(platform::processClock().monotonic().time_since_epoch())
        .count();
}

void warnRefusal(wire::TimeCodeDecoder& decoder, core::MessageHandler& messages,
                 const std::string& name) {
    const std::string refusal = decoder.takeRefusal();
    if (!refusal.empty()) {
        // Refusals quote what the receiver sent: whatever it was stays within the line.
        messages.warn(name, "%s", core::printableForLog(refusal).c_str());
    }
}

}  // namespace

bool readTimeCodes(const core::ThreadObject& client, platform::SerialPort& port,
                   platform::Event& stop, core::MessageHandler& messages, core::TimeHandler& time,
                   wire::TimeCodeDecoder& decoder, double silenceSeconds,
                   const std::function<void(const wire::DecodedTime&)>& report) {
    double lastByte = monotonicSeconds();
    while (!client.stopping()) {
        unsigned char byte = 0;
        const platform::SerialIo io = port.read(&byte, 1, &stop);
        if (io.stopped) {
            return true;
        }
        const double now = monotonicSeconds();
        if (io.count == 0) {
            // A failed read (a receiver unplugged) must not spin.
            if (io.error != 0 && stop.wait(platform::Millis(100))) {
                return true;
            }
            decoder.gap(now);
            warnRefusal(decoder, messages, client.name());
            continue;
        }
        if (now - lastByte > silenceSeconds) {
            decoder.gap(now);
            warnRefusal(decoder, messages, client.name());
        }
        lastByte = now;
        if (messages.logsDebug()) {
            messages.debug(client.name(), "<%02x>", byte);
        }
        std::optional<wire::DecodedTime> decoded = decoder.take(byte, {time.now(), now});
        warnRefusal(decoder, messages, client.name());
        if (decoded) {
            if (decoder.stamp() == wire::TimeCodeDecoder::Stamp::MessageEnd) {
                decoded->local = time.now();
            }
            report(*decoded);
        }
    }
    return false;
}

void ReportSchedule::reported(int pollMinutes) {
    reported_ = true;
    next_ = platform::processClock().monotonic() +
            platform::scheduleWait(static_cast<long long>(pollMinutes) * 60000);
}

}  // namespace refclocks
