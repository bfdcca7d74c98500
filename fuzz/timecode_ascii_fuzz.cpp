// The text time codes (Truetime, Spectracom, EndRun, Meinberg, Arbiter, Gude) come from
// whatever is wired to the port: whatever the bytes, decoding stays defined and every time it
// takes is a real calendar time near the clock.
#include "TimeCodeFuzz.h"
#include "refclocks/AsciiTimeCodes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    refclocks::TruetimeDecoder truetime;
    refclocks::SpectracomDecoder spectracom;
    refclocks::EndRunDecoder endRun;
    refclocks::MeinbergDecoder meinberg;
    refclocks::ArbiterDecoder arbiter;
    refclocks::GudeDecoder gude;
    for (refclocks::TimeCodeDecoder* decoder : std::initializer_list<refclocks::TimeCodeDecoder*>{
             &truetime, &spectracom, &endRun, &meinberg, &arbiter, &gude}) {
        timecodefuzz::feed(*decoder, data, size, 0.001);
    }
    return 0;
}
