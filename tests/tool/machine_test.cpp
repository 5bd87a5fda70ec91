#include "machine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

struct GoodLine {
    const char *line;
    const char *id;
    const char *model;
    int exitCode;
    int signal;
    int delayMs;
    queryMode query;
    int querySignal;
};

TEST(MachineLine, ReadsAdapters)
{
    const GoodLine samples[] = {
        {"0x1111, KEP 4-port RAID, ok", "0x1111", "KEP 4-port RAID", 0, 0, 0, QUERY_NORMAL, 0},
        {"0x1111,RAID", "0x1111", "RAID", 0, 0, 0, QUERY_NORMAL, 0},
        {"0x1111, RAID,", "0x1111", "RAID", 0, 0, 0, QUERY_NORMAL, 0},
        {"  AB CD \t,  two  spaces  ,  exit=3  \n", "AB CD", "two  spaces", 3, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, exit=255 ms=0", "0x2", "HBA", 255, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, signal=9 ms=1500", "0x2", "HBA", 0, 9, 1500, QUERY_NORMAL, 0},
        {"0x2, HBA, exit=3 signal=15", "0x2", "HBA", 0, 15, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, signal=15 exit=3", "0x2", "HBA", 3, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, exit=3 ok", "0x2", "HBA", 0, 0, 0, QUERY_NORMAL, 0},
        {"0x2, HBA, query=nokey", "0x2", "HBA", 0, 0, 0, QUERY_NOKEY, 0},
        {"0x2, HBA, query=crlf\r\n", "0x2", "HBA", 0, 0, 0, QUERY_CRLF, 0},
        {"0x2, HBA, query=fail exit=7", "0x2", "HBA", 7, 0, 0, QUERY_FAIL, 0},
        {"0x2, HBA, query-signal=6", "0x2", "HBA", 0, 0, 0, QUERY_NORMAL, 6},
        {"0x2, HBA, ms=007", "0x2", "HBA", 0, 0, 7, QUERY_NORMAL, 0},
        {"0x2#3, HBA # not a comment", "0x2#3", "HBA # not a comment", 0, 0, 0, QUERY_NORMAL, 0},
    };
    for (const GoodLine &s : samples) {
        SCOPED_TRACE(s.line);
        machineAdapter a;
        std::memset(&a, 0x55, sizeof a);
        char why[256] = "";
        ASSERT_EQ(parseMachineLine(s.line, &a, why, sizeof why), 1) << why;
        EXPECT_STREQ(a.id, s.id);
        EXPECT_STREQ(a.model, s.model);
        EXPECT_EQ(a.exitCode, s.exitCode);
        EXPECT_EQ(a.signal, s.signal);
        EXPECT_EQ(a.delayMs, s.delayMs);
        EXPECT_EQ(a.query, s.query);
        EXPECT_EQ(a.querySignal, s.querySignal);
    }
}

TEST(MachineLine, SkipsBlankAndCommentLines)
{
    for (const char *line : {"", "\n", "   \t ", "\r\n", "# ID, MODEL, BEHAVIOUR", "   # indented"}) {
        SCOPED_TRACE(line);
        machineAdapter a;
        char why[256];
        EXPECT_EQ(parseMachineLine(line, &a, why, sizeof why), 0);
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
        {", RAID, ok", "empty ID"},
        {"   , RAID", "empty ID"},
        {",", "empty ID"},
        {"0x1", "no model name"},
        {"0x1,  , ok", "no model name"},
        {"0x1, RAID, ok, more", "more than three"},
        {"0x1, RAID, fast", "unknown behaviour word 'fast'"},
        {"0x1, RAID, OK", "unknown behaviour word 'OK'"},
        {"0x1, RAID, exit=", "bad number in 'exit='"},
        {"0x1, RAID, exit=0", "bad number in 'exit=0'"},
        {"0x1, RAID, exit=256", "bad number in 'exit=256'"},
        {"0x1, RAID, exit=-1", "bad number in 'exit=-1'"},
        {"0x1, RAID, exit=3x", "bad number in 'exit=3x'"},
        {"0x1, RAID, exit = 3", "unknown behaviour word 'exit'"},
        {"0x1, RAID, ms=1e3", "bad number in 'ms=1e3'"},
        {"0x1, RAID, ms=99999999999", "bad number in 'ms=99999999999'"},
        {"0x1, RAID, ms=600001", "bad number in 'ms=600001'"},
        {"0x1, RAID, signal=0", "bad number in 'signal=0'"},
        {"0x1, RAID, signal=32", "bad number in 'signal=32'"},
        {"0x1, RAID, signal=19", "bad number in 'signal=19'"},
        {"0x1, RAID, signal=17", "bad number in 'signal=17'"},
        {"0x1, RAID, query-signal=18", "bad number in 'query-signal=18'"},
        {"0x1, RAID, query=slow", "unknown behaviour word 'query=slow'"},
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
}

TEST_F(MachineFile, EmptyFileIsAMachineWithoutAdapters)
{
    write("# nothing here\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), 0) << why;
}

TEST_F(MachineFile, NamesFileAndLineOfTheFirstMalformedLine)
{
    write("# header\n0x1, RAID\n\n0x2, HBA, exti=3\n, broken too\n");
    EXPECT_EQ(readMachine(path.c_str(), adapters, 4, why, sizeof why), -1);
    EXPECT_EQ(std::string(why), path + " line 4: unknown behaviour word 'exti=3' (expected ok, exit=N, "
                                       "signal=N, ms=N, query=nokey, query=crlf, query=fail or query-signal=N)");
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
