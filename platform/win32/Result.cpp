#include "platform/Result.h"

#include "win32/Win32.h"

namespace platform {

// The thread's own error slots of the system. WinSock keeps its error in the same slot as
// GetLastError, so a socket error replaces the last system error, as it does for every
// Windows program.
int lastSystemError() {
    return static_cast<int>(::GetLastError());
}
void setLastSystemError(int error) {
    ::SetLastError(static_cast<DWORD>(error));
}
int lastSocketError() {
    return ::WSAGetLastError();
}
void setLastSocketError(int error) {
    ::WSASetLastError(error);
}

}  // namespace platform
