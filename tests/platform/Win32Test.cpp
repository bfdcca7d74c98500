// What only the Windows backend does: the system's own error slots and texts, where the
// configuration store lives, the service manager and the remote-access library.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/DialupWatcher.h"
#include "platform/Registry.h"
#include "platform/Result.h"
#include "platform/Seams.h"
#include "platform/ServiceHost.h"
#include "platform/Socket.h"
#include "platform/SystemError.h"

using namespace platform;
namespace fs = std::filesystem;

TEST(Win32SystemMessage, KeepsTheInsertsOfTextsThatHaveThem) {
    // ERROR_BAD_EXE_FORMAT is "%1 is not a valid Win32 application." on Windows.
    const auto text = systemMessage(193);
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(text->find("%1"), std::string::npos) << *text;
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");
}

TEST(Win32LastErrors, WinsockKeepsItsErrorInTheSystemsSlot) {
    setLastSystemError(5);
    setLastSocketError(10061);
    EXPECT_EQ(lastSystemError(), 10061);
    setLastSystemError(2);
    EXPECT_EQ(lastSocketError(), 2);

    uint32_t address = 0;
    const Status missing = resolveIPv4("no-such-host.invalid", address);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(lastSystemError(), missing.error);
}

TEST(Win32Registry, WithoutAStoreFileTheRootsAreTheSystemRegistrys) {
    if (!environment("KRONEL_REGISTRY").empty()) {
        GTEST_SKIP() << "KRONEL_REGISTRY names a store file";
    }
    setRegistryFile("");
    EXPECT_NE(registryFile(RegRoot::LocalMachine).find("HKEY_LOCAL_MACHINE"), std::string::npos);
    EXPECT_NE(registryFile(RegRoot::CurrentUser).find("HKEY_CURRENT_USER"), std::string::npos);
}

TEST(Win32Registry, AStoreFileStandsForAKeyOfTheCurrentUser) {
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("kronel-win32-" + std::to_string(random()));
    const fs::path file = dir / "nested" / "side-by-side.reg";
    setRegistryFile(file.string());
    EXPECT_EQ(registryFile(RegRoot::LocalMachine), file.string());
    std::unique_ptr<RegistryKey> key;
    ASSERT_TRUE(openRegistryKey(RegRoot::LocalMachine, "Software\\Kronel", true, false, key).ok());
    ASSERT_TRUE(key->setDword("Max", 9).ok());
    key.reset();
    setRegistryFile("");

    // The file is made, with its parent folders, as a .reg text that names the key.
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u) << text;
    const std::string marker = "HKEY_CURRENT_USER\\";
    const size_t at = text.find(marker);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string storeKey =
        text.substr(at + marker.size(), text.find('\r', at) - at - marker.size());
    EXPECT_EQ(storeKey.rfind("Software\\Kronel Stores\\side-by-side.reg ", 0), 0u) << storeKey;

    std::unique_ptr<RegistryKey> seen;
    ASSERT_TRUE(openRegistryKey(RegRoot::CurrentUser,
                                storeKey + "\\HKEY_LOCAL_MACHINE\\Software\\Kronel", false, true,
                                seen)
                    .ok());
    uint32_t max = 0;
    ASSERT_TRUE(seen->queryDword("Max", max).ok());
    EXPECT_EQ(max, 9u);
    seen.reset();
    EXPECT_TRUE(deleteRegistryKey(RegRoot::CurrentUser, storeKey).ok());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

TEST(Win32ServiceHost, ADispatcherOutsideTheServiceManagerFails) {
    setLastSystemError(0);
    bool ran = false;
    const Status status = systemServiceHost().startDispatcher("Kronel", [&] { ran = true; });
    EXPECT_EQ(status.error, svcerr::kFailedServiceControllerConnect);
    EXPECT_EQ(lastSystemError(), svcerr::kFailedServiceControllerConnect);
    EXPECT_FALSE(ran);
}

