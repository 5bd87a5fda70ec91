#include "machine.h"
#include "state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

TEST(MachineLine, ReadsAdaptersAndSkipsBlankAndCommentLines)
{
    const struct {
        const char *line;
        const char *id;  // nullptr for a line without an adapter
        const char *model;
        int exitCode;
        int signal;
        int delayMs;
        queryMode query;
        int querySignal;
        afterMode after = AFTER_SAME;
        const char *afterId = "";
    } samples[] = {
        {"0x1111, KEP 4-port RAID, ok", "0x1111", "KEP 4-port RAID", 0, 0, 0, QUERY_NORMAL, 0},
        {"  AB CD \t,  two  spaces  ,  exit=255  \r\n", "AB CD", "two  spaces", 255, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA,", "0x2", "HBA", 0, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, ms=1500 query=fail query-signal=6", "0x2", "HBA", 0, 0, 1500, QUERY_FAIL, 6},
        // A later word about the same thing overrides an earlier one.
        {"0x2, HBA, exit=3 signal=15", "0x2", "HBA", 0, 15, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, after=vanish", "0x2", "HBA", 0, 0, 0, QUERY_NORMAL, 0, AFTER_VANISH, ""},
        {"0x2, HBA, after=vanish after=id:0x9999", "0x2", "HBA", 0, 0, 0, QUERY_NORMAL, 0, AFTER_ID, "0x9999"},
        {"0x2#3, HBA # not a comment", "0x2#3", "HBA # not a comment", 0, 0, 0, QUERY_NORMAL, 0},
        {"", nullptr, nullptr, 0, 0, 0, QUERY_NORMAL, 0},
        {"   \t \r\n", nullptr, nullptr, 0, 0, 0, QUERY_NORMAL, 0},
        {"   # ID, MODEL, BEHAVIOUR", nullptr, nullptr, 0, 0, 0, QUERY_NORMAL, 0},
    };
    for (const auto &s : samples) {
        SCOPED_TRACE(s.line);
        machineAdapter a;
        std::memset(&a, 0x55, sizeof a);
        char why[256] = "";
        ASSERT_EQ(parseMachineLine(s.line, &a, why, sizeof why), s.id != nullptr ? 1 : 0) << why;
        if (s.id == nullptr)
            continue;
        EXPECT_STREQ(a.id, s.id);
        EXPECT_STREQ(a.model, s.model);
        EXPECT_EQ(a.exitCode, s.exitCode);
        EXPECT_EQ(a.signal, s.signal);
        EXPECT_EQ(a.delayMs, s.delayMs);
        EXPECT_EQ(a.query, s.query);
        EXPECT_EQ(a.querySignal, s.querySignal);
        EXPECT_EQ(a.after, s.after);
        EXPECT_STREQ(a.afterId, s.afterId);
    }
}

TEST(MachineLine, RefusesMalformedLinesWithAReason)
{
    const std::string longField(300, 'x');
    const std::string longId = longField + ", RAID";
    const std::string longModel = "0x1, " + longField;
    const std::string longLine = "0x1, RAID, " + std::string(1100, ' ') + "ok";
    const std::string longAfter = "0x1, RAID, after=id:" + longField;
    const struct {
        const char *line;
        const char *reason;
    } samples[] = {
        {"   , RAID, ok", "empty ID"},
        {"0x1", "no model name"},
        {"0x1,  , ok", "no model name"},
        {"0x1, RAID, ok, more", "more than three"},
        {"0x1, RAID, fast", "unknown behaviour word 'fast'"},
        {"0x1, RAID, exit=0", "bad number in 'exit=0'"},
        {"0x1, RAID, exit=256", "bad number in 'exit=256'"},
        {"0x1, RAID, exit=3x", "bad number in 'exit=3x'"},
        {"0x1, RAID, ms=99999999999", "bad number in 'ms=99999999999'"},
        {"0x1, RAID, signal=32", "bad number in 'signal=32'"},
        // A stopped tool would leave the shell waiting.
        {"0x1, RAID, signal=19", "bad number in 'signal=19'"},
        {longId.c_str(), "ID is longer than 255"},
        {longModel.c_str(), "model name is longer than 255"},
        {longLine.c_str(), "line is longer than"},
        {"0x1, RAID, after=gone", "bad value in 'after=gone'"},
        {"0x1, RAID, after=id:", "bad value in 'after=id:'"},
        {longAfter.c_str(), "ID in 'after=id:xxx"},
    };
    for (const auto &s : samples) {
        SCOPED_TRACE(s.line);
        machineAdapter a;
        std::memset(&a, 0x55, sizeof a);
        const machineAdapter before = a;
        char why[512] = "";
        EXPECT_EQ(parseMachineLine(s.line, &a, why, sizeof why), -1);
        EXPECT_NE(std::strstr(why, s.reason), nullptr) << why;
        EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0) << "adapter changed by a refused line";
    }
}

