// Trimble TSIP and Zodiac binary messages from whatever is wired to the port: framing,
// stuffing and checksums must hold up to any bytes, and every time taken is a real one.
#include "TimeCodeFuzz.h"
#include "wire/BinaryTimeCodes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wire::TsipDecoder tsip;
    wire::ZodiacDecoder zodiac;
    timecodefuzz::feed(tsip, data, size, 0.001);
    timecodefuzz::feed(zodiac, data, size, 0.001);
    return 0;
}
