// The built kronelsvc, run as a whole: under a stand-in service manager, without one, and
// with each verb, against a store, a unit directory and a clock of the test's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ErrorText.h"
#include "platform/ChildProcess.h"
#include "platform/Registry.h"
#include "platform/ServiceHost.h"
#include "service/CommandLine.h"
#include "service/ServiceTestSupport.h"

using platform::ChildProcess;
using servicetest::TempDir;
namespace fs = std::filesystem;

namespace {

const std::string kProgram = KRONEL_BINARY_DIR "/service/kronelsvc";
constexpr platform::Millis kDeadline{10000};
// The stop wait hint the service gives the manager.
constexpr platform::Millis kStopDeadline{35000};
constexpr const char* kClockLine = "Info : Kronel Using simulated clock, offset +0.000 s";

class Kronelsvc : public ::testing::Test {
protected:
    Kronelsvc() {
        // No servers on well-known ports, lines into a file of our own, none into syslog.
        servicetest::writeFile(
            registry(),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Kronel\\Parameters]\r\n"
            "\"TCPServer\"=dword:00000000\r\n\"UDPServer\"=dword:00000000\r\n"
            "\"867TCPServer\"=dword:00000000\r\n\"867UDPServer\"=dword:00000000\r\n"
            "\"SNTPServer\"=dword:00000000\r\n\"NTPbcast\"=dword:00000000\r\n"
            "\"Logtofile\"=dword:00000001\r\n\"LogtoEvtlog\"=dword:00000000\r\n"
            "\"Logfile\"=\"" +
                escaped(logFile()) + "\"\r\n");
        platform::setRegistryFile(registry());
    }
    ~Kronelsvc() override { platform::setRegistryFile(""); }

    static std::string escaped(const std::string& text) {
        std::string result;
        for (char c : text) {
            if (c == '\\' || c == '"') {
                result += '\\';
            }
            result += c;
        }
        return result;
    }

    std::string registry() const { return dir.file("registry.reg"); }
    std::string logFile() const { return dir.file("log.txt"); }
    std::string log() const { return servicetest::readFile(logFile()); }

    ChildProcess::Options options(const std::string& notifySocket = "") const {
        ChildProcess::Options o;
        o.setEnvironment = {{"KRONEL_REGISTRY", registry()},
                            {"KRONEL_CLOCK", "simulated"},
                            {"KRONEL_UNIT_DIR", dir.path().string()}};
        o.unsetEnvironment = {"KRONEL_CLOCK_OFFSET", "KRONEL_CLOCK_PPM", "KRONEL_TIME_SCALE"};
        if (notifySocket.empty()) {
            o.unsetEnvironment.push_back("NOTIFY_SOCKET");
        } else {
            o.setEnvironment.emplace_back("NOTIFY_SOCKET", notifySocket);
        }
        return o;
    }

    struct Result {
        int exitCode = -1;
        std::string output;
        std::string errors;
    };

    Result run(const std::vector<std::string>& arguments) {
        ChildProcess child;
        Result result;
        EXPECT_TRUE(child.start(kProgram, arguments, options()).ok()) << kProgram;
        EXPECT_TRUE(child.wait(kDeadline, result.exitCode));
        result.output = child.output();
        result.errors = child.errors();
        return result;
    }

    static std::string firstLine(const std::string& text) {
        return text.substr(0, text.find_first_of("\r\n"));
    }

    static int lineCount(const std::string& text) {
        int lines = 0;
        for (char c : text) {
            lines += c == '\n';
        }
        return lines;
    }

    std::string canonicalProgram() const { return fs::canonical(kProgram).string(); }

    bool keyExists(const std::string& path) const {
        std::unique_ptr<platform::RegistryKey> key;
        return platform::openRegistryKey(platform::RegRoot::LocalMachine, path, false, true, key)
            .ok();
    }

    std::string text(const std::string& path, const std::string& name) const {
        std::unique_ptr<platform::RegistryKey> key;
        std::string value;
        if (platform::openRegistryKey(platform::RegRoot::LocalMachine, path, false, true, key)
                .ok()) {
            (void)key->queryString(name, value, 10240);
        }
        return value;
    }

    uint32_t number(const std::string& path, const std::string& name) const {
        std::unique_ptr<platform::RegistryKey> key;
        uint32_t value = 0;
        if (platform::openRegistryKey(platform::RegRoot::LocalMachine, path, false, true, key)
                .ok()) {
            (void)key->queryDword(name, value);
        }
        return value;
    }

    TempDir dir{"kronel-e2e-svc-"};
};

const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Kronel";
const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kronel";
const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kronel Service V1.6";

}  // namespace

