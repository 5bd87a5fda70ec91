// Whole runs against the stand-in adapter tool: the machine file decides what each adapter
// answers, and the tool's log shows which adapter really got which package.

#include "harness.h"
#include "texts.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace e2e;

class Update : public Scratch {
protected:
    void SetUp() override
    {
        Scratch::SetUp();
        copyToolWithPackages({"a.bin", "b.bin", "c.bin"});
    }

    void machine(const std::string &lines) { write("tarvo-machine.txt", lines); }
};

TEST_F(Update, OneAdapterRun)
{
    write("info.txt", "0x1111,RAID 4-port,a.bin\n");
    machine("0x1111, RAID 4-port\n");
    const std::string withDebug =
        "\n"
        "*************************************************\n"
        " ORV TQ Update Utility for use with KEP hardware \n"
        "       Version 1.46 - Release Date 10/11/12      \n"
        "*************************************************\n"
        "\n"
        "Update file:  info.txt.\n"
        "\n"
        "This update is for the following adapters:\n"
        " - RAID 4-port\n"
        "\n"
        "Number of adapters found:  1\n"
        "\n"
        "\n"
        "Entering update\n"
        "\n"
        "Getting configuration for Adapter 1.  Please wait....\n"
        "\n"
        "Running command:  ./tarvo -c 1 -list > ssdid.out\n"
        "\n"
        "getControllersdid:0x1111\n"
        "sdid:0x1111\n"
        "SSDID match\n"
        "Adapter 1 is a RAID 4-port.\n"
        "\n"
        "Updating Adapter 1.  Please wait....\n"
        "\n"
        "./tarvo -c 1 -updatepkg a.bin > result.out\n"
        "\n"
        "Update of adapter 1 completed successfully.\n"
        "\n"
        "Exiting update\n";
    // Without DEBUG the output is the same less its four debug messages.
    std::string plain = withDebug;
    for (const std::string debugOnly : {"Number of adapters found:  1\n\n", "Running command:  ./tarvo -c 1 -list > ssdid.out\n\n",
                                        "getControllersdid:0x1111\n", "SSDID match\n"}) {
        const size_t at = plain.find(debugOnly);
        ASSERT_NE(at, std::string::npos) << debugOnly;
        plain.erase(at, debugOnly.size());
    }

    for (const bool debug : {false, true}) {
        SCOPED_TRACE(debug ? "DEBUG" : "plain");
        write("tarvo.log", "");
        const RunResult result = debug ? run({"info.txt", "DEBUG"}) : run({"info.txt"});
        expectRun(result, debug ? withDebug : plain, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read("tarvo.log"), "1 0x1111 a.bin\n");
        // The tool's output files stay behind for the operator.
        EXPECT_NE(read("list.out").find("1  RAID 4-port"), std::string::npos);
        EXPECT_NE(read("ssdid.out").find("PCI SubSystem DeviceId                 : 0x1111"), std::string::npos);
        EXPECT_NE(read("result.out").find("Update completed successfully."), std::string::npos);
    }
}

// A run over a simulated machine: the console from "Entering update" on, the tool's log and the
// exit status a parent sees.
struct Pass {
    const char *what;
    std::string machine;
    std::string console;
    std::string log;
    int status;
};

const std::string INFO = "0x1111,Alpha,a.bin\n0x2222,Beta,b.bin\n";

