// wispsvc.ini is edited by hand: whatever the reader is given, it answers with settings (the
// defaults when the file is no settings file) and never crashes; every line it skips is named
// with a reason; a file it accepts reads the same after its lines are re-joined with the other
// line end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wisp/IniFile.h"
#include "wisp/WispSettings.h"

namespace {

class SilentConsole : public wisp::Console {
public:
    void line(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SilentConsole console;
    const wisp::WispSettings settings = wisp::settingsFromText(text, "wispsvc.ini", console);
    if (settings.maxStep < 0) {
        std::abort();
    }

    wisp::IniFile file;
    wisp::IniFile::Error error;
    if (!wisp::IniFile::parse(text, file, error)) {
        if (error.reason.empty()) {
            std::abort();  // a refusal must say why
        }
        return 0;
    }
    for (const wisp::IniFile::Error& skipped : file.skipped()) {
        if (skipped.line < 1 || skipped.reason.empty()) {
            std::abort();
        }
    }
    // CRLF and LF files are the same file.
    std::string other;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            other += '\r';
        }
        other += text[i];
    }
    wisp::IniFile again;
    if (!wisp::IniFile::parse(other, again, error) && other.size() <= wisp::IniFile::kMaxSize) {
        std::abort();
    }
    if (other.size() <= wisp::IniFile::kMaxSize &&
        (file.value(wisp::kIniSection, wisp::kServerKey) !=
             again.value(wisp::kIniSection, wisp::kServerKey) ||
         file.value(wisp::kIniSection, wisp::kMaxStepKey) !=
             again.value(wisp::kIniSection, wisp::kMaxStepKey) ||
         file.skipped().size() != again.skipped().size())) {
        std::abort();
    }
    if (const auto value = file.value(wisp::kIniSection, wisp::kServerKey)) {
        (void)wisp::parseIniInteger(*value);
    }
    return 0;
}
