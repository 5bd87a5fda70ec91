// Faults around the program rather than in the format of its input: output files that cannot be
// created or replaced, a configuration file lost halfway, huge and random input, a standard
// output that takes nothing, a second run in the same directory, and signals in the middle of a
// flash. In every one the program must end, say so, and update no adapter wrongly.

#include "harness.h"
#include "texts.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const std::string INFO = "0x1111,Alpha,a.bin\n0x2222,Beta,b.bin\n";

// The program's output up to the update pass with the fixture's info file.
std::string listed()
{
    return BANNER + listing("info.txt", {"Alpha", "Beta"});
}

class Fault : public Scratch {
protected:
    void SetUp() override
    {
        Scratch::SetUp();
        copyToolWithPackages({"a.bin", "b.bin"});
        write("info.txt", INFO);
        machine("0x1111, A\n0x2222, B\n");
    }

    void machine(const std::string &lines) { write("tarvo-machine.txt", lines); }
};

TEST_F(Fault, OutputFileThatIsNotThisRunsRegularFile)
{
    // In its place: what the shell cannot create for any user, the superuser included; a link to
    // a file of someone else's that must stay as it is; a FIFO that would hold the run or feed it
    // another answer; a file that nobody may change.
    const std::string other = path("../other");
    struct Block {
        const char *how;
        std::function<void(const std::string &)> make;
    };
    const std::vector<Block> blocks = {
        {"a directory", [](const std::string &file) { ASSERT_EQ(mkdir(file.c_str(), 0755), 0); }},
        {"a link into a missing directory",
         [](const std::string &file) { ASSERT_EQ(symlink("missing/out", file.c_str()), 0); }},
        {"a link to another file", [&other](const std::string &file) { ASSERT_EQ(symlink(other.c_str(), file.c_str()), 0); }},
        {"a FIFO", [](const std::string &file) { ASSERT_EQ(mkfifo(file.c_str(), 0644), 0); }},
        {"an immutable file", [](const std::string &file) {
             std::ofstream(file) << "Update completed successfully.\n";
             if (std::system(("chattr +i '" + file + "' 2>/dev/null").c_str()) != 0)
                 std::cout << "[ skipped  ] chattr +i does not work here: " << file << "\n";
         }},
    };
    const std::string head = listed();
    const auto clear = [this] {
        for (const char *file : {"list.out", "ssdid.out", "result.out"}) {
            std::system(("chattr -i '" + path(file) + "' 2>/dev/null").c_str());
            fs::remove(path(file));
        }
    };
    // Adapter N's kept account of an earlier run must not pass for this run's.
    const auto notEmptied = [](int adapter) {
        const std::string n = std::to_string(adapter);
        return "Adapter " + n + " is a " + (adapter == 1 ? "Alpha" : "Beta") +
               ".\n\nERROR: Could not empty result.out; adapter " + n + " is not updated.\n\n";
    };
    for (const Block &block : blocks) {
        SCOPED_TRACE(block.how);
        std::ofstream(other) << "someone else's\n";
        {
            SCOPED_TRACE("list.out");
            clear();
            block.make(path("list.out"));
            expectRun(run({"info.txt"}), head + LIST_ERROR, 231);
            EXPECT_FALSE(exists("ssdid.out"));
        }
        {
            SCOPED_TRACE("ssdid.out");
            clear();
            block.make(path("ssdid.out"));
            expectRun(run({"--dry-run", "info.txt"}),
                      head + DRY_RUN + ENTERING + noConfig(1) + noConfig(2) + EXITING, 1);
        }
        {
            SCOPED_TRACE("result.out");
            clear();
            block.make(path("result.out"));
            write("result-1.out", "an earlier run's account\n");
            expectRun(run({"info.txt"}),
                      head + ENTERING + querying(1, false) + identified("0x1111", false) + notEmptied(1) +
                          querying(2, false) + identified("0x2222", false) + notEmptied(2) + EXITING,
                      1);
            EXPECT_FALSE(exists("result-1.out"));
            EXPECT_FALSE(exists("result-2.out"));
        }
        clear();
        EXPECT_FALSE(exists("tarvo.log")) << "the tool updated an adapter";
        EXPECT_EQ(read("../other"), "someone else's\n");
    }
}