TEST(Win32ServiceManager, InstallsQueriesAndRemovesAService) {
    std::unique_ptr<ServiceManager> manager;
    if (!openServiceManager(manager).ok()) {
        GTEST_SKIP() << "no full access to the service manager";
    }
    std::random_device random;
    ServiceConfig config;
    config.name = "KronelTest" + std::to_string(random());
    config.displayName = "Kronel test service";
    config.description = "Made and removed again by the platform tests.";
    ASSERT_TRUE(ownExecutablePath(config.executable, 4096).ok());
    config.dependencies = {"Tcpip"};
    config.autoStart = false;

    std::unique_ptr<InstalledService> service;
    ASSERT_TRUE(manager->createService(config, service).ok()) << lastSystemError();
    std::unique_ptr<InstalledService> twice;
    EXPECT_EQ(manager->createService(config, twice).error, svcerr::kServiceExists);
    EXPECT_TRUE(service->allowEveryoneToControl().ok());

    ServiceStatus status;
    ASSERT_TRUE(service->queryStatus(status).ok());
    EXPECT_EQ(status.currentState, svc::kStopped);
    EXPECT_EQ(status.serviceType, svc::kWin32OwnProcess);
    EXPECT_EQ(service->control(svc::kControlStop, status).error, svcerr::kServiceNotActive);

    std::unique_ptr<InstalledService> again;
    ASSERT_TRUE(manager->openService(config.name, again).ok());
    again.reset();
    ASSERT_TRUE(service->remove().ok());
    service.reset();
    EXPECT_EQ(manager->openService(config.name, again).error, svcerr::kServiceDoesNotExist);
    EXPECT_EQ(manager->openService("KronelNoSuchService", again).error,
              svcerr::kServiceDoesNotExist);
}

TEST(Win32ServiceManager, OwnPathMustFitTheBufferWithItsZero) {
    std::string path;
    ASSERT_TRUE(ownExecutablePath(path, 4096).ok());
    EXPECT_EQ(fs::path(path).filename().string(), "platform_tests.exe");
    std::string again;
    EXPECT_TRUE(ownExecutablePath(again, path.size() + 1).ok());
    EXPECT_EQ(again, path);
    EXPECT_FALSE(ownExecutablePath(again, path.size()).ok());
    EXPECT_TRUE(again.empty());
}

TEST(Win32ServiceManager, SystemFilesAreNamedWithoutAPath) {
    std::string directory = systemDirectory();
    for (char& c : directory) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(fs::path(directory).filename().string(), "system32");
    EXPECT_FALSE(deleteSystemFile("..\\win.ini").ok());
    EXPECT_FALSE(deleteSystemFile("").ok());
    EXPECT_FALSE(deleteSystemFile("C:kronel.cpl").ok());
    EXPECT_FALSE(deleteSystemFile("kronel-no-such-file.cpl").ok());
}

TEST(Win32ConsoleControl, OneHandlerAtATime) {
    ConsoleControlHandler first([] {});
    EXPECT_TRUE(first.installed());
    {
        ConsoleControlHandler second([] {});
        EXPECT_FALSE(second.installed());
    }
    EXPECT_TRUE(first.installed());
}

TEST(Win32DialupWatcher, TheRemoteAccessLibraryIsThereWithNoConnectionUp) {
    // Every Windows has rasapi32; the test machines have no dial-up connection.
    const DialupWatcher watcher;
    EXPECT_TRUE(watcher.available());
    EXPECT_FALSE(watcher.connected());
    const DialupWatcher copy = watcher;
    EXPECT_TRUE(copy.available());
}

TEST(Win32DialupWatcher, ListsTheSystemsInterfaces) {
    const auto interfaces = listNetworkInterfaces();
    ASSERT_TRUE(interfaces.has_value());
    bool anyUp = false;
    for (const NetworkInterface& i : *interfaces) {
        EXPECT_FALSE(i.name.empty());
        anyUp = anyUp || i.up;
    }
    EXPECT_TRUE(anyUp);  // loopback at least
}

#endif  // _WIN32
