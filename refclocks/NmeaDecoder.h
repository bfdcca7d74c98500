#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/Handlers.h"
#include "wire/NmeaSentence.h"
#include "wire/TimeCode.h"

namespace refclocks {

// NMEA 0183 from a GPS receiver: collects each sentence from the line feed to its carriage
// return or asterisk and turns RMC, ZDA and GGA sentences into times, each stamped at the
// sentence's end. The position of a valid fix is kept as the handler's shared text.
class NmeaDecoder : public wire::TimeCodeDecoder {
public:
    static constexpr size_t kSentenceBytes = 1023;

    // `timeMark`, when set, is waited for after each sentence: the mark of the second after it
    // (false drops the sentence), so RMC's time is one second later.
    NmeaDecoder(core::TimeHandler& time, int adjustMs, std::function<bool()> timeMark = {});

    std::optional<wire::DecodedTime> take(unsigned char byte, const wire::ByteTime& at) override;
    Stamp stamp() const override { return Stamp::MessageEnd; }

private:
    std::optional<wire::DecodedTime> use(std::string_view sentence);
    std::optional<wire::DecodedTime> onRmc();
    std::optional<wire::DecodedTime> onZda();
    std::optional<wire::DecodedTime> onGga();
    // The reference time of the last sentence as a time value, adjustment included.
    double referenceTime() const;

    core::TimeHandler& time_;
    const int adjustMs_;
    const std::function<bool()> timeMark_;

    bool hunting_ = true;
    std::string sentence_;
    wire::NmeaReading reading_;
    bool zdaSeen_ = false;
    bool rmcSeen_ = false;
};

}  // namespace refclocks
