// How blocking socket calls wait, on every backend: what ends them, what they leave behind,
// and that a connection accepted from a listener waits on its own.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "platform/Thread.h"
#include "support/Loopback.h"

using namespace platform;
using testsupport::boundUdp;
using testsupport::loopback;

namespace {

Socket listening() {
    Socket s;
    EXPECT_TRUE(s.open(Socket::Type::Tcp).ok());
    EXPECT_TRUE(s.bind(loopback(0)).ok());
    EXPECT_TRUE(s.listen(4).ok());
    return s;
}

}  // namespace

TEST(SocketWait, AStopEventThatResetsItselfIsStillSetAfterEndingAWait) {
    Socket s = boundUdp();
    Event stop(false);
    char buffer[8];
    stop.set();
    EXPECT_EQ(s.receiveFrom(buffer, sizeof buffer, nullptr, kInfinite, &stop).error,
              wsa::kInterrupted);
    EXPECT_TRUE(stop.isSet());

    stop.reset();
    std::thread stopper([&] {
        sleepFor(Millis(20));
        stop.set();
    });
    const IoResult got = s.receive(buffer, sizeof buffer, kInfinite, &stop);
    // Read at once: on Windows any later system call may replace the last error.
    const int lastError = lastSocketError();
    stopper.join();
    EXPECT_EQ(got.error, wsa::kInterrupted);
    EXPECT_EQ(lastError, wsa::kInterrupted);
    EXPECT_TRUE(stop.isSet());
}

TEST(SocketWait, StopEndsAnAcceptAndAbortEndsIt) {
    Socket listener = listening();
    Event stop(true);
    Status status;
    std::thread stopper([&] {
        sleepFor(Millis(20));
        stop.set();
    });
    Socket none = listener.accept(nullptr, status, kInfinite, &stop);
    stopper.join();
    EXPECT_EQ(status.error, wsa::kInterrupted);
    EXPECT_FALSE(none.isOpen());

    std::thread aborter([&] {
        sleepFor(Millis(20));
        listener.abort();
    });
    none = listener.accept(nullptr, status);
    aborter.join();
    EXPECT_EQ(status.error, wsa::kInterrupted);
}

TEST(SocketWait, AcceptedConnectionsWaitOnTheirOwn) {
    Socket listener = listening();
    const Endpoint where = listener.localEndpoint();
    Socket first;
    ASSERT_TRUE(first.open(Socket::Type::Tcp).ok());
    ASSERT_TRUE(first.connect(where, Millis(2000)).ok());
    Status status;
    Endpoint peerAddress;
    Socket peer = listener.accept(&peerAddress, status, Millis(2000));
    ASSERT_TRUE(status.ok()) << status.error;
    EXPECT_EQ(peerAddress, first.localEndpoint());

    // The listener's next client neither wakes nor feeds the accepted connection.
    std::thread talker([&] {
        sleepFor(Millis(20));
        Socket second;
        ASSERT_TRUE(second.open(Socket::Type::Tcp).ok());
        ASSERT_TRUE(second.connect(where, Millis(2000)).ok());
        ASSERT_TRUE(first.send("ping", 4).ok());
    });
    char buffer[8] = {};
    const IoResult got = peer.receive(buffer, sizeof buffer, Millis(5000));
    talker.join();
    ASSERT_TRUE(got.ok()) << got.error;
    EXPECT_EQ(std::string(buffer, got.count), "ping");
    Socket secondPeer = listener.accept(nullptr, status, Millis(2000));
    EXPECT_TRUE(status.ok()) << status.error;
    EXPECT_TRUE(secondPeer.isOpen());
}

TEST(SocketWait, ALargeSendCompletesWhileThePeerReads) {
    Socket listener = listening();
    Socket writer;
    ASSERT_TRUE(writer.open(Socket::Type::Tcp).ok());
    ASSERT_TRUE(writer.connect(listener.localEndpoint(), Millis(2000)).ok());
    Status status;
    Socket reader = listener.accept(nullptr, status, Millis(2000));
    ASSERT_TRUE(status.ok());

    // Far more than the system buffers, so the sender has to wait for room.
    std::vector<char> data(8 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + i / 4096);
    }
    std::vector<char> received;
    received.reserve(data.size());
    Thread readerThread([&] {
        char buffer[65536];
        while (received.size() < data.size()) {
            const IoResult got = reader.receive(buffer, sizeof buffer, Millis(10000));
            if (!got.ok() || got.count == 0) {
                return;
            }
            received.insert(received.end(), buffer, buffer + got.count);
        }
    });
    size_t sent = 0;
    while (sent < data.size()) {
        const IoResult put = writer.send(data.data() + sent, data.size() - sent);
        ASSERT_TRUE(put.ok()) << put.error;
        ASSERT_GT(put.count, 0);
        sent += static_cast<size_t>(put.count);
    }
    ASSERT_TRUE(readerThread.joinFor(kInfinite));
    EXPECT_TRUE(received == data);
}

TEST(SocketWait, AnUnreachablePortDoesNotBreakTheNextReceive) {
    Socket gone = boundUdp();
    const Endpoint closedPort = gone.localEndpoint();
    gone.close();
    Socket s = boundUdp();
    ASSERT_TRUE(s.sendTo("x", 1, closedPort).ok());
    char buffer[8];
    // The "port unreachable" answer must not surface as an error of this socket.
    EXPECT_EQ(s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(200)).error, wsa::kTimedOut);

    Socket other = boundUdp();
    ASSERT_TRUE(other.sendTo("hi", 2, s.localEndpoint()).ok());
    const IoResult got = s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(2000));
    ASSERT_TRUE(got.ok()) << got.error;
    EXPECT_EQ(std::string(buffer, got.count), "hi");
}

TEST(SocketWait, AZeroTimeOutStillReadsWhatHasArrived) {
    Socket s = boundUdp();
    Socket other = boundUdp();
    ASSERT_TRUE(other.sendTo("now", 3, s.localEndpoint()).ok());
    char buffer[8];
    // Delivery on loopback is not instant everywhere: poll until it is there.
    IoResult got;
    for (int i = 0; i < 200; ++i) {
        got = s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(0));
        if (got.error != wsa::kTimedOut) {
            break;
        }
        sleepFor(Millis(10));
    }
    ASSERT_TRUE(got.ok()) << got.error;
    EXPECT_EQ(std::string(buffer, got.count), "now");
    EXPECT_EQ(s.receiveFrom(buffer, sizeof buffer, nullptr, Millis(0)).error, wsa::kTimedOut);
}