TEST_F(Fault, PlaceThatOthersCanChangeIsRefusedBeforeAnyToolCommand)
{
    const std::string dir = directory();
    const std::string parent = dir.substr(0, dir.rfind('/'));
    const std::string byOthers = "ERROR: The directory " + dir + " can be changed by other users; no adapter is updated.\n\n";
    const std::string missing = "ERROR: The adapter tool ./tarvo is missing or cannot be run here; run orvTQupdate "
                                "in the directory that holds it.\n\n";
    const std::string toolByOthers = "ERROR: The adapter tool ./tarvo can be changed by other users; no adapter is updated.\n\n";
    const auto through = [](const std::string &what, const std::string &place) {
        return "ERROR: The " + what + " can be changed by other users through " + place + "; no adapter is updated.\n\n";
    };
    const auto package = [&through](const std::string &file, int line, const std::string &place) {
        return through("update package " + file + " of line " + std::to_string(line), place);
    };
    const std::string elsewhere = path("../tool");
    const std::string theirs = path("../theirs");
    const bool root = geteuid() == 0;
    // A user other than the run's: what they own, or can write to, is not to be trusted.
    const auto give = [](const std::string &file) { ASSERT_EQ(lchown(file.c_str(), 65534, 65534), 0); };
    char tmpName[] = "/tmp/orv-e2e-pkg-XXXXXX";
    const int tmpFd = mkstemp(tmpName);
    ASSERT_GE(tmpFd, 0);
    close(tmpFd);
    const std::string tmp = tmpName;
    struct Case {
        const char *what;
        std::function<void()> make;
        std::string errors;  // empty: the place is trusted
        bool otherUser = false;  // needs the superuser, who can give files away
        std::vector<std::string> options = {};
    };
    const std::vector<Case> cases = {
        {"directory writable by others", [&] { chmod(dir.c_str(), 0777); }, byOthers},
        {"directory writable by its group", [&] { chmod(dir.c_str(), 0775); }, byOthers},
        {"directory of another user", [&] { give(dir); }, byOthers, true},
        {"tool missing", [this] { fs::remove(path("tarvo")); }, missing},
        {"tool not executable", [this] { chmod(path("tarvo").c_str(), 0644); }, missing},
        {"tool a directory", [this] { fs::remove(path("tarvo")); mkdir(path("tarvo").c_str(), 0755); }, missing},
        {"tool writable by others", [this] { chmod(path("tarvo").c_str(), 0757); }, toolByOthers},
        {"both", [&] { chmod(dir.c_str(), 0777); fs::remove(path("tarvo")); }, byOthers + missing},
        {"tool a link to a tool that others can change",
         [&] { fs::remove(path("tarvo")); ASSERT_EQ(symlink(elsewhere.c_str(), path("tarvo").c_str()), 0);
               chmod(elsewhere.c_str(), 0777); }, toolByOthers},
        {"tool a link to a good tool", [&] { fs::remove(path("tarvo")); ASSERT_EQ(symlink(elsewhere.c_str(), path("tarvo").c_str()), 0); }, ""},
        {"tool a link to a good tool in another user's directory", [&] {
             fs::copy_file(path("tarvo"), theirs + "/tarvo");
             give(theirs);
             fs::remove(path("tarvo"));
             ASSERT_EQ(symlink((theirs + "/tarvo").c_str(), path("tarvo").c_str()), 0);
         }, toolByOthers, true},
        {"a package of another user", [&] { give(path("a.bin")); }, package("a.bin", 1, dir + "/a.bin"), true},
        {"a package in another user's directory", [&] {
             fs::copy_file(path("a.bin"), theirs + "/a.bin");
             give(theirs);
             write("info.txt", "0x1111,Alpha,../theirs/a.bin\n0x2222,Beta,b.bin\n");
         }, package("../theirs/a.bin", 1, parent + "/theirs"), true},
        {"a package beside the directory", [&] { fs::copy_file(path("a.bin"), theirs + "/a.bin");
             write("info.txt", "0x1111,Alpha,../theirs/a.bin\n0x2222,Beta,b.bin\n"); }, ""},
        {"a package in /tmp of the superuser's", [&] { write("info.txt", "0x1111,Alpha," + tmp + "\n0x2222,Beta,b.bin\n"); }, ""},
        {"a package in /tmp of another user's", [&] { give(tmp); write("info.txt", "0x1111,Alpha," + tmp + "\n0x2222,Beta,b.bin\n"); },
         package(tmp, 1, tmp), true},
        {"a package that is another user's link to a good file", [&] {
             fs::rename(path("a.bin"), path("real.bin"));
             ASSERT_EQ(symlink("real.bin", path("a.bin").c_str()), 0);
             give(path("a.bin"));
         }, package("a.bin", 1, dir + "/a.bin"), true},
        {"a package quoted, and named by two lines: named once, without its quotes",
         [&] { give(path("a.bin")); write("info.txt", "0x1111,Alpha,\"a.bin\" -x\n0x2222,Beta,'a.bin'\n"); },
         package("a.bin", 1, dir + "/a.bin"), true},
        {"the info file of another user", [&] { give(path("info.txt")); },
         through("adapter info file info.txt", dir + "/info.txt"), true},
        {"the checksum file of another user", [&] {
             write("SUMS", sha256sum("a.bin") + "  a.bin\n" + sha256sum("b.bin") + "  b.bin\n");
             give(path("SUMS"));
         }, through("checksum file SUMS", dir + "/SUMS"), true, {"--checksums", "SUMS"}},
        {"a directory that others can change judges itself alone", [&] {
             chmod(dir.c_str(), 0777);
             ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
             fs::copy_file(path("a.bin"), path("sub/a.bin"));
             write("info.txt", "0x1111,Alpha,sub/a.bin\n0x2222,Beta,b.bin\n");
         }, byOthers},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherUser && !root)
            continue;
        for (const bool dryRun : {false, true}) {
            ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
            if (root) {
                ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
            }
            for (const char *file : {"tarvo", "a.bin", "real.bin", "sub", "SUMS", "info.txt", "list.out", "ssdid.out", "result.out",
                                     "result-1.out", "result-2.out", "tarvo.log", "../theirs"})
                fs::remove_all(path(file));
            copyToolWithPackages({"a.bin", "b.bin"});
            write("info.txt", INFO);
            fs::copy_file(path("tarvo"), elsewhere, fs::copy_options::overwrite_existing);
            chmod(elsewhere.c_str(), 0755);
            ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
            std::ofstream(tmp) << "a package\n";
            ASSERT_EQ(chown(tmp.c_str(), 0, 0), 0);
            c.make();
            std::vector<std::string> args = c.options;
            if (dryRun)
                args.insert(args.begin(), "--dry-run");
            args.emplace_back("info.txt");
            const std::string head = listed() + (dryRun ? DRY_RUN : "");
            if (!c.errors.empty()) {
                expectRun(run(args), head + c.errors, 231);
                for (const char *file : {"list.out", "ssdid.out", "result.out", "tarvo.log"})
                    EXPECT_FALSE(exists(file)) << file;
            } else {
                const RunResult result = run(args);
                EXPECT_EQ(result.status, 0) << result.out;
                EXPECT_EQ(read("tarvo.log"), dryRun ? "" : "1 0x1111 " + read("info.txt").substr(13, read("info.txt").find('\n') - 13) +
                                                          "\n2 0x2222 b.bin\n");
            }
        }
    }
    std::remove(tmp.c_str());
}

