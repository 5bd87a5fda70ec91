// Tool output the stand-in does not give: a scripted ./tarvo replays prepared files byte for
// byte, so the adapter count and the ID query meet odd but possible output.

#include "harness.h"
#include "texts.h"

#include <string>
#include <vector>

namespace {

using namespace e2e;

const std::string KEY = "PCI SubSystem DeviceId                 :";

class ToolOutput : public Scratch {
protected:
    // A tool that prints listall.txt for the list-all command and query-N.txt for adapter N's
    // query, logs every call to calls, and logs each update ("N PACKAGE...") to tarvo.log.
    void scriptTool(const std::string &listall, const std::vector<std::string> &queries)
    {
        write("listall.txt", listall);
        for (size_t i = 0; i < queries.size(); i++)
            write("query-" + std::to_string(i + 1) + ".txt", queries[i]);
        writeTool("echo \"$*\" >> calls\n"
                  "case \"$1\" in\n"
                  "-listall) cat listall.txt ;;\n"
                  "-c) if [ \"$3\" = -list ]; then cat \"query-$2.txt\"\n"
                  "    else n=$2; shift 3; echo \"$n $*\" >> tarvo.log; fi ;;\n"
                  "esac\n");
    }
};

TEST_F(ToolOutput, MissingToolLeavesAnEmptyListAndEndsTheRunSilently)
{
    write("info.txt", "0x1111,Alpha,a.bin\n");
    expectRun(run({"info.txt"}), BANNER + listing("info.txt", {"Alpha"}), 231);
    EXPECT_TRUE(exists("list.out"));
    EXPECT_EQ(read("list.out"), "");
    EXPECT_FALSE(exists("ssdid.out"));

    expectRun(run({"info.txt", "DEBUG"}), BANNER + listing("info.txt", {"Alpha"}) + counted(0), 231);
}

TEST_F(ToolOutput, OnlyLinesThatStartWithADigitCountAsAdapters)
{
    write("info.txt", "0x1111,Alpha,a.bin\n");
    const std::string id = "PCI SubSystem DeviceId                 : 0x9999\n";
    scriptTool("Adapters on this machine:\n"
               "\n"
               "1  Model A\n"
               " 2 leading space\n"
               "x3 letter first\n"
               "\t4 tab first\n"
               "2  Model B\n"
               "#5 comment\n"
               "3\n"
               "Found 3 adapter(s).\n",
               {id, id, id});

    std::string expected = BANNER + listing("info.txt", {"Alpha"}) + counted(3) + ENTERING;
    for (int i = 1; i <= 3; i++)
        expected += querying(i, true) + identified("0x9999", true) + uncovered(i);
    expectRun(run({"info.txt", "DEBUG"}), expected + EXITING, 1);
    EXPECT_EQ(read("calls"), "-listall\n-c 1 -list\n-c 2 -list\n-c 3 -list\n");
}

TEST_F(ToolOutput, CountsOf999AndMoreEndTheRunBeforeAnyAdapterIsTouched)
{
    write("info.txt", "0x1111,Alpha,a.bin\n");
    for (int adapters : {999, 1000, 1200}) {
        SCOPED_TRACE(adapters);
        std::string list = "Adapters on this machine:\n\n";
        for (int i = 1; i <= adapters; i++)
            list += std::to_string(i) + "  Model\n";
        scriptTool(list + "Found " + std::to_string(adapters) + " adapter(s).\n", {});
        write("calls", "");

        // 999 is the count's failure value itself: no word of its own.
        const std::string limit = adapters == 999 ? "" :
            "ERROR: " + std::to_string(adapters) +
            " adapters found; at most 999 are supported. No adapter is updated.\n\n";
        expectRun(run({"info.txt"}), BANNER + listing("info.txt", {"Alpha"}) + limit, 231);
        expectRun(run({"info.txt", "DEBUG"}),
                  BANNER + listing("info.txt", {"Alpha"}) + counted(adapters) + limit, 231);
        EXPECT_EQ(read("calls"), "-listall\n-listall\n");
        EXPECT_FALSE(exists("ssdid.out"));
    }
}

// One adapter whose query output is given; id is what the program must take from it, "" when
// it must find none.
struct Query {
    const char *what;
    std::string output;
    std::string id;
};

TEST_F(ToolOutput, TheIdIsTakenFromTheFirstLineWithTheExactKey)
{
    const std::vector<Query> queries = {
        {"key at line start", "Adapter #1\n" + KEY + " 0xA1\nFirmware : 2.1\n", "0xA1"},
        {"text before the key", "[c0] " + KEY + "   0xA1\n", "0xA1"},
        {"blanks and tabs before the value", KEY + " \t \t0xA1   \n", "0xA1"},
        {"spaces inside the value", KEY + " 0xB2 rev 3\n", "0xB2 rev 3"},
        {"only the first key line", KEY + " 0xC3\n" + KEY + " 0xA1\n", "0xC3"},
        {"no line end after the value", "x\n" + KEY + " 0xA1", "0xA1"},
        {"longer than nine characters", KEY + " 0x1111222233334444\n", "0x1111222233334444"},
        {"nine characters", KEY + " 0x1111222\n", "0x1111222"},
        {"key with one space fewer", "PCI SubSystem DeviceId                : 0xA1\n", ""},
        {"key in other letter case", "PCI Subsystem DeviceId                 : 0xA1\n", ""},
        {"key without the colon", "PCI SubSystem DeviceId                  0xA1\n", ""},
        {"key ending the line", KEY + "\n" + "0xA1\n", ""},
        {"nothing but blanks after the key", KEY + " \t\n", ""},
        {"no output at all", "", ""},
    };
    // The nine-character record comes first: a cut ID would take its package.
    write("info.txt",
          "0x1111222,Nine,nine.bin\n"
          "0x1111222233334444,Long,long.bin\n"
          "0xA1,Alpha,a.bin\n"
          "0xB2 rev 3,Beta,b.bin\n"
          "0xC3,Gamma,c.bin\n");
    const std::string head = BANNER + listing("info.txt", {"Nine", "Long", "Alpha", "Beta", "Gamma"}) +
                             ENTERING + querying(1, false);
    const std::vector<std::vector<std::string>> records = {
        {"0x1111222", "Nine", "nine.bin"},
        {"0x1111222233334444", "Long", "long.bin"},
        {"0xA1", "Alpha", "a.bin"},
        {"0xB2 rev 3", "Beta", "b.bin"},
        {"0xC3", "Gamma", "c.bin"},
    };

    for (const Query &query : queries) {
        SCOPED_TRACE(query.what);
        scriptTool("1  Model\n", {query.output});
        write("tarvo.log", "");
        if (query.id.empty()) {
            expectRun(run({"info.txt"}), head + unidentified(1) + EXITING, 1);
            EXPECT_EQ(read("tarvo.log"), "");
            continue;
        }
        const std::vector<std::string> *record = nullptr;
        for (const auto &r : records) {
            if (r[0] == query.id)
                record = &r;
        }
        ASSERT_NE(record, nullptr);
        expectRun(run({"info.txt"}),
                  head + identified(query.id, false) +
                      updating(1, (*record)[1], (*record)[2], 0, false) + EXITING,
                  0);
        EXPECT_EQ(read("tarvo.log"), "1 " + (*record)[2] + "\n");
    }
}

TEST_F(ToolOutput, AdapterWhoseConfigFileVanishedIsNotUpdatedWithThePreviousId)
{
    write("info.txt", "0xA1,Alpha,a.bin\n");
    scriptTool("1  Model\n2  Model\n", {KEY + " 0xA1\n", KEY + " 0xA1\n"});
    // The shell has opened ssdid.out before the tool runs; removing it leaves nothing to read.
    writeTool("case \"$1\" in\n"
              "-listall) cat listall.txt ;;\n"
              "-c) if [ \"$3\" = -list ]; then cat \"query-$2.txt\"; [ \"$2\" = 2 ] && rm -f ssdid.out\n"
              "    else n=$2; shift 3; echo \"$n $*\" >> tarvo.log; fi ;;\n"
              "esac\n"
              "exit 0\n");

    expectRun(run({"info.txt", "DEBUG"}),
              BANNER + listing("info.txt", {"Alpha"}) + counted(2) + ENTERING +
                  querying(1, true) + identified("0xA1", true) +
                  updating(1, "Alpha", "a.bin", 0, true) +
                  querying(2, true) +
                  "ERROR: Could not open config file... adapter 2 config not found!\n\n" +
                  unidentified(2) + EXITING,
              1);
    EXPECT_EQ(read("tarvo.log"), "1 a.bin\n");
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
    write("listall.txt", "1  Model\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writeTool("case \"$1 $3\" in\n"
                  "'-listall ') cat listall.txt ;;\n"
                  "'-c -list') echo '" + KEY + " 0xA1'; " + c.onQuery + " ;;\n"
                  "*) if [ \"$(cat /proc/$PPID/comm)\" = sh ]; then kill -KILL $PPID; else exit 99; fi ;;\n"
                  "esac\n");
        expectRun(run({"info.txt"}),
                  BANNER + listing("info.txt", {"Alpha"}) + ENTERING + querying(1, false) +
                      identified("0xA1", false) + updating(1, "Alpha", "a.bin", c.rawStatus, false) + EXITING,
                  c.status);
    }
}

}  // namespace