TEST_F(Update, ExitStatusIsTheLastFailureAndFailuresAreReportedRaw)
{
    const std::vector<Pass> passes = {
        {"first fails, second succeeds: the success hides nothing",
         "0x1111, A, exit=1\n0x2222, B\n",
         updated(1, "0x1111", "Alpha", "a.bin", 256) + updated(2, "0x2222", "Beta", "b.bin"),
         "1 0x1111 a.bin\n2 0x2222 b.bin\n", 1},
        {"last update fails with 3",
         "0x1111, A\n0x2222, B, exit=3\n",
         updated(1, "0x1111", "Alpha", "a.bin") + updated(2, "0x2222", "Beta", "b.bin", 768),
         "1 0x1111 a.bin\n2 0x2222 b.bin\n", 3},
        {"two failures: the later one's code",
         "0x2222, B, exit=3\n0x1111, A, exit=200\n",
         updated(1, "0x2222", "Beta", "b.bin", 768) + updated(2, "0x1111", "Alpha", "a.bin", 51200),
         "1 0x2222 b.bin\n2 0x1111 a.bin\n", 200},
        {"failure, then an adapter not covered",
         "0x1111, A, exit=5\n0x9999, Other\n",
         updated(1, "0x1111", "Alpha", "a.bin", 1280) + notCovered(2, "0x9999"),
         "1 0x1111 a.bin\n", 5},
        {"tool ended by a signal during the update, then a success",
         "0x1111, A, signal=15\n0x2222, B\n",
         updated(1, "0x1111", "Alpha", "a.bin", (128 + 15) * 256) + updated(2, "0x2222", "Beta", "b.bin"),
         "1 0x1111 a.bin\n2 0x2222 b.bin\n", 128 + 15},
        {"tool killed during the last update",
         "0x2222, B\n0x1111, A, ms=20 signal=9\n",
         updated(1, "0x2222", "Beta", "b.bin") + updated(2, "0x1111", "Alpha", "a.bin", (128 + 9) * 256),
         "1 0x2222 b.bin\n2 0x1111 a.bin\n", 128 + 9},
        {"success and an adapter not covered",
         "0x9999, Other\n0x1111, A\n",
         notCovered(1, "0x9999") + updated(2, "0x1111", "Alpha", "a.bin"),
         "2 0x1111 a.bin\n", 0},
        {"no adapter covered: no update ran",
         "0x9999, Other\n0x8888, Another\n",
         notCovered(1, "0x9999") + notCovered(2, "0x8888"),
         "", 1},
        {"package file missing: the tool's own code",
         "0x3333, C\n",
         updated(1, "0x3333", "Gamma", "missing.bin", 4 * 256),
         "", 4},
    };
    write("info.txt", INFO + "0x3333,Gamma,missing.bin\n");
    for (const Pass &pass : passes) {
        SCOPED_TRACE(pass.what);
        machine(pass.machine);
        write("tarvo.log", "");
        expectRun(run({"info.txt"}),
                  BANNER + listing("info.txt", {"Alpha", "Beta", "Gamma"}) + ENTERING + pass.console + EXITING,
                  pass.status);
        EXPECT_EQ(read("tarvo.log"), pass.log);
    }
}

TEST_F(Update, InfoFileWithoutRecordsCoversNoAdapter)
{
    write("info.txt", "");
    machine("0x1111, A\n0x2222, B\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {}) + ENTERING + notCovered(1, "0x1111") +
                  notCovered(2, "0x2222") + EXITING,
              1);
    EXPECT_FALSE(exists("tarvo.log"));
}

TEST_F(Update, AdapterWithoutReadableIdIsNeverUpdatedWithAnotherAdaptersPackage)
{
    write("info.txt", INFO);
    machine("0x1111, A\n"
            "0x2222, B, query=nokey\n"
            "0x2222, B, query=fail\n"
            "0x2222, B, query=nokey query-signal=9\n"
            "0x2222, B, query-signal=15\n"
            "0x2222, B\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {"Alpha", "Beta"}) + ENTERING +
                  updated(1, "0x1111", "Alpha", "a.bin") +
                  querying(2, false) + unidentified(2) +
                  querying(3, false) + unidentified(3) + querying(4, false) + unidentified(4) +
                  // The query's status is not looked at: its output alone decides.
                  updated(5, "0x2222", "Beta", "b.bin") +
                  updated(6, "0x2222", "Beta", "b.bin") + EXITING,
              1);
    EXPECT_EQ(read("tarvo.log"), "1 0x1111 a.bin\n5 0x2222 b.bin\n6 0x2222 b.bin\n");
}

