#pragma once
// What the eleven kinds of receiver send for a given UTC second, built from their documented
// formats, for the receiver tests and the whole-program test. A stream is a list of chunks:
// between two chunks the line falls silent for longer than a second (the DCF77 minute mark).
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Chunks = std::vector<std::string>;

// `unix` is whole seconds since 1970 (UTC).
std::string truetimeMessage(int64_t unix, char quality = ' ');
std::string spectracomFormat0(int64_t unix);
std::string spectracomFormat2(int64_t unix);  // ends with the next message's <CR>
std::string endRunMessage(int64_t unix, char figureOfMerit = '7');
std::string meinbergString(int64_t unix);  // in UTC (zone 'U')
std::string arbiterB5(int64_t unix);       // ends with the next message's <CR>
std::string gudeTelegram(int64_t unix);    // German time, with its checksum
std::string tsipPrimaryTiming(int64_t unix);
// Message 1108 naming the pulse at `unix`.
std::string zodiacTimeMark(int64_t unix);
// The 59 pulses naming the minute that begins at `unix` (a whole minute), then that
// minute's first pulse.
Chunks dcf77Minute(int64_t unix);
std::vector<uint8_t> dcf77Bits(int64_t unix);
std::string dcf77Pulses(const std::vector<uint8_t>& bits);
// One IRIG-B frame (100 elements) for the second `unix`, the year in the control functions
// when `withYear`, preceded by the last marker of the frame before.
std::string irigBFrame(int64_t unix, bool withYear = true);

// A stream for protocol `protocol` whose on-time mark names `unix`.
Chunks streamFor(int protocol, int64_t unix);

}  // namespace testsupport
