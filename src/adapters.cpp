#include "adapters.h"

#include "main.h"
#include "report.h"
#include "changes.h"
#include "runlog.h"
#include "trust.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The tool's command texts; every command runs the tool from the working directory, and the
// shell writes its output to a file there.
static const char *const LISTALL = "./tarvo -listall > list.out";
static const char *const ADAPTERCMD = "./tarvo -c ";
static const char *const LISTINFO = " -list > ssdid.out";
static const char *const UPDATE = " -updatepkg ";
static const char *const RESULT = " > result.out";
const char *const SUBDEVICEID_FOUND = "PCI SubSystem DeviceId                 :";

// The longest update command fits its buffer: the adapter number has at most three digits, and
// the info file refuses longer packages.
static_assert(sizeof "./tarvo -c " - 1 + 3 + sizeof " -updatepkg " - 1 + PACKAGE_MAX + sizeof " > result.out" <= LINE_SIZE,
              "the longest update command does not fit its buffer");

// Builds "ADAPTERCMD<adapter><first><second><third>" in cmd, for an adapter of at most three
// digits and the texts of a query or an update, which always fit.
static void adapterCommand(char (&cmd)[LINE_SIZE], int adapter, const char *first, const char *second = "",
                           const char *third = "")
{
    std::snprintf(cmd, sizeof cmd, "%s%d%s%s%s", ADAPTERCMD, adapter, first, second, third);
}

// The signal of the first stop request; written by signal handlers, so of this type alone.
static volatile std::sig_atomic_t stopRequest = 0;
// Whether the notice that a command is left to finish has been printed; once per run.
static bool stopNoticed = false;
// The signals that ask for a stop: Ctrl-C, Ctrl-\, a kill, a hangup, a reader gone away.
static const int STOP_SIGNALS[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};
// Signals that were ignored when the program started: they stay ignored, in the tool too.
static sigset_t ignoredAtStart;

void requestStop(int sig)
{
    if (stopRequest == 0)
        stopRequest = sig;
}

int stopSignal()
{
    return stopRequest;
}

// Wakes the wait for a tool command; the wait itself looks at what happened.
static void childEnded(int /*sig*/)
{
}

// The stop signals and SIGCHLD: blocked from the last stop check until a command has ended, so
// that a request either keeps the command from starting or is seen while it runs.
static sigset_t heldSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : STOP_SIGNALS)
        sigaddset(&set, sig);
    sigaddset(&set, SIGCHLD);
    return set;
}

