#include "InjectedFailures.h"

#include <atomic>
#include <mutex>

#include "platform/Socket.h"

namespace platform {

namespace {
std::mutex mutex;
std::atomic<int> remaining{0};
uint16_t injectedPort = 0;
int injectedError = 0;
}  // namespace

void injectReceiveFailures(uint16_t port, int error, int count) {
    std::lock_guard<std::mutex> lock(mutex);
    injectedPort = port;
    injectedError = error;
    remaining.store(count > 0 ? count : 0);
}

bool failuresInjected() {
    return remaining.load(std::memory_order_relaxed) > 0;
}

int takeInjectedFailure(uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex);
    if (remaining.load() <= 0 || port != injectedPort) {
        return 0;
    }
    remaining.fetch_sub(1);
    return injectedError;
}

}  // namespace platform