TEST_F(Update, CrlfToolOutputKeepsTheCarriageReturnAndMatchesNoRecord)
{
    write("info.txt", INFO);
    machine("0x1111, A, query=crlf\n");
    expectRun(run({"info.txt", "DEBUG"}),
              BANNER + listing("info.txt", {"Alpha", "Beta"}) + counted(1) + ENTERING +
                  querying(1, true) + identified("0x1111\r", true) + uncovered(1) + EXITING,
              1);
    EXPECT_FALSE(exists("tarvo.log"));
}

TEST_F(Update, DuplicateIdUsesTheFirstRecordForEveryAdapter)
{
    write("info.txt", "0x1111,First,a.bin\n0x2222,Beta,b.bin\n0x1111,Second,c.bin\n");
    machine("0x1111, A\n0x2222, B\n0x1111, A\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {"First", "Beta", "Second"}) + ENTERING +
                  updated(1, "0x1111", "First", "a.bin") + updated(2, "0x2222", "Beta", "b.bin") +
                  updated(3, "0x1111", "First", "a.bin") + EXITING,
              0);
    EXPECT_EQ(read("tarvo.log"), "1 0x1111 a.bin\n2 0x2222 b.bin\n3 0x1111 a.bin\n");
}

TEST_F(Update, PackageReachesTheToolAsShellWords)
{
    // Blanks split words; quotes keep their ordinary meaning (the two spaces inside them stay).
    const std::string package = "a.bin --force  now\tplease \"two  words\"";
    write("info.txt", "0x1111,Alpha," + package + "\n");
    machine("0x1111, A\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {"Alpha"}) + ENTERING + updated(1, "0x1111", "Alpha", package) + EXITING,
              0);
    EXPECT_EQ(read("tarvo.log"), "1 0x1111 a.bin --force now please two  words\n");
}

TEST_F(Update, RefusedLineRefusesTheWholeFileBeforeAnyToolCommand)
{
    struct Case {
        std::string fields;  // after the ID, which a later good line shares
        std::string why;
    };
    std::vector<Case> cases = {
        {"Refused", "it has fewer than three fields"},
        {"Refused," + std::string(217, 'x'), "its update package is longer than 216 characters"},
        {"Refused,c.bin #touch pwned", "its update package has a word that begins with '#'"},
        // The shell would put a home directory in its place, where no check can follow it.
        {"Refused, ~/c.bin", "its update package begins with '~'"},
    };
    // CR LF line ends, and other control characters, would reach the tool as part of the name.
    cases.push_back({"Refused,c.bin\r", "its update package contains a carriage return; save the file with Unix line ends"});
    cases.push_back({"Refused,c\x1b.bin", "its update package contains the control character 0x1B"});
    for (char special : std::string(";&|<>()$`\\*?["))
        cases.push_back({std::string("Refused,c.bin") + special + "touch pwned",
                         std::string("its update package contains the shell character '") + special + "'"});
    machine("0x1111, A\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fields);
        // The blank line counts: the message names the line as an editor shows it.
        write("info.txt", "\n0x1111," + c.fields + "\n0x1111,Alpha,a.bin\n");
        expectRun(run({"info.txt"}),
                  BANNER + "Update file:  info.txt.\n\nERROR: Line 2 of the adapter info file is ignored: " + c.why +
                      ".\n\nERROR: The adapter info file cannot be used as it stands; no adapter is updated.\n\n",
                  231);
        EXPECT_FALSE(exists("list.out")) << "a tool command ran";
        EXPECT_FALSE(exists("pwned"));
    }
}