void watchSignals()
{
    sigemptyset(&ignoredAtStart);
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction old = {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaddset(&ignoredAtStart, sig);
    }
    // A parent that ignores SIGCHLD would have every child reaped unseen; the tool gets the
    // default action as well.
    sigdelset(&ignoredAtStart, SIGCHLD);

    // Restarted calls: a signal must not turn into a failed write of the report.
    struct sigaction action = {};
    action.sa_flags = SA_RESTART;
    action.sa_mask = heldSignals();
    action.sa_handler = childEnded;
    sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = requestStop;
    for (int sig : STOP_SIGNALS) {
        if (!sigismember(&ignoredAtStart, sig))
            sigaction(sig, &action, nullptr);
    }
    // A mask inherited from the parent must not hold the requests back.
    sigset_t held = heldSignals();
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

// The signals that a terminal, a closed pipe or job control send: the tool never hears them, so
// that no key, hang-up or reader gone away cuts off a flash. Stop requests are the program's to
// honour; only a signal sent to the tool's own process reaches it.
static const int TERMINAL_SIGNALS[] = {SIGINT, SIGQUIT, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU};

// The child's side of a tool command, sharing the program's memory until execve: deaf to the
// terminal's signals, with every other signal that the program handles back at its default
// before any is let through, so that no handler runs here; execve does the same for the rest,
// and leaves the signals ignored at start ignored. Nothing blocked in the tool. System calls on
// this frame's own variables only.
[[noreturn]] static void execShell(const char *cmd)
{
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    for (int sig : TERMINAL_SIGNALS)
        sigaction(sig, &action, nullptr);
    // The one stop signal that no terminal sends: at its default, unless ignored at start.
    action.sa_handler = sigismember(&ignoredAtStart, SIGTERM) ? SIG_IGN : SIG_DFL;
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char sh[] = "sh";
    char dashC[] = "-c";
    char *const argv[] = {sh, dashC, const_cast<char *>(cmd), nullptr};
    execve("/bin/sh", argv, environ);
    _exit(127);
}

// Says once per run that a stop request waits for the command in progress.
static void noticeStop()
{
    if (stopSignal() == 0 || stopNoticed)
        return;
    stopNoticed = true;
    std::printf("Stop requested by signal %d: the command in progress is left to finish.\n\n", stopSignal());
    std::fflush(stdout);
}

// Runs cmd by /bin/sh -c in a child of its own and waits for that child alone, called with the
// held signals (every one that has a handler) blocked, which wakeMask lets through while it
// waits; the wait status as system() gives it: 127 * 256 when the shell cannot be executed, -1
// when no child could be made.
static int runShell(const char *cmd, const sigset_t &wakeMask)
{
    // vfork, as the C library's own spawning does: a copy of the program per command would cost
    // more than the program does otherwise. Every signal with a handler is blocked here.
    pid_t child = vfork();  // NOLINT(clang-analyzer-security.insecureAPI.vfork)
    if (child < 0)
        return -1;
    if (child == 0)
        execShell(cmd);  // NOLINT(clang-analyzer-unix.Vfork): system calls only, as posix_spawn makes
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return -1;
        noticeStop();
        sigsuspend(&wakeMask);
    }
    noticeStop();
    return status;
}

// How a tool command went: it ran (and a stop request stands, or does not, at its end); a stop
// request kept it from starting; its output file could not be made, so it did not start.
enum toolRun { TOOL_RAN, TOOL_RAN_STOPPED, TOOL_STOPPED, TOOL_NO_OUTPUT };

// A tool command: its line, the output file that its shell fills, what is printed before it
// runs, and for an update the adapter's account, whose start is logged.
struct toolCommand {
    const char *line;
    const char *output;
    const char *announcement;
    const adapterResult *update;
};

static double secondsSince(const struct timespec &start)
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// The one way a tool command runs, and the one place that a stop request is honoured. Unless a
// stop has been requested, it makes the command's output file anew, prints the command's
// announcement and writes the report out (so that a log shows each step as it starts, ahead of
// anything the tool writes to a shared stream); then, unless a stop was requested meanwhile, it
// runs the command and waits for its wait status, in *status, and the seconds it took. Nothing
// is printed when the output file cannot be made.
static toolRun runTool(const toolCommand &command, int *status, double *seconds)
{
    if (stopRequest != 0)
        return TOOL_STOPPED;
    // What an earlier run, another user or a descriptor still open left there must not pass
    // for this command's answer.
    if (!makeOutputFile(command.output))
        return TOOL_NO_OUTPUT;
    std::fputs(command.announcement, stdout);
    std::fflush(stdout);

    const sigset_t held = heldSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &held, &previous);
    const bool start = stopRequest == 0;
    if (start) {
        if (command.update != nullptr)
            logUpdateStart(*command.update);
        sigset_t wake = previous;
        for (int sig : STOP_SIGNALS)
            sigdelset(&wake, sig);
        sigdelset(&wake, SIGCHLD);
        struct timespec begun = {};
        clock_gettime(CLOCK_MONOTONIC, &begun);
        *status = runShell(command.line, wake);
        *seconds = secondsSince(begun);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!start)
        return TOOL_STOPPED;
    // A tool that acts on Ctrl-C or Ctrl-\\ itself reports it through its status.
    const int sig = readWaitStatus(*status).signal;
    if (sig == SIGINT || sig == SIGQUIT)
        requestStop(sig);
    return stopRequest != 0 ? TOOL_RAN_STOPPED : TOOL_RAN;
}

static void printListError()
{
    printError("Could not open list file... adapter list not found!");
}

static void printConfigError(int adapter)
{
    printError("Could not open config file... adapter %d config not found!", adapter);
}

