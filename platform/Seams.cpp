#include "platform/Seams.h"

#include <atomic>
#include <cstdlib>

#include "platform/Event.h"

namespace platform {

namespace {

double scaleFromEnvironment() {
    const std::string text = environment("KRONEL_TIME_SCALE");
    if (text.empty()) {
        return 1.0;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    // A scale that is not a positive number would stretch or stop every schedule: ignore it.
    return (end != text.c_str() && value > 0.0) ? value : 1.0;
}

std::atomic<double>& scale() {
    static std::atomic<double> value{scaleFromEnvironment()};
    return value;
}

}  // namespace

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

double timeScale() {
    return scale().load();
}
void setTimeScale(double value) {
    scale().store(value > 0.0 ? value : 1.0);
}

std::chrono::milliseconds scheduleWait(long long ms) {
    if (ms == 0) {
        return std::chrono::milliseconds(0);
    }
    if (ms < 0) {
        // Windows takes a wait as a 32-bit unsigned count: a negative one is a very long wait
        // (-1 is INFINITE), never none. Below what 32 bits hold, the longest there is.
        constexpr long long kDwordSpan = 0x100000000LL;
        if (ms == -1 || ms < -kDwordSpan / 2) {
            return kInfinite;
        }
        ms += kDwordSpan;
    }
    const double scaled = static_cast<double>(ms) / timeScale();
    // A wait too long to count in milliseconds never ends either.
    if (scaled >= static_cast<double>(kInfinite.count())) {
        return kInfinite;
    }
    return std::chrono::milliseconds(scaled < 1.0 ? 1 : static_cast<long long>(scaled));
}

}  // namespace platform
