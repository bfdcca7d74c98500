#include <gtest/gtest.h>

#include <string>

#include "core/ErrorText.h"
#include "platform/Result.h"
#include "platform/Socket.h"
#include "platform/SystemError.h"

using namespace core;

namespace {

// What the system says about a number, without its line break.
std::string systemTextOf(int error) {
    std::string text = platform::systemMessage(error).value_or("");
    if (text.size() >= 2) {
        text.resize(text.size() - 2);
    }
    return text;
}

}  // namespace

TEST(WinsockErrorText, ZeroMeansNoError) {
    EXPECT_EQ(winsockErrorText(0), "No WinSock error");
}

TEST(WinsockErrorText, TableRowsGiveTheirTextsAsWritten) {
    EXPECT_EQ(winsockErrorText(10004), "WSAEINTR: Interrupted 'system call'");
    EXPECT_EQ(winsockErrorText(10040), "WSAEMSGSIZE: Message too long");
    EXPECT_EQ(winsockErrorText(10043), "WSAEPROTONOSUPPORT: Protocol not suported");
    EXPECT_EQ(winsockErrorText(10049), "WSAEADDRNOTAVAIL: Can't assign requested address");
    EXPECT_EQ(winsockErrorText(10059), "WSAETOOMANYREFS: Too many references: can't splice");
    EXPECT_EQ(winsockErrorText(10060), "WSAETIMEDOUT: Connection timed out");
    EXPECT_EQ(winsockErrorText(10061), "WSAECONNREFUSED: Connection refused");
    EXPECT_EQ(winsockErrorText(10071), "WSAEREMOTE: Too many levels of remote in path (!)");
    EXPECT_EQ(winsockErrorText(10093), "WSANOTINITIALISED: WinSock not initialised");
    EXPECT_EQ(winsockErrorText(11001), "WSAHOST_NOT_FOUND: Host not found (authoritative)");
    EXPECT_EQ(winsockErrorText(11004), "WSANO_DATA: No host data record of requested type");
}

TEST(WinsockErrorText, ExactlyFiftyNumbersHaveASymbolAndDescription) {
    int known = 0;
    for (int number = 9990; number <= 11100; ++number) {
        const std::string text = winsockErrorText(number);
        if (text.rfind("Unrecognised", 0) == 0) {
            continue;
        }
        ++known;
        EXPECT_EQ(text.rfind("WSA", 0), 0u) << number;
        EXPECT_NE(text.find(": "), std::string::npos) << number;
    }
    EXPECT_EQ(known, 50);
}

TEST(WinsockErrorText, NumbersOutsideTheTableAreNamed) {
    EXPECT_EQ(winsockErrorText(10001), "Unrecognised error number 10001");
    EXPECT_EQ(winsockErrorText(10072), "Unrecognised error number 10072");
    EXPECT_EQ(winsockErrorText(11005), "Unrecognised error number 11005");
    EXPECT_EQ(winsockErrorText(-7), "Unrecognised error number -7");
}

TEST(WinsockErrorText, EveryErrnoASocketCallCanMeetHasARealText) {
    // Whatever errno a socket call fails with reaches the log as words, never as a number
    // alone (a multicast join without a route fails with ENODEV).
    for (int e = 1; e < 134; ++e) {
        const int number = platform::socketErrorNumber(e);
        if (!platform::systemMessage(e)) {
            continue;  // not an errno of this system
        }
        EXPECT_EQ(winsockErrorText(number).rfind("Unrecognised", 0), std::string::npos)
            << "errno " << e << " -> " << number;
    }
}

TEST(WinsockErrorText, WithoutNumberUsesTheThreadsLastSocketError) {
    platform::setLastSocketError(10061);
    EXPECT_EQ(winsockErrorText(), "WSAECONNREFUSED: Connection refused");
    platform::setLastSocketError(0);
    EXPECT_EQ(winsockErrorText(), "No WinSock error");
    platform::setLastSocketError(4242);
    EXPECT_EQ(winsockErrorText(), "Unrecognised error number 4242");
}

TEST(SystemErrorText, ShowsTheGivenNumberBesideItsOwnText) {
    const std::string text = systemTextOf(2);
    ASSERT_FALSE(text.empty());
    // A different last error must not leak into the number shown.
    platform::setLastSystemError(13);
    EXPECT_EQ(systemErrorText(2), text + " (0x2)");
    EXPECT_EQ(platform::lastSystemError(), 13);
}

TEST(SystemErrorText, PrintsTheNumberInHex) {
    const std::string text = systemTextOf(22);
    ASSERT_FALSE(text.empty());
    platform::setLastSystemError(0);
    EXPECT_EQ(systemErrorText(22), text + " (0x16)");
}

TEST(SystemErrorText, LastSystemErrorTextUsesTheThreadsLastError) {
    platform::setLastSystemError(2);
    EXPECT_EQ(lastSystemErrorText(), systemTextOf(2) + " (0x2)");
}

TEST(SystemErrorText, NumberWithoutSystemTextGivesEmptyText) {
    EXPECT_EQ(systemErrorText(987654), "");
    EXPECT_EQ(systemErrorTextFrom(std::nullopt, 5), "");
}

TEST(SystemErrorText, CutsTheLineBreakOnly) {
    EXPECT_EQ(systemErrorTextFrom(std::string("Access is denied.\r\n"), 5),
              "Access is denied. (0x5)");
}

TEST(SystemErrorText, MessageLongerThan242CharactersGivesEmptyText) {
    const std::string fits = std::string(240, 'x') + "\r\n";  // 242 + 14 = 256
    EXPECT_EQ(systemErrorTextFrom(fits, 0x1f), std::string(240, 'x') + " (0x1f)");
    const std::string tooLong = std::string(241, 'x') + "\r\n";
    EXPECT_EQ(systemErrorTextFrom(tooLong, 0x1f), "");
}
