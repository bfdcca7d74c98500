#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Handlers.h"
#include "engine/ProtocolFactory.h"
#include "engine/ServerList.h"
#include "engine/Watchdog.h"
#include "platform/Clock.h"

namespace engine {
class CReg;
class ClockCorrection;
class DialupGate;
class MessageLog;
struct EngineSettings;
}  // namespace engine

namespace desktop {

// The private window message that wakes the desktop engine: first parameter 0 = switch,
// 1 = top.
inline constexpr unsigned kEngineWakeMessage = 0x0400 + 34;  // WM_USER+34
inline constexpr int kWakeSwitch = 0;
inline constexpr int kWakeTop = 1;

// What the desktop engine needs from the window it runs in. Every call but the wait lengths may
// come from any thread; the window hands them over to its own.
class DesktopEngineHost {
public:
    virtual ~DesktopEngineHost() = default;
    // Posts the private wake message with kWakeSwitch or kWakeTop.
    virtual void postWake(int which) = 0;
    // A message line as logged ("Info : ..."), or a new status text.
    virtual void showLine(const std::string& line) = 0;
    virtual void showStatusText(const std::string& text) = 0;
    // The status values or a server's `info` changed.
    virtual void statusChanged() = 0;
    // One-shot mode: the first accepted result ends the program.
    virtual void requestClose() = 0;
    virtual bool shiftHeld() = 0;
    virtual bool holdOpen() = 0;
};

// The engine of the desktop program. It plays the service engine's part on the window's own
// thread: the window calls start, wake and the start-source steps from its message loop
// instead of an engine thread waiting on events. Settings come from the user's key.
class DesktopEngine : public engine::TimeHandler, public engine::MessageHandler {
public:
    static constexpr const char* kName = "Kronel";

    DesktopEngine(DesktopEngineHost& host, std::unique_ptr<engine::ProtocolFactory> protocols,
                  std::unique_ptr<engine::WatchdogFactory> watchdogs);
    ~DesktopEngine() override;

    // Reads the settings and the list, starts the servers, the watchdog and the source in
    // slot 0.
    void start();
    // Stops the servers, then the client, then the watchdog.
    void stop();
    // Settings changed: restarts the parts the changed pages touch (page names of the
    // settings model).
    void restart(const std::vector<std::string>& changedPages);

    // The waits the window runs after a wake message before the next start-source step.
    long long switchDelayMs() const;
    long long topWaitMs() const;
    // Start-source: a slot index, ServerList::kNext or ServerList::kTop.
    void startSource(int selector);
    // A query of the named server at once (the server list's "start a query").
    void query(const std::string& name);
    int currentIndex() const;

    // MessageHandler
    bool logsDebug() const override;
    void message(engine::MessageLevel level, const std::string& source,
                 const std::string& text) override;

    // TimeHandler
    void setTime(double correction) override;
    void sourceFailed() override;
    int pollExponent() override;
    engine::ReferenceId referenceId() override;
    void setReferenceId(const engine::ReferenceId& id) override;
    void setSharedText(const std::string& text) override;
    std::string sharedText() override;
    double now() override;
    bool synchronised() override;
    void clearSynchronised() override;
    void stateChanged() override;

private:
    class CorrectionHost;
    void loadSettings();
    void startServers();
    void stopServers();
    void stopClient();
    void startWatchdog();
    void stopWatchdog();
    std::shared_ptr<engine::MessageLog> log() const;
    std::string source() const;

    DesktopEngineHost& host_;
    std::unique_ptr<engine::ProtocolFactory> protocols_;
    std::unique_ptr<engine::WatchdogFactory> watchdogs_;
    platform::Clock& clock_;
    std::unique_ptr<engine::CReg> parameters_;
    std::unique_ptr<engine::EngineSettings> settings_;
    std::unique_ptr<CorrectionHost> correctionHost_;
    std::unique_ptr<engine::ClockCorrection> correction_;
    std::unique_ptr<engine::DialupGate> dialup_;
    engine::ServerList list_;
    std::atomic<int> frequencyMinutes_{120};

    mutable std::mutex logMutex_;
    std::shared_ptr<engine::MessageLog> log_;
    mutable std::mutex clientMutex_;  // client_ and source_ against set-time calls
    std::unique_ptr<engine::CTimeClient> client_;
    std::string source_;
    std::vector<std::unique_ptr<engine::CTimeServer>> servers_;
    std::mutex watchdogMutex_;
    std::unique_ptr<engine::Watchdog> watchdog_;
    mutable std::mutex sharedMutex_;
    engine::ReferenceId referenceId_;
    std::string sharedText_;
};

}  // namespace desktop