TEST(MachineLine, KeepsTheReasonWithinItsBuffer)
{
    // Only the first half of why is offered; the second half must stay untouched.
    machineAdapter a;
    char why[16];
    std::memset(why, 'z', sizeof why);
    EXPECT_EQ(parseMachineLine("0x1, RAID, an-unknown-behaviour-word", &a, why, sizeof why / 2), -1);
    EXPECT_EQ(std::strlen(why), sizeof why / 2 - 1);
    EXPECT_EQ(why[sizeof why / 2], 'z');
}

class MachineFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tarvo-machine-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_NE(fd, -1);
        close(fd);
        path = name;
    }
    void TearDown() override { std::remove(path.c_str()); }

    void write(const std::string &text)
    {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }

    std::string path;
    machineAdapter adapters[4];
    char why[2048] = "";
};

TEST_F(MachineFile, ReadsAdaptersInOrderSkippingBlankAndCommentLines)
{
    write("# simulated machine\n\n0x1111, RAID, ms=5\n  \n0x2222, HBA, exit=3\r\n# end\n0x3333, NIC");
    ASSERT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), 3) << why;
    EXPECT_STREQ(adapters[0].id, "0x1111");
    EXPECT_EQ(adapters[0].delayMs, 5);
    EXPECT_STREQ(adapters[1].model, "HBA");
    EXPECT_EQ(adapters[1].exitCode, 3);
    EXPECT_STREQ(adapters[2].model, "NIC");

    write("# nothing here\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), 0) << why;
}

