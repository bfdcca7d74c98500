#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/CReg.h"
#include "engine/EngineSettings.h"
#include "engine/Handlers.h"
#include "engine/MessageLog.h"
#include "engine/ProtocolFactory.h"
#include "engine/ServerList.h"
#include "engine/Watchdog.h"
#include "platform/Clock.h"
#include "platform/Event.h"

namespace engine {

class ClockCorrection;
class DialupGate;
class RateTimer;

// The service's engine: owns the server list, runs one time source at a time and the enabled
// servers, decides what each correction does to the clock, and logs every message.
class CHandler : public TimeHandler, public MessageHandler {
public:
    static constexpr const char* kName = "Kronel";

    // consoleDebug: also print every message line on the console (the "debug" verb). Makes
    // nothing in the store: until the settings are loaded, lines go to the default sinks.
    // watchdogs: builds the watchdog when EnableAlerts is set; none: alerts are not built in.
    CHandler(bool consoleDebug, std::unique_ptr<ProtocolFactory> protocols,
             std::unique_ptr<WatchdogFactory> watchdogs = nullptr);
    ~CHandler() override;

    // Reads the settings from the store, once. Only where the engine runs: the program calls
    // it before its first line when it is about to run the engine, and run() makes sure of it.
    void loadSettings();

    // The engine thread body: returns once `stop` is signalled and everything is stopped, or
    // at once when its events cannot be made.
    void run(platform::Event& stop);

    // MessageHandler
    bool logsDebug() const override;
    void message(MessageLevel level, const std::string& source, const std::string& text) override;

    // TimeHandler
    void setTime(double correction) override;
    void sourceFailed() override;
    int pollExponent() override;
    ReferenceId referenceId() override;
    void setReferenceId(const ReferenceId& id) override;
    void setSharedText(const std::string& text) override;
    std::string sharedText() override;
    double now() override;
    bool synchronised() override;
    void clearSynchronised() override;

    // The service's own sinks (the extra slots of the service build).
    void writeLogFileLine(const std::string& line);
    void sendSyslog(int severity, const std::string& line);
    void writeEventLog(int severity, const std::string& line);

    // For tests and status displays.
    int currentIndex() const { return currentIndex_.load(); }
    std::string currentSource() const;

private:
    enum ServerSlot { kRfc868Tcp, kRfc868Udp, kRfc867Tcp, kRfc867Udp, kSntp, kBroadcast, kServers };

    void startServers();
    void stopServers();
    void startSource(int selector);
    void stopClient();
    void mainLoop(platform::Event& stop);
    void startWatchdog();
    void stopWatchdog();
    void kickWatchdog();
    std::shared_ptr<MessageLog> log() const;

    const bool consoleDebug_;
    std::unique_ptr<ProtocolFactory> protocols_;
    platform::Clock& clock_;
    std::once_flag settingsLoaded_;
    std::unique_ptr<CReg> parameters_;
    EngineSettings settings_;
    mutable std::mutex logMutex_;  // guards the pointer: loading the settings replaces the log
    std::shared_ptr<MessageLog> log_;
    // The loaded log's LogDebug, read by busy server loops without the lock.
    std::atomic<bool> logsDebug_{false};
    class CorrectionHost;
    std::unique_ptr<CorrectionHost> host_;
    std::unique_ptr<ClockCorrection> correction_;
    std::unique_ptr<DialupGate> dialup_;
    // Ends the discipline's slews; declared after correction_ so that it stops first.
    std::unique_ptr<RateTimer> rateTimer_;

    // Made when the engine runs; a failure to make them ends the run, not the process.
    std::unique_ptr<platform::Event> switch_;
    std::unique_ptr<platform::Event> top_;

    ServerList list_;
    std::atomic<int> currentIndex_{ServerList::kNone};
    std::atomic<int> frequencyMinutes_{120};

    mutable std::mutex clientMutex_;  // guards client_ and source_ against set-time calls
    std::unique_ptr<CTimeClient> client_;
    std::string source_;

    std::array<std::unique_ptr<CTimeServer>, kServers> servers_;

    std::unique_ptr<WatchdogFactory> watchdogs_;
    std::mutex watchdogMutex_;  // set-time kicks from the client's thread
    std::unique_ptr<Watchdog> watchdog_;

    // The four bytes as one word: read for every answer a server sends, so lock-free.
    std::atomic<uint32_t> referenceId_;
    mutable std::mutex sharedMutex_;  // guards sharedText_
    std::string sharedText_;
};

}  // namespace engine
