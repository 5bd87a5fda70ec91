#ifndef ORVTQUPDATE_E2E_HARNESS_H
#define ORVTQUPDATE_E2E_HARNESS_H

// End-to-end harness: every test gets a fresh scratch directory, runs the built program there
// and compares its whole standard output and exit status with what it expects. The program's
// texts for assembling expected output are in texts.h.
//
//     class Runs : public e2e::Scratch {};
//     TEST_F(Runs, MissingInfoFile) {
//         copyTool();
//         e2e::expectRun(run({"missing.txt"}), e2e::BANNER + ..., 231);
//         EXPECT_FALSE(exists("list.out"));
//     }
//
// A failing test keeps its scratch directory and names it in the failure output.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace e2e {

// One run of the program: its whole standard output and standard error, and its exit status as
// a parent sees it (0..255, or 128 + N when it was ended by signal N).
struct RunResult {
    std::string out;
    std::string err;
    int status;
};

// Where a run's standard output goes: captured in RunResult::out, closed, or /dev/full; Tee
// captures it through `tee` in the run's process group, as `orvTQupdate ... | tee log` does;
// Stalled captures it through a pipe that the harness fills, and reads only once it has sent
// the signal (see Signals); Dropped captures standard output and standard error through one pipe,
// as `2>&1 | head` does, whose reader goes away when the signal's file appears.
enum class Stdout { Captured, Closed, Full, Tee, Stalled, Dropped };

// What happens to a run's signals: some ignored or blocked from the start, as nohup or a parent
// leaves them, and one signal sent once a file appears in the scratch directory. With
// Stdout::Stalled, the file's appearance makes the harness fill the run's pipe and create
// "filled" beside it; the signal is sent once the program is blocked writing to the pipe. With
// Stdout::Dropped, the harness closes the pipe's reading end then, creates "filled", and sends
// nothing. A second signal, then, follows once the file thenWhen appears.
struct Signals {
    std::vector<int> ignored;
    int send;              // the signal to send; 0 for none
    std::string when;      // the file whose appearance sends it
    bool group;            // to the whole process group, as a terminal's Ctrl-C; else to the program alone
    std::vector<int> blocked;
    std::string holding;   // text that the file must hold before the signal is sent; "" for any
    int then;              // a second signal, to the same, after the first; 0 for none
    std::string thenWhen;  // the file whose appearance sends it

    Signals(std::vector<int> ignored_ = {}, int send_ = 0, std::string when_ = "", bool group_ = true,
            std::vector<int> blocked_ = {}, std::string holding_ = "", int then_ = 0, std::string thenWhen_ = "")
        : ignored(std::move(ignored_)), send(send_), when(std::move(when_)), group(group_),
          blocked(std::move(blocked_)), holding(std::move(holding_)), then(then_), thenWhen(std::move(thenWhen_))
    {
    }
};

// Fixture owning one scratch directory, the program's working directory; names are relative to it.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Absolute path of name in the scratch directory.
    std::string path(const std::string &name) const;
    // Absolute path of the scratch directory itself, as the program's getcwd gives it.
    std::string directory() const;
    // Writes text to name byte for byte, replacing it; executable makes it mode 0755.
    void write(const std::string &name, const std::string &text, bool executable = false);
    // Places the project's stand-in adapter tool as ./tarvo.
    void copyTool();
    // Places the stand-in tool and a package file of each name, which the stand-in wants readable.
    void copyToolWithPackages(const std::vector<std::string> &packages);
    // The SHA-256 of name as sha256sum prints it; "" when it cannot.
    std::string sha256sum(const std::string &name) const;
    // Places a /bin/sh script with the given body as ./tarvo, for output the stand-in cannot give.
    void writeTool(const std::string &body);
    // Whole contents of name; "" when it cannot be read.
    std::string read(const std::string &name) const;
    // Whether name exists (any kind of file).
    bool exists(const std::string &name) const;
    // Waits up to a minute for name to exist; whether it does.
    bool waitFor(const std::string &name) const;
    // Where a run's captured standard output is written while it runs.
    std::string stdoutPath() const;
    // Runs the program with args in the scratch directory, in a session of its own, stdin from
    // /dev/null, under any checker named in ORV_TEST_WRAPPER; asNobody runs it as the user nobody
    // when the tests run as the superuser, so that permissions bind. A run that has not ended
    // after a minute is killed with its process group and reported as 128 + SIGKILL.
    RunResult run(const std::vector<std::string> &args, Stdout out = Stdout::Captured,
                  bool asNobody = false, const Signals &signals = {}) const;

private:
    std::string root_;  // holds work/ (the scratch directory) and the captured streams
};

// Checks a run against the whole expected standard output and exit status; a mismatch is
// reported at the caller's line with a line diff, both statuses and the run's standard error.
void expectRun(const RunResult &actual, const std::string &out, int status,
               const char *file = __builtin_FILE(), int line = __builtin_LINE());

}  // namespace e2e

#endif