TEST_F(Update, DryRunQueriesAndMatchesButUpdatesNothing)
{
    // The last package's first word is the file the shell names, without its quotes.
    write("info.txt", INFO + "0x3333,Gamma, missing.bin -x\n0x4444,Quoted,'missing q.bin'\n");
    const auto wouldRun = [](int adapter, const std::string &id, const std::string &name, const std::string &package) {
        const std::string n = std::to_string(adapter);
        return querying(adapter, false) + identified(id, false) + "Adapter " + n + " is a " + name +
               ".\n\nWould run:  ./tarvo -c " + n + " -updatepkg " + package + " > result.out\n\n";
    };
    // Its exit status is a run's in which every update succeeds.
    const std::vector<Pass> passes = {
        {"two would be updated, one not covered", "0x1111, A\n0x9999, Other\n0x2222, B, exit=3\n",
         wouldRun(1, "0x1111", "Alpha", "a.bin") + notCovered(2, "0x9999") + wouldRun(3, "0x2222", "Beta", "b.bin"), "",
         0},
        {"none covered", "0x9999, Other\n", notCovered(1, "0x9999"), "", 1},
        {"an ID that cannot be read", "0x1111, A\n0x2222, B, query=nokey\n",
         wouldRun(1, "0x1111", "Alpha", "a.bin") + querying(2, false) + unidentified(2), "", 1},
        {"a package file that is not there", "0x4444, D\n0x3333, C\n0x1111, A\n",
         wouldRun(1, "0x4444", "Quoted", "'missing q.bin'") +
             "ERROR: The update package missing q.bin of adapter 1 is not a readable file here; its update would fail.\n\n" +
             wouldRun(2, "0x3333", "Gamma", " missing.bin -x") +
             "ERROR: The update package missing.bin of adapter 2 is not a readable file here; its update would fail.\n\n" +
             wouldRun(3, "0x1111", "Alpha", "a.bin"),
         "", 1},
    };
    for (const Pass &pass : passes) {
        SCOPED_TRACE(pass.what);
        machine(pass.machine);
        expectRun(run({"--dry-run", "info.txt"}),
                  BANNER + listing("info.txt", {"Alpha", "Beta", "Gamma", "Quoted"}) + DRY_RUN + ENTERING +
                      pass.console + EXITING,
                  pass.status);
        EXPECT_FALSE(exists("tarvo.log"));
        EXPECT_FALSE(exists("result.out"));
    }
}

TEST_F(Update, EveryAdaptersToolOutputIsKept)
{
    write("info.txt", INFO);
    machine("0x1111, A, exit=3\n0x2222, B\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {"Alpha", "Beta"}) + ENTERING + updated(1, "0x1111", "Alpha", "a.bin", 768) +
                  updated(2, "0x2222", "Beta", "b.bin") + EXITING,
              3);
    EXPECT_NE(read("result-1.out").find("Update failed with error code 3."), std::string::npos) << read("result-1.out");
    EXPECT_NE(read("result-2.out").find("Update completed successfully."), std::string::npos);
    EXPECT_EQ(read("result.out"), read("result-2.out"));
}

TEST_F(Update, IdsAreComparedWhole)
{
    // Each adapter's ID has a record whose ID begins with it, or is its beginning, listed first.
    write("info.txt",
          "0x1111222,Nine,a.bin\n"
          "0xB2 rev 3,Spaced,c.bin\n"
          "0x1111222233334444,Long,b.bin\n"
          "0xB2,Short,a.bin\n");
    machine("0x1111222233334444, A\n0xB2, B\n0xB2 rev 3, C\n");
    expectRun(run({"info.txt"}),
              BANNER + listing("info.txt", {"Nine", "Spaced", "Long", "Short"}) + ENTERING +
                  updated(1, "0x1111222233334444", "Long", "b.bin") + updated(2, "0xB2", "Short", "a.bin") +
                  updated(3, "0xB2 rev 3", "Spaced", "c.bin") + EXITING,
              0);
    EXPECT_EQ(read("tarvo.log"), "1 0x1111222233334444 b.bin\n2 0xB2 a.bin\n3 0xB2 rev 3 c.bin\n");
}

}  // namespace

