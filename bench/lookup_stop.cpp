// How long a stop takes while a client waits for a name server that never answers, and how
// long a log line takes when the syslog collector is named by such a host name.
//
// The program runs itself again in a network namespace of its own (unshare and mount, so it
// needs root) in which /etc/resolv.conf names 127.0.0.1 and a socket there takes every query
// and answers none. An SNTP client is started on the silent name, stopped in the middle of its
// lookup, N times; then lines go through a log whose syslog collector has that name. Times are
// wall-clock milliseconds on the monotonic clock.
//
//   bench_lookup_stop [--stops N] [--into-lookup-ms M]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/Handlers.h"
#include "core/MessageLog.h"
#include "core/TimeValue.h"
#include "netclients/CSNTP2Client.h"
#include "platform/ChildProcess.h"
#include "platform/SimulatedClock.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace {

constexpr const char* kInside = "KRONEL_SILENT_NAMESERVER";
constexpr const char* kSilentName = "time.kronel-silent.test";
using Clock = std::chrono::steady_clock;

class QuietMessages : public core::MessageHandler {
public:
    void message(core::MessageLevel level, const std::string&, const std::string& text) override {
        if (level == core::MessageLevel::Debug && text == "Killing") {
            ++kills;
        }
    }
    int kills = 0;
};

class QuietTime : public core::TimeHandler {
public:
    void setTime(double) override {}
    void sourceFailed() override { ++failures; }
    int pollExponent() override { return 6; }
    core::ReferenceId referenceId() override { return core::referenceIdFromText("LOCL"); }
    void setReferenceId(const core::ReferenceId&) override {}
    void setSharedText(const std::string&) override {}
    std::string sharedText() override { return {}; }
    double now() override { return core::timeValueNow(clock_); }
    bool synchronised() override { return true; }
    void clearSynchronised() override {}
    int failures = 0;

private:
    platform::SimulatedClock clock_;
};

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void summary(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    std::printf("%-44s n=%zu median %.1f ms, best %.1f ms, worst %.1f ms\n", what, n, median,
                times.front(), times.back());
}

int measure(int stops, int intoLookupMs) {
    platform::Socket silent;
    if (!silent.open(platform::Socket::Type::Udp).ok() ||
        !silent.bind({*platform::parseDottedIPv4("127.0.0.1"), 53}).ok()) {
        std::fprintf(stderr, "cannot bind 127.0.0.1:53 in the namespace\n");
        return 1;
    }
    // The name server really is silent: a lookup without a stop takes its full course.
    {
        const auto start = Clock::now();
        uint32_t address = 0;
        const platform::Status s = platform::resolveIPv4(kSilentName, address);
        std::printf("%-44s %.1f ms (WinSock error %d)\n", "one unstopped lookup",
                    millisSince(start), s.error);
    }

    QuietMessages messages;
    QuietTime time;
    std::vector<double> stopTimes;
    for (int i = 0; i < stops; ++i) {
        netclients::CSNTP2Client client(messages, time, kSilentName, 60, false, nullptr);
        client.start();
        platform::sleepFor(platform::Millis(intoLookupMs));
        const auto start = Clock::now();
        client.stop();
        stopTimes.push_back(millisSince(start));
    }
    summary("SNTP client stop during a lookup", stopTimes);
    std::printf("%-44s %d kill%s, %d failure%s reported\n", "", messages.kills,
                messages.kills == 1 ? "" : "s", time.failures, time.failures == 1 ? "" : "s");

    platform::SimulatedClock clock;
    core::LogSettings settings;
    settings.toSyslog = true;
    settings.syslogServer = kSilentName;
    settings.toEventLog = false;
    std::vector<double> lineTimes;
    const auto opened = Clock::now();
    {
        core::MessageLog log(settings, clock);
        for (int i = 0; i < stops; ++i) {
            const auto start = Clock::now();
            log.write(core::MessageLevel::Info, "Bench", "line");
            lineTimes.push_back(millisSince(start));
        }
    }
    summary("syslog line, collector named, no answer", lineTimes);
    std::printf("%-44s %.1f ms\n", "log made, lines written and log closed", millisSince(opened));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    int stops = 20;
    int intoLookupMs = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--stops") == 0) {
            stops = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--into-lookup-ms") == 0) {
            intoLookupMs = std::max(0, std::atoi(argv[i + 1]));
        }
    }
    if (std::getenv(kInside) != nullptr) {
        return measure(stops, intoLookupMs);
    }

    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "kronel-bench-lookup";
    fs::create_directories(dir);
    const std::string resolvConf = (dir / "resolv.conf").string();
    std::ofstream(resolvConf) << "nameserver 127.0.0.1\n";
    platform::ChildProcess child;
    platform::ChildProcess::Options options;
    options.searchPath = true;
    options.setEnvironment = {{kInside, "1"}};
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    if (!child
             .start("unshare",
                    {"--net", "--mount", "--", "sh", "-c",
                     "ip link set lo up && mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                     resolvConf, self, "--stops", std::to_string(stops), "--into-lookup-ms",
                     std::to_string(intoLookupMs)},
                    options)
             .ok()) {
        std::fprintf(stderr, "cannot run unshare\n");
        return 1;
    }
    int exitCode = -1;
    child.wait(platform::kInfinite, exitCode);
    std::fputs(child.output().c_str(), stdout);
    std::fputs(child.errors().c_str(), stderr);
    fs::remove_all(dir);
    return exitCode;
}
