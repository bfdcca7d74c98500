#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/ChildProcess.h"

namespace testsupport {

// aiosmtpd on a loopback port: an independent mail server that keeps every message it
// receives in a maildir, with the envelope added as X-MailFrom and X-RcptTo headers.
// scripts/setup installs it.
class Aiosmtpd {
public:
    static constexpr const char* kPython = "/usr/bin/python3";

    Aiosmtpd();
    ~Aiosmtpd();
    Aiosmtpd(const Aiosmtpd&) = delete;
    Aiosmtpd& operator=(const Aiosmtpd&) = delete;

    uint16_t port() const { return port_; }
    std::string log() const { return process_.errors() + process_.output(); }
    // Connects until the server greets.
    bool waitUntilServing() const;
    // The messages received so far, as stored (headers, blank line, body), oldest first.
    std::vector<std::string> messages() const;
    bool waitForMessages(size_t count, std::chrono::milliseconds deadline) const;

private:
    TempDir dir_{"kronel-aiosmtpd-"};
    uint16_t port_ = 0;
    platform::ChildProcess process_;
    bool started_ = false;
};

// A TCP port on loopback that was free a moment ago.
uint16_t freeTcpPort();

}  // namespace testsupport
