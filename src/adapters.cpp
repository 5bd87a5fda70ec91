#include "adapters.h"

#include "main.h"

#include <cctype>
#include <climits>
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

static void printListError()
{
    std::printf("ERROR: Could not open list file... adapter list not found!\n\n");
}

static void printConfigError(int adapter)
{
    std::printf("ERROR: Could not open config file... adapter %d config not found!\n\n", adapter);
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
    // The list file alone decides; the tool's status says nothing the count does not.
    // (A cast to void does not silence glibc's warn_unused_result under _FORTIFY_SOURCE.)
    [[maybe_unused]] const int status = std::system(LISTALL);
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

void getControllersdid(int adapter, char (&ssdid)[LINE_SIZE])
{
    char cmd[LINE_SIZE];
    std::printf("\nGetting configuration for Adapter %d.  Please wait....\n\n", adapter);
    if (!adapterCommand(cmd, adapter, LISTINFO))
        return;
    if (!emptyOutput("ssdid.out")) {
        printConfigError(adapter);
        return;
    }
    if (DEBUG)
        std::printf("Running command:  %s\n\n", cmd);
    // The query's output alone decides, as for the list above.
    [[maybe_unused]] const int status = std::system(cmd);
    readControllersdid(adapter, "ssdid.out", ssdid);
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

int update(int adapters, int records, const adapterInfo *adapterList)
{
    char ssdid[LINE_SIZE];
    char cmd[LINE_SIZE];
    bool updated = false;
    int failure = 0;

    std::printf("\nEntering update\n");
    for (int i = 1; i <= adapters; i++) {
        // Emptied for every adapter: a previous adapter's ID must never select this one's package.
        ssdid[0] = '\0';
        getControllersdid(i, ssdid);
        std::printf("sdid:%s\n", ssdid);
        if (ssdid[0] == '\0') {
            std::printf("ERROR: Could not read the ID of adapter %d; it is not updated.\n\n", i);
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

        std::printf("Updating Adapter %d.  Please wait....\n\n", i);
        int status = -1;
        if (adapterCommand(cmd, i, UPDATE, record->updatePackage, RESULT)) {
            std::printf("%s\n\n", cmd);
            status = std::system(cmd);
            updated = true;
        }
        if (status != 0) {
            std::printf("Update of adapter %d failed with return code:  %d.\n\n", i, status);
            failure = failureExitStatus(status);
        } else {
            std::printf("Update of adapter %d completed successfully.\n\n", i);
        }
    }
    std::printf("Exiting update\n");

    if (failure != 0)
        return failure;
    return updated ? 0 : 1;
}