namespace {

using namespace e2e;
namespace fs = std::filesystem;

TEST_F(Update, ChecksumsAreVerifiedBeforeAnyToolCommand)
{
    write("info.txt", INFO + "0x3333,Gamma,c.bin -x\n");
    machine("0x1111, A\n0x2222, B\n");
    const std::string a = sha256sum("a.bin"), b = sha256sum("b.bin");
    std::string upper = b;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string c = sha256sum("c.bin");
    const std::string refused = "ERROR: The update packages do not match their checksums; no adapter is updated.\n\n";
    const auto notListed = [](const std::string &p, int line) {
        return "ERROR: The update package " + p + " of line " + std::to_string(line) + " is not listed in SUMS.\n\n";
    };
    struct Case {
        const char *what;
        std::string sums;
        std::string info;      // "" for the fixture's
        std::string errors;    // "" when every package matches
    };
    const std::vector<Case> cases = {
        {"good, in upper case and in binary mode too", a + "  a.bin\n" + upper + " *b.bin\n\n" + c + "  c.bin\n", "", ""},
        {"tagged lines among plain ones, ./ names", "SHA256 (./a.bin) = " + a + "\nSHA256 (b.bin) = " + upper + "\n" + c + "  ./c.bin\n", "", ""},
        {"a package changed by a byte", a + "  a.bin\n" + std::string(63, '0') + "1  b.bin\n" + c + "  c.bin\n", "",
         "ERROR: The update package b.bin of line 2 does not match its SHA-256 in SUMS.\n\n"},
        {"a package not listed, and one missing: both named", a + "  a.bin\n" + b + "  missing.bin\n", "", notListed("b.bin", 2) + notListed("c.bin", 3)},
        {"a listed package that is not there", a + "  a.bin\n" + b + "  b.bin\n" + c + "  c.bin\n" + a + "  gone.bin\n",
         INFO + "0x3333,Gamma,gone.bin\n", "ERROR: The update package gone.bin of line 3 cannot be read.\n\n"},
        {"a quoted package, checked as the shell gives it", a + "  a.bin\n" + b + "  b.bin\n" + c + "  c.bin\n",
         INFO + "0x3333,Gamma,\"c.bin\"\n", ""},
        {"a quote that is not closed", a + "  a.bin\n" + b + "  b.bin\n", INFO + "0x3333,Gamma,'c.bin\n",
         "ERROR: The update package of line 3 cannot be checked: its first word begins with a ~ or has a quote that is not closed.\n\n"},
        {"a malformed line", a + "  a.bin\n" + b + "\tb.bin\n", "", "ERROR: Line 2 of the checksum file SUMS is not a SHA-256 line.\n\n"},
    };
    for (const Case &row : cases) {
        SCOPED_TRACE(row.what);
        write("SUMS", row.sums);
        write("info.txt", row.info.empty() ? INFO + "0x3333,Gamma,c.bin -x\n" : row.info);
        fs::remove(path("tarvo.log"));
        for (const bool dryRun : {false, true}) {
            std::vector<std::string> args = {"--checksums", "SUMS", "info.txt"};
            if (dryRun)
                args.insert(args.begin(), "--dry-run");
            const std::string head = BANNER + listing("info.txt", {"Alpha", "Beta", "Gamma"}) + (dryRun ? DRY_RUN : "");
            const RunResult result = run(args);
            if (row.errors.empty()) {
                EXPECT_EQ(result.status, 0) << result.out;
                EXPECT_EQ(result.out.find("ERROR: "), std::string::npos) << result.out;
            } else {
                expectRun(result, head + row.errors + refused, 231);
                EXPECT_FALSE(exists("list.out")) << "a tool command ran";
            }
            fs::remove(path("list.out"));
        }
        EXPECT_EQ(read("tarvo.log"), row.errors.empty() ? "1 0x1111 a.bin\n2 0x2222 b.bin\n" : "");
    }
    // A checksum file that cannot be read.
    write("info.txt", INFO);
    expectRun(run({"--checksums=missing.sums", "info.txt"}),
              BANNER + listing("info.txt", {"Alpha", "Beta"}) + "ERROR: Could not read the checksum file missing.sums.\n\n" + refused, 231);
}

}  // namespace
