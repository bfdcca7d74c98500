// How many SNTP requests a server answers per second on loopback, and how fast.
//
// Runs kronelsvc (its SNTP server alone, simulated clock) and chronyd -x (serving only,
// never touching the clock) side by side on two loopback ports, warms both, then drives them
// flat out in turn with the same load, in alternating rounds (ours first, then chronyd first)
// so that whatever else the machine does weighs on both alike. Prints the valid replies per
// second (mode 4, our transmit timestamp echoed as originate), the reply latency percentiles,
// the requests that went unanswered, the ratio overall and per round, and kronelsvc's peak
// resident memory before and after.
//
// A Linux tool: the load needs sendmmsg/recvmmsg, so it talks to the kernel directly. Run it
// in a network namespace of its own (tests/wisp/in-netns) to keep other loopback traffic out.
//
//   bench_sntp_load [--seconds S] [--rounds R] [--sockets N] [--window W]
//                   [--kronelsvc PATH] [--chronyd PATH] [--port P]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBatch = 64;
constexpr size_t kPacket = 48;
constexpr size_t kSlots = 1 << 16;  // send times kept per socket, indexed by sequence
// A request unanswered this long is counted lost and leaves the window, so a dropped request
// does not shrink the load for the rest of the run.
constexpr uint64_t kLostAfterNs = 100'000'000ull;

struct Options {
    double seconds = 5;  // of load per server, split into the rounds
    int rounds = 20;
    int sockets = 4;
    int window = 128;  // requests in flight per socket
    int port = 11123;
    std::string kronelsvc = KRONEL_BINARY_DIR "/service/kronelsvc";
    std::string chronyd = "/usr/sbin/chronyd";
};

struct Result {
    double rate = 0;
    double p50 = 0, p99 = 0, p999 = 0;  // microseconds
    uint64_t valid = 0, invalid = 0, lost = 0;
    double seconds = 0;
    double cpuSeconds = 0;            // the server process's, user and system
    double loadCpuSeconds = 0;        // the load generator's own
    std::vector<uint32_t> latencies;  // microseconds, one per valid reply

    void add(Result&& round) {
        valid += round.valid;
        invalid += round.invalid;
        lost += round.lost;
        seconds += round.seconds;
        cpuSeconds += round.cpuSeconds;
        loadCpuSeconds += round.loadCpuSeconds;
        latencies.insert(latencies.end(), round.latencies.begin(), round.latencies.end());
    }
    // Rate and percentiles from the counts and latencies gathered.
    void summarise() {
        rate = seconds > 0 ? static_cast<double>(valid) / seconds : 0;
        if (latencies.empty()) {
            return;
        }
        std::sort(latencies.begin(), latencies.end());
        auto at = [&](double q) {
            return static_cast<double>(latencies[std::min(
                latencies.size() - 1, static_cast<size_t>(q * latencies.size()))]);
        };
        p50 = at(0.5);
        p99 = at(0.99);
        p999 = at(0.999);
    }
};

struct SocketCounts {
    std::vector<uint32_t> latencies;
    uint64_t invalid = 0;
    uint64_t lost = 0;
};

uint64_t nanos() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

