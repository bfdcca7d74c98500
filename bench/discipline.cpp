// How well the set-time operation and the frequency discipline keep a drifting clock.
//
// A simulated clock with a rate error is measured at start and then every poll interval
// against a reference with Gaussian measurement noise, and corrected by the service's set-time
// operation with the default settings; the discipline's rate changes between measurements
// run on a timer the benchmark keeps. Time is virtual: no threads, no sockets, no waiting, so
// a week runs in a moment and the run is the same for the same seed.
//
//   bench_discipline [--days N] [--ppm P] [--noise-ms S] [--poll-minutes M] [--seed N]
//                    [--max-slew N] [--no-adjust-freq] [--jump-ms J] [--trace]
//   bench_discipline --sweep [--days N] [--max-slew N]
//
// --sweep runs every clock error of -100, -40, -10, 0, +10, +40, +100 ppm at polls of 16, 64
// and 120 minutes and measurement noise of 0.1, 1 and 10 ms, five seeds each, with and
// without the discipline, and prints one table. --jump-ms moves the reference by J ms after
// three days, as a change of source does; the offset is counted from the new reference then.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "core/Format.h"
#include "core/Handlers.h"
#include "engine/CReg.h"
#include "engine/ClockCorrection.h"
#include "platform/Registry.h"
#include "platform/SimulatedClock.h"

namespace fs = std::filesystem;

namespace {

constexpr double kDay = 86400.0;
constexpr double kNever = std::numeric_limits<double>::infinity();

struct Options {
    double days = 7;
    double ppm = 40;
    double noiseMs = 1;
    int pollMinutes = 120;
    unsigned seed = 1;
    int maxSlew = 100;
    bool adjustFreq = true;
    bool trace = false;
    bool sweep = false;
    double jumpMs = 0;  // the reference's offset moves by this much after three days
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--days" && hasValue) {
            o.days = std::atof(argv[++i]);
        } else if (arg == "--ppm" && hasValue) {
            o.ppm = std::atof(argv[++i]);
        } else if (arg == "--noise-ms" && hasValue) {
            o.noiseMs = std::atof(argv[++i]);
        } else if (arg == "--poll-minutes" && hasValue) {
            o.pollMinutes = std::atoi(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            o.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--max-slew" && hasValue) {
            o.maxSlew = std::atoi(argv[++i]);
        } else if (arg == "--no-adjust-freq") {
            o.adjustFreq = false;
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--jump-ms" && hasValue) {
            o.jumpMs = std::atof(argv[++i]);
        } else if (arg == "--sweep") {
            o.sweep = true;
        } else {
            return false;
        }
    }
    return o.days > 1 && o.pollMinutes > 0 && o.noiseMs >= 0;
}