// The output file at path opened for reading when it is a regular file, never a link; nullptr
// otherwise.
static FILE *openOutput(const char *path)
{
    return openRegularStream(path, false);
}

int countControllers(const char *path)
{
    FILE *file = openOutput(path);
    if (file == nullptr) {
        printListError();
        return READ_FAILED;
    }
    char line[LINE_SIZE];
    int count = 0;
    bool newline = true;
    while (getLineEnd(file, line, sizeof line, &newline) == 1) {
        if (std::isdigit(static_cast<unsigned char>(line[0])) && count < INT_MAX)
            count++;
    }
    // A read error would otherwise pass for a shorter list and skip adapters.
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        printListError();
        return READ_FAILED;
    }
    // A list that a full disk or a killed tool cut short would pass for the whole machine.
    if (!newline) {
        printError("The adapter list is incomplete: list.out does not end with a complete line.");
        return READ_FAILED;
    }
    if (DEBUG)
        std::printf("Number of adapters found:  %d\n\n", count);
    return count;
}

int getNumberOfControllers()
{
    int status = 0;
    double seconds = 0;
    const toolRun ran = runTool({LISTALL, "list.out", "", nullptr}, &status, &seconds);
    if (ran == TOOL_STOPPED || ran == TOOL_RAN_STOPPED)
        return LIST_STOPPED;
    if (ran == TOOL_NO_OUTPUT) {
        printListError();
        return READ_FAILED;
    }
    // A list cut short would pass for the whole machine and leave adapters out unsaid.
    const waitReading reading = readWaitStatus(status);
    if (reading.signal != 0) {
        printError("The adapter list is incomplete: the list command was ended by signal %d.", reading.signal);
        return READ_FAILED;
    }
    // A tool that says it failed may have listed only the adapters it got to.
    if (reading.exitCode > 0) {
        printError("The adapter list is incomplete: the list command exited with status %d.", reading.exitCode);
        return READ_FAILED;
    }
    return countControllers("list.out");
}

// readControllersdid, printing the debug line of the ID found only when debugLine is set.
static void readId(int adapter, const char *path, char (&ssdid)[LINE_SIZE], bool debugLine)
{
    FILE *file = openOutput(path);
    if (file == nullptr) {
        printConfigError(adapter);
        return;
    }
    char line[LINE_SIZE];
    bool newline = true;
    const char *key = nullptr;
    while (key == nullptr && getLineEnd(file, line, sizeof line, &newline) == 1)
        key = std::strstr(line, SUBDEVICEID_FOUND);
    // The key line must be whole: one that the end of the file cuts short may have lost part of
    // its ID, and one longer than a piece would give its start, which could match another record.
    // A line of exactly a piece's length is whole when its newline comes next.
    if (key != nullptr && !newline)
        newline = std::getc(file) == '\n';
    if (key != nullptr && newline) {
        const char *value = key + std::strlen(SUBDEVICEID_FOUND);
        while (std::isspace(static_cast<unsigned char>(*value)))
            value++;
        std::snprintf(ssdid, sizeof ssdid, "%s", value);
        if (debugLine && DEBUG)
            std::printf("getControllersdid:%s\n", ssdid);
    } else if (std::ferror(file)) {
        printConfigError(adapter);
    }
    std::fclose(file);
}

void readControllersdid(int adapter, const char *path, char (&ssdid)[LINE_SIZE])
{
    readId(adapter, path, ssdid, true);
}

// Runs the tool's query for adapter, announced as its first query or as the one that verifies
// its update; says so, and shows the announcement without its command line, when the output
// file cannot be made.
static toolRun runQuery(int adapter, bool verifying)
{
    char cmd[LINE_SIZE];
    adapterCommand(cmd, adapter, LISTINFO);
    char announcement[2 * LINE_SIZE];
    const int n = std::snprintf(announcement, sizeof announcement,
                                verifying ? "Verifying Adapter %d.  Please wait....\n\n"
                                          : "\nGetting configuration for Adapter %d.  Please wait....\n\n",
                                adapter);
    if (DEBUG)
        std::snprintf(announcement + n, sizeof announcement - n, "Running command:  %s\n\n", cmd);
    // The query's status is not looked at: its output file alone decides.
    int status = 0;
    double seconds = 0;
    const toolRun ran = runTool({cmd, "ssdid.out", announcement, nullptr}, &status, &seconds);
    if (ran == TOOL_NO_OUTPUT) {
        announcement[n] = '\0';
        std::fputs(announcement, stdout);
        printConfigError(adapter);
    }
    return ran;
}

