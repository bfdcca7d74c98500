#pragma once
// The peers tests/support/with-peers started for this test program (xinetd's time and daytime
// services, python3's http.server), found through KRONEL_TEST_PEERS. Tests that use them have
// "WithPeers" in their suite's name: with-peers starts the peers for those alone.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Seams.h"

namespace testsupport {

inline std::string peerTable() {
    return platform::environment("KRONEL_TEST_PEERS");
}

// The port of a peer ("time/tcp", "daytime/udp", "http"); 0 when the program was started
// without with-peers.
inline uint16_t peerPort(const std::string& name) {
    const std::string table = "," + peerTable();
    const size_t at = table.find("," + name + "=");
    if (at == std::string::npos) {
        return 0;
    }
    return static_cast<uint16_t>(std::strtoul(table.c_str() + at + name.size() + 2, nullptr, 10));
}

// The time and daytime entries, as KRONEL_SERVICES takes them.
inline std::string peerServices() {
    const std::string table = peerTable();
    const size_t http = table.find(",http=");
    return http == std::string::npos ? table : table.substr(0, http);
}

inline constexpr const char* kNoPeers =
    "no peers: run the test program through tests/support/with-peers";

}  // namespace testsupport
