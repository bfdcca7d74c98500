#include "service/ServiceInstaller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ServiceTestSupport.h"
#include "core/ErrorText.h"
#include "engine/CReg.h"
#include "platform/Registry.h"
#include "service/NTService.h"

using namespace service;
using platform::ServiceStatus;
using servicetest::RecordingMessages;
using servicetest::TempDir;
namespace svc = platform::svc;

namespace {

struct FakeServiceState {
    std::vector<platform::ServiceConfig> created;
    std::vector<std::string> calls;
    int createError = 0;
    int openError = 0;
    int controlError = 0;
    int removeError = 0;
    int scheduleError = 0;
    // The states queryStatus reports one after the other; the last one repeats.
    std::vector<uint32_t> queried{svc::kStopped};
    size_t queries = 0;
    std::string scheduledExecutable;
    std::string scheduledArgument;
};

platform::Status fail(int error) {
    platform::setLastSystemError(error);
    return platform::Status::failure(error);
}

class FakeService : public platform::InstalledService {
public:
    explicit FakeService(FakeServiceState& state) : state_(state) {}
    platform::Status allowEveryoneToControl() override {
        state_.calls.push_back("security");
        return platform::Status::success();
    }
    platform::Status control(unsigned control, ServiceStatus& status) override {
        state_.calls.push_back("control " + std::to_string(control));
        if (state_.controlError != 0) {
            return fail(state_.controlError);
        }
        status.currentState = svc::kStopPending;
        return platform::Status::success();
    }
    platform::Status queryStatus(ServiceStatus& status) override {
        const size_t index = std::min(state_.queries++, state_.queried.size() - 1);
        status.currentState = state_.queried[index];
        return platform::Status::success();
    }
    platform::Status remove() override {
        state_.calls.push_back("remove");
        return state_.removeError != 0 ? fail(state_.removeError) : platform::Status::success();
    }

private:
    FakeServiceState& state_;
};

class FakeManager : public platform::ServiceManager {
public:
    explicit FakeManager(FakeServiceState& state) : state_(state) {}
    platform::Status createService(const platform::ServiceConfig& config,
                                   std::unique_ptr<platform::InstalledService>& service) override {
        state_.calls.push_back("create " + config.name);
        if (state_.createError != 0) {
            return fail(state_.createError);
        }
        state_.created.push_back(config);
        service = std::make_unique<FakeService>(state_);
        return platform::Status::success();
    }
    platform::Status openService(const std::string& name,
                                 std::unique_ptr<platform::InstalledService>& service) override {
        state_.calls.push_back("open " + name);
        if (state_.openError != 0) {
            return fail(state_.openError);
        }
        service = std::make_unique<FakeService>(state_);
        return platform::Status::success();
    }
    platform::Status scheduleRemoval(const std::string& serviceName, const std::string& executable,
                                     const std::string& argument) override {
        state_.calls.push_back("schedule " + serviceName);
        state_.scheduledExecutable = executable;
        state_.scheduledArgument = argument;
        return state_.scheduleError != 0 ? fail(state_.scheduleError) : platform::Status::success();
    }

private:
    FakeServiceState& state_;
};

// What a FILE* received, read back.
class CapturedOutput {
public:
    CapturedOutput() : file_(std::tmpfile()) {}
    ~CapturedOutput() { std::fclose(file_); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string result;
        char buffer[512];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            result.append(buffer, got);
        }
        return result;
    }

private:
    std::FILE* file_;
};

