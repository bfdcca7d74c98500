#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/Socket.h"
#include "support/Loopback.h"

using namespace platform;
using testsupport::boundUdp;
using testsupport::loopback;

TEST(Socket, UdpRoundTripOnLoopbackReportsTheSender) {
    Socket server = boundUdp();
    Socket client = boundUdp();
    const char hello[] = "hello";
    auto sent = client.sendTo(hello, sizeof hello, server.localEndpoint());
    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(sent.count, static_cast<long>(sizeof hello));
    char buffer[64] = {};
    Endpoint from;
    auto got = server.receiveFrom(buffer, sizeof buffer, &from, Millis(2000));
    ASSERT_TRUE(got.ok());
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(from, client.localEndpoint());
}

TEST(Socket, ReceiveTimesOutWithTheWinsockNumber) {
    Socket s = boundUdp();
    char buffer[8];
    auto got = s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(30));
    EXPECT_EQ(got.error, wsa::kTimedOut);
    EXPECT_EQ(lastSocketError(), wsa::kTimedOut);
}

TEST(Socket, OversizedDatagramIsReportedAsMessageTooLong) {
    Socket server = boundUdp();
    Socket client = boundUdp();
    const char big[100] = {};
    ASSERT_TRUE(client.sendTo(big, sizeof big, server.localEndpoint()).ok());
    char buffer[48];
    auto got = server.receiveFrom(buffer, sizeof buffer, nullptr, Millis(2000));
    EXPECT_EQ(got.error, wsa::kMessageSize);
    EXPECT_EQ(got.count, 48);
}

TEST(Socket, ReceiveWaitingFromTakesOnlyWhatIsQueued) {
    Socket server = boundUdp();
    Socket client = boundUdp();
    char buffer[48];
    Endpoint from;
    EXPECT_EQ(server.receiveWaitingFrom(buffer, sizeof buffer, &from).error, wsa::kWouldBlock);
    const char big[100] = {7};
    ASSERT_TRUE(client.sendTo("x", 1, server.localEndpoint()).ok());
    ASSERT_TRUE(client.sendTo(big, sizeof big, server.localEndpoint()).ok());
    // Loopback delivery may lag the send (Wine): give both a moment to be queued.
    std::this_thread::sleep_for(Millis(50));
    auto got = server.receiveWaitingFrom(buffer, sizeof buffer, &from);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.count, 1);
    EXPECT_EQ(from, client.localEndpoint());
    got = server.receiveWaitingFrom(buffer, sizeof buffer, &from);
    EXPECT_EQ(got.error, wsa::kMessageSize);
    EXPECT_EQ(got.count, 48);
    EXPECT_EQ(buffer[0], 7);
}

TEST(Socket, StopEventBreaksABlockingReceive) {
    Socket s = boundUdp();
    Event stop(true);
    std::thread stopper([&] { stop.set(); });
    char buffer[8];
    auto got = s.receiveFrom(buffer, sizeof buffer, nullptr, kInfinite, &stop);
    stopper.join();
    EXPECT_EQ(got.error, wsa::kInterrupted);
}

TEST(Socket, AbortFromAnotherThreadBreaksReceiveAndLaterCalls) {
    Socket s = boundUdp();
    std::thread aborter([&] { s.abort(); });
    char buffer[8];
    auto got = s.receive(buffer, sizeof buffer);
    aborter.join();
    EXPECT_EQ(got.error, wsa::kInterrupted);
    EXPECT_EQ(s.sendTo(buffer, 1, loopback(9)).error, wsa::kInterrupted);
}