TEST_F(Fault, WorkingDirectoryNotWritable)
{
    // The tool leaves a mark outside the directory for every call it gets.
    ASSERT_EQ(mkdir(path("marks").c_str(), 0777), 0);
    ASSERT_EQ(chmod(path("marks").c_str(), 0777), 0);
    writeTool("echo \"$*\" >> marks/calls\n");
    ASSERT_EQ(chmod(path("").c_str(), 0555), 0);
    expectRun(run({"info.txt", "DEBUG"}, Stdout::Captured, true), BANNER + HISTORY_ERROR + listed().substr(BANNER.size()) + LIST_ERROR, 231);
    EXPECT_FALSE(exists("list.out"));
    EXPECT_FALSE(exists("marks/calls")) << "a tool command ran";
}

// The ACL entries of file that give a named user write access, as getfacl prints them.
std::string namedUserCanWrite(const std::string &file)
{
    std::string writable;
    FILE *acl = popen(("getfacl -n -e -p '" + file + "' 2>/dev/null").c_str(), "r");
    char line[512];
    while (acl != nullptr && std::fgets(line, sizeof line, acl) != nullptr) {
        const std::string entry = line;
        const size_t effective = entry.find("#effective:");
        const std::string rights = effective != std::string::npos ? entry.substr(effective + 11) : entry.substr(entry.rfind(':') + 1);
        if (entry.rfind("user:", 0) == 0 && entry.rfind("user::", 0) != 0 && rights.find('w') != std::string::npos)
            writable += entry;
    }
    if (acl != nullptr)
        pclose(acl);
    return writable;
}

