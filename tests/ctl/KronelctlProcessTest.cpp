// The built kronelctl, run as a whole against a store of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/CReg.h"
#include "platform/ChildProcess.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const std::string kProgram = KRONEL_BINARY_DIR "/ctl/kronelctl";

struct Outcome {
    int exitCode = -1;
    std::string output;
    std::string errors;
};

class Kronelctl : public ::testing::Test {
protected:
    testsupport::TempStore store_;

    Outcome run(const std::vector<std::string>& arguments) {
        platform::ChildProcess child;
        platform::ChildProcess::Options options;
        options.setEnvironment = {{"KRONEL_REGISTRY", store_.path()}};
        Outcome result;
        EXPECT_TRUE(child.start(kProgram, arguments, options).ok()) << kProgram;
        EXPECT_TRUE(child.wait(platform::Millis{10000}, result.exitCode));
        result.output = child.output();
        result.errors = child.errors();
        return result;
    }
    std::string file(const std::string& name) const { return (store_.dir() / name).string(); }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

}  // namespace

TEST_F(Kronelctl, RoundTripsAServerListThroughExportAndImport) {
    ASSERT_EQ(run({"servers", "add", "--addr", "10.0.0.1", "--protocol", "0", "--rejectntp", "0"})
                  .exitCode,
              0);
    ASSERT_EQ(run({"servers", "add", "--name", "web", "--addr", "www.example.org", "--protocol",
                   "3", "--useproxy", "1"})
                  .exitCode,
              0);
    ASSERT_EQ(
        run({"servers", "add", "--name", "day", "--addr", "127.0.0.1", "--protocol", "7"}).exitCode,
        0);
    const std::string listed = run({"servers", "list"}).output;
    EXPECT_EQ(listed,
              "10.0.0.1\t10.0.0.1\t0\t0\t0\tNever\n"
              "web\twww.example.org\t3\t1\t1\tNever\n"
              "day\t127.0.0.1\t7\t0\t1\tNever\n");
    const std::string exported = file("list.txt");
    ASSERT_EQ(run({"servers", "export", exported}).exitCode, 0);
    EXPECT_EQ(read(exported),
              "10.0.0.1|10.0.0.1|0|0|0\r\nweb|www.example.org|3|1|1\r\nday|127.0.0.1|7|0|1\r\n");

    const Outcome deleted = run({"servers", "delete-all", "--yes"});
    EXPECT_EQ(deleted.exitCode, 0);
    EXPECT_EQ(run({"servers", "list"}).output, "");
    ASSERT_EQ(run({"servers", "import", exported, "--yes"}).exitCode, 0);
    EXPECT_EQ(run({"servers", "list"}).output, listed);

    // No to the question keeps the old servers after the imported ones.
    std::ofstream(file("one.txt"), std::ios::binary) << "x|10.9.9.9|1|0|1\r\n";
    ASSERT_EQ(run({"servers", "import", file("one.txt"), "--no"}).exitCode, 0);
    EXPECT_THAT(run({"servers", "list"}).output,
                StartsWith("x\t10.9.9.9\t1\t0\t1\tNever\n10.0.0.1"));
}

TEST_F(Kronelctl, EditsDeletesAndRestoresTheDefaultsInTheChosenStore) {
    ASSERT_EQ(run({"servers", "add", "--name", "a", "--addr", "10.0.0.1"}).exitCode, 0);
    ASSERT_EQ(run({"servers", "edit", "a", "--name", "b", "--protocol", "2"}).exitCode, 0);
    EXPECT_EQ(run({"servers", "list"}).output, "b\t10.0.0.1\t2\t0\t1\tNever\n");
    // --user is the desktop program's store, which has none of the service's servers.
    EXPECT_EQ(run({"--user", "servers", "list"}).output, "");
    ASSERT_EQ(run({"--user", "servers", "restore-defaults", "--yes"}).exitCode, 0);
    EXPECT_EQ(run({"--user", "servers", "list"}).output,
              "0.pool.ntp.org\t0.pool.ntp.org\t0\t0\t1\tNever\n"
              "1.pool.ntp.org\t1.pool.ntp.org\t0\t0\t1\tNever\n"
              "2.pool.ntp.org\t2.pool.ntp.org\t0\t0\t1\tNever\n");
    const Outcome verbose = run({"--verbose", "servers", "delete", "b"});
    EXPECT_EQ(verbose.exitCode, 0);
    EXPECT_THAT(verbose.errors, HasSubstr("Debug: Kronel Delete server b"));
    const Outcome kept = run({"--user", "servers", "delete-all", "--no"});
    EXPECT_EQ(kept.output, "Nothing deleted.\n");
    EXPECT_THAT(run({"--user", "servers", "list"}).output, HasSubstr("2.pool.ntp.org"));
}

