#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/CTimeServer.h"

namespace servers {

// Sends a mode-5 NTP broadcast with the engine's time to each address of its list, once per
// interval, while the engine is synchronised.
class CNTPBcastServer : public engine::CTimeServer {
public:
    static constexpr const char* kName = "SNTP Broadcast Server";

    struct Target {
        std::string text;
        uint32_t address = 0;  // network order
        bool dotted = true;    // false: not an address, sent to 255.255.255.255
    };

    CNTPBcastServer(core::MessageHandler& messages, core::TimeHandler& time, int intervalSeconds,
                    int stratum, std::string addresses, int multicastTtl);
    ~CNTPBcastServer() override;

    void run() override;

    // The comma-separated list as sent to: empty items skipped.
    static std::vector<Target> parseTargets(const std::string& list);

private:
    void cycle();

    const int intervalSeconds_;
    const uint8_t stratum_;
    const int multicastTtl_;
    std::vector<Target> targets_;
};

}  // namespace servers
