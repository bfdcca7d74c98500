#pragma once
// Results of platform calls: the native error number travels with the outcome, so only the
// message layer turns numbers into text.

namespace platform {

struct [[nodiscard]] Status {
    int error = 0;  // 0 on success; a system error number (socket calls: a WinSock number)
    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
    static Status success() { return {}; }
    static Status failure(int e) { return {e}; }
};

// The calling thread's last system error and last socket error, as GetLastError and
// WSAGetLastError keep them. Every failing platform call sets the matching one.
int lastSystemError();
void setLastSystemError(int error);
int lastSocketError();
void setLastSocketError(int error);

}  // namespace platform