TEST_F(Fault, OutputFilesAreMadeAfreshWhateverWasThere)
{
    // Left by an earlier run or by another user, write-protected, still open for writing in
    // another process, or given to another user by a default ACL or the umask: none of it may
    // reach what the program reads. The stale files name adapter 2 as covered, and three adapters.
    const auto stale = [this] {
        write("list.out", "1  Model\n2  Model\n3  Model\n");
        write("ssdid.out", ID_KEY + " 0x2222\n");
        for (const char *file : {"list.out", "ssdid.out"}) {
            ASSERT_EQ(chmod(path(file).c_str(), 0444), 0);
        }
    };
    machine("0x1111, A\n0x9999, Other\n");
    const std::string console = listed() + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + notCovered(2, "0x9999") + EXITING;
    const bool root = geteuid() == 0;
    const bool acl = std::system("command -v setfacl >/dev/null") == 0;
    if (!acl)
        std::cout << "[ skipped  ] setfacl is missing: the default-ACL row\n";
    struct Case {
        const char *what;
        std::function<void()> make;
        mode_t umask;       // the run's
        bool asNobody;      // the files then are another user's, the directory the run's user's
    };
    const std::vector<Case> cases = {
        {"another user's stale files in the run user's directory", [&] { if (root) chown(path("").c_str(), 65534, 65534); stale(); }, 022, true},
        {"stale files, umask 000", stale, 0, false},
        {"umask 077: others may still read", stale, 077, false},
        {"a default ACL that gives another user write access", [&] {
             stale();
             if (acl) {
                 ASSERT_EQ(std::system(("setfacl -d -m u:65534:rw '" + path("") + "'").c_str()), 0);
             }
         }, 022, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *file : {"list.out", "ssdid.out", "result.out", "tarvo.log", "result-1.out", "run.json",
                                 "orvTQupdate.history"})
            fs::remove(path(file));
        c.make();
        // The run inherits the test's umask.
        const mode_t mask = umask(c.umask);
        const RunResult result = run({"--report=run.json", "info.txt"}, Stdout::Captured, c.asNobody);
        umask(mask);
        expectRun(result, console, 0);
        EXPECT_EQ(read("tarvo.log"), "1 0x1111 a.bin\n");
        for (const char *file : {"list.out", "ssdid.out", "result.out", "result-1.out", "run.json"}) {
            struct stat st = {};
            ASSERT_EQ(stat(path(file).c_str(), &st), 0) << file;
            EXPECT_EQ(st.st_mode & 07777, 0644u) << file;
            // With mode 0644 an ACL's mask leaves a named user no write access.
            if (acl) {
                EXPECT_EQ(namedUserCanWrite(path(file)), "") << file;
            }
        }
        std::system(("setfacl -b '" + path("") + "' 2>/dev/null").c_str());
        ASSERT_EQ(chown(path("").c_str(), geteuid(), getegid()), 0);
    }
}

TEST_F(Fault, DescriptorHeldOpenOnAnOutputFileNeverReachesWhatIsRead)
{
    // Another process opened ssdid.out for writing before the run; it writes a covered ID into
    // it once the tool has answered, before the program reads the file.
    write("ssdid.out", "");
    FILE *writer = popen(("cd '" + path("") + "' && exec 3>>ssdid.out && "
                          "while [ ! -e answered ]; do sleep 0.01; done && "
                          "echo '" + ID_KEY + " 0x2222' >&3 && touch written").c_str(), "r");
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(waitFor("ssdid.out"));
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') echo '1  A' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x9999'; touch answered\n"
              "    while [ ! -e written ]; do sleep 0.01; done ;;\n"
              "*) echo \"$2 $4\" >> tarvo.log ;;\n"
              "esac\n");
    expectRun(run({"info.txt"}), listed() + ENTERING + notCovered(1, "0x9999") + EXITING, 1);
    pclose(writer);
    EXPECT_FALSE(exists("tarvo.log")) << read("tarvo.log");
}

