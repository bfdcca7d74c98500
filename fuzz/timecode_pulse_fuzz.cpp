// Pulse lines sampled by the port (DCF77 at 50 baud, IRIG-B at 1000 baud): any pattern of
// pulse lengths and silences (0x55 stands for a silent second) must decode to real times or
// nothing.
#include "TimeCodeFuzz.h"
#include "wire/PulseTimeCodes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wire::Dcf77Decoder dcf77;
    wire::IrigBDecoder irig;
    timecodefuzz::feed(dcf77, data, size, 1.0, 0x55);
    timecodefuzz::feed(irig, data, size, 0.01);
    return 0;
}
