// The .reg parser takes files people edit by hand or bring from Windows. Whatever it accepts
// must write back to a text it reads again to the same store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::RegFile file;
    platform::RegParseError error;
    if (!platform::RegFile::parse(text, file, error)) {
        return 0;
    }
    const std::string written = file.text();
    platform::RegFile again;
    if (!platform::RegFile::parse(written, again, error)) {
        std::abort();  // we wrote something we cannot read
    }
    if (again.text() != written) {
        std::abort();  // a store changed on its way through the disk
    }
    return 0;
}