TEST_F(Fault, ConfigurationLostOrCutShortSkipsOnlyItsAdapter)
{
    write("info.txt", INFO + "0x3333,Gamma,a.bin\n");
    // The shell has opened ssdid.out before the tool runs; removing it leaves nothing to read.
    // Adapter 4's key line lacks its newline, as when a full disk cuts it. Adapter 5's query puts
    // a link to another answer in place of its output file, which is not read through. None may
    // be updated with an earlier adapter's ID, which a record covers.
    writeTool("case \"$1 $2 $3\" in\n"
              "'-listall  ') printf '1  A\\n2  B\\n3  C\\n4  D\\n5  E\\n' ;;\n"
              "'-c 1 -list') echo '" + ID_KEY + " 0x1111' ;;\n"
              "'-c 2 -list') echo '" + ID_KEY + " 0x2222'; rm -f ssdid.out ;;\n"
              "'-c 3 -list') echo '" + ID_KEY + " 0x3333' ;;\n"
              "'-c 4 -list') printf '" + ID_KEY + " 0x3333' ;;\n"
              "'-c 5 -list') echo '" + ID_KEY + " 0x1111' > elsewhere; ln -sf elsewhere ssdid.out ;;\n"
              "*) n=$2; shift 3; echo \"$n $*\" >> tarvo.log ;;\n"
              "esac\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {"Alpha", "Beta", "Gamma"}) + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") +
                  noConfig(2) + updated(3, "0x3333", "Gamma", "a.bin") + querying(4, false) + unidentified(4) +
                  noConfig(5) + EXITING,
              1);
    EXPECT_EQ(read("tarvo.log"), "1 a.bin\n3 a.bin\n");
}

// The lines of text, without their newlines.
std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Checks that a run refused the info file whole: after the file line, only refusals naming
// lines of the file, then the file's refusal; no tool command ran.
void expectRefused(const RunResult &result, size_t lines)
{
    const std::string start = BANNER + "Update file:  info.txt.\n\n";
    const std::string end = "ERROR: The adapter info file cannot be used as it stands; no adapter is updated.\n\n";
    EXPECT_EQ(result.status, 231);
    ASSERT_EQ(result.out.compare(0, start.size(), start), 0);
    ASSERT_GE(result.out.size(), start.size() + end.size());
    EXPECT_EQ(result.out.substr(result.out.size() - end.size()), end);
    for (const std::string &line : linesOf(result.out.substr(start.size(), result.out.size() - start.size() - end.size()))) {
        if (line.empty())
            continue;
        int number = 0;
        EXPECT_EQ(std::sscanf(line.c_str(), "ERROR: Line %d of the adapter info file is ignored: ", &number), 1) << line;
        EXPECT_TRUE(number >= 1 && static_cast<size_t>(number) <= lines) << line;
    }
}

TEST_F(Fault, RandomInfoFileNeverGivesTheToolAPackageItDidNotHold)
{
    const size_t size = 10 * 1024 * 1024;
    std::mt19937 rng(20240611);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(rng() & 0xff);
    const std::vector<std::string> tokens = {
        ",", ",", ",", ",", ",", "\n", "\n", "\n", "0x1111", "0x1111", "0x1111", "Alpha", "a.bin", "a.bin",
        " ", " ", "\t", "\r", "-v", ";touch pwned", "$(touch pwned)", "`touch pwned`", "|touch pwned", ">pwned", "<x", "&touch pwned",
        "(", ")", "\\", "*", " #", std::string(1, '\0'), "\xff\xfe", std::string(120, 'x')};
    std::string soup;
    while (soup.size() < size)
        soup += tokens[rng() % tokens.size()];

    // Such a file is refused whole, every bad line named; nothing of it reaches the shell.
    for (const std::string &info : {bytes, "0x1111,Alpha,a.bin\n" + bytes, soup}) {
        SCOPED_TRACE(info.substr(0, 20));
        write("info.txt", info);
        expectRefused(run({"info.txt"}), linesOf(info).size());
        EXPECT_FALSE(exists("list.out")) << "a tool command ran";
        EXPECT_FALSE(exists("pwned"));
    }
}

