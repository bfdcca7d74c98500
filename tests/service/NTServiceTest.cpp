#include "service/NTService.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ServiceTestSupport.h"
#include "core/ErrorText.h"
#include "platform/Result.h"

using namespace service;
using platform::ServiceStatus;
using servicetest::RecordingMessages;
namespace svc = platform::svc;

namespace {

// The service manager as the service sees it: records every report and keeps the handler so
// a test can send controls.
class RecordingHost : public platform::ServiceHost {
public:
    platform::Status startDispatcher(const std::string& serviceName,
                                     platform::ServiceMain serviceMain) override {
        dispatcherName = serviceName;
        serviceMain();
        return platform::Status::success();
    }

    platform::Status registerControlHandler(const std::string& serviceName,
                                            platform::ServiceControlHandler h,
                                            platform::ServiceStatusHandle& handle) override {
        registeredName = serviceName;
        if (registerError != 0) {
            platform::setLastSystemError(registerError);
            return platform::Status::failure(registerError);
        }
        handler = std::move(h);
        handle = kHandle;
        return platform::Status::success();
    }

    platform::Status setStatus(platform::ServiceStatusHandle handle,
                               const ServiceStatus& status) override {
        handles.push_back(handle);
        reports.push_back(status);
        events.push_back("status " + std::to_string(status.currentState));
        if (refuseReport >= 0 && reports.size() > static_cast<size_t>(refuseReport)) {
            platform::setLastSystemError(9);
            return platform::Status::failure(9);
        }
        return platform::Status::success();
    }

    static constexpr platform::ServiceStatusHandle kHandle = 42;
    std::string dispatcherName;
    std::string registeredName;
    int registerError = 0;
    int refuseReport = -1;  // reports from this index on are refused
    platform::ServiceControlHandler handler;
    std::vector<platform::ServiceStatusHandle> handles;
    std::vector<ServiceStatus> reports;
    std::vector<std::string> events;  // reports, and what the service system records
};

// Sockets and event log that record instead of acting.
class RecordingSystem : public ServiceSystem {
public:
    explicit RecordingSystem(std::vector<std::string>& log) : events(log) {}

    platform::Status startSockets(int major, int minor) override {
        events.push_back("sockets " + std::to_string(major) + "." + std::to_string(minor));
        if (socketError != 0) {
            platform::setLastSocketError(socketError);
            return platform::Status::failure(socketError);
        }
        return platform::Status::success();
    }
    void stopSockets() override { events.push_back("sockets down"); }
    bool openEventLog(const std::string& source) override {
        events.push_back("open " + source);
        open = true;
        return true;
    }
    bool reportEvent(platform::EventType type, unsigned eventId, const char* text) override {
        events.push_back("event " + std::to_string(eventId) +
                         (type == platform::EventType::Information ? " info" : " other") +
                         (text == nullptr ? "" : " with text"));
        return open;
    }
    void closeEventLog() override {
        events.push_back("close");
        open = false;
    }

    std::vector<std::string>& events;
    int socketError = 0;
    bool open = false;
};

class NTServiceTest : public ::testing::Test {
protected:
    NTService make(bool consoleDebug = false) {
        return NTService(
            messages,
            [this](platform::Event& stopEvent) {
                host.events.push_back("engine");
                if (engineBody) {
                    engineBody(stopEvent);
                }
            },
            stop, consoleDebug, host, system);
    }

    std::vector<uint32_t> states() const {
        std::vector<uint32_t> result;
        for (const ServiceStatus& s : host.reports) {
            result.push_back(s.currentState);
        }
        return result;
    }

    bool logged(core::MessageLevel level, const std::string& text) const {
        for (const auto& m : messages.messages()) {
            if (m.level == level && m.source == "Kronel" && m.text == text) {
                return true;
            }
        }
        return false;
    }

    RecordingHost host;
    RecordingSystem system{host.events};
    RecordingMessages messages;
    platform::Event stop{true};
    std::function<void(platform::Event&)> engineBody;
};

}  // namespace

