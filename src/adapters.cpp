#include "adapters.h"

#include "main.h"
#include "report.h"

#include <cctype>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

// The tool's command texts; every command runs the tool from the working directory, and the
// shell writes its output to a file there.
static const char *const LISTALL = "./tarvo -listall > list.out";
static const char *const ADAPTERCMD = "./tarvo -c ";
static const char *const LISTINFO = " -list > ssdid.out";
static const char *const UPDATE = " -updatepkg ";
static const char *const RESULT = " > result.out";
const char *const SUBDEVICEID_FOUND = "PCI SubSystem DeviceId                 :";

// Builds "ADAPTERCMD<adapter><first><second><third>" in cmd; false when it would not fit,
// so that a truncated command line is never run.
static bool adapterCommand(char (&cmd)[LINE_SIZE], int adapter, const char *first,
                           const char *second = "", const char *third = "")
{
    char number[4];
    int n = std::snprintf(number, sizeof number, "%d", adapter);
    if (n < 0 || static_cast<size_t>(n) >= sizeof number)
        return false;
    n = std::snprintf(cmd, sizeof cmd, "%s%s%s%s%s", ADAPTERCMD, number, first, second, third);
    return n >= 0 && static_cast<size_t>(n) < sizeof cmd;
}

// The signal of the first stop request; written by signal handlers, so of this type alone.
static volatile std::sig_atomic_t stopRequest = 0;

void requestStop(int sig)
{
    if (stopRequest == 0)
        stopRequest = sig;
}

int stopSignal()
{
    return stopRequest;
}

int reportStop()
{
    int sig = stopSignal();
    printError("Stopped by signal %d; no further adapter is updated.", sig);
    return 128 + sig;
}

// The signal that ended a tool command, read from the shell's wait status: the shell's own
// death, or the exit status 128 + S with which it reports a command that a signal ended; 0 for none.
static int endingSignal(int status)
{
    if (status == -1)
        return 0;
    if (WIFSIGNALED(status))
        return WTERMSIG(status);
    if (WIFEXITED(status) && WEXITSTATUS(status) > 128 && WEXITSTATUS(status) <= 128 + 64)
        return WEXITSTATUS(status) - 128;
    return 0;
}

// The one way a tool command runs. Unless a stop has been requested, it prints the command's
// announcement, writes the report out (so that a log shows each step as it starts, ahead of
// anything the tool writes to a shared stream) and waits for the shell's status. false, with
// nothing printed or run, when a stop request stands.
static bool runTool(const char *cmd, const char *announcement, int *status)
{
    if (stopSignal() != 0)
        return false;
    std::fputs(announcement, stdout);
    std::fflush(stdout);
    *status = std::system(cmd);
    // Ctrl-C or Ctrl-\ at a terminal reaches the tool's process group, while system() keeps
    // this process deaf to them: the tool's status is where they show.
    int sig = endingSignal(*status);
    if (sig == SIGINT || sig == SIGQUIT)
        requestStop(sig);
    return true;
}

static void printListError()
{
    printError("Could not open list file... adapter list not found!");
}

static void printConfigError(int adapter)
{
    printError("Could not open config file... adapter %d config not found!", adapter);
}

// Empties the output file at path before the command that fills it runs; false when this run
// cannot write it. The shell would fail to replace such a file too, and what an earlier run or
// another user left in it must not pass for this command's answer.
static bool emptyOutput(const char *path)
{
    FILE *file = std::fopen(path, "w");
    return file != nullptr && std::fclose(file) == 0;
}

int countControllers(const char *path)
{
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        printListError();
        return READ_FAILED;
    }
    char line[LINE_SIZE];
    int count = 0;
    while (getLine(file, line, sizeof line) == 1) {
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
    if (DEBUG)
        std::printf("Number of adapters found:  %d\n\n", count);
    return count;
}

int getNumberOfControllers()
{
    if (!emptyOutput("list.out")) {
        printListError();
        return READ_FAILED;
    }
    int status = 0;
    if (!runTool(LISTALL, "", &status) || stopSignal() != 0)
        return READ_FAILED;
    // A list cut short would pass for the whole machine and leave adapters out unsaid. Any other
    // status says nothing that the list file does not.
    int sig = endingSignal(status);
    if (sig != 0) {
        printError("The adapter list is incomplete: the list command was ended by signal %d.", sig);
        return READ_FAILED;
    }
    return countControllers("list.out");
}

void readControllersdid(int adapter, const char *path, char (&ssdid)[LINE_SIZE])
{
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        printConfigError(adapter);
        return;
    }
    char line[LINE_SIZE];
    bool found = false;
    while (!found && getLine(file, line, sizeof line) == 1) {
        const char *key = std::strstr(line, SUBDEVICEID_FOUND);
        if (key == nullptr)
            continue;
        const char *value = key + std::strlen(SUBDEVICEID_FOUND);
        while (std::isspace(static_cast<unsigned char>(*value)))
            value++;
        std::snprintf(ssdid, sizeof ssdid, "%s", value);
        if (DEBUG)
            std::printf("getControllersdid:%s\n", ssdid);
        found = true;
    }
    if (!found && std::ferror(file))
        printConfigError(adapter);
    std::fclose(file);
}