TEST_F(Fault, StandardOutputThatTakesNothing)
{
    // Enough refused lines that the report is written out while the info file is still open: with
    // standard output closed that file holds the lowest free descriptor, the one stdout writes to.
    std::string refused;
    for (int i = 0; i < 200; i++)
        refused += "short line\n";
    write("refused.txt", refused + INFO);
    write("empty.txt", "");
    struct Case {
        const char *what;
        std::string machine;
        std::vector<std::string> args;
        int status;  // when the report can be written
        std::string log;
    };
    const std::vector<Case> cases = {
        {"every update succeeds", "0x1111, A\n0x2222, B\n", {"info.txt", "DEBUG"}, 0,
         "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
        {"the last update fails", "0x1111, A\n0x2222, B, exit=3\n", {"info.txt"}, 3,
         "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
        {"no update runs", "0x9999, A\n", {"empty.txt"}, 1, ""},
        {"no adapter", "", {"info.txt"}, 231, ""},
        {"usage error", "0x1111, A\n", {}, 1, ""},
        {"info file refused", "0x1111, A\n", {"refused.txt"}, 231, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        machine(c.machine);
        for (Stdout out : {Stdout::Closed, Stdout::Full}) {
            SCOPED_TRACE(out == Stdout::Closed ? "closed" : "/dev/full");
            fs::remove(path("tarvo.log"));
            RunResult result = run(c.args, out);
            // The work is done as usual, but a lost report never lets the run pass for a success.
            EXPECT_EQ(result.status, c.status != 0 ? c.status : 1);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(read("tarvo.log"), c.log);
        }
        // Nothing of the report landed in a file the program had open.
        EXPECT_EQ(read("info.txt"), INFO);
        EXPECT_EQ(read("refused.txt"), refused + INFO);
        EXPECT_EQ(read("empty.txt"), "");
        for (const fs::directory_entry &file : fs::directory_iterator(path(""))) {
            const std::string text = read(file.path().filename());
            for (const char *line : {"ORV TQ Update Utility", "ERROR: Line ", "Exiting update"})
                EXPECT_EQ(text.find(line), std::string::npos) << file.path() << " holds " << line;
        }
    }
}

TEST_F(Fault, SecondRunInTheSameDirectoryIsRefusedBeforeAnyToolCommand)
{
    machine("0x1111, A\n");
    for (const char *file : {"list.out", "ssdid.out", "result.out"})
        write(file, "earlier run\n");
    // util-linux flock holds the directory, as another run would, until its input closes.
    FILE *holder = popen(("cd '" + path("") + "' && flock . sh -c 'touch held; exec cat >/dev/null'").c_str(), "w");
    ASSERT_NE(holder, nullptr);
    ASSERT_TRUE(waitFor("held"));
    expectRun(run({"info.txt"}),
              listed() + "ERROR: Another orvTQupdate run is using this directory; no adapter is updated.\n\n", 231);
    // The packages are checked only under the lock: a FIFO in place of one is never opened.
    fs::rename(path("b.bin"), path("b.keep"));
    ASSERT_EQ(mkfifo(path("b.bin").c_str(), 0644), 0);
    write("SUMS", sha256sum("a.bin") + "  a.bin\n" + std::string(64, '0') + "  b.bin\n");
    expectRun(run({"--checksums", "SUMS", "info.txt"}),
              listed() + "ERROR: Another orvTQupdate run is using this directory; no adapter is updated.\n\n", 231);
    fs::remove(path("b.bin"));
    fs::rename(path("b.keep"), path("b.bin"));
    pclose(holder);
    EXPECT_FALSE(exists("tarvo.log"));
    for (const char *file : {"list.out", "ssdid.out", "result.out"})
        EXPECT_EQ(read(file), "earlier run\n") << file;

    // Released, the directory is free for the next run.
    expectRun(run({"info.txt"}), listed() + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + EXITING, 0);
}

TEST_F(Fault, StopRequestsLetTheUpdateInProgressFinishAndStartNothingMore)
{
    struct Case {
        const char *what;
        std::string machine;  // the stand-in's machine file; the tool below when empty
        Signals signals;
        Stdout out;
        std::string console;  // after the listing
        int status;
        std::string log;
    };
    // Adapter 1's update is slow enough to be signalled while it runs: the tool logs it first.
    const std::string slow = "0x1111, A, ms=1500\n0x2222, B\n";
    const std::string first = updated(1, "0x1111", "Alpha", "a.bin");
    const std::string both = ENTERING + first + updated(2, "0x2222", "Beta", "b.bin") + EXITING;
    const auto notice = [](int sig) {
        const std::string full = updated(1, "0x1111", "Alpha", "a.bin");
        const size_t result = full.find("Update of adapter");
        return ENTERING + full.substr(0, result) + noticed(sig) + full.substr(result) + stopped(sig) + EXITING;
    };
    // Stalled: the run is blocked writing out its report before adapter 1's update.
    const std::string unstarted = ENTERING + querying(1, false) + identified("0x1111", false);
    const auto held = [&unstarted](int sig) { return unstarted + announced(1, "Alpha", "a.bin") + stopped(sig) + EXITING; };
    const std::vector<Case> cases = {
        {"Ctrl-C to the group: the tool is deaf to it, the flash completes, nothing more starts", slow,
         {{}, SIGINT, "tarvo.log"}, Stdout::Captured, notice(SIGINT), 128 + SIGINT, "1 0x1111 a.bin\n"},
        {"SIGINT to the program alone", slow, {{}, SIGINT, "tarvo.log", false}, Stdout::Captured, notice(SIGINT),
         128 + SIGINT, "1 0x1111 a.bin\n"},
        {"SIGTERM to the program alone", slow, {{}, SIGTERM, "tarvo.log", false}, Stdout::Captured, notice(SIGTERM),
         128 + SIGTERM, "1 0x1111 a.bin\n"},
        {"a failed adapter, then SIGTERM during the next update: the stop outranks the failure",
         "0x1111, A, exit=3\n0x2222, B, ms=1500\n0x1111, C\n", {{}, SIGTERM, "tarvo.log", false, {}, "2 0x2222"},
         Stdout::Captured,
         ENTERING + updated(1, "0x1111", "Alpha", "a.bin", 768) + querying(2, false) + identified("0x2222", false) +
             announced(2, "Beta", "b.bin") + noticed(SIGTERM) + "Update of adapter 2 completed successfully.\n\n" +
             stopped(SIGTERM) + EXITING,
         128 + SIGTERM, "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
        {"SIGTERM while the report waits for a stalled reader: the update never starts", "",
         {{}, SIGTERM, "queried", false}, Stdout::Stalled, held(SIGTERM), 128 + SIGTERM, ""},
        {"SIGTERM blocked in the mask the program inherits, between two commands", "",
         {{}, SIGTERM, "queried", false, {SIGTERM}}, Stdout::Stalled, held(SIGTERM), 128 + SIGTERM, ""},
        {"Ctrl-\\ between two commands", "", {{}, SIGQUIT, "queried"}, Stdout::Stalled, held(SIGQUIT), 128 + SIGQUIT, ""},
        {"a hangup to the group, as a closed terminal sends: the tool is deaf to it", slow, {{}, SIGHUP, "tarvo.log"},
         Stdout::Captured, notice(SIGHUP), 128 + SIGHUP, "1 0x1111 a.bin\n"},
        {"Ctrl-\\ to the group during the update: the tool is deaf to it", slow, {{}, SIGQUIT, "tarvo.log"},
         Stdout::Captured, notice(SIGQUIT), 128 + SIGQUIT, "1 0x1111 a.bin\n"},
        {"SIGPIPE during the last adapter's update", "0x1111, A\n0x2222, B, ms=1500\n",
         {{}, SIGPIPE, "tarvo.log", false, {}, "2 0x2222"}, Stdout::Captured,
         ENTERING + first + querying(2, false) + identified("0x2222", false) + announced(2, "Beta", "b.bin") +
             noticed(SIGPIPE) + "Update of adapter 2 completed successfully.\n\n" + stopped(SIGPIPE) + EXITING,
         128 + SIGPIPE, "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
        {"SIGHUP ignored at start, as under nohup, then a hangup", slow, {{SIGHUP}, SIGHUP, "tarvo.log"},
         Stdout::Captured, both, 0, "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
        {"SIGCHLD ignored at start", slow, {{SIGCHLD}}, Stdout::Captured, both, 0, "1 0x1111 a.bin\n2 0x2222 b.bin\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *file : {"tarvo.log", "queried", "filled", "result-1.out"})
            std::remove(path(file).c_str());
        if (c.machine.empty()) {
            // Waits in its query until the harness has filled the run's pipe.
            writeTool("case \"$1 $3\" in\n"
                      "'-listall ') echo '1  A' ;;\n"
                      "'-c -list') echo '" + ID_KEY + " 0x1111'; touch queried\n"
                      "    while [ ! -e filled ]; do sleep 0.01; done ;;\n"
                      "*) echo \"$2 $4\" >> tarvo.log ;;\n"
                      "esac\n");
        } else {
            copyTool();
            machine(c.machine);
        }
        expectRun(run({"info.txt"}, c.out, false, c.signals), listed() + c.console, c.status);
        EXPECT_EQ(read("tarvo.log"), c.log);
        if (c.log.find("1 0x1111") == 0) {
            EXPECT_NE(read("result-1.out").find("Progress: 100%\nUpdate "), std::string::npos) << read("result-1.out");
        }
    }
}

TEST_F(Fault, TheToolHearsNoTerminalSignalAndAStoppedProgramFindsItsCommandEnded)
{
    // The tool ignores what a terminal, a closed pipe or job control sends, as it finds at its
    // start; SIGTERM stays at its default. (Ctrl-Z itself cannot be sent here: the kernel drops
    // it in a process group without a job-control shell.)
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') echo '1  A' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x1111' ;;\n"
              "*) sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status > ignored\n"
              "   read -r _ _ _ _ group _ < /proc/$$/stat; touch updating\n"
              "   until grep -q '^State:[[:space:]]*T' /proc/\"$group\"/status; do sleep 0.01; done\n"
              "   echo \"$2 $4\" >> tarvo.log; touch flashed ;;\n"
              "esac\n");
    write("info.txt", "0x1111,Alpha,a.bin\n");
    // The program alone is stopped during the update, which ends only then; once continued, the
    // program finds the command ended and goes on.
    expectRun(run({"info.txt"}, Stdout::Captured, false, {{}, SIGSTOP, "updating", false, {}, "", SIGCONT, "flashed"}),
              BANNER + listing("info.txt", {"Alpha"}) + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + EXITING, 0);
    EXPECT_EQ(read("tarvo.log"), "1 a.bin\n");
    const unsigned long long ignored = std::stoull(read("ignored"), nullptr, 16);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        EXPECT_NE(ignored & (1ULL << (sig - 1)), 0u) << "the tool hears signal " << sig;
    EXPECT_EQ(ignored & (1ULL << (SIGTERM - 1)), 0u) << "the tool is deaf to SIGTERM";
}

TEST_F(Fault, CtrlCThroughTeeLetsTheFlashFinish)
{
    // tee dies with the group; the program's later writes fail, and its status still says why.
    machine("0x1111, A, ms=1500\n0x2222, B\n");
    const RunResult result = run({"info.txt"}, Stdout::Tee, false, {{}, SIGINT, "tarvo.log"});
    EXPECT_EQ(result.status, 128 + SIGINT) << result.err;
    // What tee passed on before it died: the report up to the command, or less of it.
    const std::string upToCommand =
        listed() + ENTERING + querying(1, false) + identified("0x1111", false) + announced(1, "Alpha", "a.bin");
    EXPECT_EQ(upToCommand.substr(0, result.out.size()), result.out);
    EXPECT_GE(result.out.size(), listed().size());
    EXPECT_EQ(read("tarvo.log"), "1 0x1111 a.bin\n");
    EXPECT_NE(read("result-1.out").find("Update completed successfully."), std::string::npos);
}

TEST_F(Fault, ReportIsWrittenOutBeforeEveryToolCommand)
{
    // The tool copies the program's report, a file here, while it updates, and lists what its
    // descriptors lead to: the directory's lock, held for as long as the tool runs.
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') echo '1  A' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x1111' ;;\n"
              "*) cp '" + stdoutPath() + "' seen.txt\n"
              "   for fd in /proc/$$/fd/*; do readlink \"$fd\" || true; done > fds ;;\n"
              "esac\n");
    expectRun(run({"info.txt"}), listed() + ENTERING + updated(1, "0x1111", "Alpha", "a.bin") + EXITING, 0);
    EXPECT_EQ(read("seen.txt"), listed() + ENTERING + querying(1, false) + identified("0x1111", false) +
                                    announced(1, "Alpha", "a.bin"));
    EXPECT_NE(read("fds").find(directory() + "\n"), std::string::npos) << read("fds");
}

}  // namespace
