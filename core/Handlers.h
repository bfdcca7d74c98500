#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "core/Format.h"

namespace core {

enum class MessageLevel { Info = 0, Status = 1, Warn = 2, Error = 3, Debug = 4, Reserved = 5 };

// Where every source, server and the engine send their text. Implementations receive the
// formatted message; the printf-style helpers format it once.
class MessageHandler {
public:
    virtual ~MessageHandler() = default;
    virtual void message(MessageLevel level, const std::string& source,
                         const std::string& text) = 0;

    void info(const std::string& source, const char* format, ...) KRONEL_PRINTF(3, 4);
    void status(const std::string& source, const char* format, ...) KRONEL_PRINTF(3, 4);
    void warn(const std::string& source, const char* format, ...) KRONEL_PRINTF(3, 4);
    void error(const std::string& source, const char* format, ...) KRONEL_PRINTF(3, 4);
    void debug(const std::string& source, const char* format, ...) KRONEL_PRINTF(3, 4);

    // Whether Debug lines go anywhere; busy loops skip formatting them when they do not.
    virtual bool logsDebug() const { return true; }

    // A server has served: `kind` 1 for an answer (SNTP, daytime, time), 2 for a round of
    // broadcasts. Servers call it at most once a second each; the service shows nothing.
    virtual void serverActive(const std::string& server, int kind) {
        (void)server;
        (void)kind;
    }
};

// Four bytes: letters such as "TIME" or an IPv4 address in network order.
using ReferenceId = std::array<uint8_t, 4>;
ReferenceId referenceIdFromText(const char* letters);
ReferenceId referenceIdFromAddress(uint32_t networkOrderAddress);

// What a source may ask of the engine. Sources measure; only the engine touches the clock.
class TimeHandler {
public:
    virtual ~TimeHandler() = default;
    virtual void setTime(double correction) = 0;  // apply a correction, seconds
    virtual void sourceFailed() = 0;              // may switch source
    virtual int pollExponent() = 0;               // for server packets, 4..14
    virtual ReferenceId referenceId() = 0;        // "LOCL" until a source stores one
    virtual void setReferenceId(const ReferenceId& id) = 0;
    virtual void setSharedText(const std::string& text) = 0;
    virtual std::string sharedText() = 0;
    virtual double now() = 0;  // time value, seconds since 1900
    virtual bool synchronised() = 0;
    virtual void clearSynchronised() = 0;
    // Something the status display shows has changed; the service has no display.
    virtual void stateChanged() {}
};

// log2 of the polling interval in seconds, bounded 4..14.
int pollExponentFor(int frequencyMinutes);

}  // namespace core