TEST_F(NTServiceTest, ReportsStartPendingTwiceThenRunningThenStopPendingThenStopped) {
    engineBody = [this](platform::Event& stopEvent) {
        host.handler(svc::kControlStop);
        EXPECT_TRUE(stopEvent.isSet());
    };
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());

    EXPECT_EQ(host.dispatcherName, "Kronel");
    EXPECT_EQ(host.registeredName, "Kronel");
    ASSERT_EQ(states(), (std::vector<uint32_t>{svc::kStartPending, svc::kStartPending,
                                               svc::kRunning, svc::kStopPending, svc::kStopped}));
    const auto& r = host.reports;
    EXPECT_EQ(r[0].waitHint, 3000u);
    EXPECT_EQ(r[1].waitHint, 3000u);
    EXPECT_EQ(r[3].waitHint, 35000u);
    for (const ServiceStatus& s : r) {
        EXPECT_EQ(s.serviceType, 0x10u);
        EXPECT_EQ(s.win32ExitCode, 0u);
        EXPECT_EQ(s.serviceSpecificExitCode, 0u);
    }
    for (platform::ServiceStatusHandle handle : host.handles) {
        EXPECT_EQ(handle, RecordingHost::kHandle);
    }
}

TEST_F(NTServiceTest, CheckPointsOnlyGrowAndAreZeroForRunningAndStopped) {
    engineBody = [this](platform::Event&) {
        host.handler(svc::kControlInterrogate);
        host.handler(svc::kControlStop);
        host.handler(svc::kControlInterrogate);
    };
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());

    uint32_t previous = 0;
    for (const ServiceStatus& s : host.reports) {
        if (s.currentState == svc::kRunning || s.currentState == svc::kStopped) {
            EXPECT_EQ(s.checkPoint, 0u);
        } else {
            EXPECT_GT(s.checkPoint, previous) << "state " << s.currentState;
            previous = s.checkPoint;
        }
    }
    EXPECT_EQ(host.reports.front().checkPoint, 1u);
    EXPECT_GE(previous, 4u);  // start, start, stop, and the stop resent
}

TEST_F(NTServiceTest, AcceptsNoControlsWhileStartPending) {
    engineBody = [this](platform::Event&) { host.handler(svc::kControlStop); };
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());

    for (const ServiceStatus& s : host.reports) {
        if (s.currentState == svc::kStartPending) {
            EXPECT_EQ(s.controlsAccepted, 0u);
        } else {
            EXPECT_EQ(s.controlsAccepted, svc::kAcceptStop) << "state " << s.currentState;
        }
    }
}

TEST_F(NTServiceTest, MarkerResendsTheLastReportedState) {
    NTService service = make();
    // Before any report the manager knows the service as starting.
    ASSERT_TRUE(service.reportStatus(kLastReportedState, 0, 0));
    EXPECT_EQ(host.reports.back().currentState, svc::kStartPending);

    ASSERT_TRUE(service.reportStatus(svc::kRunning, 0, 0));
    ASSERT_TRUE(service.reportStatus(kLastReportedState, 0, 0));
    EXPECT_EQ(host.reports.back().currentState, svc::kRunning);
    EXPECT_EQ(host.reports.back().checkPoint, 0u);
    EXPECT_EQ(host.reports.back().controlsAccepted, svc::kAcceptStop);

    service.control(svc::kControlInterrogate);
    EXPECT_EQ(host.reports.back().currentState, svc::kRunning);
    EXPECT_FALSE(stop.isSet());
}

TEST_F(NTServiceTest, StopControlReportsStopPendingAndSetsTheStopEvent) {
    NTService service = make();
    ASSERT_TRUE(service.reportStatus(svc::kRunning, 0, 0));
    service.control(svc::kControlStop);
    EXPECT_TRUE(stop.isSet());
    EXPECT_EQ(host.reports.back().currentState, svc::kStopPending);
    EXPECT_EQ(host.reports.back().waitHint, 35000u);
    // Later controls resend stop pending, not running.
    service.control(svc::kControlInterrogate);
    EXPECT_EQ(host.reports.back().currentState, svc::kStopPending);
}

TEST_F(NTServiceTest, ConsoleDebugSendsNothingAndEveryReportSucceeds) {
    NTService service = make(true);
    host.refuseReport = 0;
    EXPECT_TRUE(service.reportStatus(svc::kStartPending, 0, 3000));
    service.serviceBody();
    EXPECT_TRUE(host.reports.empty());
    EXPECT_FALSE(stop.isSet());
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"open Kronel", "sockets 1.1", "event 3 info", "engine",
                                        "event 7 info", "sockets down", "close"}));
}

