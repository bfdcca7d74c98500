#include "platform/Socket.h"

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "BroadcastAddress.h"
#include "InjectedFailures.h"
#include "SocketNames.h"
#include "posix/PollWait.h"

namespace platform {

int socketErrorNumber(int e) {
    switch (e) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EWOULDBLOCK:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
        case ENONET:
        case EIO:
            return 10050;
        case ENETUNREACH:
        case ENODEV:  // no interface or route for a multicast group
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
        case EPROTO:  // accept: the pending connection failed
            return 10053;
        case ECONNRESET:
        case EPIPE:
            return 10054;
        case ENOBUFS:
        case ENOMEM:
        case ENOSR:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ENOTEMPTY:
            return 10066;
        case EUSERS:
            return 10068;
        case EDQUOT:
            return 10069;
        case ESTALE:
            return 10070;
        case EREMOTE:
            return 10071;
        default:
            return e;
    }
}

namespace {

int fail(int wsaError) {
    setLastSocketError(wsaError);
    return wsaError;
}
int failErrno() {
    return fail(socketErrorNumber(errno));
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

}  // namespace

bool socketLibraryReady() {
    return true;
}

// getaddrinfo, which waits as long as the name servers take.
Status systemHostLookup(const std::string& name, uint32_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        int error = wsa::kHostNotFound;
        if (rc == EAI_AGAIN) {
            error = wsa::kTryAgain;
        } else if (rc == EAI_FAIL) {
            error = wsa::kNoRecovery;
        } else if (rc == EAI_NODATA || rc == EAI_ADDRFAMILY) {
            error = wsa::kNoData;
        }
        if (result) {
            ::freeaddrinfo(result);
        }
        return Status::failure(fail(error));
    }
    address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return Status::success();
}

std::string localHostName() {
    char name[129] = {};
    if (::gethostname(name, 128) != 0) {
        return {};
    }
    return name;
}

std::optional<uint16_t> systemServicePort(const char* name, const char* protocol) {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (::getservbyname_r(name, protocol, &entry, buffer, sizeof buffer, &found) == 0 && found) {
        return ntohs(static_cast<uint16_t>(found->s_port));
    }
    return std::nullopt;
}

struct Socket::Impl {
    int fd = -1;
    Event aborted{true};
};

Socket::Socket() : impl_(std::make_unique<Impl>()) {}
Socket::~Socket() {
    close();
}
Socket::Socket(Socket&&) noexcept = default;
Socket& Socket::operator=(Socket&&) noexcept = default;

Status Socket::open(Type type) {
    close();
    impl_->aborted.reset();
    int fd = -1;
    switch (type) {
        case Type::Udp:
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            break;
        case Type::Tcp:
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            break;
        case Type::IcmpRaw:
            fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            break;
    }
    if (fd < 0) {
        return Status::failure(failErrno());
    }
    impl_->fd = fd;
    return Status::success();
}

bool Socket::isOpen() const {
    return impl_ && impl_->fd >= 0;
}

void Socket::close() {
    if (impl_ && impl_->fd >= 0) {
        ::close(impl_->fd);
        impl_->fd = -1;
    }
}

void Socket::abort() {
    if (impl_) {
        impl_->aborted.set();
    }
}

