#include <cstdlib>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Seams.h"
#include "platform/SimulatedClock.h"

namespace platform {

namespace {

double numberFromEnvironment(const char* name) {
    const std::string text = environment(name);
    return text.empty() ? 0.0 : std::strtod(text.c_str(), nullptr);
}

std::unique_ptr<Clock> clockFromEnvironment() {
    if (environment("KRONEL_CLOCK") == "simulated") {
        return std::make_unique<SimulatedClock>(numberFromEnvironment("KRONEL_CLOCK_OFFSET"),
                                                numberFromEnvironment("KRONEL_CLOCK_PPM"));
    }
    return makeSystemClock();
}

std::mutex clockMutex;
std::unique_ptr<Clock>& slot() {
    static std::unique_ptr<Clock> clock;
    return clock;
}

}  // namespace

Clock& processClock() {
    std::lock_guard<std::mutex> lock(clockMutex);
    auto& clock = slot();
    if (!clock) {
        clock = clockFromEnvironment();
    }
    return *clock;
}

void setProcessClock(std::unique_ptr<Clock> clock) {
    std::lock_guard<std::mutex> lock(clockMutex);
    slot() = std::move(clock);
}

}  // namespace platform
