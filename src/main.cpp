#include "main.h"

#include "adapters.h"
#include "textinput.h"
#include "version.h"

#include <cstdio>
#include <cstring>

int DEBUG = 0;
const char *const DEBUG_STR = "DEBUG";

void printusage()
{
    std::printf("\n");
    std::printf("USAGE: orvTQupdate <info-file>\n");
    std::printf("    <info-file> = file containing a list of adapter info\n");
    std::printf("\n");
}

// The version line below is padded to centre these lengths in the banner's 49 columns.
static_assert(sizeof ORV_VERSION - 1 == 4 && sizeof ORV_RELEASE_DATE - 1 == 8,
              "a version or date of another length needs the banner's padding redone");

static void printBanner()
{
    std::printf("\n");
    std::printf("*************************************************\n");
    std::printf(" ORV TQ Update Utility for use with KEP hardware \n");
    std::printf("       Version %s - Release Date %s      \n", ORV_VERSION, ORV_RELEASE_DATE);
    std::printf("*************************************************\n");
    std::printf("\n");
}

// The run's exit status once its report is out: a report that could not be written must not
// let the run pass for a success.
static int finish(int status)
{
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0)
        return 1;
    return status;
}

int main(int argc, char *argv[])
{
    printBanner();

    if (argc == 3 && std::strcmp(argv[2], DEBUG_STR) == 0) {
        DEBUG = 1;
    } else if (argc != 2) {
        printusage();
        return finish(1);
    }

    static adapterInfo adapterList[MAX_RECORDS];
    int records = getUpdateList(adapterList, argv[1]);
    if (records == READ_FAILED)
        return finish(READ_FAILED);

    int adapters = getNumberOfControllers();
    if (adapters == READ_FAILED || adapters <= 0)
        return finish(READ_FAILED);
    if (adapters > MAX_ADAPTERS) {
        std::printf("ERROR: %d adapters found; at most %d are supported. No adapter is updated.\n\n",
                    adapters, MAX_ADAPTERS);
        return finish(READ_FAILED);
    }

    return finish(update(adapters, records, adapterList));
}
