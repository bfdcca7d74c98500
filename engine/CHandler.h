#pragma once
#include <array>
#include <atomic>
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

// The service's engine: owns the server list, runs one time source at a time and the enabled
// servers, decides what each correction does to the clock, and logs every message.
class CHandler : public TimeHandler, public MessageHandler {
public:
    static constexpr const char* kName = "Kronel";

    // consoleDebug: also print every message line on the console (the "debug" verb).
    // watchdogs: builds the watchdog when EnableAlerts is set; none: alerts are not built in.
    CHandler(bool consoleDebug, std::unique_ptr<ProtocolFactory> protocols,
             std::unique_ptr<WatchdogFactory> watchdogs = nullptr);
    ~CHandler() override;

    // The engine thread body: returns once `stop` is signalled and everything is stopped.
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

    const bool consoleDebug_;
    std::unique_ptr<ProtocolFactory> protocols_;
    platform::Clock& clock_;
    CReg parameters_;
    const EngineSettings settings_;
    MessageLog log_;
    class CorrectionHost;
    std::unique_ptr<CorrectionHost> host_;
    std::unique_ptr<ClockCorrection> correction_;
    std::unique_ptr<DialupGate> dialup_;

    platform::Event switch_{false};
    platform::Event top_{false};

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

    mutable std::mutex sharedMutex_;
    ReferenceId referenceId_;
    std::string sharedText_;
};

}  // namespace engine