// The store lives in a directory of its own, removed with everything beside it at exit; in
// memory where the system has a memory file system, since every status write is synced.
class TemporaryStore {
public:
    TemporaryStore() {
        std::random_device random;
        const fs::path memory = "/dev/shm";
        std::error_code error;
        const fs::path parent =
            fs::is_directory(memory, error) ? memory : fs::temp_directory_path();
        dir_ = parent / ("kronel-bench-" + std::to_string(random()));
        fs::create_directories(dir_);
        platform::setRegistryFile((dir_ / "registry.reg").string());
    }
    ~TemporaryStore() {
        platform::setRegistryFile("");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    TemporaryStore(const TemporaryStore&) = delete;
    TemporaryStore& operator=(const TemporaryStore&) = delete;

private:
    fs::path dir_;
};

class Messages : public core::MessageHandler {
public:
    Messages(bool trace, const double& trueNow, double start)
        : trace_(trace), trueNow_(trueNow), start_(start) {}
    void message(core::MessageLevel level, const std::string& source,
                 const std::string& text) override {
        if (text.rfind("New Frequency", 0) == 0) {
            ++newFrequencies;
        } else if (text.rfind("Adjust Phase", 0) == 0) {
            ++phaseAdjustments;
        } else if (text.rfind("Reassess", 0) == 0) {
            ++reassessments;
        }
        if (trace_) {
            static const char* const kLevels[] = {"Info ", "Status", "Warn ",
                                                  "Error", "Debug",  "-"};
            std::printf("%8.2f h  %s %s %s\n", (trueNow_ - start_) / 3600.0,
                        kLevels[static_cast<int>(level)], source.c_str(), text.c_str());
        }
    }
    int newFrequencies = 0;
    int phaseAdjustments = 0;
    int reassessments = 0;

private:
    bool trace_;
    const double& trueNow_;
    double start_;
};

// The engine's side: the store, and the discipline's timer on virtual time.
class Host : public engine::CorrectionHost {
public:
    Host(platform::Clock& clock, core::MessageHandler& messages, const double& trueNow)
        : clock_(clock),
          messages_(messages),
          trueNow_(trueNow),
          parameters_(engine::kServiceParametersKey, platform::RegRoot::LocalMachine) {}
    platform::Clock& clock() override { return clock_; }
    core::MessageHandler& messages() override { return messages_; }
    engine::CReg& parameters() override { return parameters_; }
    void kickWatchdog() override {}
    std::optional<int> adaptPoll(bool) override { return std::nullopt; }
    void signalSwitch() override {}
    void signalTop() override {}
    void scheduleRateChange(double seconds) override {
        timerAt = seconds < 0 ? kNever : trueNow_ + seconds;
    }
    double timerAt = kNever;

private:
    platform::Clock& clock_;
    core::MessageHandler& messages_;
    const double& trueNow_;
    engine::CReg parameters_;
};

struct Result {
    int measurements = 0;
    int results[256] = {};
    int steps = 0;
    int timerCalls = 0;
    double rmsMs = 0;  // over the whole run
    double worstMs = 0;
    double rmsAfterDayMs = 0;  // after the first day
    double worstAfterDayMs = 0;
    double baseErrorPpm = 0;  // mean error of the base rate over the last day
    double finalRatePpm = 0;  // the rate in force at the end
    platform::TimeAdjustment adjustment;
    int newFrequencies = 0;
    int phaseAdjustments = 0;
    int reassessments = 0;
    std::string drift;
};

// The clock's rate error with adjustment `units` per tick in force, ppm.
double ratePpm(double units, double ppm) {
    return (units / platform::kTickIncrement * (1.0 + ppm * 1e-6) - 1.0) * 1e6;
}

Result simulate(const Options& o) {
    // 2026-01-01 00:00:00 UTC, advanced by hand.
    double trueNow = 1767225600.0;
    const double start = trueNow;
    platform::SimulatedClock clock(0.0, o.ppm, [&trueNow] { return trueNow; });
    Messages messages(o.trace, trueNow, start);
    Host host(clock, messages, trueNow);
    (void)host.parameters().writeText("Drift", "Unknown");  // none from an earlier run

    engine::CorrectionSettings settings;  // the defaults: Min 500, Max 3600, MaxSlew 100
    settings.maxSlew = o.maxSlew;
    settings.adjustFreq = o.adjustFreq;
    engine::ClockCorrection correction(engine::Deliverable::Service, settings, host);
    const engine::FrequencyDiscipline& discipline = correction.discipline();

    std::mt19937_64 random(o.seed);
    std::normal_distribution<double> noise(0.0, o.noiseMs / 1000.0);

    const double end = start + o.days * kDay;
    const double afterFirstDay = start + kDay;
    const double lastDay = end - kDay;
    const double poll = o.pollMinutes * 60.0;
    constexpr double kSampleStep = 60.0;  // the offset is looked at every simulated minute

    Result r;
    double sumSquares = 0, sumSquaresAfterDay = 0, baseErrorSum = 0;
    long samples = 0, samplesAfterDay = 0, samplesLastDay = 0;
    double nextSample = start + kSampleStep;
    double nextPoll = start;  // the client measures when it starts, then every poll
    for (;;) {
        const double next = std::min({nextSample, nextPoll, host.timerAt});
        if (next > end) {
            break;
        }
        trueNow = next;
        if (host.timerAt <= trueNow) {
            host.timerAt = kNever;
            correction.rateTimer();
            ++r.timerCalls;
        }
        if (nextPoll <= trueNow) {
            nextPoll += poll;
            const double reference = trueNow >= start + 3 * kDay ? o.jumpMs / 1000.0 : 0.0;
            ++r.results[correction.apply(reference - clock.offset() + noise(random), "Reference")];
            ++r.measurements;
        }
        if (nextSample <= trueNow) {
            nextSample += kSampleStep;
            // After a jump of the reference the clock should follow it.
            const double reference = trueNow >= start + 3 * kDay ? o.jumpMs / 1000.0 : 0.0;
            const double offset = std::fabs(clock.offset() - reference);
            sumSquares += offset * offset;
            r.worstMs = std::max(r.worstMs, offset);
            ++samples;
            if (trueNow > afterFirstDay) {
                sumSquaresAfterDay += offset * offset;
                r.worstAfterDayMs = std::max(r.worstAfterDayMs, offset);
                ++samplesAfterDay;
            }
            if (trueNow > lastDay) {
                platform::TimeAdjustment a;
                (void)clock.getAdjustment(a);
                const double base = discipline.baseRate() != 0 ? discipline.baseRate()
                                    : a.disabled               ? a.increment
                                                               : a.adjustment;
                baseErrorSum += ratePpm(base, o.ppm);
                ++samplesLastDay;
            }
        }
    }

    (void)clock.getAdjustment(r.adjustment);
    r.steps = clock.steps();
    r.rmsMs = std::sqrt(sumSquares / std::max(samples, 1L)) * 1000.0;
    r.worstMs *= 1000.0;
    r.rmsAfterDayMs = std::sqrt(sumSquaresAfterDay / std::max(samplesAfterDay, 1L)) * 1000.0;
    r.worstAfterDayMs *= 1000.0;
    r.baseErrorPpm = baseErrorSum / std::max(samplesLastDay, 1L);
    r.finalRatePpm =
        ratePpm(r.adjustment.disabled ? r.adjustment.increment : r.adjustment.adjustment, o.ppm);
    r.newFrequencies = messages.newFrequencies;
    r.phaseAdjustments = messages.phaseAdjustments;
    r.reassessments = messages.reassessments;
    const engine::CReg parameters(engine::kServiceParametersKey, platform::RegRoot::LocalMachine);
    r.drift = parameters.readText("Drift", "Unknown");
    return r;
}

// The best a discipline can do that holds one integer adjustment from one measurement to the
// next: it alternates between the two integers around the needed rate, each poll choosing the
// one that keeps the middle of the coming stretch nearest zero. No noise: the unit alone.
double oneIntegerFloorMs(double ppm, int pollMinutes) {
    const double poll = pollMinutes * 60.0;
    const double needed = platform::kTickIncrement / (1.0 + ppm * 1e-6);
    const double fraction = needed - std::floor(needed);
    const double unit = (1.0 + ppm * 1e-6) / platform::kTickIncrement;  // s/s per unit
    double phase = 0, sum = 0;
    constexpr int kPolls = 20000;
    for (int k = 0; k < kPolls; ++k) {
        const double down = -fraction * unit * poll;
        const double up = (1.0 - fraction) * unit * poll;
        const double change = std::fabs(phase + down / 2) <= std::fabs(phase + up / 2) ? down : up;
        sum += phase * phase + phase * change + change * change / 3;
        phase += change;
    }
    return std::sqrt(sum / kPolls) * 1000.0;
}

void printRun(const Options& o, const Result& r) {
    std::printf("clock %+.1f ppm, noise %.3f ms, poll %d min, %.1f days, seed %u, MaxSlew %d%s\n",
                o.ppm, o.noiseMs, o.pollMinutes, o.days, o.seed, o.maxSlew,
                o.adjustFreq ? "" : ", AdjustFreq 0");
    std::printf("measurements              %d (result 1: %d, 255: %d, 0: %d)\n", r.measurements,
                r.results[1], r.results[255], r.results[0]);
    std::printf("steps                     %d\n", r.steps);
    std::printf(
        "new frequencies           %d (phase adjustments %d, reassessments %d, "
        "timer calls %d)\n",
        r.newFrequencies, r.phaseAdjustments, r.reassessments, r.timerCalls);
    std::printf("final adjustment          %u / %u%s\n", r.adjustment.adjustment,
                r.adjustment.increment, r.adjustment.disabled ? " (disabled)" : "");
    std::printf("base rate error           %+.3f ppm mean over the last day\n", r.baseErrorPpm);
    std::printf("rate in force at the end  %+.3f ppm\n", r.finalRatePpm);
    std::printf("offset RMS                %.3f ms over the run, %.3f ms after the first day\n",
                r.rmsMs, r.rmsAfterDayMs);
    std::printf("offset worst              %.3f ms over the run, %.3f ms after the first day\n",
                r.worstMs, r.worstAfterDayMs);
    std::printf("one-integer-per-poll floor %.3f ms RMS\n",
                oneIntegerFloorMs(o.ppm, o.pollMinutes));
    std::printf("Drift (status value)      %s\n", r.drift.c_str());
}

// Per cell, the worst of the seeds for each figure. A cell is worse than no discipline when
// any seed steps more often, or keeps an RMS offset after the first day larger than no
// discipline's by more than the measurement noise (what a measurement cannot tell from 0).
int sweep(Options o) {
    const double ppms[] = {-100, -40, -10, 0, 10, 40, 100};
    const int polls[] = {16, 64, 120};
    const double noises[] = {0.1, 1, 10};
    constexpr unsigned kSeeds = 5;
    const auto started = std::chrono::steady_clock::now();

    std::printf(
        "%.0f days, %u seeds per cell, MaxSlew %d; worst seed of each figure; "
        "RMS and worst after the first day, ms; base rate error: mean over the last "
        "day, ppm\n",
        o.days, kSeeds, o.maxSlew);
    std::printf("%5s %4s %5s | %5s %8s %8s %8s %7s | %5s %8s %8s | %6s | %s\n", "ppm", "poll",
                "noise", "steps", "RMS", "worst", "RMS wk", "rate", "steps", "RMS", "worst",
                "floor", "");
    std::printf("%16s | %-41s | %-24s | %6s |\n", "", "discipline", "no discipline (AdjustFreq 0)",
                "1 int");
    int worse = 0;
    bool goal = true;
    for (double ppm : ppms) {
        for (int poll : polls) {
            for (double noise : noises) {
                Result d, n;  // worst of the seeds
                bool cellWorse = false;
                for (unsigned seed = 1; seed <= kSeeds; ++seed) {
                    o.ppm = ppm;
                    o.pollMinutes = poll;
                    o.noiseMs = noise;
                    o.seed = seed;
                    o.adjustFreq = true;
                    const Result with = simulate(o);
                    o.adjustFreq = false;
                    const Result without = simulate(o);
                    cellWorse = cellWorse || with.steps > without.steps ||
                                with.rmsAfterDayMs > without.rmsAfterDayMs + noise;
                    d.steps = std::max(d.steps, with.steps);
                    d.rmsAfterDayMs = std::max(d.rmsAfterDayMs, with.rmsAfterDayMs);
                    d.worstAfterDayMs = std::max(d.worstAfterDayMs, with.worstAfterDayMs);
                    d.rmsMs = std::max(d.rmsMs, with.rmsMs);
                    if (std::fabs(with.baseErrorPpm) >= std::fabs(d.baseErrorPpm)) {
                        d.baseErrorPpm = with.baseErrorPpm;
                    }
                    n.steps = std::max(n.steps, without.steps);
                    n.rmsAfterDayMs = std::max(n.rmsAfterDayMs, without.rmsAfterDayMs);
                    n.worstAfterDayMs = std::max(n.worstAfterDayMs, without.worstAfterDayMs);
                }
                if (poll == 120 && noise == 1 &&
                    (d.steps > 1 || d.rmsAfterDayMs > 5 || std::fabs(d.baseErrorPpm) > 0.1)) {
                    goal = false;
                }
                worse += cellWorse ? 1 : 0;
                std::printf(
                    "%+5.0f %4d %5.1f | %5d %8.3f %8.3f %8.3f %+7.3f | %5d %8.3f %8.3f | "
                    "%6.2f | %s\n",
                    ppm, poll, noise, d.steps, d.rmsAfterDayMs, d.worstAfterDayMs, d.rmsMs,
                    d.baseErrorPpm, n.steps, n.rmsAfterDayMs, n.worstAfterDayMs,
                    oneIntegerFloorMs(ppm, poll), cellWorse ? "WORSE" : "ok");
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("cells worse than no discipline: %d of %zu\n", worse,
                std::size(ppms) * std::size(polls) * std::size(noises));
    std::printf(
        "120 min, 1 ms: at most 1 step, RMS after the first day <= 5 ms, base rate "
        "error <= 0.1 ppm: %s\n",
        goal ? "met" : "NOT met");
    std::printf("%zu runs in %.1f s wall time\n",
                2 * kSeeds * std::size(ppms) * std::size(polls) * std::size(noises), seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--days N] [--ppm P] [--noise-ms S] [--poll-minutes M] "
                     "[--seed N] [--max-slew N] [--no-adjust-freq] [--jump-ms J] [--trace]\n"
                     "       %s --sweep [--days N] [--max-slew N]\n",
                     argv[0], argv[0]);
        return 2;
    }
    TemporaryStore store;
    if (o.sweep) {
        return sweep(o);
    }
    printRun(o, simulate(o));
    return 0;
}
