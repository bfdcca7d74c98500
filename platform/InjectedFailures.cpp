#include "InjectedFailures.h"

#include <atomic>
#include <mutex>

#include "platform/Result.h"
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

int takeInjectedFailure(const Socket& socket) {
    // The socket's port is asked for only while a failure waits.
    if (remaining.load(std::memory_order_relaxed) <= 0) {
        return 0;
    }
    const uint16_t port = socket.localEndpoint().port;
    std::lock_guard<std::mutex> lock(mutex);
    if (remaining.load() <= 0 || port != injectedPort) {
        return 0;
    }
    remaining.fetch_sub(1);
    setLastSocketError(injectedError);
    return injectedError;
}

}  // namespace platform
