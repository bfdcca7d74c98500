#include <vector>

#include "platform/Clock.h"
#include "platform/Result.h"
#include "win32/Win32.h"

namespace platform {

namespace {

// FILETIME counts 100-ns units since 1601-01-01; Unix time starts 11,644,473,600 s later.
constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;

Status lastError() {
    const int error = static_cast<int>(::GetLastError());
    setLastSystemError(error);
    return Status::failure(error);
}

class SystemClock : public Clock {
public:
    UnixTime now() const override {
        SYSTEMTIME st{};
        ::GetSystemTime(&st);
        FILETIME ft{};
        ::SystemTimeToFileTime(&st, &ft);
        const int64_t units = static_cast<int64_t>(
            (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
        return {units / kUnitsPerSecond - kUnixEpochSeconds, st.wMilliseconds};
    }

    Status step(const UnixTime& to) override {
        const int64_t units =
            (to.seconds + kUnixEpochSeconds) * kUnitsPerSecond + int64_t{to.milliseconds} * 10'000;
        if (units < 0) {
            setLastSystemError(ERROR_INVALID_PARAMETER);
            return Status::failure(ERROR_INVALID_PARAMETER);
        }
        FILETIME ft{};
        ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) & 0xFFFFFFFFu);
        ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) >> 32);
        SYSTEMTIME st{};
        if (!::FileTimeToSystemTime(&ft, &st) || !::SetSystemTime(&st)) {
            return lastError();
        }
        return Status::success();
    }

    Status getAdjustment(TimeAdjustment& out) const override {
        DWORD adjustment = 0;
        DWORD increment = 0;
        BOOL disabled = TRUE;
        if (!::GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) {
            return lastError();
        }
        out.adjustment = adjustment;
        out.increment = increment;
        out.disabled = disabled != FALSE;
        return Status::success();
    }

    Status setAdjustment(uint32_t adjustment, bool enable) override {
        // The system ignores the amount when the adjustment is disabled.
        if (!::SetSystemTimeAdjustment(adjustment, enable ? FALSE : TRUE)) {
            return lastError();
        }
        return Status::success();
    }

    std::string description() const override { return "Using system clock"; }

    void enablePrivilege() override {
        HANDLE raw = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                &raw)) {
            return;
        }
        const win32::UniqueHandle token(raw);
        TOKEN_PRIVILEGES privileges{};
        if (!::LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege",
                                     &privileges.Privileges[0].Luid)) {
            return;
        }
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // Failures are ignored: without the privilege the step fails and says so.
        ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    }
};

}  // namespace

std::unique_ptr<Clock> makeSystemClock() {
    return std::make_unique<SystemClock>();
}

bool holdsTimePrivilege() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return false;
    }
    const win32::UniqueHandle token(raw);
    LUID wanted{};
    if (!::LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &wanted)) {
        return false;
    }
    // Held at all, enabled or not: the service enables it before each change.
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 ||
        !::GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) {
        return false;
    }
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        const LUID& luid = held->Privileges[i].Luid;
        if (luid.LowPart == wanted.LowPart && luid.HighPart == wanted.HighPart) {
            return true;
        }
    }
    return false;
}

}  // namespace platform
