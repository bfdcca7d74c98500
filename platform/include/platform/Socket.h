#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Event.h"
#include "platform/Result.h"

namespace platform {

// WinSock error numbers; the POSIX backend maps errno onto them.
namespace wsa {
inline constexpr int kInterrupted = 10004;   // WSAEINTR: stopped or aborted
inline constexpr int kBadFile = 10009;       // WSAEBADF
inline constexpr int kAccess = 10013;        // WSAEACCES
inline constexpr int kInvalid = 10022;       // WSAEINVAL
inline constexpr int kWouldBlock = 10035;    // WSAEWOULDBLOCK
inline constexpr int kNotSocket = 10038;     // WSAENOTSOCK
inline constexpr int kMessageSize = 10040;   // WSAEMSGSIZE
inline constexpr int kAddressInUse = 10048;  // WSAEADDRINUSE
inline constexpr int kConnAborted = 10053;   // WSAECONNABORTED
inline constexpr int kNoBuffers = 10055;     // WSAENOBUFS
inline constexpr int kTimedOut = 10060;      // WSAETIMEDOUT
inline constexpr int kConnRefused = 10061;   // WSAECONNREFUSED
inline constexpr int kHostNotFound = 11001;  // WSAHOST_NOT_FOUND
inline constexpr int kTryAgain = 11002;      // WSATRY_AGAIN
inline constexpr int kNoRecovery = 11003;    // WSANO_RECOVERY
inline constexpr int kNoData = 11004;        // WSANO_DATA
}  // namespace wsa

// Maps an errno value to its WinSock number (unknown values pass through unchanged).
int socketErrorNumber(int posixErrno);

// An IPv4 endpoint: address in network byte order, port in host order.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
    std::string addressText() const;  // dotted quad
    bool operator==(const Endpoint&) const = default;
};

// inet_addr: a dotted IPv4 address in network order, or nothing.
std::optional<uint32_t> parseDottedIPv4(std::string_view text);
// The text as a dotted address, else the first IPv4 address of a host-name lookup.
// On failure sets the last socket error (WSAHOST_NOT_FOUND and friends) and returns it.
// With a `stop` event the lookup runs on a thread of its own and a set `stop` ends the wait at
// once with WSAEINTR, however long the name server takes.
Status resolveIPv4(const std::string& name, uint32_t& address, Event* stop = nullptr);
// Whether a datagram sent to `address` (network order) was meant for many hosts: the limited
// broadcast 255.255.255.255, a multicast group (224.0.0.0/4), or the broadcast address of a
// subnet of one of this host's interfaces (its host part all ones).
bool isBroadcastOrMulticast(uint32_t address);
// gethostname, at most 128 bytes.
std::string localHostName();
// The port of a service (host order): KRONEL_SERVICES override, else the service database,
// else the fallback.
uint16_t servicePort(const char* name, const char* protocol, uint16_t fallback);
// Replaces the override table ("ntp/udp=11123,time/tcp=11037"); used by tests.
void setServiceOverrides(const std::string& table);
// Test seam: the next `count` receives and accepts on sockets bound to local port `port` fail
// with `error` (a WinSock number) instead of taking a datagram or connection, as a failing
// network makes them; a count of 0 clears it.
void injectReceiveFailures(uint16_t port, int error, int count);

struct [[nodiscard]] IoResult {
    long count = 0;  // bytes moved
    int error = 0;   // WinSock number; kTimedOut on time-out, kInterrupted when stopped
    bool ok() const { return error == 0; }
};

// One datagram of a batch: its buffer and, after a receive, its length and sender.
struct Datagram {
    void* data = nullptr;
    size_t size = 0;  // the buffer's size; to send, the bytes to send
    long length = 0;  // received bytes, at most `size` (a longer datagram is cut)
    Endpoint peer;    // received from; to send, the destination
};

// A BSD/WinSock socket. Every blocking call also returns (kInterrupted) when the given stop
// event is set or another thread calls abort(), so no thread waits on a socket forever.
class Socket {
public:
    enum class Type { Udp, Tcp, IcmpRaw };

    Socket();
    ~Socket();
    Socket(Socket&&) noexcept;
    Socket& operator=(Socket&&) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    Status open(Type type);
    bool isOpen() const;
    void close();
    // Thread-safe: makes the blocking call in progress, and every later one, fail.
    void abort();

    Status setReuseAddress(bool on);
    Status setBroadcast(bool on);
    Status setMulticastTtl(int ttl);
    Status joinMulticastGroup(uint32_t group);
    Status bind(const Endpoint& local);
    Status listen(int backlog);
    Status connect(const Endpoint& remote, Millis timeout, Event* stop = nullptr);
    Socket accept(Endpoint* peer, Status& status, Millis timeout = kInfinite,
                  Event* stop = nullptr);
    Endpoint localEndpoint() const;

    IoResult sendTo(const void* data, size_t size, const Endpoint& to);
    IoResult send(const void* data, size_t size);
    IoResult receiveFrom(void* buffer, size_t size, Endpoint* from, Millis timeout = kInfinite,
                         Event* stop = nullptr);
    IoResult receive(void* buffer, size_t size, Millis timeout = kInfinite, Event* stop = nullptr);
    // Asks the system to tell the address each datagram was sent to (IP_PKTINFO); fails where
    // it cannot.
    Status receiveDestinations();
    // receiveFrom that also gives the address the datagram was sent to (network order), where
    // the system told it after receiveDestinations(); else `to` is left empty.
    IoResult receiveFromTo(void* buffer, size_t size, Endpoint* from, std::optional<uint32_t>* to,
                           Millis timeout = kInfinite, Event* stop = nullptr);
    // Takes a datagram only if one is already waiting (else kWouldBlock at once), so a busy
    // server makes one call per datagram and waits only when idle.
    IoResult receiveWaitingFrom(void* buffer, size_t size, Endpoint* from);
    // Up to `count` datagrams that are already queued, without waiting: the number taken. 0
    // when none could be taken; the last socket error then says why (kWouldBlock: none waits).
    int receiveWaitingBatch(Datagram* datagrams, int count);
    // Sends `count` datagrams: the number sent; on a shortfall the last socket error says why.
    int sendBatch(const Datagram* datagrams, int count);

    // For a program without a window of its own: runs the calling thread's message loop and
    // calls `onReadable` whenever a datagram waits, until `stop` is set or the session ends
    // (which sets `stop`). Windows: a hidden window that WSAAsyncSelect tells of FD_READ;
    // POSIX: poll. `onReadable` takes the datagram with receiveFrom and a zero time-out.
    Status runMessageLoop(Event& stop, const std::function<void()>& onReadable);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