std::optional<std::string> registryText(const char* key, const std::string& name) {
    std::unique_ptr<platform::RegistryKey> open;
    if (!platform::openRegistryKey(platform::RegRoot::LocalMachine, key, false, true, open)) {
        return std::nullopt;
    }
    std::string value;
    if (!open->queryString(name, value, 10240)) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> registryNumber(const char* key, const std::string& name) {
    std::unique_ptr<platform::RegistryKey> open;
    if (!platform::openRegistryKey(platform::RegRoot::LocalMachine, key, false, true, open)) {
        return std::nullopt;
    }
    uint32_t value = 0;
    if (!open->queryDword(name, value)) {
        return std::nullopt;
    }
    return value;
}

bool keyExists(const char* key) {
    std::unique_ptr<platform::RegistryKey> open;
    return platform::openRegistryKey(platform::RegRoot::LocalMachine, key, false, true, open).ok();
}

std::string ownPath() {
    std::string path;
    EXPECT_TRUE(platform::ownExecutablePath(path, 4096).ok());
    return path;
}

class ServiceInstallerTest : public ::testing::Test {
protected:
    ServiceInstallerTest() { platform::setRegistryFile(dir.file("registry.reg")); }
    ~ServiceInstallerTest() override { platform::setRegistryFile(""); }

    ServiceInstaller installer() {
        return ServiceInstaller(
            output.file(), messages,
            [this](std::unique_ptr<platform::ServiceManager>& manager) {
                if (managerError != 0) {
                    return fail(managerError);
                }
                manager = std::make_unique<FakeManager>(state);
                return platform::Status::success();
            },
            [this](platform::Millis waited) { sleeps.push_back(waited.count()); });
    }

    TempDir dir{"kronel-installer-"};
    servicetest::ScopedEnvironment unitDir{"KRONEL_UNIT_DIR", dir.path().string()};
    FakeServiceState state;
    int managerError = 0;
    CapturedOutput output;
    RecordingMessages messages;
    std::vector<long long> sleeps;
};

}  // namespace

TEST_F(ServiceInstallerTest, InstallCreatesTheServiceAndWritesTheRegistryValues) {
    ASSERT_TRUE(installer().install());
    EXPECT_EQ(output.text(), "Service installed\n");
    ASSERT_EQ(state.created.size(), 1u);
    const platform::ServiceConfig& config = state.created[0];
    EXPECT_EQ(config.name, "Kronel");
    EXPECT_EQ(config.displayName, "Kronel time service");
    EXPECT_EQ(config.executable, ownPath());
    EXPECT_EQ(config.dependencies, std::vector<std::string>{"Tcpip"});
    EXPECT_TRUE(config.autoStart);
    EXPECT_EQ(config.stopWaitHint, 35000u);
    EXPECT_EQ(state.calls, (std::vector<std::string>{"create Kronel", "security"}));

    EXPECT_EQ(registryText("SYSTEM\\CurrentControlSet\\Services\\Kronel", "Description"),
              "Synchronizes the time on this PC and provides time services to other computers, "
              "Linux, Windows, Etc.");
    const char* source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Kronel";
    EXPECT_EQ(registryText(source, "EventMessageFile"), "%SystemRoot%\\System32\\kronel.cpl");
    EXPECT_EQ(registryNumber(source, "TypesSupported"), 7u);
    EXPECT_EQ(registryNumber("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\"
                             "Extended Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2",
                             "%SystemRoot%\\System32\\kronel.cpl"),
              6u);
}

TEST_F(ServiceInstallerTest, InstallFailurePrintsTheErrorTextAndWritesNothing) {
    state.createError = platform::svcerr::kServiceExists;
    EXPECT_FALSE(installer().install());
    EXPECT_EQ(output.text(), core::systemErrorText(platform::svcerr::kServiceExists) + "\n");
    EXPECT_FALSE(keyExists(kEventSourceKey));
    EXPECT_FALSE(registryText(kServiceKey, "Description").has_value());
}

TEST_F(ServiceInstallerTest, InstallWithoutTheManagerPrintsTheErrorText) {
    managerError = 13;  // EACCES: not allowed to install
    EXPECT_FALSE(installer().install());
    EXPECT_EQ(output.text(), core::systemErrorText(13) + "\n");
    EXPECT_TRUE(state.calls.empty());
}

TEST_F(ServiceInstallerTest, RemoveWritesRunOnceSchedulesCleanupAndLeavesTheService) {
    ASSERT_TRUE(installer().remove());
    const std::string path = ownPath();
    EXPECT_EQ(registryText(kRunOnceKey, "remove kronel"), path + " cleanup");
    EXPECT_EQ(state.calls, (std::vector<std::string>{"schedule Kronel"}));
    EXPECT_EQ(state.scheduledExecutable, path);
    EXPECT_EQ(state.scheduledArgument, "cleanup");
    EXPECT_EQ(output.text(), "");
    const auto logged = messages.messages();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, core::MessageLevel::Info);
    EXPECT_EQ(logged[0].text, "Reboot PC to finish deinstallation of Kronel NT Service");
}