TEST_F(MachineFile, NamesFileAndLineOfTheFirstMalformedLine)
{
    write("# header\n0x1, RAID\n\n0x2, HBA, exti=3\n, broken too\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), -1);
    EXPECT_EQ(std::string(why).rfind(path + " line 4: unknown behaviour word 'exti=3' (expected ", 0), 0u) << why;
}

TEST_F(MachineFile, RefusesMoreAdaptersThanThereIsRoomFor)
{
    write("1, A\n2, B\n# c\n3, C\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 2, why, sizeof why), -1);
    EXPECT_EQ(std::string(why), path + " line 4: more than 2 adapters");
}

TEST_F(MachineFile, RefusesAnOverlongLineAndAcceptsOneThatFits)
{
    write("0x1, RAID, " + std::string(1011, ' ') + "\n0x2, HBA\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), 2) << why;
    write("0x1, RAID, " + std::string(1012, ' ') + "\n0x2, HBA\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), -1);
    EXPECT_EQ(std::string(why), path + " line 1: line is longer than 1022 characters");
}

TEST_F(MachineFile, ReportsAFileThatCannotBeRead)
{
    std::remove(path.c_str());
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), -1);
    EXPECT_EQ(std::string(why), path + ": cannot open the machine file: No such file or directory");
    EXPECT_EQ(readMachine("/tmp", adapters, 4, why, sizeof why), -1);
    EXPECT_EQ(std::string(why), "/tmp: cannot read the machine file: Is a directory");
}

TEST_F(MachineFile, StateFileReadsWhatItWroteAndRefusesOtherLines)
{
    const takenPackages taken = {{1, "raid.pkg"}, {3, "./a b.pkg "}, {4096, "x"}};
    ASSERT_TRUE(writeState(path.c_str(), taken, why, sizeof why)) << why;
    takenPackages read = {{2, "left over"}};
    ASSERT_TRUE(readState(path.c_str(), read, why, sizeof why)) << why;
    EXPECT_EQ(read, taken);
    write("# comment\n\n2 p.pkg\n7 q r");
    ASSERT_TRUE(readState(path.c_str(), read, why, sizeof why)) << why;
    EXPECT_EQ(read, takenPackages({{2, "p.pkg"}, {7, "q r"}}));
    // An adapter given twice, no package, a number out of range or not first.
    const std::pair<const char *, const char *> refused[] = {
        {"1 p.pkg\n1 q.pkg\n", " line 2: "}, {"2\n1 p.pkg\n", " line 1: "}, {"2 \n", " line 1: "},
        {"0 p.pkg\n", " line 1: "}, {"4097 p.pkg\n", " line 1: "}, {" 2 p.pkg\n", " line 1: "}};
    for (const auto &[text, line] : refused) {
        write(text);
        EXPECT_FALSE(readState(path.c_str(), read, why, sizeof why)) << text;
        EXPECT_EQ(std::string(why).rfind(path + line, 0), 0u) << why;
    }
    std::remove(path.c_str());
    EXPECT_TRUE(readState(path.c_str(), read, why, sizeof why)) << why;
    EXPECT_TRUE(read.empty());
}

// The built tool run in a scratch directory of its own, command after command.
class ToolCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tarvo-tool-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string &name, const std::string &text) { std::ofstream(dir + "/" + name) << text; }

    std::string read(const std::string &name)
    {
        std::ostringstream text;
        text << std::ifstream(dir + "/" + name).rdbuf();
        return text.str();
    }

    // Runs the tool with words in the scratch directory: its exit status, its output in out.
    int tool(const std::string &words, std::string &out)
    {
        FILE *pipe = popen(("cd '" + dir + "' && '" TARVO_PATH "' " + words + " 2>/dev/null").c_str(), "r");
        out.clear();
        char chunk[4096];
        size_t n;
        while (pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
            out.append(chunk, n);
        int status = pipe != nullptr ? pclose(pipe) : -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir;
};

std::string firmware(const std::string &package)
{
    return "Firmware Version                       : " + package + "\n";
}

std::string deviceId(const std::string &id)
{
    return "PCI SubSystem DeviceId                 : " + id + "\n";
}

TEST_F(ToolCommands, AnAdapterShowsThePackageItTookAndAnswersAsItsAfterWordSays)
{
    write("tarvo-machine.txt", "0x1111, RAID, after=id:0x9999\n0x2222, HBA, after=vanish\n"
                               "0x3333, NIC, exit=3 after=vanish\n0x4444, NET\n");
    write("p.pkg", "p\n");
    write("q.pkg", "q\n");
    const struct {
        const char *words;
        int status;
        std::vector<std::string> shown;  // texts the output holds; none when it must be empty
    } steps[] = {
        {"-c 1 -list", 0, {firmware("factory"), deviceId("0x1111")}},
        {"-c 1 -updatepkg p.pkg", 0, {"Adapter #1: RAID (ssdid 0x1111)\n", "Update completed successfully.\n"}},
        {"-c 1 -list", 0, {firmware("p.pkg"), deviceId("0x9999")}},
        {"-c 2 -updatepkg ./p.pkg", 0, {"Update completed successfully.\n"}},
        {"-c 2 -list", 1, {}},
        {"-c 2 -updatepkg p.pkg", 3, {}},
        // A failed update takes nothing: the adapter stays as it was.
        {"-c 3 -updatepkg p.pkg", 3, {"Update failed with error code 3.\n"}},
        {"-c 3 -list", 0, {firmware("factory"), deviceId("0x3333")}},
        {"-listall", 0, {"1  RAID  (ssdid 0x9999)\n2  HBA  (does not answer)\n3  NIC  (ssdid 0x3333)\n4  NET  (ssdid 0x4444)\n"}},
        {"-c 1 -updatepkg q.pkg", 0, {"Adapter #1: RAID (ssdid 0x9999)\n"}},
        {"-c 1 -list", 0, {firmware("q.pkg"), deviceId("0x9999")}},
        {"-c 4 -list", 0, {firmware("factory"), deviceId("0x4444")}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.words);
        std::string out;
        EXPECT_EQ(tool(step.words, out), step.status);
        for (const std::string &text : step.shown)
            EXPECT_NE(out.find(text), std::string::npos) << out;
        EXPECT_TRUE(!step.shown.empty() || out.empty()) << out;
    }
    EXPECT_EQ(read("tarvo.log"), "1 0x1111 p.pkg\n2 0x2222 ./p.pkg\n3 0x3333 p.pkg\n1 0x9999 q.pkg\n");
    EXPECT_EQ(read("tarvo-state.txt"),
              "# The package each adapter of tarvo-machine.txt last took, written by tarvo.\n1 q.pkg\n2 ./p.pkg\n");
    std::set<std::string> names;
    for (const auto &file : std::filesystem::directory_iterator(dir))
        names.insert(file.path().filename());
    EXPECT_EQ(names, std::set<std::string>({"tarvo-machine.txt", "p.pkg", "q.pkg", "tarvo.log", "tarvo-state.txt"}));

    // A state file the tool cannot read stops every command, as a bad machine file does.
    write("tarvo-state.txt", "1 p.pkg\n1 q.pkg\n");
    std::string out;
    for (const char *words : {"-listall", "-c 4 -list", "-c 4 -updatepkg p.pkg"})
        EXPECT_EQ(tool(words, out), 2) << words;
    EXPECT_EQ(read("tarvo.log"), "1 0x1111 p.pkg\n2 0x2222 ./p.pkg\n3 0x3333 p.pkg\n1 0x9999 q.pkg\n");
}

}  // namespace