TEST_F(Kronelctl, StatusShowsTheFourValuesAndEachServerAsTextAndJson) {
    {
        engine::CReg params(engine::kServiceParametersKey);
        ASSERT_TRUE(params.writeText("LastDelta", "-0.250 seconds").ok());
        ASSERT_TRUE(params.writeText("TimeSource", "clock \"one\"").ok());
        engine::CReg entry(std::string(engine::kServiceParametersKey) +
                           "\\Server Details\\clock \"one\"");
        ASSERT_TRUE(entry.writeText("addr", "10.0.0.1").ok());
        ASSERT_TRUE(entry.writeText("info", "2026/12/08 14:00:00.00").ok());
    }
    const Outcome text = run({"status"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.output,
              "LastDelta: -0.250 seconds\nLastContact: Never\nTimeSource: clock \"one\"\n"
              "Drift: Unknown\nServers:\n"
              "  clock \"one\" (10.0.0.1, protocol 0): 2026/12/08 14:00:00.00\n");
    const Outcome json = run({"status", "--json"});
    EXPECT_EQ(json.output,
              "{\"LastDelta\":\"-0.250 seconds\",\"LastContact\":\"Never\","
              "\"TimeSource\":\"clock \\\"one\\\"\",\"Drift\":\"Unknown\",\"servers\":["
              "{\"name\":\"clock \\\"one\\\"\",\"addr\":\"10.0.0.1\",\"protocol\":0,"
              "\"info\":\"2026/12/08 14:00:00.00\"}]}\n");
}

TEST_F(Kronelctl, GetsAndSetsSettingsAndNamesWhatWasWrong) {
    EXPECT_EQ(run({"get", "Frequency"}).output, "120\n");
    EXPECT_EQ(run({"set", "Frequency", "30"}).exitCode, 0);
    EXPECT_EQ(run({"get", "frequency"}).output, "30\n");
    EXPECT_EQ(run({"get", "AlertTimeout"}).output, "120\n");
    EXPECT_EQ(run({"--user", "get", "Frequency"}).output, "120\n");
    EXPECT_EQ(run({"set", "Logfile", "/tmp/kronel log.txt"}).exitCode, 0);
    EXPECT_EQ(run({"get", "Logfile"}).output, "/tmp/kronel log.txt\n");
    EXPECT_EQ(run({"set", "MailDomain", "example.org"}).exitCode, 0);
    EXPECT_EQ(run({"get", "MailDomain"}).output, "example.org\n");

    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        const char* error;
    };
    const Case cases[] = {
        {{}, 2, "kronelctl: no command given"},
        {{"frobnicate"}, 2, "kronelctl: unknown command 'frobnicate'"},
        {{"--colour", "status"}, 2, "kronelctl: unknown option '--colour'"},
        {{"servers"}, 2, "kronelctl: servers needs a subcommand"},
        {{"servers", "shuffle"}, 2, "kronelctl: unknown servers command 'shuffle'"},
        {{"servers", "add"}, 2, "kronelctl: servers add needs --addr"},
        {{"servers", "add", "--addr", "h", "--protocol", "x"},
         2,
         "kronelctl: --protocol takes a whole number, not 'x'"},
        {{"servers", "add", "--addr", "h", "--protocol", "25"},
         2,
         "kronelctl: --protocol must be between 0 and 24, not 25"},
        {{"servers", "add", "--addr", "h", "--useproxy", "2"},
         2,
         "kronelctl: --useproxy takes 0 or 1, not 2"},
        {{"servers", "add", "--addr", "a\\b"},
         1,
         "Kronel A server name may not contain a backslash"},
        {{"servers", "add", "--addr", "h", "--name", "a|b"},
         1,
         "Kronel A server name or address may not contain '|' or a line break\n"
         "kronelctl: the server was not added"},
        {{"servers", "edit", "nobody"}, 1, "kronelctl: no server named 'nobody'"},
        {{"servers", "delete", "nobody"}, 1, "kronelctl: no server named 'nobody'"},
        {{"servers", "import", "/nonexistent/list.txt", "--yes"},
         1,
         "kronelctl: could not read '/nonexistent/list.txt'"},
        {{"servers", "export", "/nonexistent/list.txt"},
         1,
         "kronelctl: could not write '/nonexistent/list.txt'"},
        {{"servers", "delete-all", "--yes", "--no"},
         2,
         "kronelctl: --yes and --no cannot both answer"},
        {{"servers", "export"}, 2, "kronelctl: servers export takes 1 argument, not 0"},
        {{"status", "--xml"}, 2, "kronelctl: unknown option '--xml' for status"},
        {{"get", "Nonsense"}, 1, "kronelctl: unknown setting 'Nonsense'"},
        {{"set", "NTPStratum", "16"}, 1, "kronelctl: NTPStratum must be between 0 and 15, not 16"},
        {{"set", "Drift", "1"}, 1, "kronelctl: Drift is a status value the engine writes"},
        {{"set", "Max"}, 2, "kronelctl: set takes 2 arguments, not 1"},
        {{"set", "SMTPToAddr", "ops@example.org\r\nRCPT TO: other@example.net"},
         1,
         "kronelctl: SMTPToAddr cannot hold a line break (CR or LF)"},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.arguments);
        SCOPED_TRACE(c.error);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_THAT(r.errors, StartsWith(c.error));
        EXPECT_EQ(r.output, "");
    }
    EXPECT_EQ(run({"servers", "list"}).output, "");  // nothing was added by the failures
}

TEST_F(Kronelctl, EveryCommandHasItsHelp) {
    const Outcome top = run({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_THAT(top.output, StartsWith("Usage: kronelctl [--user]"));
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"status"},
                                               {"get"},
                                               {"set"},
                                               {"servers"},
                                               {"servers", "list"},
                                               {"servers", "add"},
                                               {"servers", "edit"},
                                               {"servers", "delete"},
                                               {"servers", "delete-all"},
                                               {"servers", "restore-defaults"},
                                               {"servers", "export"},
                                               {"servers", "import"}}) {
        std::vector<std::string> arguments = command;
        arguments.push_back("--help");
        const Outcome r = run(arguments);
        std::string name = command[0] + (command.size() > 1 ? " " + command[1] : "");
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_THAT(r.output, StartsWith("Usage: kronelctl " + name)) << name;
    }
}
