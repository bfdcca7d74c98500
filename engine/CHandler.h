#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "core/Handlers.h"
#include "core/MessageLog.h"
#include "engine/CReg.h"
#include "engine/ClockCorrection.h"
#include "engine/EngineObserver.h"
#include "engine/EngineSettings.h"
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
class CHandler : public core::TimeHandler, public core::MessageHandler {
public:
    static constexpr const char* kName = "Kronel";

    // consoleDebug: also print every message line on the console (the "debug" verb). Makes
    // nothing in the store: until the settings are loaded, lines go to the default sinks.
    // watchdogs: builds the watchdog when EnableAlerts is set; none: alerts are not built in.
    CHandler(bool consoleDebug, std::unique_ptr<ProtocolFactory> protocols,
             std::unique_ptr<WatchdogFactory> watchdogs = nullptr);
    // The desktop program's engine: the per-user store, the desktop's set-time, and no thread
    // of its own (start-up, start-source and shutdown are the front end's to call); what it
    // does is published to `observer`.
    CHandler(EngineObserver& observer, std::unique_ptr<ProtocolFactory> protocols,
             std::unique_ptr<WatchdogFactory> watchdogs);
    ~CHandler() override;

    // Reads the settings from the store, once. Only where the engine runs: the program calls
    // it before its first line when it is about to run the engine, and run() makes sure of it.
    void loadSettings();

    // The engine thread body: returns once `stop` is signalled and everything is stopped, or
    // at once when its events cannot be made.
    void run(platform::Event& stop);

    // The steps of run(), for a front end that runs them on its own thread.
    // Start-up: the server list, the servers, the watchdog and the source in slot 0.
    void startUp();
    // Selector: a slot index, ServerList::kNext or ServerList::kTop.
    void startSource(int selector);
    // Reads the server list again (it was edited) and starts the named entry, or the top of
    // the list when there is none by that name.
    void queryServer(const std::string& name);
    // Stops the servers, the running client and the watchdog.
    void shutdown();
    // Reads the settings again (the desktop program after its settings pages were confirmed);
    // only while shut down. The drift accumulator and the synchronised flag carry over.
    void reloadSettings();
    // Stops the watchdog, reads EnableAlerts and AlertTimeout again and starts a new one when
    // alerts are on.
    void restartWatchdog();
    // The line the sinks were given ("" when its level is off).
    std::string log(core::MessageLevel level, const std::string& source, const std::string& text);
    int frequencyMinutes() const { return frequencyMinutes_.load(); }
    int switchDelayMs() const { return settings_.switchDelayMs; }
    bool running() const { return started_; }
    platform::RegRoot root() const { return root_; }
    const std::string& parametersKey() const { return parametersKey_; }

    // MessageHandler
    bool logsDebug() const override;
    void message(core::MessageLevel level, const std::string& source,
                 const std::string& text) override;
    void serverActive(const std::string& server, int kind) override;

    // TimeHandler
    void setTime(double correction) override;
    void sourceFailed() override;
    int pollExponent() override;
    core::ReferenceId referenceId() override;
    void setReferenceId(const core::ReferenceId& id) override;
    void setSharedText(const std::string& text) override;
    std::string sharedText() override;
    double now() override;
    bool synchronised() override;
    void clearSynchronised() override;
    void stateChanged() override;

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
    void stopClient();
    void clientNotMade(const std::string& entry, const std::exception& e);
    // Reads "Server Details" into the list; entries sharing an order are warned.
    void readServerList();
    void readSettings();
    std::string serverDetailsPath() const;
    // Sets the engine thread's event, or asks the front end's loop when there is none.
    void wakeLoop(int which);
    void mainLoop(platform::Event& stop);
    void startWatchdog();
    void stopWatchdog();
    void kickWatchdog();
    std::shared_ptr<core::MessageLog> messageLog() const;
    // The status snapshot: a value the correction wrote, then the snapshot to the observer
    // once the correction is handled (when it wrote any).
    void noteStatus(const std::string& name, const std::string& text);
    void publishStatus();

    const bool consoleDebug_;
    EngineObserver& observer_;
    const platform::RegRoot root_ = platform::RegRoot::LocalMachine;
    const std::string parametersKey_ = kServiceParametersKey;
    const Deliverable deliverable_ = Deliverable::Service;
    bool started_ = false;
    std::unique_ptr<ProtocolFactory> protocols_;
    platform::Clock& clock_;
    std::once_flag settingsLoaded_;
    std::unique_ptr<CReg> parameters_;
    EngineSettings settings_;
    mutable std::mutex logMutex_;  // guards the pointer: loading the settings replaces the log
    std::shared_ptr<core::MessageLog> log_;
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
    std::atomic<int> frequencyMinutes_{config::defaultNumber("Frequency")};

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

    // The status values as last written, from the store's when the settings were loaded.
    std::mutex statusMutex_;
    StatusSnapshot status_;
    bool statusWritten_ = false;
};

}  // namespace engine
