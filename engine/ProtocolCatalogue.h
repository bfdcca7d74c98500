#pragma once
#include <array>
#include <string>

namespace engine {

// One protocol number of the server list: what a server entry's `protocol` value means to
// everyone but the code that makes its client (that is keyed by the same rows in app/).
struct ProtocolRow {
    int number;
    const char* name;     // shown in the lists and pages; the client's source name too
    bool needsAddress;    // false: the entry may leave `addr` empty
    bool takesProxy;      // the entry's `useproxy` applies: the pages offer it, the list stores it
    bool takesRejectNtp;  // the entry's `rejectntp` applies: the same
};

// Every assigned number, in ascending order; 16 to 19 are not assigned.
// number, name, needs an address, takes the proxy, takes rejectntp
inline constexpr auto kProtocolCatalogue = std::to_array<ProtocolRow>({
    {0, "SNTP Client", true, false, true},
    {1, "RFC868 UDP Client", true, false, false},
    {2, "RFC868 TCP Client", true, false, false},
    {3, "HTTP Client", true, true, false},
    // Without an address it takes broadcasts from any sender.
    {4, "SNTP Broadcast Client", false, false, false},
    {5, "Zodiac GPS Client", true, false, false},
    {6, "NMEA Client", true, false, false},
    {7, "RFC867 TCP Client", true, true, false},
    {8, "RFC867 UDP Client", true, false, false},
    {9, "Galleon Clock Client", true, false, false},
    {10, "ICMP Timestamp Client", true, false, false},
    {11, "Trimble Clock Client", true, false, false},
    {12, "Praecis Clock Client", true, false, false},
    {13, "Truetime Clock Client", true, false, false},
    {14, "Spectracom Clock Client", true, false, false},
    {15, "NeoClock Clock Client", true, false, false},
    {20, "DCF77 Clock Client", true, false, false},
    {21, "Pulse Clock Client", true, false, false},
    {22, "EMCPro Clock Client", true, false, false},
    {23, "IRIG-B Clock Client", true, false, false},
    {24, "NMEA with 1PPS Client", true, false, false},
});

// Protocol 0's name under SNTPFix, which makes it the alternative client.
inline constexpr const char* kSntpAlternativeName = "SNTP (alternative) Client";

// The row of `protocol`; nullptr when the number is not assigned.
const ProtocolRow* findProtocol(int protocol);
// The name shown for `protocol`; empty when it is not assigned.
std::string protocolDisplayName(int protocol, bool sntpFix);
// An unassigned number needs an address and takes neither flag.
bool needsAddress(int protocol);
bool takesProxy(int protocol);
bool takesRejectNtp(int protocol);

}  // namespace engine