bool getControllersdid(int adapter, char (&ssdid)[LINE_SIZE], bool *ran)
{
    const toolRun query = runQuery(adapter, false);
    if (query == TOOL_STOPPED)
        return false;
    *ran = query != TOOL_NO_OUTPUT;
    if (*ran)
        readControllersdid(adapter, "ssdid.out", ssdid);
    return true;
}

// The first of the first records whose ssdid equals id, compared whole; nullptr when none.
static const adapterInfo *findRecord(const char *id, int records, const adapterInfo *adapterList)
{
    for (int i = 0; i < records; i++) {
        if (std::strcmp(adapterList[i].ssdid, id) == 0)
            return &adapterList[i];
    }
    return nullptr;
}

// How copying an output file went: copied, nothing there to copy, or the copy failed.
enum copyResult { COPIED, NO_SOURCE, NOT_COPIED };

// Copies the output file at from, which the next command overwrites, to a file of this run's
// own at kept, made anew; when it cannot, no earlier copy is left there either.
static copyResult copyOutput(const char *from, const std::string &kept)
{
    FILE *in = openOutput(from);
    if (in == nullptr) {
        unlink(kept.c_str());
        return NO_SOURCE;
    }
    const int fd = makeOwnFile(kept.c_str());
    FILE *out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out == nullptr && fd >= 0)
        close(fd);
    bool copied = out != nullptr;
    char buf[BUFSIZ];
    size_t n = 0;
    while (copied && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
        copied = std::fwrite(buf, 1, n, out) == n;
    copied = copied && !std::ferror(in);
    if (out != nullptr && std::fclose(out) != 0)
        copied = false;
    std::fclose(in);
    if (!copied)
        unlink(kept.c_str());
    return copied ? COPIED : NOT_COPIED;
}

// Keeps result.out for adapter in result-N.out; false, after saying so, when it cannot, since
// the tool's own account of a failure would then be lost.
static bool keepResult(int adapter)
{
    const std::string kept = keptFile(adapter);
    const bool copied = copyOutput("result.out", kept) == COPIED;
    if (!copied)
        printError("Could not keep the tool's output for adapter %d in %s.", adapter, kept.c_str());
    return copied;
}

// Keeps the output of adapter's query, or of its verifying query, in its config file; false,
// after saying so, when that file cannot be written. Without an output file there is nothing
// to keep, and no earlier run's copy stays.
static bool keepConfig(int adapter, bool after)
{
    const std::string kept = configFile(adapter, after);
    if (copyOutput("ssdid.out", kept) != NOT_COPIED)
        return true;
    printError("Could not keep the configuration of adapter %d in %s.", adapter, kept.c_str());
    return false;
}

// Queries an updated adapter again, as its first query did, and compares the ID and the
// configuration it answers with to those before its update. A stop request that keeps the
// query from starting leaves it updated and unverified.
static void verifyAdapter(adapterResult &result)
{
    const int i = result.adapter;
    const toolRun ran = runQuery(i, true);
    if (ran == TOOL_STOPPED)
        return;
    char id[LINE_SIZE] = "";
    if (ran != TOOL_NO_OUTPUT) {
        readId(i, "ssdid.out", id, false);
        result.configLost = !keepConfig(i, true) || result.configLost;
        result.compared = compareConfigs(configFile(i, false).c_str(), configFile(i, true).c_str(), result.changes);
    }
    if (std::strcmp(id, result.id) == 0) {
        std::printf("Adapter %d answers with ID %s after its update.\n\n", i, result.id);
        result.verified = VERIFY_PASSED;
    } else {
        printError("Adapter %d does not answer with ID %s after its update.", i, result.id);
        result.verified = VERIFY_FAILED;
        result.state = STATE_UNVERIFIED;
    }
    logVerified(result);
}

