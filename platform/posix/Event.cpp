#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "platform/Result.h"
#include "posix/PollWait.h"

namespace platform {

// An eventfd is readable while the event is set, so an event can be waited on together with
// sockets in one poll().
struct Event::Impl {
    int fd = -1;
    bool manualReset = true;
};

Event::Event(bool manualReset, bool initiallySet) : impl_(std::make_unique<Impl>()) {
    impl_->manualReset = manualReset;
    impl_->fd = ::eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl_->fd < 0) {
        setLastSystemError(errno);
        throw std::runtime_error("eventfd failed");
    }
}

Event::~Event() {
    ::close(impl_->fd);
}

void Event::set() {
    if (isSet()) {
        return;
    }
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(impl_->fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void Event::reset() {
    uint64_t value;
    while (::read(impl_->fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::isSet() const {
    pollfd p{impl_->fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

int Event::waitHandle() const {
    return impl_->fd;
}

bool Event::consume() {
    if (impl_->manualReset) {
        return isSet();
    }
    uint64_t value;
    for (;;) {
        if (::read(impl_->fd, &value, sizeof value) == sizeof value) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

bool Event::wait(Millis timeout) {
    return waitAny({this}, timeout) == 0;
}

int Event::waitAny(std::initializer_list<Event*> events, Millis timeout) {
    std::vector<pollfd> fds;
    fds.reserve(events.size());
    for (Event* e : events) {
        fds.push_back({e->waitHandle(), POLLIN, 0});
    }
    PollDeadline deadline(timeout);
    for (;;) {
        for (auto& p : fds) {
            p.revents = 0;
        }
        const int ready = ::poll(fds.data(), fds.size(), deadline.remainingMs());
        if (ready < 0 && errno != EINTR) {
            setLastSystemError(errno);
            return -1;
        }
        if (ready > 0) {
            int index = 0;
            for (Event* e : events) {
                // Another waiter may take an auto-reset event first: then keep waiting.
                if ((fds[index].revents & POLLIN) && e->consume()) {
                    return index;
                }
                ++index;
            }
        }
        if (deadline.expired()) {
            return -1;
        }
    }
}

}  // namespace platform
