#include "core/ErrorText.h"

#include <array>

#include "core/Format.h"
#include "platform/Result.h"
#include "platform/SystemError.h"

namespace core {

namespace {

struct WinsockError {
    int number;
    const char* text;
};

// Searched in order; the first row with the number wins.
constexpr std::array<WinsockError, 50> kWinsockErrors{{
    {10004, "WSAEINTR: Interrupted 'system call'"},
    {10009, "WSAEBADF: Bad file descriptor"},
    {10013, "WSAEACCES: Permission denied"},
    {10014, "WSAEFAULT: Bad address"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Would block"},
    {10036, "WSAEINPROGRESS: Blocking call already in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Not a socket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Wrong protocol for socket"},
    {10042, "WSAENOPROTOOPT: Protocol option not available"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not suported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUPP: Operation not supported on socket"},
    {10046, "WSAEPFNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT: Address family not supported"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Can't assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENETUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Network dropped connection on reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: Connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Can't send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references: can't splice"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused"},
    {10062, "WSAELOOP: Too many levels of symbolic link (!)"},
    {10063, "WSAENAMETOOLONG: File name too long (!)"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No route to host"},
    {10066, "WSAENOTEMPTY: Directory not empty (!)"},
    {10067, "WSAEPROCLIM: Too many processes (!)"},
    {10068, "WSAEUSERS: Too many users (!)"},
    {10069, "WSAEDQUOT: Disk quota exceeded (!)"},
    {10070, "WSAESTALE: Stale NFS handle (!)"},
    {10071, "WSAEREMOTE: Too many levels of remote in path (!)"},
    {10091, "WSASYSNOTREADY: System not ready"},
    {10092, "WSAVERNOTSUPPORTED: Version not supported"},
    {10093, "WSANOTINITIALISED: WinSock not initialised"},
    {11001, "WSAHOST_NOT_FOUND: Host not found (authoritative)"},
    {11002, "WSATRY_AGAIN: Host not found (non-authoritative)"},
    {11003, "WSANO_RECOVERY: Nameserver error"},
    {11004, "WSANO_DATA: No host data record of requested type"},
}};

constexpr int kFirstWinsockNumber = 10000;

// The text and " (0x...)" must fit a 256-byte buffer.
constexpr size_t kErrorTextBuffer = 256;
constexpr size_t kErrorTextOverhead = 14;

}  // namespace

std::string systemErrorTextFrom(const std::optional<std::string>& message, int error) {
    if (!message || message->size() + kErrorTextOverhead > kErrorTextBuffer) {
        return {};
    }
    // The system ends its texts with "\r\n".
    std::string text = *message;
    text.resize(text.size() >= 2 ? text.size() - 2 : 0);
    // The number shown is the one the text belongs to, not whatever the thread's last error
    // has become in the meantime.
    return format("%s (0x%x)", text.c_str(), static_cast<unsigned>(error));
}

std::string systemErrorText(int error) {
    return systemErrorTextFrom(platform::systemMessage(error), error);
}

std::string lastSystemErrorText() {
    return systemErrorText(platform::lastSystemError());
}

std::string winsockErrorText() {
    return winsockErrorText(platform::lastSocketError());
}

std::string winsockErrorText(int number) {
    if (number == 0) {
        return "No WinSock error";
    }
    for (const WinsockError& row : kWinsockErrors) {
        if (row.number == number) {
            return row.text;
        }
    }
    // A number below the WinSock range is the system's own (an errno with no WinSock twin,
    // such as a multicast join's "no such device"): its system text says more than a number.
    if (number > 0 && number < kFirstWinsockNumber) {
        if (std::string text = systemErrorText(number); !text.empty()) {
            return text;
        }
    }
    return format("Unrecognised error number %d", number);
}

}  // namespace core
