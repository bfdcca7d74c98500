// A mail server's replies arrive as it pleases: split anywhere, overlong, without line ends,
// with endless continuation lines. Reading them must stay defined and bounded, and must not
// depend on how the bytes were split over receives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Format.h"
#include "wire/SmtpReply.h"

using wire::SmtpReply;
using wire::SmtpReplyReader;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::vector<SmtpReply> drain(SmtpReplyReader& reader) {
    std::vector<SmtpReply> replies;
    while (auto reply = reader.next()) {
        replies.push_back(std::move(*reply));
    }
    return replies;
}

bool sameReplies(const std::vector<SmtpReply>& a, const std::vector<SmtpReply>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].lines != b[i].lines || a[i].code != b[i].code) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses how the rest is cut into receives of at most 255 bytes.
    const size_t step = 1 + data[0] % 255;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    SmtpReplyReader whole;
    whole.feed(bytes, length);
    const std::vector<SmtpReply> expected = drain(whole);

    SmtpReplyReader pieces;
    std::vector<SmtpReply> got;
    for (size_t at = 0; at < length; at += step) {
        const size_t n = length - at < step ? length - at : step;
        pieces.feed(bytes + at, n);
        for (SmtpReply& reply : drain(pieces)) {
            got.push_back(std::move(reply));
        }
    }
    check(sameReplies(expected, got));

    size_t lineFeeds = 0;
    for (size_t i = 0; i < length; ++i) {
        lineFeeds += bytes[i] == '\n';
    }
    size_t lines = 0;
    for (const SmtpReply& reply : expected) {
        check(!reply.lines.empty() && reply.lines.size() <= SmtpReplyReader::kLineCount + 1);
        check(reply.code == 0 || (reply.code >= 100 && reply.code <= 599));
        check(reply.refused() == (reply.code >= 400 && reply.code <= 599));
        for (const std::string& line : reply.lines) {
            check(line.size() <= SmtpReplyReader::kLineLimit);
            check(line.find('\n') == std::string::npos);
        }
        lines += reply.lines.size();
        // What goes into a log line has no line break and no other control character.
        const std::string shown = core::printableForLog(reply.lastLine());
        for (char c : shown) {
            check(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
        }
    }
    check(lines <= lineFeeds);
    return 0;
}
