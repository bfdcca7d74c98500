#include "wire/SmtpReply.h"

namespace wire {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reply codes run from 100 to 599.
bool hasCode(const std::string& line) {
    return line.size() >= 3 && line[0] >= '1' && line[0] <= '5' && isDigit(line[1]) &&
           isDigit(line[2]);
}

int codeOf(const std::string& line) {
    return hasCode(line) ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
}

bool continues(const std::string& line) {
    return hasCode(line) && line.size() >= 4 && line[3] == '-';
}

}  // namespace

void SmtpReplyReader::feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c != '\n') {
            if (partial_.size() < kLineLimit) {
                partial_ += c;
            } else {
                partialCut_ = true;
            }
            continue;
        }
        std::string line = std::move(partial_);
        partial_.clear();
        // A line cut at the limit lost its carriage return with the rest: its last byte is text.
        if (!partialCut_ && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        partialCut_ = false;
        const bool more = continues(line);
        if (building_.lines.size() < kLineCount || !more) {
            building_.lines.push_back(std::move(line));
        }
        if (more) {
            continue;
        }
        building_.code = codeOf(building_.lastLine());
        ready_.push_back(std::move(building_));
        building_ = SmtpReply{};
    }
}

std::optional<SmtpReply> SmtpReplyReader::next() {
    if (readyTaken_ >= ready_.size()) {
        ready_.clear();
        readyTaken_ = 0;
        return std::nullopt;
    }
    return std::move(ready_[readyTaken_++]);
}

}  // namespace wire
