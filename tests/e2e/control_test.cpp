// Runs as operators really start and stop them: a second run in the same directory, Ctrl-C and
// SIGTERM in the middle of a flash, signal states inherited from nohup or a job runner, and a
// report that goes to a file while the tool works.

#include "harness.h"
#include "texts.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace e2e;

const std::string INFO = "0x1111,Alpha,a.bin\n0x2222,Beta,b.bin\n";
const std::string HEAD = BANNER + listing("info.txt", {"Alpha", "Beta"});

std::string stopped(int sig)
{
    return "ERROR: Stopped by signal " + std::to_string(sig) + "; no further adapter is updated.\n\n";
}

class Control : public Scratch {
protected:
    void SetUp() override
    {
        Scratch::SetUp();
        copyTool();
        write("a.bin", "package\n");
        write("b.bin", "package\n");
        write("info.txt", INFO);
    }
};

TEST_F(Control, SecondRunInTheSameDirectoryIsRefusedBeforeAnyToolCommand)
{
    write("tarvo-machine.txt", "0x1111, A\n");
    for (const char *file : {"list.out", "ssdid.out", "result.out"})
        write(file, "earlier run\n");
    // util-linux flock holds the directory, as another run would, until its input closes.
    FILE *holder = popen(("cd '" + path("") + "' && flock . sh -c 'touch held; exec cat >/dev/null'").c_str(), "w");
    ASSERT_NE(holder, nullptr);
    ASSERT_TRUE(waitFor("held"));
    expectRun(run({"info.txt"}),
              HEAD + "ERROR: Another orvTQupdate run is using this directory; no adapter is updated.\n\n", 231);
    pclose(holder);
    EXPECT_FALSE(exists("tarvo.log"));
    for (const char *file : {"list.out", "ssdid.out", "result.out"})
        EXPECT_EQ(read(file), "earlier run\n") << file;

    // Released, the directory is free for the next run.
    expectRun(run({"info.txt"}), HEAD + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + EXITING, 0);
}

TEST_F(Control, StopRequestsLetTheUpdateInProgressFinishAndStartNothingMore)
{
    struct Case {
        const char *what;
        Signals signals;
        std::string console;  // after the listing
        int status;
        std::string log;
    };
    // Adapter 1's update is slow enough to be signalled while it runs: the tool logs it first.
    write("tarvo-machine.txt", "0x1111, A, ms=1500\n0x2222, B\n");
    const std::string both = ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + updated(2, "0x2222", "Beta", "b.bin") + EXITING;
    const std::vector<Case> cases = {
        {"Ctrl-C: the tool dies with the group, the program starts nothing more",
         {{}, SIGINT, "tarvo.log", true},
         ENTERING + updated(1, "0x1111", "Alpha", "a.bin", SIGINT) + stopped(SIGINT) + EXITING, 128 + SIGINT,
         "1 0x1111 a.bin\n"},
        {"SIGTERM to the program alone: the flash completes and is reported",
         {{}, SIGTERM, "tarvo.log", false},
         ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + stopped(SIGTERM) + EXITING, 128 + SIGTERM,
         "1 0x1111 a.bin\n"},
        {"SIGHUP ignored at start, as under nohup, then a hangup", {{SIGHUP}, SIGHUP, "tarvo.log", true}, both, 0,
         "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
        {"SIGCHLD ignored at start", {{SIGCHLD}, 0, "", true}, both, 0, "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(path("tarvo.log").c_str());
        expectRun(run({"info.txt"}, Stdout::Captured, false, c.signals), HEAD + c.console, c.status);
        EXPECT_EQ(read("tarvo.log"), c.log);
    }
}

TEST_F(Control, ReportIsWrittenOutBeforeEveryToolCommand)
{
    // The tool copies the program's report, a file here, while it updates.
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') echo '1  A' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x1111' ;;\n"
              "*) cp '" + stdoutPath() + "' seen.txt ;;\n"
              "esac\n");
    expectRun(run({"info.txt"}), HEAD + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + EXITING, 0);
    const std::string full = updated(1, "0x1111", "Alpha", "a.bin");
    EXPECT_EQ(read("seen.txt"), HEAD + ENTERING + full.substr(0, full.find("Update of adapter")));
}

}  // namespace
