#include "NameLookup.h"

#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Socket.h"

namespace platform {

namespace {

// Shared by the caller and the lookup thread; whichever lets go last frees it, so a caller
// that stopped waiting leaves nothing behind that the lookup could write over.
struct PendingLookup {
    explicit PendingLookup(std::string n) : name(std::move(n)) {}
    const std::string name;
    Event done{true};
    std::mutex mutex;
    uint32_t address = 0;
    int error = 0;
};

Status failed(int error) {
    setLastSocketError(error);
    return Status::failure(error);
}

}  // namespace

Status lookupUntilStopped(const std::string& name, uint32_t& address, Event* stop,
                          BlockingLookup lookup) {
    if (stop == nullptr) {
        return lookup(name, address);
    }
    if (stop->isSet()) {
        return failed(wsa::kInterrupted);
    }
    std::shared_ptr<PendingLookup> pending;
    try {
        pending = std::make_shared<PendingLookup>(name);
        std::thread([pending, lookup] {
            uint32_t found = 0;
            const Status status = lookup(pending->name, found);
            {
                std::lock_guard guard(pending->mutex);
                pending->address = found;
                pending->error = status.error;
            }
            pending->done.set();
        }).detach();
    } catch (const std::exception&) {
        // No thread or event to spare: the lookup cannot be made interruptible.
        return failed(wsa::kNoBuffers);
    }
    if (Event::waitAny({&pending->done, stop}) != 0) {
        return failed(wsa::kInterrupted);
    }
    std::lock_guard guard(pending->mutex);
    if (pending->error != 0) {
        return failed(pending->error);
    }
    address = pending->address;
    return Status::success();
}

}  // namespace platform
