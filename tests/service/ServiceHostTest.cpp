// The POSIX service manager stand-in: sd_notify datagrams, SIGTERM as the stop control,
// unit files for installing.
#include "platform/ServiceHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServiceTestSupport.h"
#include "engine/CReg.h"
#include "platform/Registry.h"
#include "platform/Result.h"

using platform::ServiceStatus;
using servicetest::ScopedEnvironment;
using servicetest::TempDir;
namespace svc = platform::svc;
namespace svcerr = platform::svcerr;

namespace {

constexpr platform::Millis kDeadline{10000};

ServiceStatus statusOf(uint32_t state, uint32_t accepted, uint32_t checkPoint, uint32_t waitHint,
                       uint32_t exitCode = 0) {
    ServiceStatus status;
    status.currentState = state;
    status.controlsAccepted = accepted;
    status.checkPoint = checkPoint;
    status.waitHint = waitHint;
    status.win32ExitCode = exitCode;
    return status;
}

// A notification socket under an abstract name of its own, named in NOTIFY_SOCKET.
class ServiceNotifications : public ::testing::Test {
protected:
    ServiceNotifications()
        : address_("@kronel-test-" + testsupport::randomSuffix()),
          environment_("NOTIFY_SOCKET", address_) {
        EXPECT_TRUE(listener_.bind(address_).ok());
    }

    std::string next() {
        auto text = listener_.receive(kDeadline);
        EXPECT_TRUE(text.has_value());
        return text.value_or("");
    }

    std::string address_;
    ScopedEnvironment environment_;
    platform::ServiceNotifyListener listener_;
};

}  // namespace

TEST(ServiceDispatcher, FailsWithoutAServiceManager) {
    ScopedEnvironment none("NOTIFY_SOCKET", std::nullopt);
    bool ran = false;
    platform::setLastSystemError(0);
    const platform::Status status =
        platform::systemServiceHost().startDispatcher("Kronel", [&] { ran = true; });
    EXPECT_EQ(status.error, svcerr::kFailedServiceControllerConnect);
    EXPECT_EQ(platform::lastSystemError(), svcerr::kFailedServiceControllerConnect);
    EXPECT_FALSE(ran);
}

TEST(ServiceDispatcher, RefusesNotifyAddressesItCannotReach) {
    for (const char* address : {"", "relative/path", "@", "vsock:2:1234"}) {
        ScopedEnvironment bad("NOTIFY_SOCKET", std::string(address));
        bool ran = false;
        const platform::Status status =
            platform::systemServiceHost().startDispatcher("Kronel", [&] { ran = true; });
        EXPECT_EQ(status.error, svcerr::kFailedServiceControllerConnect) << address;
        EXPECT_FALSE(ran);
    }
}

TEST(ServiceDispatcher, ErrorNumbersHaveTheManagersTexts) {
    EXPECT_STREQ(platform::serviceErrorMessage(svcerr::kFailedServiceControllerConnect),
                 "The service process could not connect to the service controller.");
    EXPECT_STREQ(platform::serviceErrorMessage(svcerr::kServiceExists),
                 "The specified service already exists.");
    EXPECT_EQ(platform::serviceErrorMessage(2), nullptr);
}

