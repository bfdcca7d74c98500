#include "Aiosmtpd.h"

#include <algorithm>
#include <filesystem>

#include "Loopback.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace testsupport {

namespace {

std::string maildir(const TempDir& dir) {
    // Made by the server itself: it sets a maildir up only where none exists.
    return dir.file("maildir");
}

}  // namespace

uint16_t freeTcpPort() {
    platform::Socket socket;
    if (!socket.open(platform::Socket::Type::Tcp).ok() || !socket.bind(loopback(0)).ok()) {
        return 0;
    }
    return socket.localEndpoint().port;
}

Aiosmtpd::Aiosmtpd() {
    port_ = freeTcpPort();
    started_ =
        process_
            .start(kPython, {"-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(port_),
                             "-c", "aiosmtpd.handlers.Mailbox", maildir(dir_)})
            .ok();
}

Aiosmtpd::~Aiosmtpd() {
    if (started_) {
        int exitCode = 0;
        (void)process_.signal(platform::ChildProcess::Signal::Terminate);
        (void)process_.wait(platform::Millis(2000), exitCode);
    }
}

bool Aiosmtpd::waitUntilServing() const {
    if (!started_ || port_ == 0) {
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        platform::Socket socket;
        if (socket.open(platform::Socket::Type::Tcp).ok() &&
            socket.connect(loopback(port_), platform::Millis(500)).ok()) {
            char greeting[256];
            const auto got = socket.receive(greeting, sizeof greeting, platform::Millis(2000));
            if (got.ok() && got.count >= 3 && std::string(greeting, 3) == "220") {
                return true;
            }
        }
        platform::sleepFor(platform::Millis(100));
    }
    return false;
}

std::vector<std::string> Aiosmtpd::messages() const {
    namespace fs = std::filesystem;
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(maildir(dir_)) / "new", error)) {
        found.emplace_back(entry.last_write_time(), readFile(entry.path()));
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> texts;
    for (auto& f : found) {
        texts.push_back(std::move(f.second));
    }
    return texts;
}

bool Aiosmtpd::waitForMessages(size_t count, std::chrono::milliseconds deadline) const {
    return eventually([&] { return messages().size() >= count; }, deadline);
}

}  // namespace testsupport
