#pragma once
// A name server that takes every query and never answers, for tests of what a lookup does
// while it hangs. It lives on 127.0.0.1:53 of a network namespace of its own, where
// /etc/resolv.conf is replaced for that namespace alone, so the machine's resolver is never
// touched. Needs root (unshare, ip, mount), as the other namespace tests do.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/ChildProcess.h"
#include "platform/Socket.h"
#include "support/TestSupport.h"

namespace testsupport {

// A host name that only a name server can answer (it is in no hosts file).
inline constexpr const char* kSilentlyResolvedName = "time.kronel-silent.test";

// In a test body: false in the test's own process, after the test has run again inside the
// namespace (and its result is checked); true inside, with the silent server listening.
//     if (!testsupport::insideSilentNameServer()) return;
inline bool insideSilentNameServer() {
    constexpr const char* kInside = "KRONEL_SILENT_NAMESERVER";
    if (std::getenv(kInside) != nullptr) {
        // Bound and never read: queries queue up unanswered, and no "port unreachable" tells
        // the resolver to give up early.
        static const std::unique_ptr<platform::Socket> server = [] {
            auto s = std::make_unique<platform::Socket>();
            EXPECT_TRUE(s->open(platform::Socket::Type::Udp).ok());
            EXPECT_TRUE(s->bind({*platform::parseDottedIPv4("127.0.0.1"), 53}).ok());
            return s;
        }();
        return true;
    }
    const TempDir dir("kronel-silent-dns-");
    const std::string resolvConf = dir.file("resolv.conf");
    writeFile(resolvConf, "nameserver 127.0.0.1\n");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    platform::ChildProcess child;
    platform::ChildProcess::Options options;
    options.searchPath = true;
    options.setEnvironment = {{kInside, "1"}};
    EXPECT_TRUE(child
                    .start("unshare",
                           {"--net", "--mount", "--", "sh", "-c",
                            "ip link set lo up && mount --bind \"$0\" /etc/resolv.conf && "
                            "exec \"$@\"",
                            resolvConf, self, filter},
                           options)
                    .ok());
    int exitCode = -1;
    EXPECT_TRUE(child.wait(platform::Millis(120000), exitCode));
    EXPECT_EQ(exitCode, 0) << child.output() << child.errors();
    // A filter that matched nothing would pass without testing anything.
    EXPECT_NE(child.output().find("[  PASSED  ] 1 test."), std::string::npos) << child.output();
    return false;
}

}  // namespace testsupport
#endif