TEST_F(ServiceNotifications, StatusReportsBecomeNotifications) {
    platform::ServiceHost& host = platform::systemServiceHost();
    std::thread::id mainThread;
    const platform::Status status = host.startDispatcher("Kronel", [&] {
        mainThread = std::this_thread::get_id();
        platform::ServiceStatusHandle handle = 0;
        ASSERT_TRUE(host.registerControlHandler(
                            "kronel", [](unsigned) {}, handle)
                        .ok());
        ASSERT_NE(handle, 0u);
        EXPECT_TRUE(host.setStatus(handle, statusOf(svc::kStartPending, 0, 1, 3000)).ok());
        EXPECT_TRUE(host.setStatus(handle, statusOf(svc::kRunning, svc::kAcceptStop, 0, 0)).ok());
        EXPECT_TRUE(
            host.setStatus(handle, statusOf(svc::kStopPending, svc::kAcceptStop, 2, 35000)).ok());
        EXPECT_TRUE(host.setStatus(handle, statusOf(svc::kStopped, svc::kAcceptStop, 0, 0)).ok());
        EXPECT_TRUE(
            host.setStatus(handle, statusOf(svc::kStopped, svc::kAcceptStop, 0, 0, 10091)).ok());
    });
    ASSERT_TRUE(status.ok());
    EXPECT_NE(mainThread, std::this_thread::get_id());
    EXPECT_EQ(next(),
              "STATUS=start pending (check point 1, wait hint 3000 ms)\n"
              "EXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(next(), "READY=1\nSTATUS=running");
    EXPECT_EQ(next(),
              "STOPPING=1\nSTATUS=stop pending (check point 2, wait hint 35000 ms)\n"
              "EXTEND_TIMEOUT_USEC=35000000");
    EXPECT_EQ(next(), "STATUS=stopped");
    EXPECT_EQ(next(), "STATUS=stopped (exit code 10091)");
}

TEST_F(ServiceNotifications, HoldsATerminationUntilTheServiceAcceptsStop) {
    platform::ServiceHost& host = platform::systemServiceHost();
    std::mutex mutex;
    std::vector<unsigned> controls;
    std::thread::id handlerThread;
    platform::Event interrogated(true);
    platform::Event stopped(true);
    std::thread::id dispatcherThread = std::this_thread::get_id();

    const platform::Status status = host.startDispatcher("Kronel", [&] {
        platform::ServiceStatusHandle handle = 0;
        ASSERT_TRUE(host.registerControlHandler(
                            "Kronel",
                            [&](unsigned control) {
                                {
                                    std::lock_guard lock(mutex);
                                    controls.push_back(control);
                                    handlerThread = std::this_thread::get_id();
                                }
                                (control == svc::kControlStop ? stopped : interrogated).set();
                            },
                            handle)
                        .ok());
        ASSERT_TRUE(host.setStatus(handle, statusOf(svc::kStartPending, 0, 1, 3000)).ok());
        // The hang-up is read after the termination: once it is answered, the termination
        // has been seen and held.
        std::raise(SIGTERM);
        std::raise(SIGHUP);
        ASSERT_TRUE(interrogated.wait(kDeadline));
        {
            std::lock_guard lock(mutex);
            EXPECT_EQ(controls, std::vector<unsigned>{svc::kControlInterrogate});
        }
        ASSERT_TRUE(host.setStatus(handle, statusOf(svc::kRunning, svc::kAcceptStop, 0, 0)).ok());
        ASSERT_TRUE(stopped.wait(kDeadline));
        EXPECT_TRUE(host.setStatus(handle, statusOf(svc::kStopped, svc::kAcceptStop, 0, 0)).ok());
    });
    ASSERT_TRUE(status.ok());
    std::lock_guard lock(mutex);
    EXPECT_EQ(controls, (std::vector<unsigned>{svc::kControlInterrogate, svc::kControlStop}));
    EXPECT_EQ(handlerThread, dispatcherThread);
}

TEST_F(ServiceNotifications, RefusesReportsWithoutTheRegisteredHandle) {
    platform::ServiceHost& host = platform::systemServiceHost();
    const platform::Status status = host.startDispatcher("Kronel", [&] {
        platform::ServiceStatusHandle handle = 0;
        EXPECT_EQ(host.registerControlHandler(
                          "Other", [](unsigned) {}, handle)
                      .error,
                  svcerr::kServiceDoesNotExist);
        EXPECT_EQ(handle, 0u);
        EXPECT_FALSE(host.setStatus(0, statusOf(svc::kRunning, 1, 0, 0)).ok());
        ASSERT_TRUE(host.registerControlHandler(
                            "Kronel", [](unsigned) {}, handle)
                        .ok());
        EXPECT_FALSE(host.setStatus(handle + 1, statusOf(svc::kRunning, 1, 0, 0)).ok());
        EXPECT_FALSE(host.setStatus(handle, statusOf(99, 1, 0, 0)).ok());
    });
    ASSERT_TRUE(status.ok());
    EXPECT_FALSE(listener_.receive(platform::Millis(0)).has_value());
    // After the dispatcher has returned nothing is registered any more.
    platform::ServiceStatusHandle handle = 0;
    EXPECT_FALSE(host.registerControlHandler(
                         "Kronel", [](unsigned) {}, handle)
                     .ok());
}

TEST(ServiceDispatcher, ReportToAManagerThatIsGoneFails) {
    ScopedEnvironment gone("NOTIFY_SOCKET", "@kronel-test-gone-" + testsupport::randomSuffix());
    platform::ServiceHost& host = platform::systemServiceHost();
    const platform::Status status = host.startDispatcher("Kronel", [&] {
        platform::ServiceStatusHandle handle = 0;
        ASSERT_TRUE(host.registerControlHandler(
                            "Kronel", [](unsigned) {}, handle)
                        .ok());
        const platform::Status report =
            host.setStatus(handle, statusOf(svc::kStartPending, 0, 1, 3000));
        EXPECT_FALSE(report.ok());
        EXPECT_EQ(platform::lastSystemError(), report.error);
    });
    EXPECT_TRUE(status.ok());
}

TEST(ServiceDispatcher, ListenerAlsoTakesAPathAddress) {
    TempDir dir("kronel-notify-");
    const std::string path = dir.file("notify");
    platform::ServiceNotifyListener listener;
    ASSERT_TRUE(listener.bind(path).ok());
    ScopedEnvironment notify("NOTIFY_SOCKET", path);
    platform::ServiceHost& host = platform::systemServiceHost();
    ASSERT_TRUE(
        host.startDispatcher("Kronel",
                             [&] {
                                 platform::ServiceStatusHandle handle = 0;
                                 ASSERT_TRUE(host.registerControlHandler(
                                                     "Kronel", [](unsigned) {}, handle)
                                                 .ok());
                                 EXPECT_TRUE(
                                     host.setStatus(handle, statusOf(svc::kRunning, 1, 0, 0)).ok());
                             })
            .ok());
    EXPECT_EQ(listener.receive(kDeadline).value_or(""), "READY=1\nSTATUS=running");
}

TEST(ConsoleControl, InterruptCallsTheHandlerOnItsOwnThread) {
    platform::Event stop(true);
    std::thread::id caller;
    {
        platform::ConsoleControlHandler console([&] {
            caller = std::this_thread::get_id();
            stop.set();
        });
        ASSERT_TRUE(console.installed());
        // Only one may own the signals at a time.
        platform::ConsoleControlHandler second([] {});
        EXPECT_FALSE(second.installed());
        std::raise(SIGINT);
        ASSERT_TRUE(stop.wait(kDeadline));
    }
    EXPECT_NE(caller, std::this_thread::get_id());
    // Gone again: a new one may take the signals.
    platform::ConsoleControlHandler again([] {});
    EXPECT_TRUE(again.installed());
}

// Installing: unit files in a directory of the test's own.
class UnitFiles : public ::testing::Test {
protected:
    UnitFiles() { platform::setRegistryFile(dir.file("registry.reg")); }
    ~UnitFiles() override { platform::setRegistryFile(""); }

    platform::ServiceConfig config() const {
        platform::ServiceConfig c;
        c.name = "Kronel";
        c.displayName = "Kronel time service";
        c.description = "Keeps the time.";
        c.executable = "/opt/kronel/kronelsvc";
        c.dependencies = {"Tcpip"};
        c.autoStart = true;
        c.stopWaitHint = 35000;
        return c;
    }

    std::unique_ptr<platform::ServiceManager> manager() {
        std::unique_ptr<platform::ServiceManager> m;
        EXPECT_TRUE(platform::openServiceManager(m).ok());
        return m;
    }

    TempDir dir{"kronel-units-"};
    ScopedEnvironment unitDir{"KRONEL_UNIT_DIR", dir.path().string()};
};

TEST_F(UnitFiles, CreateWritesANotifyUnit) {
    std::unique_ptr<platform::InstalledService> service;
    ASSERT_TRUE(manager()->createService(config(), service).ok());
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(servicetest::readFile(dir.path() / "kronel.service"),
              "# Kronel time service\n"
              "# Keeps the time.\n"
              "\n[Unit]\n"
              "Description=Kronel time service\n"
              "Wants=network-online.target\n"
              "After=network-online.target\n"
              "\n[Service]\n"
              "Type=notify\n"
              "NotifyAccess=main\n"
              "ExecStart=/opt/kronel/kronelsvc\n"
              "Restart=on-failure\n"
              "RestartSec=5s\n"
              "KillSignal=SIGTERM\n"
              "TimeoutStopSec=35s\n"
              "\n[Install]\n"
              "WantedBy=multi-user.target\n");
    EXPECT_TRUE(service->allowEveryoneToControl().ok());
}

// A confined service gets its sandbox: the lines that grant rights appear only for the rights
// asked for; the rest of the system stays locked away either way.
TEST_F(UnitFiles, ConfinedServiceGetsOnlyTheRightsItAsksFor) {
    struct Case {
        const char* what;
        platform::ServiceConfinement confinement;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    platform::ServiceConfinement full;
    full.confined = true;
    full.stateDirectory = "kronel";
    full.logsDirectory = "kronel";
    full.setsClock = full.privilegedPorts = full.rawSockets = full.serialPorts = true;
    full.networkInterfaces = true;
    platform::ServiceConfinement listener;
    listener.confined = true;
    listener.setsClock = listener.privilegedPorts = true;
    const std::vector<std::string> always = {"DynamicUser=yes",
                                             "NoNewPrivileges=yes",
                                             "ProtectSystem=strict",
                                             "ProtectHome=yes",
                                             "PrivateTmp=yes",
                                             "ProtectKernelTunables=yes",
                                             "ProtectKernelModules=yes",
                                             "ProtectKernelLogs=yes",
                                             "ProtectControlGroups=yes",
                                             "DevicePolicy=closed",
                                             "SystemCallFilter=@system-service @clock",
                                             "SystemCallArchitectures=native"};
    const Case cases[] = {
        {"service",
         full,
         {"CapabilityBoundingSet=CAP_SYS_TIME CAP_NET_BIND_SERVICE CAP_NET_RAW",
          "AmbientCapabilities=CAP_SYS_TIME CAP_NET_BIND_SERVICE CAP_NET_RAW",
          "StateDirectory=kronel", "LogsDirectory=kronel", "WorkingDirectory=/var/log/kronel",
          "SupplementaryGroups=dialout", "DeviceAllow=char-ttyS rw", "DeviceAllow=char-ttyUSB rw",
          "DeviceAllow=char-ttyACM rw",
          "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK"},
         {"PrivateDevices=yes", "ProtectClock=yes", "User="}},
        {"listener",
         listener,
         {"CapabilityBoundingSet=CAP_SYS_TIME CAP_NET_BIND_SERVICE",
          "AmbientCapabilities=CAP_SYS_TIME CAP_NET_BIND_SERVICE", "PrivateDevices=yes",
          "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6"},
         {"StateDirectory=", "LogsDirectory=", "WorkingDirectory=", "SupplementaryGroups=",
          "DeviceAllow=", "ProtectClock=yes"}},
        {"nothing",
         [] {
             platform::ServiceConfinement none;
             none.confined = true;
             return none;
         }(),
         {"CapabilityBoundingSet=", "PrivateDevices=yes"},
         {"AmbientCapabilities="}},
    };
    for (const Case& c : cases) {
        platform::ServiceConfig config = this->config();
        config.confinement = c.confinement;
        std::unique_ptr<platform::InstalledService> service;
        ASSERT_TRUE(manager()->createService(config, service).ok()) << c.what;
        const std::string text = servicetest::readFile(dir.path() / "kronel.service");
        ASSERT_TRUE(service->remove().ok()) << c.what;
        // The sandbox belongs in the Service section, before Install.
        const size_t install = text.find("\n[Install]\n");
        ASSERT_NE(install, std::string::npos) << c.what;
        std::vector<std::string> present = always;
        present.insert(present.end(), c.present.begin(), c.present.end());
        for (const std::string& line : present) {
            const size_t at = text.find("\n" + line + "\n");
            EXPECT_TRUE(at != std::string::npos && at < install) << c.what << ": " << line << text;
        }
        for (const std::string& line : c.absent) {
            EXPECT_EQ(text.find("\n" + line), std::string::npos) << c.what << ": " << line;
        }
    }
}

TEST_F(UnitFiles, CreatingTwiceFailsAsAnExistingService) {
    std::unique_ptr<platform::InstalledService> service;
    ASSERT_TRUE(manager()->createService(config(), service).ok());
    const std::string first = servicetest::readFile(dir.path() / "kronel.service");
    platform::ServiceConfig changed = config();
    changed.executable = "/elsewhere/kronelsvc";
    EXPECT_EQ(manager()->createService(changed, service).error, svcerr::kServiceExists);
    EXPECT_EQ(platform::lastSystemError(), svcerr::kServiceExists);
    EXPECT_EQ(servicetest::readFile(dir.path() / "kronel.service"), first);
}

TEST_F(UnitFiles, ExecLineQuotesAndEscapesThePath) {
    platform::ServiceConfig c = config();
    c.executable = "/opt/my dir/100%/k$\"x\\";
    std::unique_ptr<platform::InstalledService> service;
    ASSERT_TRUE(manager()->createService(c, service).ok());
    const std::string text = servicetest::readFile(dir.path() / "kronel.service");
    EXPECT_NE(text.find("\nExecStart=\"/opt/my dir/100%%/k$$\\\"x\\\\\"\n"), std::string::npos)
        << text;
}

TEST_F(UnitFiles, RefusesTextsThatWouldAddUnitSettings) {
    std::unique_ptr<platform::InstalledService> service;
    platform::ServiceConfig c = config();
    c.executable = "/opt/kronelsvc\nExecStartPre=/bin/evil";
    EXPECT_FALSE(manager()->createService(c, service).ok());
    c = config();
    c.executable = "relative/kronelsvc";
    EXPECT_FALSE(manager()->createService(c, service).ok());
    c = config();
    c.name = "../kronel";
    EXPECT_FALSE(manager()->createService(c, service).ok());
    EXPECT_FALSE(servicetest::fs::exists(dir.path() / "kronel.service"));
    EXPECT_FALSE(manager()->scheduleRemoval("Kronel", "/opt/k\nx", "cleanup").ok());
}

TEST_F(UnitFiles, DemandStartServiceHasNoInstallSection) {
    platform::ServiceConfig c = config();
    c.autoStart = false;
    c.dependencies.clear();
    std::unique_ptr<platform::InstalledService> service;
    ASSERT_TRUE(manager()->createService(c, service).ok());
    const std::string text = servicetest::readFile(dir.path() / "kronel.service");
    EXPECT_EQ(text.find("[Install]"), std::string::npos);
    EXPECT_EQ(text.find("After="), std::string::npos);
}

TEST_F(UnitFiles, OpenServiceFindsOnlyInstalledServices) {
    std::unique_ptr<platform::InstalledService> service;
    EXPECT_EQ(manager()->openService("Kronel", service).error, svcerr::kServiceDoesNotExist);
    EXPECT_EQ(service, nullptr);
    ASSERT_TRUE(manager()->createService(config(), service).ok());
    service.reset();
    EXPECT_TRUE(manager()->openService("KRONEL", service).ok());
    EXPECT_NE(service, nullptr);
}

TEST_F(UnitFiles, ServiceOutsideSystemdIsNeverRunning) {
    std::unique_ptr<platform::InstalledService> service;
    ASSERT_TRUE(manager()->createService(config(), service).ok());
    ServiceStatus status;
    EXPECT_EQ(service->control(svc::kControlStop, status).error, svcerr::kServiceNotActive);
    ASSERT_TRUE(service->queryStatus(status).ok());
    EXPECT_EQ(status.currentState, svc::kStopped);
    EXPECT_EQ(status.controlsAccepted, 0u);
}

TEST_F(UnitFiles, ScheduledRemovalRunsTheCleanupOnceAtNextStart) {
    ASSERT_TRUE(manager()->scheduleRemoval("Kronel", "/opt/my dir/kronelsvc", "cleanup").ok());
    EXPECT_EQ(servicetest::readFile(dir.path() / "kronel-cleanup.service"),
              "# Finishes removing Kronel at the next start of the system.\n"
              "\n[Unit]\n"
              "Description=Finish removing Kronel\n"
              "After=kronel.service\n"
              "\n[Service]\n"
              "Type=oneshot\n"
              "ExecStart=\"/opt/my dir/kronelsvc\" cleanup\n"
              "\n[Install]\n"
              "WantedBy=multi-user.target\n");
    // Scheduling again replaces the entry, as a RunOnce value is replaced.
    EXPECT_TRUE(manager()->scheduleRemoval("Kronel", "/opt/kronelsvc", "cleanup").ok());
    EXPECT_NE(servicetest::readFile(dir.path() / "kronel-cleanup.service")
                  .find("ExecStart=/opt/kronelsvc cleanup\n"),
              std::string::npos);
}

TEST_F(UnitFiles, RemoveDeletesTheUnitsAndTheServiceKey) {
    std::unique_ptr<platform::InstalledService> service;
    ASSERT_TRUE(manager()->createService(config(), service).ok());
    ASSERT_TRUE(manager()->scheduleRemoval("Kronel", "/opt/kronelsvc", "cleanup").ok());
    {
        engine::CReg parameters("SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters");
        ASSERT_TRUE(parameters.writeInt("Frequency", 60).ok());
    }
    ASSERT_TRUE(service->remove().ok());
    EXPECT_FALSE(servicetest::fs::exists(dir.path() / "kronel.service"));
    EXPECT_FALSE(servicetest::fs::exists(dir.path() / "kronel-cleanup.service"));
    std::unique_ptr<platform::RegistryKey> key;
    EXPECT_FALSE(platform::openRegistryKey(platform::RegRoot::LocalMachine,
                                           "SYSTEM\\CurrentControlSet\\Services\\Kronel", false,
                                           true, key)
                     .ok());
    EXPECT_EQ(service->remove().error, svcerr::kServiceDoesNotExist);
}

TEST_F(UnitFiles, ManagerNeedsAUnitDirectoryItMayWrite) {
    ScopedEnvironment missing("KRONEL_UNIT_DIR", dir.file("missing"));
    std::unique_ptr<platform::ServiceManager> m;
    EXPECT_FALSE(platform::openServiceManager(m).ok());
    EXPECT_EQ(m, nullptr);
}

TEST_F(UnitFiles, SystemFilesLiveInTheUnitDirectoryUnderTest) {
    EXPECT_EQ(platform::systemDirectory(), dir.path().string());
    servicetest::writeFile(dir.path() / "kronel.cpl", "applet");
    EXPECT_TRUE(platform::deleteSystemFile("kronel.cpl").ok());
    EXPECT_FALSE(servicetest::fs::exists(dir.path() / "kronel.cpl"));
    EXPECT_FALSE(platform::deleteSystemFile("kronel.cpl").ok());
    EXPECT_FALSE(platform::deleteSystemFile("../registry.reg").ok());
}

TEST(OwnExecutablePath, IsThisProgramAndMustFitTheBuffer) {
    std::string path;
    ASSERT_TRUE(platform::ownExecutablePath(path, 4096).ok());
    EXPECT_EQ(servicetest::fs::path(path).filename(), "service_tests");
    EXPECT_TRUE(servicetest::fs::path(path).is_absolute());
    std::string shortPath;
    EXPECT_FALSE(platform::ownExecutablePath(shortPath, path.size()).ok());
    EXPECT_TRUE(platform::ownExecutablePath(shortPath, path.size() + 1).ok());
}