bool getControllersdid(int adapter, char (&ssdid)[LINE_SIZE])
{
    char cmd[LINE_SIZE];
    char announcement[2 * LINE_SIZE];
    int n = std::snprintf(announcement, sizeof announcement,
                          "\nGetting configuration for Adapter %d.  Please wait....\n\n", adapter);
    if (!adapterCommand(cmd, adapter, LISTINFO) || !emptyOutput("ssdid.out")) {
        std::fputs(announcement, stdout);
        printConfigError(adapter);
        return true;
    }
    if (DEBUG && n > 0 && static_cast<size_t>(n) < sizeof announcement)
        std::snprintf(announcement + n, sizeof announcement - n, "Running command:  %s\n\n", cmd);
    // The query's status is not looked at: its output file alone decides.
    int status = 0;
    if (!runTool(cmd, announcement, &status))
        return false;
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

// The exit status a parent would see for a failed command's wait status.
static int failureExitStatus(int status)
{
    if (status == -1)
        return 255;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return WEXITSTATUS(status);
    return 1;
}

// Copies result.out, which the next update overwrites, to result-N.out for adapter; says so
// when it cannot, since the tool's own account of a failure would then be lost.
static void keepResult(int adapter)
{
    char kept[LINE_SIZE];
    std::snprintf(kept, sizeof kept, "result-%d.out", adapter);
    FILE *from = std::fopen("result.out", "rb");
    // A fresh file rather than one truncated and written again, which some file systems push to
    // the disk at once; an earlier run's copy is replaced either way.
    if (from != nullptr)
        std::remove(kept);
    FILE *to = from != nullptr ? std::fopen(kept, "wb") : nullptr;
    bool copied = to != nullptr;
    char buf[BUFSIZ];
    size_t n = 0;
    while (copied && (n = std::fread(buf, 1, sizeof buf, from)) > 0)
        copied = std::fwrite(buf, 1, n, to) == n;
    copied = copied && !std::ferror(from);
    if (to != nullptr && std::fclose(to) != 0)
        copied = false;
    if (from != nullptr)
        std::fclose(from);
    if (!copied)
        printError("Could not keep the tool's output for adapter %d in %s.", adapter, kept);
}

int update(int adapters, int records, const adapterInfo *adapterList, bool dryRun)
{
    char ssdid[LINE_SIZE];
    char cmd[LINE_SIZE];
    bool updated = false;
    int failure = 0;

    std::printf("\nEntering update\n");
    for (int i = 1; i <= adapters; i++) {
        // Emptied for every adapter: a previous adapter's ID must never select this one's package.
        ssdid[0] = '\0';
        if (stopSignal() != 0 || !getControllersdid(i, ssdid))
            break;
        std::printf("sdid:%s\n", ssdid);
        if (ssdid[0] == '\0') {
            printError("Could not read the ID of adapter %d; it is not updated.", i);
            failure = 1;
            continue;
        }

        const adapterInfo *record = findRecord(ssdid, records, adapterList);
        if (record == nullptr) {
            std::printf("Adapter %d is not covered by this update and is left as it is.\n\n", i);
            continue;
        }
        if (DEBUG)
            std::printf("SSDID match\n");
        std::printf("Adapter %d is a %s.\n\n", i, record->adapterName);

        const bool built = adapterCommand(cmd, i, UPDATE, record->updatePackage, RESULT);
        if (built && dryRun) {
            std::printf("Would run:  %s\n\n", cmd);
            updated = true;
            continue;
        }
        int status = -1;
        if (built) {
            char announcement[2 * LINE_SIZE];
            std::snprintf(announcement, sizeof announcement, "Updating Adapter %d.  Please wait....\n\n%s\n\n", i, cmd);
            if (!runTool(cmd, announcement, &status))
                break;
            updated = true;
        } else {
            std::printf("Updating Adapter %d.  Please wait....\n\n", i);
        }
        if (status != 0) {
            std::printf("Update of adapter %d failed with return code:  %d.\n\n", i, status);
            failure = failureExitStatus(status);
        } else {
            std::printf("Update of adapter %d completed successfully.\n\n", i);
        }
        if (built)
            keepResult(i);
    }
    // A stop request outranks every result: the adapters after it were never looked at.
    int stopped = stopSignal() != 0 ? reportStop() : 0;
    std::printf("Exiting update\n");

    if (stopped != 0)
        return stopped;
    if (failure != 0)
        return failure;
    return updated ? 0 : 1;
}