// One socket's closed loop: keeps `window` requests in flight, each tagged in its transmit
// timestamp with the socket number and a sequence number, and times every valid reply.
void drive(int index, const Options& o, const sockaddr_in& to, uint64_t end, SocketCounts& counts) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        std::perror("socket");
        return;
    }
    // Room for every reply in flight, so the load generator itself drops none.
    const int buffer = 4 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    const timeval wait{0, 10'000};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::vector<uint64_t> sent(kSlots, 0);  // 0: answered or given up
    uint32_t sequence = 0;
    uint32_t oldest = 0;  // no request before it is outstanding
    int inFlight = 0;
    uint8_t out[kBatch][kPacket];
    uint8_t in[kBatch][64];
    mmsghdr sendHeaders[kBatch], receiveHeaders[kBatch];
    iovec sendVectors[kBatch], receiveVectors[kBatch];
    for (int i = 0; i < kBatch; ++i) {
        sendVectors[i] = {out[i], kPacket};
        receiveVectors[i] = {in[i], sizeof in[i]};
        sendHeaders[i] = {};
        sendHeaders[i].msg_hdr.msg_iov = &sendVectors[i];
        sendHeaders[i].msg_hdr.msg_iovlen = 1;
        receiveHeaders[i] = {};
        receiveHeaders[i].msg_hdr.msg_iov = &receiveVectors[i];
        receiveHeaders[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        const uint64_t now = nanos();
        if (now >= end) {
            break;
        }
        // Requests answered leave the front; those unanswered for too long are lost.
        while (oldest != sequence) {
            uint64_t& at = sent[oldest % kSlots];
            if (at != 0 && now - at < kLostAfterNs) {
                break;
            }
            if (at != 0) {
                at = 0;
                ++counts.lost;
                --inFlight;
            }
            ++oldest;
        }
        const int toSend = std::min(kBatch, o.window - inFlight);
        // Never more outstanding than there are slots to time them in.
        if (toSend > 0 && sequence - oldest + static_cast<uint32_t>(toSend) < kSlots) {
            for (int i = 0; i < toSend; ++i) {
                std::memset(out[i], 0, kPacket);
                out[i][0] = 0x1B;
                const uint32_t tag = htonl(static_cast<uint32_t>(index));
                const uint32_t seq = htonl(sequence + static_cast<uint32_t>(i));
                std::memcpy(out[i] + 40, &tag, 4);
                std::memcpy(out[i] + 44, &seq, 4);
            }
            const int n = sendmmsg(fd, sendHeaders, static_cast<unsigned>(toSend), 0);
            for (int i = 0; i < n; ++i) {
                sent[sequence % kSlots] = now;
                ++sequence;
                ++inFlight;
            }
        }
        // Waits for the first reply (at most the socket's 10 ms time-out), then takes every
        // one queued behind it: one call, so the load costs the machine little beside the
        // server it measures.
        const int got = recvmmsg(fd, receiveHeaders, kBatch, MSG_WAITFORONE, nullptr);
        const uint64_t arrived = nanos();
        for (int i = 0; i < got; ++i) {
            const uint8_t* r = in[i];
            uint32_t tag = 0, seq = 0;
            std::memcpy(&tag, r + 24, 4);
            std::memcpy(&seq, r + 28, 4);
            seq = ntohl(seq);
            const bool tagged = receiveHeaders[i].msg_len == kPacket && (r[0] & 7) == 4 &&
                                ntohl(tag) == static_cast<uint32_t>(index) &&
                                seq - oldest < sequence - oldest;
            // A reply to a request given up as lost, or a second reply, is no valid one.
            if (tagged && sent[seq % kSlots] != 0) {
                counts.latencies.push_back(
                    static_cast<uint32_t>((arrived - sent[seq % kSlots]) / 1000));
                sent[seq % kSlots] = 0;
                --inFlight;
            } else {
                ++counts.invalid;
            }
        }
    }
    close(fd);
}

// CPU time a process has used so far, user and system, seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The fields after the command name, which is in parentheses and may hold blanks.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::stoull(field);
        } else if (i == 15) {
            system = std::stoull(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Drives the server process `pid` on `port` flat out for `seconds`.
Result load(const Options& o, pid_t pid, int port, double seconds) {
    const double cpuBefore = cpuSeconds(pid);
    const double loadCpuBefore = cpuSeconds(getpid());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const uint64_t start = nanos();
    const uint64_t end = start + static_cast<uint64_t>(seconds * 1e9);
    std::vector<SocketCounts> counts(static_cast<size_t>(o.sockets));
    std::vector<std::thread> threads;
    for (int i = 0; i < o.sockets; ++i) {
        counts[static_cast<size_t>(i)].latencies.reserve(static_cast<size_t>(seconds * 400'000));
        threads.emplace_back(drive, i, std::cref(o), std::cref(to), end,
                             std::ref(counts[static_cast<size_t>(i)]));
    }
    for (std::thread& t : threads) {
        t.join();
    }
    Result r;
    r.seconds = static_cast<double>(nanos() - start) / 1e9;
    r.cpuSeconds = cpuSeconds(pid) - cpuBefore;
    r.loadCpuSeconds = cpuSeconds(getpid()) - loadCpuBefore;
    for (SocketCounts& c : counts) {
        r.valid += c.latencies.size();
        r.invalid += c.invalid;
        r.lost += c.lost;
        r.latencies.insert(r.latencies.end(), c.latencies.begin(), c.latencies.end());
    }
    return r;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            const std::string& logFile) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envStrings(extraEnv);
    for (char** e = environ; *e; ++e) {
        envStrings.emplace_back(*e);
    }
    std::vector<char*> env;
    for (const std::string& e : envStrings) {
        env.push_back(const_cast<char*>(e.c_str()));
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stopChild(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

// Peak resident set of a process, kB (VmHWM).
long peakRss(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// Waits until something answers an SNTP request on the port.
bool waitServing(int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    for (int i = 0; i < 100 && !ok; ++i) {
        uint8_t request[kPacket] = {0x1B};
        sendto(fd, request, kPacket, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            uint8_t reply[64];
            ok = recv(fd, reply, sizeof reply, 0) == static_cast<ssize_t>(kPacket);
        }
    }
    close(fd);
    return ok;
}

void print(const char* who, const Result& r) {
    std::printf(
        "%-10s %10.0f replies/s  p50 %6.0f us  p99 %6.0f us  p99.9 %6.0f us  "
        "(%llu valid, %llu invalid, %llu unanswered)\n"
        "%-10s %10.0f%% of a core, %.2f us of CPU per reply (load generator: %.2f us)\n",
        who, r.rate, r.p50, r.p99, r.p999, static_cast<unsigned long long>(r.valid),
        static_cast<unsigned long long>(r.invalid), static_cast<unsigned long long>(r.lost), "",
        r.seconds > 0 ? 100 * r.cpuSeconds / r.seconds : 0,
        r.valid > 0 ? 1e6 * r.cpuSeconds / static_cast<double>(r.valid) : 0,
        r.valid > 0 ? 1e6 * r.loadCpuSeconds / static_cast<double>(r.valid) : 0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--seconds") {
            o.seconds = std::clamp(std::atof(v), 0.5, 60.0);
        } else if (a == "--rounds") {
            o.rounds = std::clamp(std::atoi(v), 1, 100);
        } else if (a == "--sockets") {
            o.sockets = std::clamp(std::atoi(v), 1, 16);
        } else if (a == "--window") {
            o.window = std::clamp(std::atoi(v), 1, 1024);
        } else if (a == "--kronelsvc") {
            o.kronelsvc = v;
        } else if (a == "--chronyd") {
            o.chronyd = v;
        } else if (a == "--port") {
            o.port = std::atoi(v);
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    const fs::path dir =
        fs::temp_directory_path() / ("kronel-sntp-load-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::printf(
        "load: %d sockets, %d requests in flight each, %.1f s per server in %d rounds, loopback "
        "ports %d (kronelsvc) and %d (chronyd)\n",
        o.sockets, o.window, o.seconds, o.rounds, o.port, o.port + 1);

    // kronelsvc with its SNTP server alone; Debug off, so the loop formats nothing.
    {
        std::ofstream reg(dir / "registry.reg");
        reg << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters]\r\n"
               "\"TCPServer\"=dword:00000000\r\n\"UDPServer\"=dword:00000000\r\n"
               "\"867TCPServer\"=dword:00000000\r\n\"867UDPServer\"=dword:00000000\r\n"
               "\"LogtoEvtlog\"=dword:00000000\r\n\"LogDebug\"=dword:00000000\r\n";
    }
    const pid_t ours =
        spawn({o.kronelsvc, "debug"},
              {"KRONEL_CLOCK=simulated", "KRONEL_REGISTRY=" + (dir / "registry.reg").string(),
               "KRONEL_SERVICES=ntp/udp=" + std::to_string(o.port)},
              (dir / "kronelsvc.log").string());
    // chronyd as it would serve: its defaults (client log on, no rate limit configured), a
    // local reference so that it answers as synchronised.
    const int chronyPort = o.port + 1;
    {
        std::ofstream conf(dir / "chrony.conf");
        conf << "port " << chronyPort << "\nlocal stratum 10\nallow 127.0.0.1\ncmdport 0\n"
             << "pidfile " << (dir / "chronyd.pid").string() << "\ndriftfile "
             << (dir / "drift").string() << "\n";
    }
    // -x: serve only, never touch the clock.
    const pid_t chrony =
        spawn({o.chronyd, "-x", "-d", "-u", "root", "-f", (dir / "chrony.conf").string()}, {},
              (dir / "chronyd.log").string());
    auto stopBoth = [&] {
        stopChild(ours);
        stopChild(chrony);
    };
    if (ours < 0 || !waitServing(o.port)) {
        std::fprintf(stderr, "kronelsvc did not serve on port %d (log in %s)\n", o.port,
                     dir.c_str());
        stopBoth();
        return 1;
    }
    if (chrony < 0 || !waitServing(chronyPort)) {
        std::fprintf(stderr, "chronyd did not serve on port %d (log in %s)\n", chronyPort,
                     dir.c_str());
        stopBoth();
        return 1;
    }
    const long rssBefore = peakRss(ours);

    // Both warmed alike (caches, socket buffers, chronyd's client log entry) before counting.
    (void)load(o, ours, o.port, 0.5);
    (void)load(o, chrony, chronyPort, 0.5);

    Result kronel, reference;
    std::vector<double> ratios;
    const double slice = o.seconds / o.rounds;
    for (int round = 0; round < o.rounds; ++round) {
        Result a, b;
        if (round % 2 == 0) {
            a = load(o, ours, o.port, slice);
            b = load(o, chrony, chronyPort, slice);
        } else {
            b = load(o, chrony, chronyPort, slice);
            a = load(o, ours, o.port, slice);
        }
        if (b.valid > 0) {
            ratios.push_back((static_cast<double>(a.valid) / a.seconds) /
                             (static_cast<double>(b.valid) / b.seconds));
        }
        kronel.add(std::move(a));
        reference.add(std::move(b));
    }
    const long rssAfter = peakRss(ours);
    stopBoth();
    kronel.summarise();
    reference.summarise();

    print("kronelsvc", kronel);
    print("chronyd -x", reference);
    if (reference.rate > 0) {
        std::printf("ratio kronelsvc / chronyd: %.2f (rounds:", kronel.rate / reference.rate);
        for (double r : ratios) {
            std::printf(" %.2f", r);
        }
        std::vector<double> sorted(ratios);
        std::sort(sorted.begin(), sorted.end());
        std::printf("; median %.2f)\n", sorted.empty() ? 0.0 : sorted[sorted.size() / 2]);
        // The share of the machine each server gets varies with everything else running; the
        // CPU each spends on a reply does not.
        if (kronel.cpuSeconds > 0 && kronel.valid > 0 && reference.valid > 0) {
            std::printf("CPU per reply, chronyd / kronelsvc: %.2f\n",
                        (reference.cpuSeconds / static_cast<double>(reference.valid)) /
                            (kronel.cpuSeconds / static_cast<double>(kronel.valid)));
        }
    }
    std::printf("kronelsvc peak RSS: %ld kB before the load, %ld kB after\n", rssBefore, rssAfter);
    fs::remove_all(dir);
    return 0;
}
