// Sockets on Winsock 2. Every socket is tied to an event object of its own (WSAEventSelect,
// which also makes it non-blocking), so a blocking call is a loop of "try the call, else wait on
// the socket's event, the abort event and the caller's stop event": a stop ends the wait at
// once, and nothing ever sits in a Winsock call that only closing the socket could end.
#include "platform/Socket.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BroadcastAddress.h"
#include "InjectedFailures.h"
#include "SocketNames.h"
#include "win32/Adapters.h"
#include "win32/Win32.h"

// After the Winsock headers they build on.
#include <mswsock.h>

namespace platform {

namespace win32 {

namespace {

// Started once and cleaned up at exit, balanced like every other Winsock user's pair.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        error_ = ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockSession() {
        if (error_ == 0) {
            ::WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    int error() const { return error_; }

private:
    int error_ = 0;
};

}  // namespace

bool ensureWinsock() {
    static const WinsockSession session;
    if (session.error() != 0) {
        setLastSocketError(session.error());
        return false;
    }
    return true;
}

}  // namespace win32

int socketErrorNumber(int e) {
    // The C runtime's errno numbers for the socket errors it knows; numbers that are already
    // WinSock's (and any other) pass through.
    static const struct {
        int posix;
        int winsock;
    } kMap[] = {
        {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},
        {EPERM, 10013},         {EFAULT, 10014},       {EINVAL, 10022},
        {EMFILE, 10024},        {ENFILE, 10024},       {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},        {EINPROGRESS, 10036},  {EALREADY, 10037},
        {ENOTSOCK, 10038},      {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
        {EOPNOTSUPP, 10045},    {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
        {ENODEV, 10051},        {ENETRESET, 10052},    {ECONNABORTED, 10053},
        {ECONNRESET, 10054},    {EPIPE, 10054},        {ENOBUFS, 10055},
        {ENOMEM, 10055},        {EISCONN, 10056},      {ENOTCONN, 10057},
        {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061}, {ELOOP, 10062},
        {ENAMETOOLONG, 10063},  {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
    };
    if (e == 0) {
        return 0;
    }
    for (const auto& entry : kMap) {
        if (entry.posix == e) {
            return entry.winsock;
        }
    }
    return e;
}

namespace {

int fail(int wsaError) {
    setLastSocketError(wsaError);
    return wsaError;
}
int failLast() {
    return fail(::WSAGetLastError());
}

// Winsock moves at most INT_MAX bytes in one call.
int ioLength(size_t size) {
    return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

sockaddr_in toSockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = e.address;
    a.sin_port = htons(e.port);
    return a;
}
Endpoint fromSockaddr(const sockaddr_in& a) {
    return {a.sin_addr.s_addr, ntohs(a.sin_port)};
}

// Not named by every SDK's headers.
#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

}  // namespace

bool socketLibraryReady() {
    return win32::ensureWinsock();
}

// getaddrinfo, which waits as long as the name servers take.
Status systemHostLookup(const std::string& name, uint32_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    // Winsock's getaddrinfo answers with the WSAHOST_NOT_FOUND family of numbers itself.
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        if (result) {
            ::freeaddrinfo(result);
        }
        return Status::failure(fail(rc != 0 ? rc : wsa::kNoData));
    }
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return Status::success();
}

std::string localHostName() {
    if (!win32::ensureWinsock()) {
        return {};
    }
    char name[129] = {};
    if (::gethostname(name, 128) != 0) {
        failLast();
        return {};
    }
    return name;
}

std::optional<uint16_t> systemServicePort(const char* name, const char* protocol) {
    if (!win32::ensureWinsock()) {
        return std::nullopt;
    }
    // Winsock keeps the answer in storage of the calling thread, so this is thread-safe.
    const servent* found = ::getservbyname(name, protocol);
    if (found != nullptr) {
        return ntohs(static_cast<uint16_t>(found->s_port));
    }
    return std::nullopt;
}

struct Socket::Impl {
    SOCKET socket = INVALID_SOCKET;
    // Signalled by Winsock for the socket's network events; kept for the object's life, so a
    // close on another thread never frees a handle that a wait is using.
    win32::UniqueHandle networkEvent;
    Event aborted{true};
};

Socket::Socket() : impl_(std::make_unique<Impl>()) {}
Socket::~Socket() {
    close();
}
Socket::Socket(Socket&&) noexcept = default;
Socket& Socket::operator=(Socket&&) noexcept = default;

namespace {

constexpr long kNetworkEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// Ties a socket to the object's event; the socket becomes non-blocking.
int selectEvents(SOCKET s, win32::UniqueHandle& networkEvent) {
    if (!networkEvent.valid()) {
        networkEvent.reset(::WSACreateEvent());
        if (!networkEvent.valid()) {
            return failLast();
        }
    }
    if (::WSAEventSelect(s, networkEvent.get(), kNetworkEvents) != 0) {
        return failLast();
    }
    return 0;
}

SOCKET newSocket(int type, int protocol) {
    // Not inherited by child processes, like SOCK_CLOEXEC; systems before Windows 7 SP1 do not
    // know the flag.
    SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    }
    return s;
}

}  // namespace

Status Socket::open(Type type) {
    close();
    impl_->aborted.reset();
    if (!win32::ensureWinsock()) {
        return Status::failure(lastSocketError());
    }
    SOCKET s = INVALID_SOCKET;
    switch (type) {
        case Type::Udp:
            s = newSocket(SOCK_DGRAM, IPPROTO_UDP);
            break;
        case Type::Tcp:
            s = newSocket(SOCK_STREAM, IPPROTO_TCP);
            break;
        case Type::IcmpRaw:
            s = newSocket(SOCK_RAW, IPPROTO_ICMP);
            break;
    }
    if (s == INVALID_SOCKET) {
        return Status::failure(failLast());
    }
    if (type == Type::Udp) {
        // Windows turns an ICMP "port unreachable" for an earlier datagram into WSAECONNRESET
        // on the next receive, which would end a server's loop because one client went away.
        // Other systems ignore it on unconnected sockets; so do we. An ICMP "time exceeded"
        // for an earlier datagram likewise turns into WSAENETRESET.
        BOOL report = FALSE;
        DWORD returned = 0;
        (void)::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
                         nullptr, nullptr);
        (void)::WSAIoctl(s, SIO_UDP_NETRESET, &report, sizeof report, nullptr, 0, &returned,
                         nullptr, nullptr);
    }
    if (int error = selectEvents(s, impl_->networkEvent)) {
        ::closesocket(s);
        return Status::failure(error);
    }
    impl_->socket = s;
    return Status::success();
}

bool Socket::isOpen() const {
    return impl_ && impl_->socket != INVALID_SOCKET;
}

void Socket::close() {
    if (impl_ && impl_->socket != INVALID_SOCKET) {
        ::closesocket(impl_->socket);
        impl_->socket = INVALID_SOCKET;
        // A call waiting on another thread wakes, retries and fails on the closed socket.
        ::SetEvent(impl_->networkEvent.get());
    }
}

void Socket::abort() {
    if (impl_) {
        impl_->aborted.set();
    }
}

namespace {

Status optionResult(int rc) {
    return rc == 0 ? Status::success() : Status::failure(failLast());
}

// kInterrupted when the socket was aborted or the stop event is set, else 0.
int interruption(Event& aborted, Event* stop) {
    if (aborted.isSet() || (stop && stop->isSet())) {
        return fail(wsa::kInterrupted);
    }
    return 0;
}

// Waits for the socket's next network events (then `happened` holds them), the deadline, or
// abort/stop. Returns 0 when there were network events, else the WinSock error.
int waitNetworkEvents(SOCKET s, HANDLE networkEvent, Event& aborted, Event* stop,
                      const win32::WaitDeadline& deadline, WSANETWORKEVENTS& happened) {
    // Lowest index first: an abort or stop wins over a ready socket, as it does on POSIX.
    HANDLE handles[3] = {aborted.waitHandle(), networkEvent, nullptr};
    DWORD count = 2;
    if (stop) {
        handles[1] = stop->waitHandle();
        handles[2] = networkEvent;
        count = 3;
    }
    for (;;) {
        const DWORD rc = ::WaitForMultipleObjects(count, handles, FALSE, deadline.remainingMs());
        if (rc == WAIT_OBJECT_0) {
            return fail(wsa::kInterrupted);
        }
        if (stop && rc == WAIT_OBJECT_0 + 1) {
            // The wait took an auto-reset stop event; leave it set for the caller to see.
            if (win32::eventIsAutoReset(handles[1])) {
                stop->set();
            }
            return fail(wsa::kInterrupted);
        }
        if (rc == WAIT_OBJECT_0 + count - 1) {
            happened = WSANETWORKEVENTS{};
            if (::WSAEnumNetworkEvents(s, networkEvent, &happened) != 0) {
                return failLast();
            }
            return 0;
        }
        if (rc == WAIT_FAILED) {
            return fail(static_cast<int>(::GetLastError()));
        }
        if (deadline.expired()) {
            return fail(wsa::kTimedOut);
        }
    }
}

// Runs `attempt` (a Winsock call returning SOCKET_ERROR and WSAEWOULDBLOCK while it would
// block) until it completes, fails otherwise, times out or is interrupted. 0 or the error.
template <typename Attempt>
int untilDone(SOCKET s, HANDLE networkEvent, Event& aborted, Event* stop, Millis timeout,
              Attempt&& attempt) {
    const win32::WaitDeadline deadline(timeout);
    for (;;) {
        if (int error = interruption(aborted, stop)) {
            return error;
        }
        if (attempt()) {
            return 0;
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return fail(error);
        }
        WSANETWORKEVENTS happened{};
        if (int waitError = waitNetworkEvents(s, networkEvent, aborted, stop, deadline, happened)) {
            return waitError;
        }
    }
}

}  // namespace

Status Socket::setReuseAddress(bool on) {
    const BOOL v = on;
    return optionResult(::setsockopt(impl_->socket, SOL_SOCKET, SO_REUSEADDR,
                                     reinterpret_cast<const char*>(&v), sizeof v));
}

Status Socket::setBroadcast(bool on) {
    const BOOL v = on;
    return optionResult(::setsockopt(impl_->socket, SOL_SOCKET, SO_BROADCAST,
                                     reinterpret_cast<const char*>(&v), sizeof v));
}

Status Socket::setMulticastTtl(int ttl) {
    const DWORD v = static_cast<DWORD>(ttl);
    return optionResult(::setsockopt(impl_->socket, IPPROTO_IP, IP_MULTICAST_TTL,
                                     reinterpret_cast<const char*>(&v), sizeof v));
}

Status Socket::joinMulticastGroup(uint32_t group) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = group;
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    return optionResult(::setsockopt(impl_->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP,
                                     reinterpret_cast<const char*>(&m), sizeof m));
}

