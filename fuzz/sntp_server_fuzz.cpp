// Anyone who can reach port 123 chooses what the SNTP server reads. Whatever a datagram holds,
// the server answers only a whole request of mode 3 or 1, versions 1 to 4, from a client's
// port (or the NTP port), and its answer is mode 4 or 2 with the request's version: so no
// datagram can set it answering another server for ever.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/Handlers.h"
#include "servers/CSNTPServer.h"
#include "wire/NtpPacket.h"

namespace {

class NoMessages : public core::MessageHandler {
public:
    // Debug on, so the diagnostic lines are made from the datagram too.
    void message(core::MessageLevel, const std::string&, const std::string&) override {}
};

class FixedTime : public core::TimeHandler {
public:
    void setTime(double) override {}
    void sourceFailed() override {}
    int pollExponent() override { return 6; }
    core::ReferenceId referenceId() override { return core::referenceIdFromText("LOCL"); }
    void setReferenceId(const core::ReferenceId&) override {}
    void setSharedText(const std::string&) override {}
    std::string sharedText() override { return {}; }
    double now() override { return 3900000000.5; }
    bool synchronised() override { return true; }
    void clearSynchronised() override {}
};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NoMessages messages;
    static FixedTime time;
    static servers::CSNTPServer server(messages, time, 5);
    const servers::CSNTPServer::Batch batch = server.beginBatch(time.now());
    const uint32_t sender = 0x0A4D0009;  // another host, so broadcasts are filed
    for (const uint16_t port : {40000, 123, 13, 7}) {
        uint8_t answer[wire::kNtpPacketSize];
        std::memset(answer, 0xAA, sizeof answer);
        const bool answered = server.handle(batch, data, size, {sender, port}, answer);
        const int mode = size > 0 ? data[0] & 7 : -1;
        const int version = size > 0 ? (data[0] >> 3) & 7 : -1;
        const bool request = size >= wire::kNtpPacketSize && (mode == 3 || mode == 1) &&
                             version >= 1 && version <= 4;
        const bool clientPort = port >= 1024 || port == 123;
        check(answered == (request && clientPort));
        if (!answered) {
            check(answer[0] == 0xAA);  // nothing written to send
            continue;
        }
        check((answer[0] & 7) == (mode == 3 ? 4 : 2));
        check(((answer[0] >> 3) & 7) == version);
        check(std::memcmp(answer + wire::NtpPacket::kOriginate, data + wire::NtpPacket::kTransmit,
                          8) == 0);
    }
    return 0;
}