TEST(Socket, TcpConnectAcceptAndRefusal) {
    Socket listener;
    ASSERT_TRUE(listener.open(Socket::Type::Tcp).ok());
    ASSERT_TRUE(listener.setReuseAddress(true).ok());
    ASSERT_TRUE(listener.bind(loopback(0)).ok());
    ASSERT_TRUE(listener.listen(4).ok());
    const Endpoint where = listener.localEndpoint();

    Socket client;
    ASSERT_TRUE(client.open(Socket::Type::Tcp).ok());
    ASSERT_TRUE(client.connect(where, Millis(2000)).ok());
    Status accepted;
    Socket peer = listener.accept(nullptr, accepted, Millis(2000));
    ASSERT_TRUE(accepted.ok());
    ASSERT_TRUE(peer.send("abc", 3).ok());
    char buffer[8] = {};
    auto got = client.receive(buffer, sizeof buffer, Millis(2000));
    EXPECT_EQ(got.count, 3);
    EXPECT_STREQ(buffer, "abc");

    listener.close();
    Socket refused;
    ASSERT_TRUE(refused.open(Socket::Type::Tcp).ok());
    EXPECT_EQ(refused.connect(where, Millis(2000)).error, wsa::kConnRefused);
}

TEST(Socket, ErrnoMapsToWinsockNumbers) {
    EXPECT_EQ(socketErrorNumber(0), 0);
    EXPECT_EQ(socketErrorNumber(ECONNREFUSED), 10061);
    EXPECT_EQ(socketErrorNumber(EADDRINUSE), 10048);
    EXPECT_EQ(socketErrorNumber(EWOULDBLOCK), 10035);
    EXPECT_EQ(socketErrorNumber(ETIMEDOUT), 10060);
    EXPECT_EQ(socketErrorNumber(EHOSTUNREACH), 10065);
    // A multicast join on a host without a multicast route.
    EXPECT_EQ(socketErrorNumber(ENODEV), 10051);
#ifndef _WIN32
    // Every errno the socket calls document has a WinSock number, so a text to show.
    for (const int e :
         {EACCES,     EPERM,        EADDRINUSE,   EADDRNOTAVAIL, EAFNOSUPPORT, EAGAIN,
          EALREADY,   EBADF,        ECONNABORTED, ECONNREFUSED,  ECONNRESET,   EDESTADDRREQ,
          EFAULT,     EHOSTUNREACH, EINPROGRESS,  EINTR,         EINVAL,       EIO,
          EISCONN,    EMFILE,       EMSGSIZE,     ENETDOWN,      ENETUNREACH,  ENFILE,
          ENOBUFS,    ENODEV,       ENOMEM,       ENONET,        ENOPROTOOPT,  ENOSR,
          ENOTCONN,   ENOTSOCK,     EOPNOTSUPP,   EPIPE,         EPROTO,       EPROTONOSUPPORT,
          EPROTOTYPE, ETIMEDOUT,    EHOSTDOWN}) {
        EXPECT_GE(socketErrorNumber(e), 10004) << e;
    }
#endif
}

TEST(Socket, DottedAddressesParseAndNamesResolve) {
    EXPECT_EQ(parseDottedIPv4("127.0.0.1"), loopback(0).address);
    EXPECT_FALSE(parseDottedIPv4("127.0.0").has_value());
    EXPECT_FALSE(parseDottedIPv4("localhost").has_value());
    EXPECT_FALSE(parseDottedIPv4("1.2.3.4 ").has_value());
    uint32_t address = 0;
    ASSERT_TRUE(resolveIPv4("localhost", address).ok());
    EXPECT_EQ(Endpoint{address}.addressText().rfind("127.", 0), 0u);
    const Status missing = resolveIPv4("no-such-host.invalid", address);
    EXPECT_FALSE(missing.ok());
    EXPECT_GE(missing.error, wsa::kHostNotFound);
    EXPECT_LE(missing.error, wsa::kNoData);
    EXPECT_EQ(lastSocketError(), missing.error);
}

TEST(ServicePort, OverridesWinThenTheDatabaseThenTheFallback) {
    setServiceOverrides("ntp/udp=11123,time/tcp=11037,bogus=x,daytime/udp=70000");
    EXPECT_EQ(servicePort("ntp", "udp", 123), 11123);
    EXPECT_EQ(servicePort("time", "tcp", 37), 11037);
    EXPECT_EQ(servicePort("daytime", "udp", 13), 13);  // out of range: ignored
    EXPECT_EQ(servicePort("no-such-service", "udp", 4242), 4242);
    setServiceOverrides("");
    EXPECT_EQ(servicePort("no-such-service", "tcp", 7), 7);
}