Status Socket::bind(const Endpoint& local) {
    const sockaddr_in a = toSockaddr(local);
    return optionResult(::bind(impl_->socket, reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

Status Socket::listen(int backlog) {
    return optionResult(::listen(impl_->socket, backlog));
}

Status Socket::connect(const Endpoint& remote, Millis timeout, Event* stop) {
    const sockaddr_in a = toSockaddr(remote);
    if (::connect(impl_->socket, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        return Status::success();
    }
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        return Status{failLast()};
    }
    // The outcome arrives as the FD_CONNECT network event, with its error number.
    const win32::WaitDeadline deadline(timeout);
    for (;;) {
        WSANETWORKEVENTS happened{};
        if (int error = waitNetworkEvents(impl_->socket, impl_->networkEvent.get(), impl_->aborted,
                                          stop, deadline, happened)) {
            return Status{error};
        }
        if (happened.lNetworkEvents & FD_CONNECT) {
            const int error = happened.iErrorCode[FD_CONNECT_BIT];
            return error == 0 ? Status::success() : Status{fail(error)};
        }
    }
}

Socket Socket::accept(Endpoint* peer, Status& status, Millis timeout, Event* stop) {
    Socket result;
    if (int injected = takeInjectedFailure(*this)) {
        status = Status{injected};
        return result;
    }
    sockaddr_in a{};
    SOCKET accepted = INVALID_SOCKET;
    const int error =
        untilDone(impl_->socket, impl_->networkEvent.get(), impl_->aborted, stop, timeout, [&] {
            int len = sizeof a;
            accepted = ::accept(impl_->socket, reinterpret_cast<sockaddr*>(&a), &len);
            return accepted != INVALID_SOCKET;
        });
    if (error != 0) {
        status = Status{error};
        return result;
    }
    // The new socket inherits the listener's event; give it one of its own.
    if (int selectError = selectEvents(accepted, result.impl_->networkEvent)) {
        ::closesocket(accepted);
        status = Status{selectError};
        return result;
    }
    result.impl_->socket = accepted;
    if (peer) {
        *peer = fromSockaddr(a);
    }
    status = Status::success();
    return result;
}

Endpoint Socket::localEndpoint() const {
    sockaddr_in a{};
    int len = sizeof a;
    ::getsockname(impl_->socket, reinterpret_cast<sockaddr*>(&a), &len);
    return fromSockaddr(a);
}

IoResult Socket::sendTo(const void* data, size_t size, const Endpoint& to) {
    const sockaddr_in a = toSockaddr(to);
    int sent = 0;
    const int error = untilDone(
        impl_->socket, impl_->networkEvent.get(), impl_->aborted, nullptr, kInfinite, [&] {
            sent = ::sendto(impl_->socket, static_cast<const char*>(data), ioLength(size), 0,
                            reinterpret_cast<const sockaddr*>(&a), sizeof a);
            return sent != SOCKET_ERROR;
        });
    if (error != 0) {
        return {0, error};
    }
    return {sent, 0};
}

IoResult Socket::send(const void* data, size_t size) {
    int sent = 0;
    const int error = untilDone(
        impl_->socket, impl_->networkEvent.get(), impl_->aborted, nullptr, kInfinite, [&] {
            sent = ::send(impl_->socket, static_cast<const char*>(data), ioLength(size), 0);
            return sent != SOCKET_ERROR;
        });
    if (error != 0) {
        return {0, error};
    }
    return {sent, 0};
}

IoResult Socket::receiveFrom(void* buffer, size_t size, Endpoint* from, Millis timeout,
                             Event* stop) {
    if (int injected = takeInjectedFailure(*this)) {
        return {0, injected};
    }
    sockaddr_in a{};
    int received = 0;
    const int error =
        untilDone(impl_->socket, impl_->networkEvent.get(), impl_->aborted, stop, timeout, [&] {
            int len = sizeof a;
            received = ::recvfrom(impl_->socket, static_cast<char*>(buffer), ioLength(size), 0,
                                  reinterpret_cast<sockaddr*>(&a), &len);
            return received != SOCKET_ERROR;
        });
    if (error == WSAEMSGSIZE) {
        // The buffer holds the first part of a larger datagram; the rest is lost.
        if (from) {
            *from = fromSockaddr(a);
        }
        return {ioLength(size), error};
    }
    if (error != 0) {
        return {0, error};
    }
    if (from) {
        *from = fromSockaddr(a);
    }
    return {received, 0};
}

IoResult Socket::receiveWaitingFrom(void* buffer, size_t size, Endpoint* from) {
    // The socket is non-blocking (WSAEventSelect): an empty queue fails with WSAEWOULDBLOCK.
    sockaddr_in a{};
    int len = sizeof a;
    const int received = ::recvfrom(impl_->socket, static_cast<char*>(buffer), ioLength(size), 0,
                                    reinterpret_cast<sockaddr*>(&a), &len);
    if (received == SOCKET_ERROR) {
        const int error = fail(::WSAGetLastError());
        if (error == WSAEMSGSIZE) {
            if (from) {
                *from = fromSockaddr(a);
            }
            return {ioLength(size), error};
        }
        return {0, error};
    }
    if (from) {
        *from = fromSockaddr(a);
    }
    return {received, 0};
}

int Socket::receiveWaitingBatch(Datagram* datagrams, int count) {
    if (takeInjectedFailure(*this)) {
        return 0;
    }
    int taken = 0;
    while (taken < count) {
        Datagram& d = datagrams[taken];
        const IoResult got = receiveWaitingFrom(d.data, d.size, &d.peer);
        if (!got.ok() && got.error != WSAEMSGSIZE) {
            break;
        }
        d.length = got.count;
        ++taken;
    }
    return taken;
}

int Socket::sendBatch(const Datagram* datagrams, int count) {
    int sent = 0;
    for (; sent < count; ++sent) {
        const Datagram& d = datagrams[sent];
        const sockaddr_in a = toSockaddr(d.peer);
        if (::sendto(impl_->socket, static_cast<const char*>(d.data), ioLength(d.size), 0,
                     reinterpret_cast<const sockaddr*>(&a), sizeof a) == SOCKET_ERROR) {
            failLast();
            break;
        }
    }
    return sent;
}

IoResult Socket::receive(void* buffer, size_t size, Millis timeout, Event* stop) {
    int received = 0;
    const int error =
        untilDone(impl_->socket, impl_->networkEvent.get(), impl_->aborted, stop, timeout, [&] {
            received = ::recv(impl_->socket, static_cast<char*>(buffer), ioLength(size), 0);
            return received != SOCKET_ERROR;
        });
    if (error != 0) {
        return {0, error};
    }
    return {received, 0};
}

Status Socket::receiveDestinations() {
    const DWORD on = 1;
    return optionResult(::setsockopt(impl_->socket, IPPROTO_IP, IP_PKTINFO,
                                     reinterpret_cast<const char*>(&on), sizeof on));
}

namespace {

// WSARecvMsg is reached only through its provider's function table.
LPFN_WSARECVMSG recvMsgFunction(SOCKET s) {
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG function = nullptr;
    DWORD returned = 0;
    if (::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                   sizeof function, &returned, nullptr, nullptr) != 0) {
        return nullptr;
    }
    return function;
}

}  // namespace

IoResult Socket::receiveFromTo(void* buffer, size_t size, Endpoint* from,
                               std::optional<uint32_t>* to, Millis timeout, Event* stop) {
    if (to) {
        to->reset();
    }
    // One provider, one function: looked up once.
    static const LPFN_WSARECVMSG recvMsg = recvMsgFunction(impl_->socket);
    if (recvMsg == nullptr) {
        return receiveFrom(buffer, size, from, timeout, stop);
    }
    sockaddr_in a{};
    char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSABUF data{static_cast<ULONG>(ioLength(size)), static_cast<char*>(buffer)};
    WSAMSG message{};
    DWORD received = 0;
    const int error =
        untilDone(impl_->socket, impl_->networkEvent.get(), impl_->aborted, stop, timeout, [&] {
            message = WSAMSG{};
            message.name = reinterpret_cast<sockaddr*>(&a);
            message.namelen = sizeof a;
            message.lpBuffers = &data;
            message.dwBufferCount = 1;
            message.Control = {sizeof control, control};
            return recvMsg(impl_->socket, &message, &received, nullptr, nullptr) == 0;
        });
    if (error != 0 && error != WSAEMSGSIZE) {
        return {0, error};
    }
    if (from) {
        *from = fromSockaddr(a);
    }
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); to && c; c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info{};
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            *to = info.ipi_addr.s_addr;
        }
    }
    if (error == WSAEMSGSIZE) {
        // The buffer holds the first part of a larger datagram; the rest is lost.
        return {ioLength(size), error};
    }
    return {static_cast<long>(received), 0};
}

