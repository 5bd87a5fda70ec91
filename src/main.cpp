#include "main.h"

#include "adapters.h"
#include "report.h"
#include "textinput.h"
#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int DEBUG = 0;
const char *const DEBUG_STR = "DEBUG";

void printusage()
{
    std::printf("\n");
    std::printf("USAGE: orvTQupdate <info-file>\n");
    std::printf("    <info-file> = file containing a list of adapter info\n");
    std::printf("\n");
}

// What the command line asks for.
enum class Mode { Usage, Help, Version, Run, DryRun };

static bool is(const char *arg, const char *word)
{
    return std::strcmp(arg, word) == 0;
}

// Reads the command line: options first, each word exactly a known one, up to the first word
// that is not an option or up to "--"; then the info file and the optional DEBUG, which sets
// DEBUG. *infoFile is the info file's argument in a run or a dry run.
static Mode readCommandLine(int argc, char *argv[], const char **infoFile)
{
    bool dryRun = false;
    bool help = false;
    bool version = false;
    int i = 1;
    for (; i < argc; i++) {
        const char *word = argv[i];
        if (is(word, "--")) {
            i++;
            break;
        }
        // A lone "-" is a name, as every other word that does not begin with '-'.
        if (word[0] != '-' || word[1] == '\0')
            break;
        if (is(word, "--dry-run")) {
            dryRun = true;
        } else if (is(word, "--help") || is(word, "-h")) {
            help = true;
        } else if (is(word, "--version")) {
            version = true;
        } else {
            std::printf("ERROR: Unknown option %s; see orvTQupdate --help.\n", word);
            return Mode::Usage;
        }
    }
    if (help || version)
        return argc != 2 ? Mode::Usage : help ? Mode::Help : Mode::Version;
    const int words = argc - i;
    if (words == 2 && is(argv[i + 1], DEBUG_STR))
        DEBUG = 1;
    else if (words != 1)
        return Mode::Usage;
    *infoFile = argv[i];
    return dryRun ? Mode::DryRun : Mode::Run;
}

// The optional words, after the usage text of --help.
static void printOptions()
{
    std::printf("Optional words:\n");
    std::printf("    DEBUG       after the info file: print extra lines on each step\n");
    std::printf("    --dry-run   before the info file: query the adapters and show each update\n");
    std::printf("                command without running it\n");
    std::printf("    --help, -h  this text\n");
    std::printf("    --version   the program's version\n");
    std::printf("\n");
    std::printf("Run it in the directory that holds the adapter tool ./tarvo. See orvTQupdate(1).\n");
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

// Takes the working directory's lock for the rest of the run, so that two runs never read each
// other's output files; false when another process holds it. Where the directory cannot be
// locked at all, the run goes on without it. The descriptor stays open, and the lock held, until
// the process ends; no tool command inherits it.
static bool lockWorkingDirectory()
{
    int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return true;
    if (flock(dir, LOCK_EX | LOCK_NB) == 0)
        return true;
    bool busy = errno == EWOULDBLOCK;
    close(dir);
    return !busy;
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
    watchSignals();
    printBanner();

    const char *infoFile = nullptr;
    const Mode mode = readCommandLine(argc, argv, &infoFile);
    switch (mode) {
    case Mode::Usage:
        printusage();
        return finish(1);
    case Mode::Help:
        printusage();
        printOptions();
        return finish(0);
    case Mode::Version:
        std::printf("orvTQupdate %s\n", ORV_VERSION);
        return finish(0);
    case Mode::Run:
    case Mode::DryRun:
        break;
    }
    const bool dryRun = mode == Mode::DryRun;

    static adapterInfo adapterList[MAX_RECORDS];
    int records = getUpdateList(adapterList, infoFile);
    if (records == READ_FAILED)
        return finish(READ_FAILED);
    if (dryRun)
        std::printf("Dry run: the adapters are queried, but no update command is run.\n\n");

    if (!checkToolPlace())
        return finish(READ_FAILED);
    if (!lockWorkingDirectory()) {
        printError("Another orvTQupdate run is using this directory; no adapter is updated.");
        return finish(READ_FAILED);
    }

    int adapters = getNumberOfControllers();
    if (stopSignal() != 0)
        return finish(reportStop());
    if (adapters == READ_FAILED || adapters <= 0)
        return finish(READ_FAILED);
    if (adapters > MAX_ADAPTERS) {
        printError("%d adapters found; at most %d are supported. No adapter is updated.",
                    adapters, MAX_ADAPTERS);
        return finish(READ_FAILED);
    }

    return finish(update(adapters, records, adapterList, dryRun));
}
