// The run report of --report FILE, read back with a JSON parser: what each kind of run leaves in
// it, that it says what the console says, and that it is a whole document at every moment.

#include "harness.h"
#include "texts.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using namespace e2e;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string INFO = "0x1111,Al\x01pha \xff,a.bin\n0x2222,Beta,b.bin\n0x3333,Gamma,missing.bin\n";

class Report : public Scratch {
protected:
    void SetUp() override
    {
        Scratch::SetUp();
        copyToolWithPackages({"a.bin", "b.bin"});
        write("info.txt", INFO);
    }

    // The report at name, parsed; a test failure, and null, when it is not one JSON document.
    json report(const std::string &name = "run.json") const
    {
        try {
            return json::parse(read(name));
        } catch (const json::exception &e) {
            ADD_FAILURE() << name << " is not a JSON document: " << e.what() << "\n" << read(name);
            return nullptr;
        }
    }
};

// The text of every "ERROR: " line of a run's output, in order.
std::vector<std::string> errorLines(const std::string &out)
{
    std::vector<std::string> errors;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ERROR: ", 0) == 0)
            errors.push_back(line.substr(7));
    }
    return errors;
}

// What every finished report holds, whatever the run: the run's own status and errors, the
// settings it was made with, and counts that add up to its adapters.
void expectFinished(const json &doc, const RunResult &result, const std::string &dir, bool dryRun)
{
    const std::regex utc("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    EXPECT_EQ(doc["format_version"], 2);
    EXPECT_EQ(doc["program_version"], "1.46");
    EXPECT_EQ(doc["directory"], dir);
    EXPECT_EQ(doc["info_file"], "info.txt");
    EXPECT_EQ(doc["dry_run"], dryRun);
    EXPECT_TRUE(std::regex_match(doc["started"].get<std::string>(), utc)) << doc["started"];
    EXPECT_TRUE(std::regex_match(doc["finished"].get<std::string>(), utc)) << doc["finished"];
    EXPECT_EQ(doc["exit_status"], result.status);
    EXPECT_EQ(doc["errors"], json(errorLines(result.out)));
    json counts = {{"updated", 0},      {"failed", 0},     {"not covered", 0}, {"no id", 0},
                   {"would update", 0}, {"would fail", 0}, {"unverified", 0}};
    for (const json &adapter : doc["adapters"])
        counts[adapter["state"].get<std::string>()] = counts[adapter["state"].get<std::string>()].get<int>() + 1;
    EXPECT_EQ(doc["counts"], counts);
}

// The states of the report's adapters, in order.
std::vector<std::string> states(const json &doc)
{
    std::vector<std::string> list;
    for (const json &adapter : doc["adapters"])
        list.push_back(adapter["state"]);
    return list;
}

TEST_F(Report, EveryKindOfRunSaysWhatTheConsoleSays)
{
    struct Case {
        const char *what;
        std::vector<std::string> args;  // before the info file
        std::string machine;
        std::string outcome;
        std::vector<std::string> states;
        json adaptersFound;
    };
    const std::vector<Case> cases = {
        {"each state of a run", {}, "0x1111, A\n0x2222, B, exit=3\n0x9999, C\n0x1111, D, query=nokey\n0x2222, E, signal=15\n",
         "failed", {"updated", "failed", "not covered", "no id", "failed"}, 5},
        {"a run that updates", {}, "0x2222, B\n0x9999, C\n", "updated", {"updated", "not covered"}, 2},
        {"nothing covered", {}, "0x9999, C\n", "nothing covered", {"not covered"}, 1},
        {"a dry run", {"--dry-run"}, "0x1111, A\n0x3333, C\n0x9999, D\n", "would fail",
         {"would update", "would fail", "not covered"}, 3},
        {"a dry run that would update", {"--dry-run"}, "0x1111, A\n", "would update", {"would update"}, 1},
        {"no adapter", {}, "", "refused", {}, 0},
        {"an info file refused", {}, "0x1111, A\n", "refused", {}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write("tarvo-machine.txt", c.machine);
        write("info.txt", c.adaptersFound.is_null() ? "0x1111,Alpha\n" : INFO);
        std::vector<std::string> args = c.args;
        args.push_back("info.txt");
        const RunResult without = run(args);
        args.insert(args.begin(), "--report=run.json");
        const RunResult result = run(args);
        // The console is the same with a report as without.
        EXPECT_EQ(result.out, without.out);
        EXPECT_EQ(result.status, without.status);
        const json doc = report();
        expectFinished(doc, result, directory(), !c.args.empty());
        EXPECT_EQ(doc["outcome"], c.outcome);
        EXPECT_EQ(states(doc), c.states);
        EXPECT_EQ(doc["adapters_found"], c.adaptersFound);
        EXPECT_EQ(doc["stop_signal"], nullptr);
    }
}

TEST_F(Report, RefusedLinesBeyondTheFirstHundredAreCounted)
{
    // The console names every one; the report's memory must not grow with the file.
    std::string info;
    for (int i = 0; i < 150; i++)
        info += "short line\n";
    write("info.txt", info);
    const RunResult result = run({"--report=run.json", "info.txt"});
    EXPECT_EQ(result.status, 231);
    const std::vector<std::string> printed = errorLines(result.out);
    ASSERT_EQ(printed.size(), 151u);
    std::vector<std::string> kept(printed.begin(), printed.begin() + 100);
    kept.push_back("50 more lines of the adapter info file are ignored.");
    kept.push_back(printed.back());
    EXPECT_EQ(report()["errors"], json(kept));
}

TEST_F(Report, AdapterMembersComeFromItsRecordAndItsCommand)
{
    write("tarvo-machine.txt", "0x1111, A\n0x2222, B, signal=15\n0x9999, C\n");
    write("missing.bin", "package\n");
    write("SUMS", sha256sum("a.bin") + "  a.bin\n" + sha256sum("b.bin") + "  b.bin\n" + sha256sum("missing.bin") + "  missing.bin\n");
    const RunResult result = run({"--checksums", "SUMS", "--report", "run.json", "info.txt"});
    ASSERT_EQ(result.status, 128 + SIGTERM) << result.out;
    const json doc = report();
    ASSERT_EQ(doc["adapters"].size(), 3U);
    const json &first = doc["adapters"][0], &killed = doc["adapters"][1], &other = doc["adapters"][2];
    // Control characters escaped, bytes that are not UTF-8 as U+FFFD: read back as text again.
    EXPECT_EQ(first["name"], "Al\x01pha \xef\xbf\xbd");
    EXPECT_EQ(first["package"], "a.bin");
    EXPECT_EQ(first["id"], "0x1111");
    EXPECT_EQ(first["wait_status"], 0);
    EXPECT_EQ(first["exit_code"], 0);
    EXPECT_EQ(first["result_file"], "result-1.out");
    EXPECT_TRUE(first["seconds"].is_number());
    EXPECT_EQ(first["sha256"], sha256sum("a.bin"));
    // A tool that a signal ended: the shell's exit code says 128 + S, and the signal is read from it.
    EXPECT_EQ(killed["wait_status"], 143 * 256);
    EXPECT_EQ(killed["exit_code"], 143);
    EXPECT_EQ(killed["signal"], SIGTERM);
    EXPECT_EQ(killed["state"], "failed");
    EXPECT_EQ(killed["sha256"], sha256sum("b.bin"));
    // No record, no command, no digest.
    for (const char *member : {"name", "package", "wait_status", "exit_code", "signal", "result_file", "seconds", "sha256"})
        EXPECT_EQ(other[member], nullptr) << member;
    EXPECT_EQ(doc["checksums"], "SUMS");
    EXPECT_EQ(doc["outcome"], "failed");
    EXPECT_EQ(doc["stop_signal"], nullptr);
}

TEST_F(Report, StopsLocksAndKillsLeaveAWholeDocument)
{
    write("tarvo-machine.txt", "0x1111, A\n0x2222, B, ms=1500\n0x1111, C\n");
    // Stopped while adapter 2 flashes: it finishes and is kept; adapter 3 is never reached.
    RunResult result = run({"--report=run.json", "info.txt"}, Stdout::Captured, false, {{}, SIGTERM, "tarvo.log", false, {}, "2 0x2222"});
    json doc = report();
    expectFinished(doc, result, directory(), false);
    EXPECT_EQ(doc["outcome"], "stopped");
    EXPECT_EQ(doc["stop_signal"], SIGTERM);
    EXPECT_EQ(states(doc), std::vector<std::string>({"updated", "updated"}));

    // Killed outright while adapter 2 flashes: the document of the last step done. Its flash
    // goes on in a process of its own, as a tool's may, until the test releases it; it keeps
    // the directory's lock that it inherited.
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') printf '1  A\\n2  B\\n' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x111'\"$2\" ;;\n"
              "*) echo \"$2 $4\" >> tarvo.log\n"
              "   [ \"$2\" = 1 ] || setsid sh -c 'touch flashing; while [ ! -e release ]; do sleep 0.01; done; touch flashed' ;;\n"
              "esac\n");
    write("info.txt", "0x1111,Alpha,a.bin\n0x1112,Beta,b.bin\n");
    fs::remove(path("tarvo.log"));
    result = run({"--report=run.json", "info.txt"}, Stdout::Captured, false, {{}, SIGKILL, "flashing", false});
    EXPECT_EQ(result.status, 128 + SIGKILL);
    const std::string killed = read("run.json");
    doc = report();
    EXPECT_EQ(doc["finished"], nullptr);
    EXPECT_EQ(doc["outcome"], "running");
    EXPECT_EQ(doc["exit_status"], nullptr);
    EXPECT_EQ(states(doc), std::vector<std::string>({"updated"}));
    for (const fs::directory_entry &file : fs::directory_iterator(path("")))
        EXPECT_EQ(file.path().filename().string().rfind("run.json.", 0), std::string::npos) << "left behind: " << file.path();

    // While the orphaned flash goes on, a second run is refused and leaves the report as it was.
    const std::string refusal = "ERROR: Another orvTQupdate run is using this directory; no adapter is updated.\n\n";
    const std::string head = BANNER + listing("info.txt", {"Alpha", "Beta"});
    expectRun(run({"--report=run.json", "info.txt"}), head + refusal, 231);
    // Whatever else refuses it, the lock's refusal is its last word, and no report is tried.
    expectRun(run({"--report=missing/run.json", "info.txt"}), head + refusal, 231);
    expectRun(run({"--report=run.json", "missing.txt"}),
              BANNER + "Update file:  missing.txt.\n\n"
                       "ERROR: Could not open adapter info file... controller info not found!\n\n" + refusal, 231);
    EXPECT_EQ(read("run.json"), killed);
    EXPECT_EQ(read("tarvo.log"), "1 a.bin\n2 b.bin\n");
    EXPECT_FALSE(exists("flashed"));

    // Once the flash has ended, the directory is free again.
    write("release", "");
    ASSERT_EQ(std::system(("flock '" + path("") + "' true").c_str()), 0);
    EXPECT_TRUE(exists("flashed"));
    result = run({"--report=run.json", "info.txt"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(report()["outcome"], "updated");
}

TEST_F(Report, StopsFromThePackageCheckToTheLastLine)
{
    // Ctrl-C while a package of many gigabytes is hashed ends the check at its next block. The
    // file is sparse: reading it whole would outlast the harness's limit.
    write("info.txt", "0x1111,Alpha,huge.bin\n");
    write("huge.bin", "");
    ASSERT_EQ(truncate(path("huge.bin").c_str(), 1LL << 36), 0);
    write("SUMS", std::string(64, '0') + "  huge.bin\n");
    RunResult result = run({"--report=run.json", "--checksums", "SUMS", "info.txt"}, Stdout::Captured, false,
                           {{}, SIGINT, "run.json"});
    expectRun(result, BANNER + listing("info.txt", {"Alpha"}) + stopped(SIGINT), 128 + SIGINT);
    EXPECT_FALSE(exists("list.out")) << "a tool command ran";
    json doc = report();
    EXPECT_EQ(doc["outcome"], "stopped");
    EXPECT_EQ(doc["stop_signal"], SIGINT);

    // The reader of `2>&1 | head` gone during an update, whose tool then writes to standard
    // error: the update is whole, no further command starts, and the run says it was stopped,
    // also when the reader's loss shows only at the last lines.
    write("info.txt", "0x1111,Alpha,a.bin\n0x1112,Beta,b.bin\n");
    for (const int adapters : {1, 2}) {
        SCOPED_TRACE(adapters);
        for (const char *file : {"tarvo.log", "updating1", "flashed1", "filled", "run.json"})
            fs::remove(path(file));
        writeTool("case \"$1 $3\" in\n"
                  "'-listall ') printf '1  A\\n2  B\\n' | head -n " + std::to_string(adapters) + " ;;\n"
                  "'-c -list') echo '" + ID_KEY + " 0x111'\"$2\" ;;\n"
                  "*) touch updating\"$2\"; while [ ! -e filled ]; do sleep 0.01; done\n"
                  "   echo 'step 1 of 2' >&2; echo 'step 2 of 2' >&2\n"
                  "   echo \"$2 $4\" >> tarvo.log; touch flashed\"$2\" ;;\n"
                  "esac\n");
        result = run({"--report=run.json", "info.txt"}, Stdout::Dropped, false, {{}, 0, "updating1"});
        EXPECT_EQ(result.status, 128 + SIGPIPE) << result.out;
        EXPECT_EQ(read("tarvo.log"), "1 a.bin\n");
        EXPECT_TRUE(exists("flashed1"));
        doc = report();
        EXPECT_EQ(doc["outcome"], "stopped");
        EXPECT_EQ(doc["stop_signal"], SIGPIPE);
        EXPECT_EQ(doc["exit_status"], 128 + SIGPIPE);
        EXPECT_EQ(states(doc), std::vector<std::string>({"updated"}));
    }
}

TEST_F(Report, VerifyQueriesEachUpdatedAdapterAgain)
{
    write("info.txt", "0x1111,Alpha,a.bin\n0x2222,Beta,b.bin\n");
    const std::string head = BANNER + listing("info.txt", {"Alpha", "Beta"}) + ENTERING;
    const auto verifying = [](int adapter, bool debug) {
        const std::string n = std::to_string(adapter);
        return "Verifying Adapter " + n + ".  Please wait....\n\n" +
               (debug ? "Running command:  ./tarvo -c " + n + " -list > ssdid.out\n\n" : "");
    };
    const auto answers = [](int adapter, const std::string &id) {
        return "Adapter " + std::to_string(adapter) + " answers with ID " + id + " after its update.\n\n";
    };
    const auto silent = [](int adapter, const std::string &id) {
        return "ERROR: Adapter " + std::to_string(adapter) + " does not answer with ID " + id + " after its update.\n\n";
    };
    const std::string firmware = "Firmware Version                       : ";
    const std::string idLine = "PCI SubSystem DeviceId                 : ";
    const json version = {{"removed", {firmware + "factory"}}, {"added", {firmware + "a.bin"}}, {"removed_count", 1}, {"added_count", 1}};
    struct Case {
        const char *what;
        std::string machine;
        std::vector<std::string> args;  // before the info file
        std::string console;            // after the head
        int status;
        std::vector<std::string> states;
        std::vector<json> verified;
        json changes;                   // adapter 1's
    };
    const std::vector<Case> cases = {
        {"the same ID: its firmware's change shown", "0x1111, A\n", {"--verify"},
         updated(1, "0x1111", "Alpha", "a.bin") + verifying(1, false) + answers(1, "0x1111") + EXITING, 0, {"updated"}, {true}, version},
        {"with DEBUG: the command, and no ID lines", "0x1111, A\n", {"--verify"},
         querying(1, true) + identified("0x1111", true) + updating(1, "Alpha", "a.bin", 0, true) + verifying(1, true) +
             answers(1, "0x1111") + EXITING, 0, {"updated"}, {true}, version},
        {"another ID: unverified, a failure", "0x1111, A, after=id:0x9999\n", {"--verify"},
         updated(1, "0x1111", "Alpha", "a.bin") + verifying(1, false) + silent(1, "0x1111") + EXITING, 1, {"unverified"}, {false},
         {{"removed", {firmware + "factory", idLine + "0x1111"}}, {"added", {firmware + "a.bin", idLine + "0x9999"}},
          {"removed_count", 2}, {"added_count", 2}}},
        {"no answer, then a failed update: the last failure decides", "0x1111, A, after=vanish\n0x2222, B, exit=3\n", {"--verify"},
         updated(1, "0x1111", "Alpha", "a.bin") + verifying(1, false) + silent(1, "0x1111") +
             updated(2, "0x2222", "Beta", "b.bin", 768) + EXITING, 3, {"unverified", "failed"}, {false, nullptr},
         {{"removed_count", 14}, {"added_count", 0}}},
        {"a failed update, then no answer", "0x2222, B, exit=3\n0x1111, A, after=vanish\n", {"--verify"},
         updated(1, "0x2222", "Beta", "b.bin", 768) + updated(2, "0x1111", "Alpha", "a.bin") + verifying(2, false) +
             silent(2, "0x1111") + EXITING, 1, {"failed", "unverified"}, {nullptr, false}, nullptr},
        {"without --verify nothing is queried again", "0x1111, A, after=vanish\n", {},
         updated(1, "0x1111", "Alpha", "a.bin") + EXITING, 0, {"updated"}, {nullptr}, nullptr},
        {"a dry run: accepted, and nothing more", "0x1111, A\n", {"--dry-run", "--verify"},
         querying(1, false) + identified("0x1111", false) + "Adapter 1 is a Alpha.\n\nWould run:  ./tarvo -c 1 -updatepkg a.bin > result.out\n\n" +
             EXITING, 0, {"would update"}, {nullptr}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *file : {"tarvo-state.txt", "config-1.out"})
            fs::remove(path(file));
        write("config-1-after.out", "an earlier run's\n");
        write("tarvo-machine.txt", c.machine);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--report=run.json");
        args.emplace_back("info.txt");
        if (c.what == std::string("with DEBUG: the command, and no ID lines"))
            args.emplace_back("DEBUG");
        const RunResult result = run(args);
        expectRun(result, head.substr(0, head.size() - ENTERING.size()) + (c.args.size() > 1 ? DRY_RUN : "") +
                              (args.back() == "DEBUG" ? counted(1) : "") + ENTERING + c.console,
                  c.status);
        const json doc = report();
        expectFinished(doc, result, directory(), c.args.size() > 1);
        EXPECT_EQ(doc["verify"], !c.args.empty());
        EXPECT_EQ(states(doc), c.states);
        for (size_t i = 0; i < c.verified.size() && i < doc["adapters"].size(); i++)
            EXPECT_EQ(doc["adapters"][i]["verified"], c.verified[i]) << "adapter " << i + 1;
        json changes = doc["adapters"][0]["changes"];
        if (c.changes.is_object() && !c.changes.contains("removed")) {
            changes.erase("removed");
            changes.erase("added");
        }
        EXPECT_EQ(changes, c.changes);
        // Each query's output is kept; an earlier run's verifying query is not taken for this one's.
        EXPECT_NE(read("config-1.out").find(idLine), std::string::npos);
        EXPECT_EQ(exists("config-1-after.out"), doc["adapters"][0]["verified"].is_boolean());
        EXPECT_NE(read("config-1-after.out"), "an earlier run's\n");
    }

    // A stop while the verifying query's announcement waits for a stalled reader: the query
    // never starts, and the adapter stays updated, neither verified nor not.
    // The update ends only once the harness has filled the run's pipe.
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') printf '1  A\\n2  B\\n' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x'\"$2$2$2$2\" ;;\n"
              "*) echo \"$2 $4\" >> tarvo.log; while [ ! -e filled ]; do sleep 0.01; done ;;\n"
              "esac\n");
    fs::remove(path("tarvo.log"));
    fs::remove(path("config-1-after.out"));
    const RunResult result = run({"--report=run.json", "--verify", "info.txt"}, Stdout::Stalled, false, {{}, SIGTERM, "tarvo.log", false});
    expectRun(result, head + updated(1, "0x1111", "Alpha", "a.bin") + verifying(1, false) + stopped(SIGTERM) + EXITING,
              128 + SIGTERM);
    const json doc = report();
    EXPECT_EQ(states(doc), std::vector<std::string>({"updated"}));
    EXPECT_EQ(doc["adapters"][0]["verified"], nullptr);
    EXPECT_FALSE(exists("config-1-after.out"));

    // A configuration that cannot be kept is said, and the run cannot pass for a success.
    copyTool();
    write("tarvo-machine.txt", "0x1111, A\n");
    fs::remove(path("config-1.out"));
    ASSERT_EQ(mkdir(path("config-1.out").c_str(), 0755), 0);
    expectRun(run({"info.txt"}), head + querying(1, false) +
                                     "ERROR: Could not keep the configuration of adapter 1 in config-1.out.\n\n" +
                                     identified("0x1111", false) + updating(1, "Alpha", "a.bin", 0, false) + EXITING,
              1);
}

// The lines of the run history, each parsed; a test failure for a line that is not JSON.
std::vector<json> historyLines(const std::string &text)
{
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        try {
            lines.push_back(json::parse(line));
        } catch (const json::exception &e) {
            ADD_FAILURE() << "not a JSON line: " << line;
        }
    }
    return lines;
}

TEST_F(Report, EveryRunThatHoldsTheDirectoryIsOnRecord)
{
    write("info.txt", "0x1111,Alpha,a.bin\n");
    write("tarvo-machine.txt", "0x1111, A\n");
    expectRun(run({"--history"}), BANNER + "No run on record.\n", 0);

    // A verified run, a refused one, a dry run; one refused by the lock, which writes nothing;
    // one killed during its update, which ends without an account.
    EXPECT_EQ(run({"--verify", "--report=run.json", "info.txt"}).status, 0);
    const json verified = report();
    EXPECT_EQ(run({"missing.txt"}).status, 231);
    EXPECT_EQ(run({"--dry-run", "info.txt"}).status, 0);
    FILE *holder = popen(("cd '" + path("") + "' && flock . sh -c 'touch held; exec cat >/dev/null'").c_str(), "w");
    ASSERT_NE(holder, nullptr);
    ASSERT_TRUE(waitFor("held"));
    EXPECT_EQ(run({"info.txt"}).status, 231);
    pclose(holder);
    write("tarvo-machine.txt", "0x1111, A, ms=1500\n");
    fs::remove(path("tarvo.log"));
    EXPECT_EQ(run({"info.txt"}, Stdout::Captured, false, {{}, SIGKILL, "tarvo.log", false}).status, 128 + SIGKILL);

    const std::vector<json> lines = historyLines(read("orvTQupdate.history"));
    ASSERT_EQ(lines.size(), 7u);
    const std::vector<std::vector<std::string>> words = {{"--verify", "--report=run.json", "info.txt"}, {"missing.txt"},
                                                         {"--dry-run", "info.txt"}, {"info.txt"}};
    const char *sudo = std::getenv("SUDO_USER");
    for (size_t i = 0; i < lines.size(); i++) {
        const json &line = lines[i];
        EXPECT_EQ(line["event"], i % 2 == 0 ? "start" : "end") << i;
        EXPECT_EQ(line["run"], lines[i - i % 2]["run"]) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(line["argv"], json(words[i / 2]));
            EXPECT_EQ(line["user"], "root");
            EXPECT_EQ(line["sudo_user"], sudo != nullptr ? json(sudo) : json(nullptr));
        }
    }
    EXPECT_NE(lines[0]["run"], lines[2]["run"]);
    EXPECT_EQ(lines[1]["report"], verified);
    EXPECT_EQ(lines[3]["report"]["outcome"], "refused");
    EXPECT_EQ(lines[5]["report"]["outcome"], "would update");
    struct stat st = {};
    ASSERT_EQ(stat(path("orvTQupdate.history").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // Shown run by run, oldest first; a line that is not JSON is named, and fails the showing.
    const auto time = [&lines](size_t i) { return lines[i]["time"].get<std::string>(); };
    const std::string shown =
        BANNER + time(0) + "  updated, exit status 0: 1 updated, 0 failed; info file info.txt\n"
        "    adapter 1, ID 0x1111, a.bin: updated\n"
        "        - Firmware Version                       : factory\n"
        "        + Firmware Version                       : a.bin\n" +
        time(2) + "  refused, exit status 231: 0 updated, 0 failed; info file missing.txt\n" +
        time(4) + "  would update, exit status 0: 0 updated, 0 failed; info file info.txt\n" +
        time(6) + "  ended without an account (killed, or still running): orvTQupdate info.txt\n";
    expectRun(run({"--history"}), shown, 0);
    std::ofstream(path("orvTQupdate.history"), std::ios::app) << "not a record\n";
    expectRun(run({"--history"}), shown + "unreadable line 8\n", 1);

    // A history that another user could change, or a link in its place, takes no line; the run
    // goes on, and cannot pass for a success.
    write("tarvo-machine.txt", "0x1111, A\n");
    const std::string console = BANNER + HISTORY_ERROR + listing("info.txt", {"Alpha"}) + ENTERING +
                                updated(1, "0x1111", "Alpha", "a.bin") + EXITING;
    const std::string before = read("orvTQupdate.history");
    ASSERT_EQ(chmod(path("orvTQupdate.history").c_str(), 0666), 0);
    expectRun(run({"info.txt"}), console, 1);
    EXPECT_EQ(read("orvTQupdate.history"), before);
    fs::rename(path("orvTQupdate.history"), path("kept.history"));
    ASSERT_EQ(symlink("kept.history", path("orvTQupdate.history").c_str()), 0);
    expectRun(run({"--report=run.json", "info.txt"}), console, 1);
    EXPECT_EQ(read("kept.history"), before);
    EXPECT_EQ(report()["errors"], json({"Could not write the run history orvTQupdate.history."}));
}

TEST_F(Report, ReportThatCannotBeWritten)
{
    write("tarvo-machine.txt", "0x1111, A\n0x2222, B\n");
    const std::string listed = BANNER + listing("info.txt", {"Al\x01pha \xff", "Beta", "Gamma"});
    // At its first write: nothing is run.
    expectRun(run({"--report", "missing/run.json", "info.txt"}),
              listed + "ERROR: Could not write the run report missing/run.json.\n\n", 231);
    EXPECT_FALSE(exists("list.out"));
    EXPECT_FALSE(exists("tarvo.log"));

    // A name taken by anything but a regular file is someone else's: it stays as it is.
    write("target", "someone else's\n");
    ASSERT_EQ(symlink("target", path("link.json").c_str()), 0);
    ASSERT_EQ(mkdir(path("dir.json").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(path("fifo.json").c_str(), 0644), 0);
    // A device as /dev/null is one, made here: a program that replaced it would break the machine.
    std::vector<std::string> names = {"link.json", "dir.json", "fifo.json"};
    if (mknod(path("null.json").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        names.emplace_back("null.json");
    else
        std::cout << "[ skipped  ] no device node can be made here\n";
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        struct stat before = {};
        ASSERT_EQ(lstat(path(name).c_str(), &before), 0);
        expectRun(run({"--report", name, "info.txt"}),
                  listed + "ERROR: The run report " + name + " is not a regular file; no adapter is updated.\n\n", 231);
        struct stat after = {};
        ASSERT_EQ(lstat(path(name).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_FALSE(exists("list.out"));
    }
    EXPECT_EQ(read("target"), "someone else's\n");
    for (const fs::directory_entry &file : fs::directory_iterator(path("")))
        EXPECT_EQ(file.path().filename().string().find(".json."), std::string::npos) << "left behind: " << file.path();

    // Later: said once, the run goes on, and it cannot pass for a success. The first adapter's
    // update makes the report's directory immutable.
    ASSERT_EQ(mkdir(path("reports").c_str(), 0755), 0);
    if (std::system(("chattr +i '" + path("reports") + "' 2>/dev/null && chattr -i '" + path("reports") + "'").c_str()) != 0)
        GTEST_SKIP() << "chattr +i does not work here: a later failed write is not tried";
    writeTool("case \"$1 $3\" in\n"
              "'-listall ') printf '1  A\\n2  B\\n' ;;\n"
              "'-c -list') echo '" + ID_KEY + " 0x2222' ;;\n"
              "*) chattr +i reports ;;\n"
              "esac\n");
    const RunResult result = run({"--report", "reports/run.json", "info.txt"});
    std::system(("chattr -i '" + path("reports") + "' 2>/dev/null").c_str());
    expectRun(result,
              listed + ENTERING + updated(1, "0x2222", "Beta", "b.bin") +
                  "ERROR: Could not write the run report reports/run.json.\n\n" + updated(2, "0x2222", "Beta", "b.bin") + EXITING,
              1);
    EXPECT_EQ(report("reports/run.json")["finished"], nullptr);
}

}  // namespace
