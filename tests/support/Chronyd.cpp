#include "Chronyd.h"

#include "Loopback.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace testsupport {

uint16_t freeUdpPort() {
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Udp).ok() || !socket.bind(loopback(0)).ok()) {
        return 0;
    }
    return socket.localEndpoint().port;
}

Chronyd::Chronyd() {
    port_ = freeUdpPort();
    const std::string conf = dir_.file("chronyd.conf");
    writeFile(conf, "port " + std::to_string(port_) +
                        "\nlocal stratum 3\nallow 127.0.0.1\nbindaddress 127.0.0.1\ncmdport 0\n"
                        "pidfile " +
                        dir_.file("chronyd.pid") + "\n");
    // -x: chronyd never controls the clock; -u root: no user switch inside test sandboxes.
    started_ = process_.start(kProgram, {"-x", "-d", "-u", "root", "-f", conf}).ok();
}

Chronyd::~Chronyd() {
    if (started_) {
        int exitCode = 0;
        (void)process_.signal(platform::ChildProcess::Signal::Terminate);
        (void)process_.wait(platform::Millis(2000), exitCode);
    }
}

bool Chronyd::waitUntilServing() const {
    if (!started_ || port_ == 0) {
        return false;
    }
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Udp).ok()) {
        return false;
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint8_t request[48] = {0x1B};
        request[40] = 0xE0;  // any transmit time that is not zero
        if (!socket.sendTo(request, sizeof request, loopback(port_)).ok()) {
            return false;
        }
        uint8_t reply[48];
        const auto got = socket.receiveFrom(reply, sizeof reply, nullptr, platform::Millis(200));
        if (got.ok() && got.count == 48 && (reply[0] & 7) == 4 && reply[1] >= 1 && reply[1] <= 15) {
            return true;
        }
        platform::sleepFor(platform::Millis(100));
    }
    return false;
}

}  // namespace testsupport
