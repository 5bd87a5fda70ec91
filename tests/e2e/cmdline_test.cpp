// Command line and info-file stage, seen from outside: everything a run prints before the tool
// is asked about adapters.

#include "harness.h"
#include "texts.h"

#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using e2e::BANNER;
using e2e::USAGE;
using e2e::expectRun;
using e2e::listing;

const std::string OPEN_ERROR = "ERROR: Could not open adapter info file... controller info not found!\n\n";

// Leaves a mark for every call, so that a test can tell whether the program ran any tool command.
const std::string MARKING_TOOL = "echo \"$*\" >> calls\n";

class CommandLine : public e2e::Scratch {
protected:
    void SetUp() override
    {
        Scratch::SetUp();
        write("info.txt", "0x1111,Alpha,a.bin\n");
        writeTool(MARKING_TOOL);
    }
};

TEST_F(CommandLine, EveryRejectedArgumentListGetsBannerAndUsage)
{
    const std::vector<std::vector<std::string>> rejected = {
        {},
        {"info.txt", "debug"},
        {"info.txt", "Debug"},
        {"info.txt", "DEBUGX"},
        {"info.txt", "DEBUG "},
        {"info.txt", " DEBUG"},
        {"info.txt", "DEBU"},
        {"info.txt", ""},
        {"info.txt", "info.txt"},
        {"info.txt", "DEBUG", "DEBUG"},
        {"info.txt", "DEBUG", "x"},
        {"a", "b", "c", "d"},
        // The option words only in the forms they have.
        {"--dry-run"},
        {"--dry-run", "info.txt", "debug"},
        {"--dry-run", "info.txt", "DEBUG", "x"},
        {"info.txt", "--dry-run"},
        {"--help", "DEBUG"},
        {"-h", "info.txt"},
        {"--version", "DEBUG"},
        {"--help", "--version"},
    };
    for (const auto &args : rejected) {
        std::string shown;
        for (const std::string &arg : args)
            shown += " [" + arg + "]";
        SCOPED_TRACE("arguments:" + shown);
        expectRun(run(args), BANNER + USAGE, 1);
        EXPECT_FALSE(exists("calls")) << "a tool command ran";
        EXPECT_FALSE(exists("list.out"));
        std::remove(path("calls").c_str());
        std::remove(path("list.out").c_str());
    }
}

TEST_F(CommandLine, HelpAndVersionRunNothing)
{
    const std::string help = BANNER + USAGE +
                             "Optional words (the options before the info file):\n"
                             "    DEBUG             after the info file: print extra lines on each step\n"
                             "    --dry-run         query the adapters and show each update command without\n"
                             "                      running it\n"
                             "    --report FILE     also --report=FILE: write a JSON account of the run to FILE\n"
                             "    --checksums FILE  also --checksums=FILE: first check every update package\n"
                             "                      against the SHA-256 lines of FILE\n"
                             "    --verify          query each updated adapter again: it must answer with its ID\n"
                             "    --history         alone: show the runs on record in this directory\n"
                             "    --help, -h        this text\n"
                             "    --version         the program's version\n"
                             "    --                end the options: the next word is the info file; name a\n"
                             "                      FILE that begins with '-' as ./-name\n"
                             "\n"
                             "Run it in the directory that holds the adapter tool ./tarvo. See orvTQupdate(8).\n";
    expectRun(run({"--help"}), help, 0);
    expectRun(run({"-h"}), help, 0);
    expectRun(run({"--version"}), BANNER + "orvTQupdate 1.46\n", 0);
    EXPECT_FALSE(exists("calls")) << "a tool command ran";
}