bool isInterfaceBroadcast(uint32_t host) {
    const auto buffer = win32::adapterAddresses(AF_INET);
    if (!buffer) {
        return false;
    }
    for (const auto* adapter = win32::firstAdapter(*buffer); adapter; adapter = adapter->Next) {
        for (auto* u = adapter->FirstUnicastAddress; u; u = u->Next) {
            const unsigned prefix = u->OnLinkPrefixLength;
            if (u->Address.lpSockaddr == nullptr || u->Address.lpSockaddr->sa_family != AF_INET ||
                prefix == 0 || prefix > 32) {
                continue;
            }
            const uint32_t own =
                ntohl(reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr);
            if (isSubnetBroadcast(host, own, 0xFFFFFFFFu << (32 - prefix))) {
                return true;
            }
        }
    }
    return false;
}

namespace {

constexpr UINT kSocketMessage = WM_APP + 1;
constexpr const char* kSocketWindowClass = "KronelSocketWindow";

struct MessageLoopState {
    const std::function<void()>* onReadable;
    Event* stop;
};

LRESULT CALLBACK socketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<MessageLoopState*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
        case kSocketMessage:
            if (state != nullptr && WSAGETSELECTEVENT(lParam) == FD_READ) {
                (*state->onReadable)();
            }
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (state != nullptr && wParam) {
                state->stop->set();
            }
            return 0;
        case WM_CLOSE:
            if (state != nullptr) {
                state->stop->set();
            }
            return 0;
        default:
            return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

Status Socket::runMessageLoop(Event& stop, const std::function<void()>& onReadable) {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = socketWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSocketWindowClass;
    if (::RegisterClassA(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        const int error = static_cast<int>(::GetLastError());
        setLastSystemError(error);
        return Status::failure(error);
    }
    // A top-level window that is never shown, not a message-only one: only top-level windows
    // hear that the session ends.
    HWND window = ::CreateWindowExA(0, kSocketWindowClass, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                    nullptr, instance, nullptr);
    if (window == nullptr) {
        // Without a display (a Wine without one) the call fails without saying why.
        int error = static_cast<int>(::GetLastError());
        if (error == 0) {
            error = ERROR_INVALID_WINDOW_HANDLE;
        }
        setLastSystemError(error);
        return Status::failure(error);
    }
    MessageLoopState state{&onReadable, &stop};
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    if (::WSAAsyncSelect(impl_->socket, window, kSocketMessage, FD_READ) != 0) {
        const int error = failLast();
        ::DestroyWindow(window);
        return Status::failure(error);
    }

    int error = 0;
    HANDLE handles[2] = {stop.waitHandle(), impl_->aborted.waitHandle()};
    while (!stop.isSet()) {
        const DWORD rc = ::MsgWaitForMultipleObjects(2, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (rc == WAIT_OBJECT_0) {
            // An auto-reset stop event was taken by the wait; leave it set for the caller.
            stop.set();
            break;
        }
        if (rc == WAIT_OBJECT_0 + 1) {
            error = fail(wsa::kInterrupted);
            break;
        }
        if (rc == WAIT_FAILED) {
            error = static_cast<int>(::GetLastError());
            break;
        }
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                stop.set();
                break;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }

    // The blocking calls wait on the socket's event again.
    ::WSAAsyncSelect(impl_->socket, window, 0, 0);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    ::DestroyWindow(window);
    if (impl_->socket != INVALID_SOCKET) {
        (void)selectEvents(impl_->socket, impl_->networkEvent);
    }
    return error == 0 ? Status::success() : Status::failure(error);
}

}  // namespace platform