namespace {

Status optionResult(int rc) {
    return rc == 0 ? Status::success() : Status::failure(failErrno());
}

// Waits until fd is ready for `events`, the time-out passes, or stop/abort is signalled.
// Returns 0 when ready, else the WinSock error.
int waitReady(int fd, short events, Millis timeout, Event& aborted, Event* stop) {
    pollfd fds[3] = {{fd, events, 0}, {aborted.waitHandle(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (stop) {
        fds[2].fd = stop->waitHandle();
    }
    PollDeadline deadline(timeout);
    for (;;) {
        const int ready = ::poll(fds, stop ? 3 : 2, deadline.remainingMs());
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failErrno();
        }
        if (fds[1].revents || (stop && fds[2].revents)) {
            return fail(wsa::kInterrupted);
        }
        if (fds[0].revents) {
            return 0;
        }
        if (deadline.expired()) {
            return fail(wsa::kTimedOut);
        }
    }
}

}  // namespace

Status Socket::setReuseAddress(bool on) {
    const int v = on;
    return optionResult(::setsockopt(impl_->fd, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v));
}

Status Socket::setBroadcast(bool on) {
    const int v = on;
    return optionResult(::setsockopt(impl_->fd, SOL_SOCKET, SO_BROADCAST, &v, sizeof v));
}

Status Socket::setMulticastTtl(int ttl) {
    const unsigned char v = static_cast<unsigned char>(ttl);
    return optionResult(::setsockopt(impl_->fd, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v));
}

Status Socket::joinMulticastGroup(uint32_t group) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = group;
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    return optionResult(::setsockopt(impl_->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m));
}

Status Socket::bind(const Endpoint& local) {
    const sockaddr_in a = toSockaddr(local);
    return optionResult(::bind(impl_->fd, reinterpret_cast<const sockaddr*>(&a), sizeof a));
}

Status Socket::listen(int backlog) {
    return optionResult(::listen(impl_->fd, backlog));
}

Status Socket::connect(const Endpoint& remote, Millis timeout, Event* stop) {
    const int flags = ::fcntl(impl_->fd, F_GETFL);
    ::fcntl(impl_->fd, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in a = toSockaddr(remote);
    int rc = ::connect(impl_->fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    int error = 0;
    if (rc != 0) {
        if (errno != EINPROGRESS) {
            error = failErrno();
        } else if ((error = waitReady(impl_->fd, POLLOUT, timeout, impl_->aborted, stop)) == 0) {
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(impl_->fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            if (soError != 0) {
                error = fail(socketErrorNumber(soError));
            }
        }
    }
    ::fcntl(impl_->fd, F_SETFL, flags);
    return Status{error};
}

Socket Socket::accept(Endpoint* peer, Status& status, Millis timeout, Event* stop) {
    Socket result;
    if (int error = waitReady(impl_->fd, POLLIN, timeout, impl_->aborted, stop)) {
        status = Status{error};
        return result;
    }
    if (int error = takeInjectedFailure(*this)) {
        status = Status{error};
        return result;
    }
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int fd = ::accept4(impl_->fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        status = Status{failErrno()};
        return result;
    }
    result.impl_->fd = fd;
    if (peer) {
        *peer = fromSockaddr(a);
    }
    status = Status::success();
    return result;
}

Endpoint Socket::localEndpoint() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(impl_->fd, reinterpret_cast<sockaddr*>(&a), &len);
    return fromSockaddr(a);
}

IoResult Socket::sendTo(const void* data, size_t size, const Endpoint& to) {
    if (impl_->aborted.isSet()) {
        return {0, fail(wsa::kInterrupted)};
    }
    const sockaddr_in a = toSockaddr(to);
    const ssize_t n = ::sendto(impl_->fd, data, size, MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&a), sizeof a);
    if (n < 0) {
        return {0, failErrno()};
    }
    return {static_cast<long>(n), 0};
}

IoResult Socket::send(const void* data, size_t size) {
    if (impl_->aborted.isSet()) {
        return {0, fail(wsa::kInterrupted)};
    }
    const ssize_t n = ::send(impl_->fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
        return {0, failErrno()};
    }
    return {static_cast<long>(n), 0};
}

namespace {

// One datagram off the queue. MSG_TRUNC reports a datagram larger than the buffer, as
// WinSock's WSAEMSGSIZE does.
IoResult receiveDatagram(int fd, void* buffer, size_t size, Endpoint* from, int flags) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const ssize_t n =
        ::recvfrom(fd, buffer, size, MSG_TRUNC | flags, reinterpret_cast<sockaddr*>(&a), &len);
    if (n < 0) {
        return {0, failErrno()};
    }
    if (from) {
        *from = fromSockaddr(a);
    }
    if (static_cast<size_t>(n) > size) {
        return {static_cast<long>(size), fail(wsa::kMessageSize)};
    }
    return {static_cast<long>(n), 0};
}

}  // namespace

IoResult Socket::receiveFrom(void* buffer, size_t size, Endpoint* from, Millis timeout,
                             Event* stop) {
    if (int error = waitReady(impl_->fd, POLLIN, timeout, impl_->aborted, stop)) {
        return {0, error};
    }
    if (int error = takeInjectedFailure(*this)) {
        return {0, error};
    }
    return receiveDatagram(impl_->fd, buffer, size, from, 0);
}

IoResult Socket::receiveWaitingFrom(void* buffer, size_t size, Endpoint* from) {
    return receiveDatagram(impl_->fd, buffer, size, from, MSG_DONTWAIT);
}

namespace {
constexpr int kMaxBatch = 64;
}

int Socket::receiveWaitingBatch(Datagram* datagrams, int count) {
    if (takeInjectedFailure(*this)) {
        return 0;
    }
    count = std::min(count, kMaxBatch);
    mmsghdr headers[kMaxBatch];
    iovec vectors[kMaxBatch];
    sockaddr_in peers[kMaxBatch];
    for (int i = 0; i < count; ++i) {
        vectors[i] = {datagrams[i].data, datagrams[i].size};
        headers[i] = {};
        headers[i].msg_hdr.msg_name = &peers[i];
        headers[i].msg_hdr.msg_namelen = sizeof peers[i];
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int n =
        ::recvmmsg(impl_->fd, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    if (n < 0) {
        failErrno();
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        datagrams[i].length = static_cast<long>(headers[i].msg_len);
        datagrams[i].peer = fromSockaddr(peers[i]);
    }
    return n;
}

int Socket::sendBatch(const Datagram* datagrams, int count) {
    int sent = 0;
    while (sent < count) {
        const int chunk = std::min(count - sent, kMaxBatch);
        mmsghdr headers[kMaxBatch];
        iovec vectors[kMaxBatch];
        sockaddr_in peers[kMaxBatch];
        for (int i = 0; i < chunk; ++i) {
            const Datagram& d = datagrams[sent + i];
            vectors[i] = {d.data, d.size};
            peers[i] = toSockaddr(d.peer);
            headers[i] = {};
            headers[i].msg_hdr.msg_name = &peers[i];
            headers[i].msg_hdr.msg_namelen = sizeof peers[i];
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(impl_->fd, headers, static_cast<unsigned>(chunk), MSG_NOSIGNAL);
        if (n <= 0) {
            failErrno();
            return sent;
        }
        sent += n;
    }
    return sent;
}

IoResult Socket::receive(void* buffer, size_t size, Millis timeout, Event* stop) {
    if (int error = waitReady(impl_->fd, POLLIN, timeout, impl_->aborted, stop)) {
        return {0, error};
    }
    const ssize_t n = ::recv(impl_->fd, buffer, size, 0);
    if (n < 0) {
        return {0, failErrno()};
    }
    return {static_cast<long>(n), 0};
}

Status Socket::receiveDestinations() {
    const int on = 1;
    return optionResult(::setsockopt(impl_->fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on));
}

IoResult Socket::receiveFromTo(void* buffer, size_t size, Endpoint* from,
                               std::optional<uint32_t>* to, Millis timeout, Event* stop) {
    if (to) {
        to->reset();
    }
    if (int error = waitReady(impl_->fd, POLLIN, timeout, impl_->aborted, stop)) {
        return {0, error};
    }
    sockaddr_in a{};
    iovec vector{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &a;
    message.msg_namelen = sizeof a;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(impl_->fd, &message, MSG_TRUNC);
    if (n < 0) {
        return {0, failErrno()};
    }
    if (from) {
        *from = fromSockaddr(a);
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); to && c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            *to = info.ipi_addr.s_addr;  // the header's destination, not the local address
        }
    }
    if (static_cast<size_t>(n) > size) {
        return {static_cast<long>(size), fail(wsa::kMessageSize)};
    }
    return {static_cast<long>(n), 0};
}

bool isInterfaceBroadcast(uint32_t host) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (const ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) {
            continue;
        }
        const uint32_t own =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        found = isSubnetBroadcast(host, own, mask);
        if (!found && (i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr) {
            found =
                ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr) ==
                host;
        }
    }
    ::freeifaddrs(list);
    return found;
}

Status Socket::runMessageLoop(Event& stop, const std::function<void()>& onReadable) {
    for (;;) {
        const int error = waitReady(impl_->fd, POLLIN, kInfinite, impl_->aborted, &stop);
        if (error == wsa::kInterrupted && stop.isSet()) {
            return Status::success();
        }
        if (error != 0) {
            return Status::failure(error);
        }
        onReadable();
    }
}

}  // namespace platform
