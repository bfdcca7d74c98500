// wispsvc.ini as people edit it: every line that can be read counts, the others are named and
// skipped, and a value may carry a "; comment".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WispTestSupport.h"
#include "wisp/IniFile.h"
#include "wisp/WispSettings.h"

TEST(WispSettings, ReadsEveryLineItCanAndNamesTheLinesItSkips) {
    struct Row {
        const char* what;
        std::string text;
        int server;
        int maxStep;
        std::vector<std::string> warnings;
    };
    const Row rows[] = {
        {"empty", "", 0, 0, {}},
        {"a sender", "[WISPSVC]\nserver=1\n", 1, 0, {}},
        {"comments after values and a header, CRLF",
         "; wisp\r\n# settings\r\n[WISPSVC] ; this program\r\nserver = 1 ; send\r\n"
         "maxstep=60\t; a minute\r\n",
         1,
         60,
         {}},
        {"names without regard to case, first value",
         "[other]\nserver=1\n[wispsvc]\nSERVER=2\n"
         "Server=3\nMaxStep=5\n",
         2,
         5,
         {}},
        {"a line that is not text",
         "[WISPSVC]\nserver=1\n\x01garbage\n",
         1,
         0,
         {"Warning: wispsvc.ini line 3 skipped (not text)"}},
        {"lines that are no settings",
         "[WISPSVC]\nnonsense\n=2\n[]\nserver=1\nmaxstep=7\n",
         1,
         7,
         {"Warning: wispsvc.ini line 2 skipped (neither a section nor a key=value line)",
          "Warning: wispsvc.ini line 3 skipped (a value without its key)",
          "Warning: wispsvc.ini line 4 skipped (section header without its name or ']')"}},
        {"a header without its ']'",
         "[WISPSVC\nserver=1\n",
         1,
         0,
         {"Warning: wispsvc.ini line 1 has no ']' and is read as [WISPSVC]"}},
        {"a ';' inside a value is no comment",
         "[WISPSVC]\nserver=1;2\n",
         0,
         0,
         {"Warning: wispsvc.ini: server=1;2 is not a number; using server=0"}},
        {"a negative maxstep",
         "[WISPSVC]\nserver=1\nmaxstep=-5\n",
         1,
         0,
         {"Warning: wispsvc.ini: maxstep=-5 is not a number of 0 or more; using maxstep=0"}},
        {"no settings file",
         std::string(wisp::IniFile::kMaxSize + 1, ' '),
         0,
         0,
         {"Warning: wispsvc.ini is malformed (larger than a settings file); using server=0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        wisptest::RecordingConsole console;
        const wisp::WispSettings settings =
            wisp::settingsFromText(row.text, "wispsvc.ini", console);
        EXPECT_EQ(settings.server, row.server);
        EXPECT_EQ(settings.maxStep, row.maxStep);
        EXPECT_EQ(console.lines(), row.warnings);
    }
}
