// How well the set-time operation and the frequency discipline keep a drifting clock.
//
// A simulated clock that runs 40 ppm fast is measured every poll interval against a reference
// with Gaussian measurement noise and corrected by the service's set-time operation with the
// default settings. Time is virtual: no threads, no sockets, no waiting, so a week runs in a
// moment and the run is the same for the same seed.
//
//   bench_discipline [--days N] [--ppm P] [--noise-ms S] [--poll-minutes M] [--seed N]
//                    [--max-slew N] [--no-adjust-freq] [--trace]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "engine/CReg.h"
#include "engine/ClockCorrection.h"
#include "engine/Format.h"
#include "engine/Handlers.h"
#include "platform/Registry.h"
#include "platform/SimulatedClock.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    double days = 7;
    double ppm = 40;
    double noiseMs = 1;
    int pollMinutes = 120;
    unsigned seed = 1;
    int maxSlew = 100;
    bool adjustFreq = true;
    bool trace = false;
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
        } else {
            return false;
        }
    }
    return o.days > 0 && o.pollMinutes > 0 && o.noiseMs >= 0;
}

// The store lives in a directory of its own, removed with everything beside it at exit.
class TemporaryStore {
public:
    TemporaryStore() {
        std::random_device random;
        dir_ = fs::temp_directory_path() / ("kronel-bench-" + std::to_string(random()));
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

class Messages : public engine::MessageHandler {
public:
    Messages(bool trace, const double& trueNow, double start)
        : trace_(trace), trueNow_(trueNow), start_(start) {}
    void message(engine::MessageLevel level, const std::string& source,
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

class Host : public engine::CorrectionHost {
public:
    Host(platform::Clock& clock, engine::MessageHandler& messages)
        : clock_(clock),
          messages_(messages),
          parameters_(engine::kServiceParametersKey, platform::RegRoot::LocalMachine) {}
    platform::Clock& clock() override { return clock_; }
    engine::MessageHandler& messages() override { return messages_; }
    engine::CReg& parameters() override { return parameters_; }
    void kickWatchdog() override {}
    std::optional<int> adaptPoll(bool) override { return std::nullopt; }
    void signalSwitch() override {}
    void signalTop() override {}

private:
    platform::Clock& clock_;
    engine::MessageHandler& messages_;
    engine::CReg parameters_;
};

double ratePpm(const platform::Clock& clock, double ppm) {
    platform::TimeAdjustment a;
    if (!clock.getAdjustment(a).ok() || a.increment == 0) {
        return 0;
    }
    const double ticks = a.disabled ? 1.0 : static_cast<double>(a.adjustment) / a.increment;
    return (ticks * (1.0 + ppm * 1e-6) - 1.0) * 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s [--days N] [--ppm P] [--noise-ms S] [--poll-minutes M] "
                     "[--seed N] [--max-slew N] [--no-adjust-freq] [--trace]\n",
                     argv[0]);
        return 2;
    }
    TemporaryStore store;

    // 2026-01-01 00:00:00 UTC, advanced by hand.
    double trueNow = 1767225600.0;
    platform::SimulatedClock clock(0.0, o.ppm, [&trueNow] { return trueNow; });
    Messages messages(o.trace, trueNow, trueNow);
    Host host(clock, messages);

    engine::CorrectionSettings settings;  // the defaults: Min 500, Max 3600, MaxSlew 100
    settings.maxSlew = o.maxSlew;
    settings.adjustFreq = o.adjustFreq;
    engine::ClockCorrection correction(engine::Deliverable::Service, settings, host);

    std::mt19937_64 random(o.seed);
    std::normal_distribution<double> noise(0.0, o.noiseMs / 1000.0);

    const double start = trueNow;
    const double end = start + o.days * 86400.0;
    const double poll = o.pollMinutes * 60.0;
    constexpr double kSampleStep = 60.0;  // the offset is looked at every simulated minute
    const double lastDay = end - 86400.0;

    double sumSquares = 0;
    double worst = 0;
    long samples = 0;
    int results[256] = {};
    // The rate over the last day, from the offset gained between corrections only.
    double lastDayGain = 0;
    double lastDaySpan = 0;
    double afterCorrection = clock.offset();
    double afterCorrectionAt = trueNow;
    int measurements = 0;

    double nextPoll = start + poll;
    while (trueNow < end) {
        trueNow = std::min(trueNow + kSampleStep, end);
        const double offset = clock.offset();
        sumSquares += offset * offset;
        worst = std::max(worst, std::fabs(offset));
        ++samples;

        if (trueNow >= nextPoll) {
            nextPoll += poll;
            if (afterCorrectionAt >= lastDay) {
                lastDayGain += offset - afterCorrection;
                lastDaySpan += trueNow - afterCorrectionAt;
            }
            const double measured = -offset + noise(random);
            ++results[correction.apply(measured, "Reference")];
            ++measurements;
            afterCorrection = clock.offset();
            afterCorrectionAt = trueNow;
        }
    }

    platform::TimeAdjustment adjustment;
    (void)clock.getAdjustment(adjustment);
    const engine::CReg parameters(engine::kServiceParametersKey, platform::RegRoot::LocalMachine);

    std::printf("clock %+.1f ppm, noise %.3f ms, poll %d min, %.1f days, seed %u, MaxSlew %d%s\n",
                o.ppm, o.noiseMs, o.pollMinutes, o.days, o.seed, o.maxSlew,
                o.adjustFreq ? "" : ", AdjustFreq 0");
    std::printf("measurements              %d (result 1: %d, 255: %d, 0: %d)\n", measurements,
                results[1], results[255], results[0]);
    std::printf("steps                     %d\n", clock.steps());
    std::printf("new frequencies           %d (phase adjustments %d, reassessments %d)\n",
                messages.newFrequencies, messages.phaseAdjustments, messages.reassessments);
    std::printf("final adjustment          %u / %u%s\n", adjustment.adjustment,
                adjustment.increment, adjustment.disabled ? " (disabled)" : "");
    std::printf("residual frequency error  %+.3f ppm at the end", ratePpm(clock, o.ppm));
    if (lastDaySpan > 0) {
        std::printf(", %+.3f ppm mean over the last day", lastDayGain / lastDaySpan * 1e6);
    }
    std::printf("\n");
    std::printf("offset RMS                %.3f ms\n",
                std::sqrt(sumSquares / static_cast<double>(samples)) * 1000.0);
    std::printf("offset worst              %.3f ms\n", worst * 1000.0);
    std::printf("Drift (status value)      %s\n", parameters.readText("Drift", "Unknown").c_str());
    return 0;
}
