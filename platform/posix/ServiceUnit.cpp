#include "posix/ServiceUnit.h"

#include <cstdio>

namespace platform {

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// A word of an Exec line: '%' and '$' would be expanded, blanks and quotes split words.
std::string execWord(const std::string& word) {
    std::string escaped;
    bool quote = word.empty();
    for (char c : word) {
        switch (c) {
            case '%':
                escaped += "%%";
                break;
            case '$':
                escaped += "$$";
                break;
            case '\\':
            case '"':
                escaped += '\\';
                escaped += c;
                quote = true;
                break;
            case ' ':
            case '\'':
            case ';':
                escaped += c;
                quote = true;
                break;
            default:
                escaped += c;
        }
    }
    return quote ? "\"" + escaped + "\"" : escaped;
}

// A value where specifiers are expanded.
std::string unitValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '%') {
            escaped += '%';
        }
    }
    return escaped;
}

// Windows service dependencies in systemd's terms; "Tcpip" is the network being up.
std::string dependencyUnit(const std::string& service) {
    if (sameServiceName(service, "Tcpip")) {
        return "network-online.target";
    }
    return unitName(service);
}

std::string seconds(uint32_t milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0) {
        std::snprintf(text, sizeof text, "%us", milliseconds / 1000);
    } else {
        std::snprintf(text, sizeof text, "%ums", milliseconds);
    }
    return text;
}

// The sandbox of a confined service: an account of its own made for each start, only the
// capabilities it uses, its own state and log folders, and the rest of the system read-only
// or out of sight. The clock stays writable (no ProtectClock=): setting it is the job.
std::string confinementText(const ServiceConfinement& c) {
    std::string capabilities;
    const auto add = [&capabilities](bool wanted, const char* name) {
        if (wanted) {
            capabilities += capabilities.empty() ? name : std::string(" ") + name;
        }
    };
    add(c.setsClock, "CAP_SYS_TIME");
    add(c.privilegedPorts, "CAP_NET_BIND_SERVICE");
    add(c.rawSockets, "CAP_NET_RAW");

    std::string text = "DynamicUser=yes\n";
    if (c.serialPorts) {
        text += "SupplementaryGroups=dialout\n";
    }
    text += "CapabilityBoundingSet=" + capabilities + "\n";
    if (!capabilities.empty()) {
        text += "AmbientCapabilities=" + capabilities + "\n";
    }
    if (!c.stateDirectory.empty()) {
        text += "StateDirectory=" + unitValue(c.stateDirectory) + "\nStateDirectoryMode=0750\n";
    }
    if (!c.logsDirectory.empty()) {
        text += "LogsDirectory=" + unitValue(c.logsDirectory) + "\nLogsDirectoryMode=0750\n";
        // Relative log file names land there.
        text += "WorkingDirectory=/var/log/" + unitValue(c.logsDirectory) + "\n";
    }
    text +=
        "UMask=0077\n"
        "NoNewPrivileges=yes\n"
        "ProtectSystem=strict\n"
        "ProtectHome=yes\n"
        "PrivateTmp=yes\n"
        "PrivateIPC=yes\n"
        "PrivateMounts=yes\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        "ProcSubset=pid\n"
        "DevicePolicy=closed\n";
    if (c.serialPorts) {
        text +=
            "DeviceAllow=char-ttyS rw\nDeviceAllow=char-ttyUSB rw\nDeviceAllow=char-ttyACM rw\n";
    } else {
        // No device of its own: a /dev with the pseudo devices alone.
        text += "PrivateDevices=yes\n";
    }
    text += std::string("RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6") +
            (c.networkInterfaces ? " AF_NETLINK\n" : "\n");
    text +=
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "RemoveIPC=yes\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service @clock\n"
        "SystemCallFilter=~@resources\n"
        "SystemCallErrorNumber=EPERM\n";
    return text;
}

}  // namespace

bool sameServiceName(const std::string& a, const std::string& b) {
    return lowerCase(a) == lowerCase(b);
}

std::string unitName(const std::string& serviceName) {
    return lowerCase(serviceName) + ".service";
}
std::string removalUnitName(const std::string& serviceName) {
    return lowerCase(serviceName) + "-cleanup.service";
}

std::string serviceUnitText(const ServiceConfig& config) {
    std::string text = "# " + config.displayName + "\n";
    if (!config.description.empty()) {
        text += "# " + config.description + "\n";
    }
    text += "\n[Unit]\nDescription=" + unitValue(config.displayName) + "\n";
    for (const std::string& dependency : config.dependencies) {
        text += "Wants=" + dependencyUnit(dependency) + "\n";
        text += "After=" + dependencyUnit(dependency) + "\n";
    }
    text += "\n[Service]\nType=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + execWord(config.executable) + "\n";
    text += "Restart=on-failure\nRestartSec=5s\nKillSignal=SIGTERM\n";
    if (config.stopWaitHint > 0) {
        text += "TimeoutStopSec=" + seconds(config.stopWaitHint) + "\n";
    }
    if (config.confinement.confined) {
        text += confinementText(config.confinement);
    }
    if (config.autoStart) {
        text += "\n[Install]\nWantedBy=multi-user.target\n";
    }
    return text;
}

std::string removalUnitText(const std::string& serviceName, const std::string& executable,
                            const std::string& argument) {
    std::string text = "# Finishes removing " + serviceName + " at the next start of the system.\n";
    text += "\n[Unit]\nDescription=Finish removing " + unitValue(serviceName) + "\n";
    text += "After=" + unitName(serviceName) + "\n";
    text += "\n[Service]\nType=oneshot\n";
    text += "ExecStart=" + execWord(executable) + " " + execWord(argument) + "\n";
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

// Writes the whole file beside its place and moves it there, so a unit file is never seen

}  // namespace platform
