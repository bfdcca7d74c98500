#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform/Clock.h"

namespace platform {

namespace {

// The kernel's nominal tick is 1/USER_HZ s; adjtimex trims the clock by `tick` (µs per tick)
// for coarse changes and by `freq` (ppm scaled by 2^16) for the rest, since the frequency
// alone reaches only ±500 ppm.
constexpr double kFreqScale = 65536.0;

class SystemClock : public Clock {
public:
    UnixTime now() const override {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return {static_cast<int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000)};
    }

    Status step(const UnixTime& to) override {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(to.seconds);
        ts.tv_nsec = static_cast<long>(to.milliseconds) * 1000000L;
        if (::clock_settime(CLOCK_REALTIME, &ts) != 0) {
            setLastSystemError(errno);
            return Status::failure(errno);
        }
        return Status::success();
    }

    Status getAdjustment(TimeAdjustment& out) const override {
        timex tx{};
        const int rc = ::adjtimex(&tx);
        if (rc < 0) {
            setLastSystemError(errno);
            return Status::failure(errno);
        }
        const double nominalTick = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
        const double rate = (static_cast<double>(tx.tick) / nominalTick) *
                            (1.0 + static_cast<double>(tx.freq) / kFreqScale * 1e-6);
        out.increment = kTickIncrement;
        out.adjustment = static_cast<uint32_t>(std::lround(rate * kTickIncrement));
        out.disabled = (tx.freq == 0 && static_cast<double>(tx.tick) == nominalTick);
        return Status::success();
    }

    Status setAdjustment(uint32_t adjustment, bool enable) override {
        const double nominalTick = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
        const double rate = enable ? static_cast<double>(adjustment) / kTickIncrement : 1.0;
        // Whole microseconds per tick carry the coarse part; the frequency the remainder.
        const long tick = std::lround(nominalTick * rate);
        const double residualPpm = (rate / (static_cast<double>(tick) / nominalTick) - 1.0) * 1e6;
        timex tx{};
        tx.modes = ADJ_TICK | ADJ_FREQUENCY;
        tx.tick = tick;
        tx.freq = std::lround(residualPpm * kFreqScale);
        if (::adjtimex(&tx) < 0) {
            setLastSystemError(errno);
            return Status::failure(errno);
        }
        return Status::success();
    }

    std::string description() const override { return "Using system clock"; }
};

}  // namespace

std::unique_ptr<Clock> makeSystemClock() {
    return std::make_unique<SystemClock>();
}

bool holdsTimePrivilege() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[CAP_TO_INDEX(CAP_SYS_TIME)].effective & CAP_TO_MASK(CAP_SYS_TIME)) != 0;
}

}  // namespace platform
