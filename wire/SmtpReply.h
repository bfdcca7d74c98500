#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace wire {

// One reply of a mail server: its lines without their line ends, and the code of the last.
struct SmtpReply {
    std::vector<std::string> lines;
    int code = 0;  // 100..599; 0 when the last line does not begin with one

    // 4xx and 5xx: the server did not do what it was asked.
    bool refused() const { return code >= 400 && code <= 599; }
    const std::string& lastLine() const { return lines.back(); }
};

// Takes a mail server's replies out of the bytes as they arrive, however the bytes are split
// over receives. A reply is one line, or several when every line but the last has a '-' after
// its code ("250-first", "250 last"). What a server sends is bounded in memory: a line keeps
// its first kLineLimit bytes and a reply its first kLineCount lines.
class SmtpReplyReader {
public:
    static constexpr size_t kLineLimit = 512;
    static constexpr size_t kLineCount = 64;

    void feed(const char* data, size_t size);
    // The next complete reply, when the bytes so far hold one.
    std::optional<SmtpReply> next();

private:
    std::string partial_;      // the line being received, up to kLineLimit bytes
    bool partialCut_ = false;  // bytes of the current line beyond the limit were dropped
    SmtpReply building_;       // continuation lines of the reply not yet complete
    std::vector<SmtpReply> ready_;
    size_t readyTaken_ = 0;
};

}  // namespace wire
