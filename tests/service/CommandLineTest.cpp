#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

using namespace service;

namespace {

Verb verbOf(std::initializer_list<const char*> arguments) {
    std::vector<const char*> argv{"kronelsvc"};
    argv.insert(argv.end(), arguments);
    return parseVerb(static_cast<int>(argv.size()), argv.data());
}

bool consoleDebugOf(std::initializer_list<const char*> arguments) {
    std::vector<const char*> argv{"kronelsvc"};
    argv.insert(argv.end(), arguments);
    return consoleDebugRequested(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(CommandLine, NoArgumentRunsTheService) {
    EXPECT_EQ(verbOf({}), Verb::RunService);
}

TEST(CommandLine, AddMustBeLowerCase) {
    EXPECT_EQ(verbOf({"add"}), Verb::Add);
    EXPECT_EQ(verbOf({"Add"}), Verb::Usage);
    EXPECT_EQ(verbOf({"ADD"}), Verb::Usage);
}

TEST(CommandLine, RemoveCleanupAndDebugIgnoreCase) {
    for (const char* spelling : {"remove", "REMOVE", "Remove", "rEmOvE"}) {
        EXPECT_EQ(verbOf({spelling}), Verb::Remove) << spelling;
    }
    for (const char* spelling : {"cleanup", "Cleanup", "CLEANUP"}) {
        EXPECT_EQ(verbOf({spelling}), Verb::Cleanup) << spelling;
    }
    for (const char* spelling : {"debug", "Debug", "DEBUG"}) {
        EXPECT_EQ(verbOf({spelling}), Verb::Debug) << spelling;
    }
}

TEST(CommandLine, AnythingElsePrintsTheUsage) {
    for (const char* argument : {"", "install", "debugx", "-debug", "remove ", "clean-up", "a"}) {
        EXPECT_EQ(verbOf({argument}), Verb::Usage) << '"' << argument << '"';
    }
}

TEST(CommandLine, OnlyTheFirstArgumentCounts) {
    EXPECT_EQ(verbOf({"add", "remove"}), Verb::Add);
    EXPECT_EQ(verbOf({"nonsense", "add"}), Verb::Usage);
}

TEST(CommandLine, ConsoleDebugFlagOnlyForDebugInLowerCase) {
    EXPECT_TRUE(consoleDebugOf({"debug"}));
    EXPECT_FALSE(consoleDebugOf({"Debug"}));
    EXPECT_FALSE(consoleDebugOf({"DEBUG"}));
    EXPECT_FALSE(consoleDebugOf({}));
    EXPECT_FALSE(consoleDebugOf({"add", "debug"}));
}

TEST(CommandLine, UsageIsThreeLinesNamingTheProgram) {
    EXPECT_EQ(usageText(),
              "kronelsvc add              to install the service\n"
              "kronelsvc remove           to remove the service\n"
              "kronelsvc debug            to run as a console application for debugging\n");
}

TEST(CommandLine, OnlyTheServiceRunExitsWithZero) {
    EXPECT_EQ(exitCodeOf(Verb::RunService), 0);
    for (Verb verb : {Verb::Add, Verb::Remove, Verb::Cleanup, Verb::Debug, Verb::Usage}) {
        EXPECT_EQ(exitCodeOf(verb), 1);
    }
}

TEST(CommandLine, CaseFoldingIsAsciiOnly) {
    EXPECT_TRUE(equalsIgnoringCase("ReMoVe", "remove"));
    EXPECT_FALSE(equalsIgnoringCase("remove", "removes"));
    EXPECT_FALSE(equalsIgnoringCase("r\xc3\xa9move", "R\xc3\x89MOVE"));
}
