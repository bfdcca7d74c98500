#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/Handlers.h"
#include "platform/Event.h"
#include "platform/EventLog.h"
#include "platform/Result.h"
#include "platform/ServiceHost.h"

namespace service {

inline constexpr const char* kServiceName = "Kronel";
inline constexpr uint32_t kStartWaitHintMs = 3000;
inline constexpr uint32_t kStopWaitHintMs = 35000;
// Logged at start by a service that may not set the clock; it runs on and reports each
// correction that fails.
inline constexpr const char* kNoTimePrivilegeText =
    "No right to set the system time: clock corrections will fail";
// Event identifiers of the message file (KronelMessages.mc).
inline constexpr unsigned kServiceStartedEvent = 3;
inline constexpr unsigned kServiceStoppedEvent = 7;
// The state argument of a status report that resends the state last reported.
inline constexpr uint32_t kLastReportedState = 0;

// What the service body asks of the system besides the service manager: sockets and the
// event log. Tests replace it.
class ServiceSystem {
public:
    virtual ~ServiceSystem();
    // WSAStartup for version major.minor; on failure the last socket error says why.
    virtual platform::Status startSockets(int major, int minor);
    virtual void stopSockets();
    // Registers the event source; repeats are reported from then on.
    virtual bool openEventLog(const std::string& source);
    // false when the record did not go out (log not open, a dropped repeat).
    virtual bool reportEvent(platform::EventType type, unsigned eventId, const char* text);
    virtual void closeEventLog();

private:
    std::unique_ptr<platform::EventLog> eventLog_;
};

// The engine's main loop: returns once the stop event is set.
using EngineLoop = std::function<void(platform::Event& stop)>;

// The service around the engine: the control protocol with the service manager (status
// reports, the control handler, service main) and the service body, which is also the whole
// of the console "debug" run.
class NTService {
public:
    NTService(core::MessageHandler& messages, EngineLoop engineLoop, platform::Event& stop,
              bool consoleDebug, platform::ServiceHost& host, ServiceSystem& system);
    NTService(const NTService&) = delete;
    NTService& operator=(const NTService&) = delete;

    void setConsoleDebug(bool on);
    bool consoleDebug() const;

    // Starts the dispatcher with the one service of this program; returns once the service
    // main has returned, or at once when the dispatcher cannot start (last system error set).
    platform::Status runDispatcher();

    // Every change of state goes through here. `state` kLastReportedState resends the state
    // last reported. In console-debug mode nothing is sent and the report succeeds; a report
    // the manager refuses sets the stop event and fails.
    bool reportStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs);

    // Called by the dispatcher on the service's thread.
    void serviceMain();
    // Called by the dispatcher on its own thread.
    void control(unsigned code);
    // The service proper: event log, sockets, the engine until the stop event.
    void serviceBody();

    // The record of the last report handed to the manager.
    platform::ServiceStatus lastStatus() const;

private:
    core::MessageHandler& messages_;
    EngineLoop engineLoop_;
    platform::Event& stop_;
    platform::ServiceHost& host_;
    ServiceSystem& system_;

    // The status record and what goes with it: shared by the control handler and the
    // service thread, so reports go out whole and in order.
    mutable std::mutex statusMutex_;
    bool consoleDebug_;
    platform::ServiceStatusHandle statusHandle_ = 0;
    platform::ServiceStatus status_;
    // Until the first report the manager knows the service as starting.
    uint32_t lastState_ = platform::svc::kStartPending;
    uint32_t checkPoint_ = 1;
};

}  // namespace service
