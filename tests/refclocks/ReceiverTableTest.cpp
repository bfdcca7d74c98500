// Every row of the receiver table against the name, reference identifier, port and line each
// receiver had as a class of its own.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RefclockFakes.h"
#include "refclocks/Receivers.h"
#include "support/RecordingMessages.h"

using refclocktest::RecordingTime;
using refclocktest::ScriptedPort;

namespace {

constexpr const char* kAddressMode = "baud=9600 parity=O data=8 stop=1";
constexpr const char* kGpsMode = "baud=9600 parity=N data=8 stop=1";

struct Expected {
    int protocol;
    const char* name;
    const char* referenceId;
    const char* path;  // with the address COM2, GPSPort 5 and GPSSpeed 1
    const char* mode;
    int baud;
    int parity;
    int stopBits;
    platform::RtsControl rts;
};

constexpr platform::RtsControl kRts = platform::RtsControl::Enable;
constexpr platform::RtsControl kHandshake = platform::RtsControl::Handshake;

const Expected kExpected[] = {
    {5, "Zodiac GPS Client", "GPS", "\\\\.\\COM5", kGpsMode, 9600, 0, 0, kHandshake},
    {6, "NMEA Client", "GPS", "\\\\.\\COM5", kGpsMode, 9600, 0, 0, kHandshake},
    {9, "Galleon Clock Client", "DCF", "\\\\.\\COM2", kAddressMode, 2400, 0, 0, kRts},
    {11, "Trimble Clock Client", "GPS", "\\\\.\\COM2", kAddressMode, 9600, 1, 0, kRts},
    {12, "Praecis Clock Client", "CDMA", "\\\\.\\COM2", kAddressMode, 9600, 0, 0, kRts},
    {13, "Truetime Clock Client", "GPS", "\\\\.\\COM2", kAddressMode, 9600, 0, 0, kRts},
    {14, "Spectracom Clock Client", "WWVB", "\\\\.\\COM2", kAddressMode, 9600, 0, 0, kRts},
    {15, "NeoClock Clock Client", "DCF", "\\\\.\\COM2", kAddressMode, 2400, 0, 2, kRts},
    {20, "DCF77 Clock Client", "DCF", "\\\\.\\COM2", kAddressMode, 50, 0, 0, kRts},
    {21, "Pulse Clock Client", "DCF", "\\\\.\\COM2", kAddressMode, 50, 0, 0, kRts},
    {22, "EMCPro Clock Client", "GPS", "\\\\.\\COM2", kAddressMode, 9600, 0, 0, kRts},
    {23, "IRIG-B Clock Client", "IRIG", "\\\\.\\COM2", kAddressMode, 1000, 0, 0, kRts},
    {24, "NMEA with 1PPS Client", "GPS", "\\\\.\\COM5", kGpsMode, 9600, 0, 0, kHandshake},
};

}  // namespace

TEST(ReceiverTable, EachRowOpensItsReceiversPortAndLine) {
    ASSERT_EQ(refclocks::receiverRows().size(), std::size(kExpected));
    for (const Expected& e : kExpected) {
        const refclocks::ReceiverRow* row = refclocks::receiverRow(e.protocol);
        ASSERT_NE(row, nullptr) << e.protocol;
        EXPECT_STREQ(row->name, e.name);
        EXPECT_STREQ(row->referenceId, e.referenceId) << e.name;

        testsupport::RecordingMessages messages;
        RecordingTime time;
        ScriptedPort::Shared shared;
        std::string opened;
        auto client = refclocks::makeReceiver(*row, {"COM2", 1, 5, 1, "", 0}, messages, time);
        client->setPortOpener([&](const std::string& path, platform::Status& status) {
            opened = path;
            status = {};
            return std::make_unique<ScriptedPort>(shared);
        });
        client->start();
        EXPECT_TRUE(client->running()) << e.name;
        client->stop();
        EXPECT_EQ(client->sourceName(), e.name);
        EXPECT_EQ(opened, e.path) << e.name;
        EXPECT_EQ(shared.mode, e.mode) << e.name;
        EXPECT_EQ(shared.line.baudRate, e.baud) << e.name;
        EXPECT_EQ(shared.line.dataBits, 8) << e.name;
        EXPECT_EQ(shared.line.parity, e.parity) << e.name;
        EXPECT_EQ(shared.line.stopBits, e.stopBits) << e.name;
        EXPECT_EQ(shared.line.dtr, platform::DtrControl::Enable) << e.name;
        EXPECT_EQ(shared.line.rts, e.rts) << e.name;
    }
    EXPECT_EQ(refclocks::receiverRow(0), nullptr);
}
