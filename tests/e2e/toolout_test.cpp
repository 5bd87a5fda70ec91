// Tool behaviour the stand-in does not give: a scripted ./tarvo (or none at all) meets the
// program with odd but possible lists and with update commands the shell cannot carry out.

#include "harness.h"
#include "texts.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace e2e;

class ToolOutput : public Scratch {};

TEST_F(ToolOutput, AdapterCountsFromListsOfUpToAMillionLines)
{
    struct Case {
        const char *what;
        std::string list;  // shell commands that print the list
        std::vector<std::string> args;
        std::string console;  // after the listing
        std::string calls;    // the tool's calls after -listall
        int status;
    };
    const auto tooMany = [](const std::string &n) {
        return "ERROR: " + n + " adapters found; at most 999 are supported. No adapter is updated.\n\n";
    };
    const std::vector<Case> cases = {
        // 999 is the count's failure value itself: no word of its own.
        {"999 adapters", "yes '1  Model' | head -n 999", {"info.txt", "DEBUG"}, counted(999), "", 231},
        {"1000 adapters", "yes '1  Model' | head -n 1000", {"info.txt"}, tooMany("1000"), "", 231},
        {"a million adapters", "yes '1  Model' | head -n 1000000", {"info.txt", "DEBUG"},
         counted(1000000) + tooMany("1000000"), "", 231},
        {"two adapters among a million lines", "echo '1  A'; yes 'Model line' | head -n 999998; echo '2  B'",
         {"info.txt", "DEBUG"},
         counted(2) + ENTERING + querying(1, true) + identified("0x9999", true) + uncovered(1) + querying(2, true) +
             identified("0x9999", true) + uncovered(2) + EXITING,
         "-c 1 -list\n-c 2 -list\n", 1},
        // A list cut short by a signal would pass for the whole machine.
        {"list command killed halfway", "echo '1  A'; kill -TERM $$; echo '2  B'", {"info.txt"},
         "ERROR: The adapter list is incomplete: the list command was ended by signal 15.\n\n", "", 231},
        {"list command reporting a signal's 128 + S", "echo '1  A'; exit 137", {"info.txt"},
         "ERROR: The adapter list is incomplete: the list command was ended by signal 9.\n\n", "", 231},
        {"list command ended by Ctrl-C: a stop request", "echo '1  A'; exit 130", {"info.txt"},
         "ERROR: Stopped by signal 2; no further adapter is updated.\n\n", "", 130},
        // A full disk can cut the list in the middle of a line.
        {"list cut short", "printf '1  A\\n2  B'", {"info.txt"},
         "ERROR: The adapter list is incomplete: list.out does not end with a complete line.\n\n", "", 231},
        // A tool that says it failed may have listed only some adapters.
        {"list command failing after one adapter of three", "echo '1  A'; echo 'list incomplete' >&2; exit 1",
         {"info.txt"}, "ERROR: The adapter list is incomplete: the list command exited with status 1.\n\n", "", 231},
        {"list command failing with 193, beyond any signal", "echo '1  A'; exit 193", {"info.txt"},
         "ERROR: The adapter list is incomplete: the list command exited with status 193.\n\n", "", 231},
    };
    write("info.txt", "0x1111,Alpha,a.bin\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeTool("echo \"$*\" >> calls\n"
                  "case \"$1\" in\n"
                  "-listall) " + c.list + " ;;\n"
                  "*) echo '" + ID_KEY + " 0x9999' ;;\n"
                  "esac\n");
        write("calls", "");
        std::remove(path("ssdid.out").c_str());
        expectRun(run(c.args), BANNER + listing("info.txt", {"Alpha"}) + c.console, c.status);
        EXPECT_EQ(read("calls"), "-listall\n" + c.calls);
        if (c.calls.empty()) {
            EXPECT_FALSE(exists("ssdid.out")) << "an adapter was queried";
        }
    }
}

TEST_F(ToolOutput, UpdateCommandsTheShellCouldNotCarryOut)
{
    struct Case {
        const char *what;
        std::string onQuery;  // what the tool does after answering the query
        int rawStatus;
        int status;
    };
    const std::vector<Case> cases = {
        {"tool gone before the update", "rm -f tarvo", 127 * 256, 127},
        {"tool no longer executable", "chmod a-x tarvo", 126 * 256, 126},
        // The shell itself ends by the signal, not the tool under it.
        {"shell killed during the update", "", 9, 128 + 9},
    };
    write("info.txt", "0xA1,Alpha,a.bin\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeTool("case \"$1 $3\" in\n"
                  "'-listall ') echo '1  Model' ;;\n"
                  "'-c -list') echo '" + ID_KEY + " 0xA1'; " + c.onQuery + " ;;\n"
                  "*) if [ \"$(cat /proc/$PPID/comm)\" = sh ]; then kill -KILL $PPID; else exit 99; fi ;;\n"
                  "esac\n");
        expectRun(run({"info.txt"}),
                  BANNER + listing("info.txt", {"Alpha"}) + ENTERING + updated(1, "0xA1", "Alpha", "a.bin", c.rawStatus) +
                      EXITING,
                  c.status);
    }
}

}  // namespace