// For a dry run: says whether the file that package names first, as the tool will get it, is
// not there to be read, and says so; a word that the shell would change is the tool's to judge.
static bool packageMissing(int adapter, const char *package)
{
    char word[LINE_SIZE];
    if (!packageWord(package, word))
        return false;
    int fd = openRegular(word, true);
    if (fd >= 0) {
        close(fd);
        return false;
    }
    printError("The update package %s of adapter %d is not a readable file here; its update would fail.", word, adapter);
    return true;
}

// Runs the update of a matched adapter and reports its result; false when a stop request kept
// it from starting.
static bool runUpdate(adapterResult &result)
{
    const int i = result.adapter;
    char announcement[2 * LINE_SIZE];
    std::snprintf(announcement, sizeof announcement, "Updating Adapter %d.  Please wait....\n\n%s\n\n", i, result.command);
    const toolRun ran = runTool({result.command, "result.out", announcement, &result}, &result.waitStatus, &result.seconds);
    if (ran == TOOL_STOPPED)
        return false;
    result.state = STATE_FAILED;
    result.ran = ran != TOOL_NO_OUTPUT;
    if (!result.ran) {
        // No account of an earlier run may pass for this run's.
        std::remove(keptFile(i).c_str());
        printError("Could not empty result.out; adapter %d is not updated.", i);
    } else if (result.waitStatus != 0) {
        std::printf("Update of adapter %d failed with return code:  %d.\n\n", i, result.waitStatus);
    } else {
        std::printf("Update of adapter %d completed successfully.\n\n", i);
        result.state = STATE_UPDATED;
    }
    if (result.ran)
        result.kept = keepResult(i);
    logUpdateEnd(result);
    return true;
}

// Queries adapter result.adapter, matches it and updates it, or in a dry run shows its update,
// filling result and printing each step; false when a stop request kept a command from starting.
static bool updateAdapter(adapterResult &result, const updateList &list, const runRecord &run)
{
    const int i = result.adapter;
    // What an earlier run's verifying query left must not pass for this run's.
    unlink(configFile(i, true).c_str());
    bool ran = false;
    if (!getControllersdid(i, result.id, &ran))
        return false;
    if (ran)
        result.configLost = !keepConfig(i, false);
    std::printf("sdid:%s\n", result.id);
    result.hasId = result.id[0] != '\0';
    if (!result.hasId) {
        printError("Could not read the ID of adapter %d; it is not updated.", i);
        result.state = STATE_NO_ID;
        return true;
    }
    result.record = findRecord(result.id, list.records, list.adapterList);
    if (result.record == nullptr) {
        std::printf("Adapter %d is not covered by this update and is left as it is.\n\n", i);
        result.state = STATE_NOT_COVERED;
        return true;
    }
    if (DEBUG)
        std::printf("SSDID match\n");
    std::printf("Adapter %d is a %s.\n\n", i, result.record->adapterName);
    adapterCommand(result.command, i, UPDATE, result.record->updatePackage, RESULT);
    if (list.digests != nullptr)
        result.sha256 = list.digests[result.record - list.adapterList];
    if (!run.dryRun) {
        const bool started = runUpdate(result);
        if (started && run.verify && result.state == STATE_UPDATED)
            verifyAdapter(result);
        return started;
    }
    std::printf("Would run:  %s\n\n", result.command);
    result.state = packageMissing(i, result.record->updatePackage) ? STATE_WOULD_FAIL : STATE_WOULD_UPDATE;
    return true;
}

void update(runRecord &run, int adapters, const updateList &list)
{
    std::printf("\nEntering update\n");
    run.passBegan = true;
    for (int i = 1; i <= adapters; i++) {
        adapterResult &result = run.adapters[run.count];
        result = adapterResult{};
        result.adapter = i;
        if (!updateAdapter(result, list, run))
            break;
        run.count++;
        writeReport(run);
    }
}