TEST_F(Kronelsvc, UnderTheServiceManagerReportsReadyAndStopsOnTermination) {
    const std::string address = "@kronel-e2e-" + testsupport::randomSuffix();
    platform::ServiceNotifyListener manager;
    ASSERT_TRUE(manager.bind(address).ok());
    ChildProcess service;
    ASSERT_TRUE(service.start(kProgram, {}, options(address)).ok());

    auto next = [&] {
        auto datagram = manager.receive(kDeadline);
        EXPECT_TRUE(datagram.has_value()) << service.errors();
        return datagram.value_or("");
    };
    EXPECT_EQ(firstLine(next()), "STATUS=start pending (check point 1, wait hint 3000 ms)");
    EXPECT_EQ(firstLine(next()), "STATUS=start pending (check point 2, wait hint 3000 ms)");
    EXPECT_EQ(next(), "READY=1\nSTATUS=running");

    // Any control but stop resends the state last reported.
    ASSERT_TRUE(service.signal(ChildProcess::Signal::Hangup).ok());
    EXPECT_EQ(next(), "READY=1\nSTATUS=running");

    ASSERT_TRUE(service.signal(ChildProcess::Signal::Terminate).ok());
    EXPECT_EQ(next(),
              "STOPPING=1\nSTATUS=stop pending (check point 3, wait hint 35000 ms)\n"
              "EXTEND_TIMEOUT_USEC=35000000");
    EXPECT_EQ(next(), "STATUS=stopped");
    int exitCode = -1;
    ASSERT_TRUE(service.wait(kStopDeadline, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(firstLine(log()).find(kClockLine), std::string::npos) << log();
}

TEST_F(Kronelsvc, WithoutAServiceManagerTheDispatcherFailsAndTheExitCodeIsZero) {
    const Result result = run({});
    EXPECT_EQ(result.exitCode, 0);
    const std::string text =
        core::systemErrorText(platform::svcerr::kFailedServiceControllerConnect);
    EXPECT_EQ(result.errors, "Error: " + text + "\n");
    EXPECT_EQ(result.output, "");
    const std::string logged = log();
    EXPECT_NE(firstLine(logged).find(kClockLine), std::string::npos) << logged;
    EXPECT_NE(logged.find("Error: Kronel StartServiceCtrlDispatcher failed (" + text + ")\r\n"),
              std::string::npos)
        << logged;
}

TEST_F(Kronelsvc, AddInstallsTheUnitAndTheRegistryValues) {
    const Result result = run({"add"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "Service installed\n");
    const std::string unit = servicetest::readFile(dir.path() / "kronel.service");
    for (const std::string& line :
         {std::string("Description=Kronel time service"), std::string("Type=notify"),
          "ExecStart=" + canonicalProgram(), std::string("Wants=network-online.target"),
          std::string("After=network-online.target"), std::string("KillSignal=SIGTERM"),
          std::string("TimeoutStopSec=35s"), std::string("Restart=on-failure"),
          std::string("WantedBy=multi-user.target"),
          std::string("# Synchronizes the time on this PC and provides time services to other "
                      "computers, Linux, Windows, Etc.")}) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
    }
    // The Debian package ships this very unit, the program in /usr/sbin.
    std::string packaged = servicetest::readFile(KRONEL_SOURCE_DIR "/debian/kronel.service");
    const std::string packagedExec = "\nExecStart=/usr/sbin/kronelsvc\n";
    const size_t exec = packaged.find(packagedExec);
    ASSERT_NE(exec, std::string::npos) << packaged;
    packaged.replace(exec, packagedExec.size(), "\nExecStart=" + canonicalProgram() + "\n");
    EXPECT_EQ(unit, packaged);
    EXPECT_EQ(text(kServiceKey, "Description"),
              "Synchronizes the time on this PC and provides time services to other computers, "
              "Linux, Windows, Etc.");
    EXPECT_EQ(text(kEventSourceKey, "EventMessageFile"), "%SystemRoot%\\System32\\kronel.cpl");
    EXPECT_EQ(number(kEventSourceKey, "TypesSupported"), 7u);
    EXPECT_EQ(number("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended "
                     "Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2",
                     "%SystemRoot%\\System32\\kronel.cpl"),
              6u);

    // A second install finds the service there and says so.
    const Result again = run({"add"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.output, core::systemErrorText(platform::svcerr::kServiceExists) + "\n");
}

TEST_F(Kronelsvc, RemoveSchedulesTheCleanupAndLeavesTheServiceAlone) {
    ASSERT_EQ(run({"add"}).exitCode, 1);
    const std::string installed = servicetest::readFile(dir.path() / "kronel.service");
    const Result result = run({"REMOVE"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errors,
              "remove Kronel NT Service: Reboot PC to finish deinstallation of Kronel NT "
              "Service\n");
    EXPECT_EQ(text("Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce\\Setup", "remove kronel"),
              canonicalProgram() + " cleanup");
    const std::string cleanup = servicetest::readFile(dir.path() / "kronel-cleanup.service");
    EXPECT_NE(cleanup.find("\nExecStart=" + canonicalProgram() + " cleanup\n"), std::string::npos)
        << cleanup;
    EXPECT_EQ(servicetest::readFile(dir.path() / "kronel.service"), installed);
}

TEST_F(Kronelsvc, VerbsThatDoNotRunTheEngineLeaveTheStoreAlone) {
    const std::string parameters = std::string(kServiceKey) + "\\Parameters";
    servicetest::writeFile(registry(), "Windows Registry Editor Version 5.00\r\n\r\n");
    for (const std::vector<std::string>& verb :
         std::vector<std::vector<std::string>>{{"help"}, {"add"}, {"remove"}, {"cleanup"}}) {
        EXPECT_EQ(run(verb).exitCode, 1) << verb.front();
        EXPECT_FALSE(keyExists(parameters)) << verb.front();
    }
    // Not even a malformed store is moved aside: only the engine reads it.
    const std::string malformed = "this is not a store\r\n";
    servicetest::writeFile(registry(), malformed);
    EXPECT_EQ(run({"help"}).output, service::usageText());
    EXPECT_EQ(servicetest::readFile(registry()), malformed);
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".bad-"), std::string::npos)
            << entry.path();
    }
}

TEST_F(Kronelsvc, CleanupDeletesTheServiceItsFilesAndItsKeys) {
    ASSERT_EQ(run({"add"}).exitCode, 1);
    ASSERT_EQ(run({"remove"}).exitCode, 1);
    servicetest::writeFile(dir.path() / "kronelsvc.exe", "program");
    servicetest::writeFile(dir.path() / "kronel.cpl", "applet");
    {
        std::unique_ptr<platform::RegistryKey> key;
        ASSERT_TRUE(platform::openRegistryKey(platform::RegRoot::LocalMachine, kUninstallKey, true,
                                              false, key)
                        .ok());
        ASSERT_TRUE(key->setString("DisplayName", "Kronel").ok());
    }

    const Result result = run({"Cleanup"});
    EXPECT_EQ(result.exitCode, 1);
    // Outside systemd no service is running, so there is nothing to stop.
    EXPECT_EQ(result.output, "Kronel removed.\n");
    for (const char* file :
         {"kronel.service", "kronel-cleanup.service", "kronelsvc.exe", "kronel.cpl"}) {
        EXPECT_FALSE(fs::exists(dir.path() / file)) << file;
    }
    EXPECT_FALSE(keyExists(kEventSourceKey));
    EXPECT_FALSE(keyExists(kUninstallKey));
    EXPECT_FALSE(keyExists(kServiceKey));
}

TEST_F(Kronelsvc, CleanupOfAServiceNotInstalledPrintsTheErrorText) {
    const Result result = run({"cleanup"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, core::systemErrorText(platform::svcerr::kServiceDoesNotExist) + "\n");
}

TEST_F(Kronelsvc, AddSpeltOtherwisePrintsTheUsageAndInstallsNothing) {
    const Result result = run({"Add"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, service::usageText());
    EXPECT_FALSE(fs::exists(dir.path() / "kronel.service"));
}

TEST_F(Kronelsvc, DebugPrintsEveryLineAndStopsOnInterrupt) {
    ChildProcess console;
    ASSERT_TRUE(console.start(kProgram, {"debug"}, options()).ok());
    // The engine logs as it starts; by then Ctrl-C is the service's to handle.
    ASSERT_TRUE(servicetest::eventually([&] { return lineCount(console.output()) >= 2; }))
        << console.output() << console.errors();
    EXPECT_EQ(firstLine(console.output()), kClockLine);
    ASSERT_TRUE(console.signal(ChildProcess::Signal::Interrupt).ok());
    int exitCode = -1;
    ASSERT_TRUE(console.wait(kStopDeadline, exitCode));
    EXPECT_EQ(exitCode, 1);
    // Every line printed is a message line.
    const std::string output = console.output();
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = output.find('\n', start);
        const std::string line = output.substr(start, end - start);
        EXPECT_TRUE(line.rfind("Info : ", 0) == 0 || line.rfind("Warn : ", 0) == 0 ||
                    line.rfind("Error: ", 0) == 0 || line.rfind("Debug: ", 0) == 0)
            << line;
        start = end == std::string::npos ? output.size() : end + 1;
    }
}

TEST_F(Kronelsvc, DebugStopsOnTermination) {
    ChildProcess console;
    ASSERT_TRUE(console.start(kProgram, {"debug"}, options()).ok());
    ASSERT_TRUE(servicetest::eventually([&] { return lineCount(console.output()) >= 2; }));
    ASSERT_TRUE(console.signal(ChildProcess::Signal::Terminate).ok());
    int exitCode = -1;
    ASSERT_TRUE(console.wait(kStopDeadline, exitCode));
    EXPECT_EQ(exitCode, 1);
}

TEST_F(Kronelsvc, DebugSpeltOtherwiseRunsTheConsoleBodyWithoutPrinting) {
    ChildProcess console;
    ASSERT_TRUE(console.start(kProgram, {"Debug"}, options()).ok());
    // Nothing on the console: watch the log file instead.
    ASSERT_TRUE(servicetest::eventually([&] { return lineCount(log()) >= 2; })) << log();
    ASSERT_TRUE(console.signal(ChildProcess::Signal::Interrupt).ok());
    int exitCode = -1;
    ASSERT_TRUE(console.wait(kStopDeadline, exitCode));
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(console.output(), "");
    EXPECT_NE(firstLine(log()).find(kClockLine), std::string::npos);
}
