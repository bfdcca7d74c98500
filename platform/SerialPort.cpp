#include "platform/SerialPort.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Seams.h"

namespace platform {

namespace {

struct DeviceMap {
    std::mutex mutex;
    std::optional<std::string> table;  // unset: KRONEL_DEVICE_MAP
};

DeviceMap& deviceMap() {
    static DeviceMap map;
    return map;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

#ifndef _WIN32
// "COM1=/dev/pts/5,COM2=..." looked up case-insensitively.
std::optional<std::string> mapped(const std::string& table, const std::string& name) {
    size_t begin = 0;
    while (begin <= table.size()) {
        size_t end = table.find(',', begin);
        if (end == std::string::npos) {
            end = table.size();
        }
        const std::string item = table.substr(begin, end - begin);
        const size_t equals = item.find('=');
        if (equals != std::string::npos && upper(item.substr(0, equals)) == upper(name)) {
            return item.substr(equals + 1);
        }
        begin = end + 1;
    }
    return std::nullopt;
}
#endif

// n of "COMn", or 0.
int comNumber(const std::string& name) {
    if (name.size() < 4 || upper(name.substr(0, 3)) != "COM") {
        return 0;
    }
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) {
            return 0;
        }
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

}  // namespace

void setSerialDeviceMap(const std::string& map) {
    std::lock_guard<std::mutex> lock(deviceMap().mutex);
    deviceMap().table = map;
}

std::string serialDevicePath(const std::string& name) {
    const std::string prefix = "\\\\.\\";
    const std::string bare = name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
    const int n = comNumber(bare);
#ifdef _WIN32
    return n > 0 ? prefix + upper(bare) : name;
#else
    if (n <= 0) {
        return bare;
    }
    std::string table;
    {
        std::lock_guard<std::mutex> lock(deviceMap().mutex);
        table = deviceMap().table ? *deviceMap().table : environment("KRONEL_DEVICE_MAP");
    }
    if (auto device = mapped(table, bare)) {
        return *device;
    }
    return "/dev/ttyS" + std::to_string(n - 1);
#endif
}

ModemWait SerialPort::waitForModemChange(uint32_t reference, Millis timeout, Event* stop) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        uint32_t bits = 0;
        if (!modemStatus(bits).ok()) {
            return ModemWait::Failed;
        }
        if (bits != reference) {
            return ModemWait::Changed;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return ModemWait::TimedOut;
        }
        if (stop == nullptr) {
            std::this_thread::sleep_for(Millis(1));
        } else if (stop->wait(Millis(1))) {
            return ModemWait::Stopped;
        }
    }
}

}  // namespace platform
