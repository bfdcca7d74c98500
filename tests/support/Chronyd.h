#pragma once
#include <cstdint>
#include <string>

#include "TestSupport.h"
#include "platform/ChildProcess.h"

namespace testsupport {

// chronyd -x on a loopback port: an independent NTP server that serves its host's time and
// never touches the clock. scripts/setup installs it.
class Chronyd {
public:
    static constexpr const char* kProgram = "/usr/sbin/chronyd";

    Chronyd();
    ~Chronyd();
    Chronyd(const Chronyd&) = delete;
    Chronyd& operator=(const Chronyd&) = delete;

    uint16_t port() const { return port_; }
    std::string log() const { return process_.errors() + process_.output(); }
    // Asks until chronyd answers as a synchronised server (stratum 1..15, mode 4).
    bool waitUntilServing() const;

private:
    TempDir dir_{"kronel-chronyd-"};
    uint16_t port_ = 0;
    platform::ChildProcess process_;
    bool started_ = false;
};

// A UDP port on loopback that was free a moment ago.
uint16_t freeUdpPort();

}  // namespace testsupport
