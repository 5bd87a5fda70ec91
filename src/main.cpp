#include "main.h"

#include "adapters.h"
#include "history.h"
#include "report.h"
#include "runlog.h"
#include "trust.h"
#include "textinput.h"
#include "version.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
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
enum class Mode { Usage, Help, Version, History, Run, DryRun };

static bool is(const char *arg, const char *word)
{
    return std::strcmp(arg, word) == 0;
}

// Takes the value of the option name from word, as "--name=VALUE", or else from the next word
// when word is "--name": true when word is that option, *value then its value, or nullptr when
// it has none that can be a file name: a forgotten name must not swallow the next option, and a
// lone "-" is no file. A name that begins with '-' is written "./-name".
static bool valueOption(const char *name, int argc, char *argv[], int *i, const char **value)
{
    const char *word = argv[*i];
    const size_t length = std::strlen(name);
    if (std::strncmp(word, name, length) != 0 || (word[length] != '\0' && word[length] != '='))
        return false;
    if (word[length] == '=')
        *value = word + length + 1;
    else
        *value = *i + 1 < argc ? argv[++*i] : nullptr;
    if (*value != nullptr && (**value == '\0' || **value == '-'))
        *value = nullptr;
    if (*value == nullptr)
        std::printf("ERROR: Option %s needs a file name; see orvTQupdate --help.\n", name);
    return true;
}

// Reads one option word at argv[*i] into run and the flags; false, after saying why, when it is
// no option that the program knows, or lacks its value.
static bool readOption(int argc, char *argv[], int *i, runRecord &run, Mode *alone)
{
    const char *word = argv[*i];
    if (is(word, "--dry-run"))
        run.dryRun = true;
    else if (is(word, "--verify"))
        run.verify = true;
    else if (is(word, "--help") || is(word, "-h"))
        *alone = Mode::Help;
    else if (is(word, "--version"))
        *alone = Mode::Version;
    else if (is(word, "--history"))
        *alone = Mode::History;
    else if (valueOption("--report", argc, argv, i, &run.reportFile))
        return run.reportFile != nullptr;
    else if (valueOption("--checksums", argc, argv, i, &run.checksumFile))
        return run.checksumFile != nullptr;
    else {
        std::printf("ERROR: Unknown option %s; see orvTQupdate --help.\n", word);
        return false;
    }
    return true;
}

// Reads the command line into run: options first, each word exactly a known one, up to the
// first word that is not an option or up to "--"; then the info file and the optional DEBUG,
// which sets DEBUG.
static Mode readCommandLine(int argc, char *argv[], runRecord &run)
{
    // Help, the version and the history each stand alone.
    Mode alone = Mode::Run;
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
        if (!readOption(argc, argv, &i, run, &alone))
            return Mode::Usage;
    }
    if (alone != Mode::Run)
        return argc != 2 ? Mode::Usage : alone;
    const int words = argc - i;
    if (words == 2 && is(argv[i + 1], DEBUG_STR))
        DEBUG = 1;
    else if (words != 1)
        return Mode::Usage;
    run.infoFile = argv[i];
    return run.dryRun ? Mode::DryRun : Mode::Run;
}