TEST_F(NTServiceTest, ConsoleDebugCanBeTurnedOnAfterConstruction) {
    NTService service = make(false);
    EXPECT_FALSE(service.consoleDebug());
    service.setConsoleDebug(true);
    EXPECT_TRUE(service.consoleDebug());
    EXPECT_TRUE(service.reportStatus(svc::kRunning, 0, 0));
    EXPECT_TRUE(host.reports.empty());
}

TEST_F(NTServiceTest, RefusedReportSetsTheStopEventAndFails) {
    NTService service = make();
    host.refuseReport = 0;
    EXPECT_FALSE(service.reportStatus(svc::kRunning, 0, 0));
    EXPECT_TRUE(stop.isSet());
    EXPECT_TRUE(logged(core::MessageLevel::Error,
                       "SetServiceStatus failed (" + core::systemErrorText(9) + ")"));
}

TEST_F(NTServiceTest, FailedHandlerRegistrationIsLoggedAndNothingRuns) {
    host.registerError = platform::svcerr::kServiceDoesNotExist;
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());
    EXPECT_TRUE(host.reports.empty());
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(logged(core::MessageLevel::Error,
                       "RegisterServiceCtrlHandler failed (" +
                           core::systemErrorText(platform::svcerr::kServiceDoesNotExist) + ")"));
}

TEST_F(NTServiceTest, RefusedFirstReportEndsServiceMainBeforeTheBody) {
    host.refuseReport = 0;
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());
    EXPECT_EQ(host.reports.size(), 1u);
    EXPECT_EQ(host.events, (std::vector<std::string>{"status 2"}));
}

TEST_F(NTServiceTest, WinsockFailureIsLoggedAndTheEngineNeverRuns) {
    system.socketError = 10091;
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());
    EXPECT_TRUE(
        logged(core::MessageLevel::Error, "WSAStartup failed (WSASYSNOTREADY: System not ready)"));
    EXPECT_EQ(host.events, (std::vector<std::string>{"status 2", "open Kronel", "status 2",
                                                     "sockets 1.1", "close", "status 1"}));
    // The manager learns that the start ended, and why.
    EXPECT_EQ(host.reports.back().currentState, svc::kStopped);
    EXPECT_EQ(host.reports.back().win32ExitCode, 10091u);
}

TEST_F(NTServiceTest, StartedEventPrecedesRunningAndStoppedEventFollowsTheEngine) {
    engineBody = [this](platform::Event&) { host.handler(svc::kControlStop); };
    NTService service = make();
    ASSERT_TRUE(service.runDispatcher().ok());
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"status 2", "open Kronel", "status 2", "sockets 1.1",
                                        "event 3 info", "status 4", "engine", "status 3",
                                        "event 7 info", "sockets down", "status 1", "close"}));
}

TEST_F(NTServiceTest, ControlsFromAnotherThreadKeepReportsWholeAndCheckPointsUnique) {
    NTService service = make();
    ASSERT_TRUE(service.reportStatus(svc::kStartPending, 0, 3000));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&service] {
            for (int n = 0; n < 50; ++n) {
                service.reportStatus(kLastReportedState, 0, 0);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_EQ(host.reports.size(), 201u);
    for (size_t i = 1; i < host.reports.size(); ++i) {
        EXPECT_EQ(host.reports[i].checkPoint, host.reports[i - 1].checkPoint + 1);
    }
}

TEST(ServiceEventLog, ReportsRepeatsOnceOpenedAndNothingWhenClosed) {
    ServiceSystem system;
    EXPECT_FALSE(
        system.reportEvent(platform::EventType::Information, kServiceStartedEvent, nullptr));
    ASSERT_TRUE(system.openEventLog("Kronel"));
    // Registering turns repeats on: the same identifier twice in a row goes out twice.
    EXPECT_TRUE(
        system.reportEvent(platform::EventType::Information, kServiceStartedEvent, nullptr));
    EXPECT_TRUE(
        system.reportEvent(platform::EventType::Information, kServiceStartedEvent, nullptr));
    EXPECT_TRUE(
        system.reportEvent(platform::EventType::Information, kServiceStoppedEvent, nullptr));
    system.closeEventLog();
    EXPECT_FALSE(
        system.reportEvent(platform::EventType::Information, kServiceStoppedEvent, nullptr));
}

TEST(ServiceEventLog, SocketStartUpSucceedsWithoutWinsock) {
    ServiceSystem system;
    EXPECT_TRUE(system.startSockets(1, 1).ok());
    system.stopSockets();
}
