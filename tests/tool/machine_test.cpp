#include "machine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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
    } samples[] = {
        {"0x1111, KEP 4-port RAID, ok", "0x1111", "KEP 4-port RAID", 0, 0, 0, QUERY_NORMAL, 0},
        {"  AB CD \t,  two  spaces  ,  exit=255  \r\n", "AB CD", "two  spaces", 255, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA,", "0x2", "HBA", 0, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, ms=1500 query=fail query-signal=6", "0x2", "HBA", 0, 0, 1500, QUERY_FAIL, 6},
        // A later word about the same thing overrides an earlier one.
        {"0x2, HBA, exit=3 signal=15", "0x2", "HBA", 0, 15, 0, QUERY_NORMAL, 0},
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
    }
}

TEST(MachineLine, RefusesMalformedLinesWithAReason)
{
    const std::string longField(300, 'x');
    const std::string longId = longField + ", RAID";
    const std::string longModel = "0x1, " + longField;
    const std::string longLine = "0x1, RAID, " + std::string(1100, ' ') + "ok";
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

}  // namespace