// The optional words, after the usage text of --help: every one the command line takes.
static void printOptions()
{
    static const char *const OPTIONS[] = {
        "Optional words (the options before the info file):",
        "    DEBUG             after the info file: print extra lines on each step",
        "    --dry-run         query the adapters and show each update command without",
        "                      running it",
        "    --report FILE     also --report=FILE: write a JSON account of the run to FILE",
        "    --checksums FILE  also --checksums=FILE: first check every update package",
        "                      against the SHA-256 lines of FILE",
        "    --verify          query each updated adapter again: it must answer with its ID",
        "    --history         alone: show the runs on record in this directory",
        "    --help, -h        this text",
        "    --version         the program's version",
        "    --                end the options: the next word is the info file; name a",
        "                      FILE that begins with '-' as ./-name",
        "",
    };
    for (const char *line : OPTIONS)
        std::printf("%s\n", line);
    std::printf("Run it in the directory that holds the adapter tool ./tarvo. See orvTQupdate(8).\n");
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
// other's output files or flash the same adapter; false when another process holds it. Where the
// directory cannot be locked at all, the run goes on without it. The descriptor stays open, and
// every tool command inherits it: the lock is held until the program and every command it
// started, and whatever those leave running, have ended.
static bool lockWorkingDirectory()
{
    int dir = open(".", O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return true;
    if (flock(dir, LOCK_EX | LOCK_NB) == 0)
        return true;
    bool busy = errno == EWOULDBLOCK;
    close(dir);
    return !busy;
}

// Everything from the info file to the end of the update pass, in run; ends at the first
// refusal, or at a stop request.
static void runFromInfoFile(runRecord &run)
{
    static adapterInfo adapterList[MAX_RECORDS];
    static char digests[MAX_RECORDS][SHA256_TEXT];
    // Taken before anything is read: what is checked below is then what this run uses, and only
    // the run that holds the directory writes its report and its history.
    run.lockBusy = !lockWorkingDirectory();
    historyStart(run);
    const int records = getUpdateList(adapterList, run.infoFile);
    if (records != READ_FAILED && run.dryRun)
        std::printf("Dry run: the adapters are queried, but no update command is run.\n\n");
    // The report must be there before anything is touched, or the run is not made.
    const bool reported = writeReport(run);
    run.notStarted = true;
    const bool trusted = records != READ_FAILED && reported &&
                         checkPlaces(run.directory, {run.infoFile, run.checksumFile, adapterList, records});
    if (run.lockBusy) {
        printError("Another orvTQupdate run is using this directory; no adapter is updated.");
        return;
    }
    if (!trusted)
        return;
    // From here on a stop request ends the run: the check of a large package is cut short too.
    run.stopsHonoured = true;
    if (run.checksumFile != nullptr && !verifyPackages(run.checksumFile, adapterList, records, digests))
        return;
    const int adapters = getNumberOfControllers();
    if (adapters != READ_FAILED && adapters != LIST_STOPPED)
        run.adaptersFound = adapters;
    if (adapters == LIST_STOPPED) {
        run.notStarted = false;
        return;
    }
    if (adapters == READ_FAILED || adapters <= 0)
        return;
    if (adapters > MAX_ADAPTERS) {
        printError("%d adapters found; at most %d are supported. No adapter is updated.", adapters, MAX_ADAPTERS);
        return;
    }
    run.notStarted = false;
    update(run, adapters, {adapterList, records, run.checksumFile != nullptr ? digests : nullptr});
}

// Whether standard output has taken everything written to it.
static bool consoleWhole()
{
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// Ends the run: the stop line when a stop request ended it, the end of the update pass, the
// report's and the log's last word; the exit status.
static int endRun(runRecord &run)
{
    if (run.stopsHonoured)
        run.stopSignal = stopSignal();
    if (run.stopSignal != 0)
        printError("Stopped by signal %d; no further adapter is updated.", run.stopSignal);
    if (run.passBegan)
        std::printf("Exiting update\n");
    run.consoleLost = !consoleWhole();
    // A reader gone away shows only now, at the last lines' write-out: as at any other point,
    // the run was stopped.
    if (run.stopsHonoured && run.stopSignal == 0)
        run.stopSignal = stopSignal();
    run.finished = true;
    run.finishedAt = std::time(nullptr);
    if (!writeReport(run))
        run.consoleLost = !consoleWhole() || run.consoleLost;
    // The history's last line holds the report as it stands; a line lost is said in the report too.
    if (!historyEnd(run)) {
        writeReport(run);
        run.consoleLost = !consoleWhole() || run.consoleLost;
    }
    logEnd(run);
    return exitStatus(run);
}

int main(int argc, char *argv[])
{
    watchSignals();
    printBanner();

    static adapterResult results[MAX_ADAPTERS];
    static runRecord run = {};
    static char directory[PATH_MAX];
    run.programVersion = ORV_VERSION;
    run.directory = getcwd(directory, sizeof directory);
    run.started = std::time(nullptr);
    run.adaptersFound = -1;
    run.adapters = results;
    run.words = argv + 1;
    run.wordCount = argc - 1;
    const Mode mode = readCommandLine(argc, argv, run);
    if (mode == Mode::History) {
        const int status = showHistory(HISTORY_FILE);
        return consoleWhole() ? status : 1;
    }
    if (mode == Mode::Usage || mode == Mode::Help)
        printusage();
    if (mode == Mode::Help)
        printOptions();
    if (mode == Mode::Version)
        std::printf("orvTQupdate %s\n", ORV_VERSION);
    if (mode != Mode::Run && mode != Mode::DryRun) {
        run.usage = mode == Mode::Usage;
        run.commandLineOnly = true;
        run.consoleLost = !consoleWhole();
        return exitStatus(run);
    }
    logStart(run);
    runFromInfoFile(run);
    return endRun(run);
}