TEST_F(CommandLine, UnknownOptionWordsAreUsageErrors)
{
    const auto unknown = [](const std::string &word) { return "ERROR: Unknown option " + word + "; see orvTQupdate --help.\n"; };
    const auto valueless = [](const std::string &name) { return "ERROR: Option " + name + " needs a file name; see orvTQupdate --help.\n"; };
    // Where an option may stand: before the info file. Abbreviations and clusters are not words.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-v"}, unknown("-v")},
        {{"-V"}, unknown("-V")},
        {{"--verbose"}, unknown("--verbose")},
        {{"--bogus"}, unknown("--bogus")},
        {{"--bogus", "info.txt"}, unknown("--bogus")},
        {{"--dry", "info.txt"}, unknown("--dry")},
        {{"-hh"}, unknown("-hh")},
        {{"--help=1"}, unknown("--help=1")},
        {{"--reports=r.json", "info.txt"}, unknown("--reports=r.json")},
        {{"--dry-run", "-x", "info.txt"}, unknown("-x")},
        {{"--dry-run", "--bogus", "info.txt", "DEBUG"}, unknown("--bogus")},
        {{"--report"}, valueless("--report")},
        {{"--report=", "info.txt"}, valueless("--report")},
        {{"--checksums"}, valueless("--checksums")},
        {{"--checksums=", "info.txt"}, valueless("--checksums")},
        // A value that is no file name: a forgotten name must not swallow the next option.
        {{"--report", "--dry-run", "info.txt"}, valueless("--report")},
        {{"--report", "-", "info.txt"}, valueless("--report")},
        {{"--report=-x", "info.txt"}, valueless("--report")},
        {{"--checksums", "-x", "info.txt"}, valueless("--checksums")},
        {{"--checksums", "--", "info.txt"}, valueless("--checksums")},
        // The word after --report is its value, whatever else it reads: no info file is left.
        {{"--report", "info.txt"}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        expectRun(run(c.first), BANNER + c.second + USAGE, 1);
        EXPECT_FALSE(exists("calls")) << "a tool command ran";
        EXPECT_FALSE(exists("info.txt.json"));
        EXPECT_FALSE(exists("--dry-run"));
        EXPECT_FALSE(exists("-"));
    }
}

TEST_F(CommandLine, InfoFileAndDebugAfterTheOptions)
{
    write("DEBUG", "0x2222,Named Debug,d.bin\n");
    write("-odd-name", "0x3333,Odd,o.bin\n");
    writeTool("");  // lists no adapter: the run ends after the info file
    struct Case {
        std::vector<std::string> args;
        std::string console;  // after the banner
    };
    const std::vector<Case> cases = {
        // A single argument is the info file, whatever it reads; without the debug flag the
        // count line stays away.
        {{"DEBUG"}, listing("DEBUG", {"Named Debug"})},
        {{"DEBUG", "DEBUG"}, listing("DEBUG", {"Named Debug"}) + e2e::counted(0)},
        {{"info.txt", "DEBUG"}, listing("info.txt", {"Alpha"}) + e2e::counted(0)},
        {{"--", "-odd-name"}, listing("-odd-name", {"Odd"})},
        {{"--", "info.txt", "DEBUG"}, listing("info.txt", {"Alpha"}) + e2e::counted(0)},
        {{"-"}, "Update file:  -.\n\n" + OPEN_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.front());
        expectRun(run(c.args), BANNER + c.console, 231);
    }
}

TEST_F(CommandLine, InfoFileThatDoesNotOpenEndsTheRunBeforeAnyToolCommand)
{
    ASSERT_EQ(mkdir(path("folder.txt").c_str(), 0755), 0);
    write("locked.txt", "0x1111,Alpha,a.bin\n");
    ASSERT_EQ(chmod(path("locked.txt").c_str(), 0), 0);
    const bool root = geteuid() == 0;

    // A FIFO without a writer, or a device, would hold the run for ever or feed it without end.
    ASSERT_EQ(mkfifo(path("fifo.txt").c_str(), 0644), 0);
    const std::vector<std::string> unreadable = {"missing.txt", "folder.txt", "locked.txt", "no/such/dir.txt",
                                                 "fifo.txt", "/dev/zero"};
    for (const std::string &info : unreadable) {
        if (info == "locked.txt" && root)
            continue;  // permissions do not stop the superuser
        SCOPED_TRACE(info);
        expectRun(run({info}), BANNER + "Update file:  " + info + ".\n\n" + OPEN_ERROR, 231);
        expectRun(run({info, "DEBUG"}), BANNER + "Update file:  " + info + ".\n\n" + OPEN_ERROR, 231);
        EXPECT_FALSE(exists("calls")) << "a tool command ran";
        EXPECT_FALSE(exists("list.out"));
    }
}

}  // namespace
