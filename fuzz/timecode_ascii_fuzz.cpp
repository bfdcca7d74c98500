// The text time codes (Truetime, Spectracom, EndRun, Meinberg, Arbiter, Gude) come from
// whatever is wired to the port: whatever the bytes, decoding stays defined and every time it
// takes is a real calendar time near the clock.
#include "TimeCodeFuzz.h"
#include "wire/AsciiTimeCodes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wire::TruetimeDecoder truetime;
    wire::SpectracomDecoder spectracom;
    wire::EndRunDecoder endRun;
    wire::MeinbergDecoder meinberg;
    wire::ArbiterDecoder arbiter;
    wire::GudeDecoder gude;
    for (wire::TimeCodeDecoder* decoder : std::initializer_list<wire::TimeCodeDecoder*>{
             &truetime, &spectracom, &endRun, &meinberg, &arbiter, &gude}) {
        timecodefuzz::feed(*decoder, data, size, 0.001);
    }
    return 0;
}