TEST_F(ServiceInstallerTest, RemoveThatCannotScheduleSaysWhyAndAsksForNoReboot) {
    state.scheduleError = 13;
    EXPECT_FALSE(installer().remove());
    EXPECT_EQ(output.text(), core::systemErrorText(13) + "\n");
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(ServiceInstallerTest, CleanupWaitsForAStoppingServiceThenRemovesIt) {
    state.queried = {svc::kStopPending, svc::kStopPending, svc::kStopped};
    ASSERT_TRUE(installer().cleanup());
    EXPECT_EQ(output.text(), "Stopping Kronel...\nKronel stopped.\nKronel removed.\n");
    EXPECT_EQ(state.calls, (std::vector<std::string>{"open Kronel", "control 1", "remove"}));
    EXPECT_EQ(sleeps, (std::vector<long long>{1000, 1000, 1000}));
}

TEST_F(ServiceInstallerTest, CleanupOfAServiceThatWillNotStopStillRemovesIt) {
    state.queried = {svc::kRunning};
    ASSERT_TRUE(installer().cleanup());
    EXPECT_EQ(output.text(), "Stopping Kronel.\nKronel failed to stop.\nKronel removed.\n");
}

TEST_F(ServiceInstallerTest, CleanupGivesUpWaitingAfterTheStopTimeOut) {
    state.queried = {svc::kStopPending};
    ASSERT_TRUE(installer().cleanup());
    const std::string dots(ServiceInstaller::kStopQueries, '.');
    EXPECT_EQ(output.text(),
              "Stopping Kronel." + dots + "\nKronel failed to stop.\nKronel removed.\n");
}

TEST_F(ServiceInstallerTest, CleanupOfAServiceNotRunningRemovesItWithoutStopping) {
    state.controlError = platform::svcerr::kServiceNotActive;
    servicetest::writeFile(dir.path() / "kronelsvc.exe", "program");
    servicetest::writeFile(dir.path() / "kronel.cpl", "applet");
    {
        engine::CReg source(kEventSourceKey, platform::RegRoot::LocalMachine);
        ASSERT_TRUE(source.writeInt("TypesSupported", 7).ok());
        engine::CReg uninstall(kUninstallKey, platform::RegRoot::LocalMachine);
        ASSERT_TRUE(uninstall.writeText("DisplayName", "Kronel").ok());
    }
    ASSERT_TRUE(installer().cleanup());
    EXPECT_EQ(output.text(), "Kronel removed.\n");
    EXPECT_TRUE(sleeps.empty());
    EXPECT_FALSE(servicetest::fs::exists(dir.path() / "kronelsvc.exe"));
    EXPECT_FALSE(servicetest::fs::exists(dir.path() / "kronel.cpl"));
    EXPECT_FALSE(keyExists(kEventSourceKey));
    EXPECT_FALSE(keyExists(kUninstallKey));
}

TEST_F(ServiceInstallerTest, CleanupOfAServiceNotInstalledPrintsTheErrorAndTouchesNothing) {
    state.openError = platform::svcerr::kServiceDoesNotExist;
    {
        engine::CReg source(kEventSourceKey, platform::RegRoot::LocalMachine);
        ASSERT_TRUE(source.writeInt("TypesSupported", 7).ok());
    }
    EXPECT_FALSE(installer().cleanup());
    EXPECT_EQ(output.text(), core::systemErrorText(platform::svcerr::kServiceDoesNotExist) + "\n");
    EXPECT_TRUE(keyExists(kEventSourceKey));
}

TEST_F(ServiceInstallerTest, CleanupThatCannotDeleteTheServicePrintsTheError) {
    state.controlError = platform::svcerr::kServiceNotActive;
    state.removeError = 13;
    EXPECT_FALSE(installer().cleanup());
    EXPECT_EQ(output.text(), core::systemErrorText(13) + "\n");
}
