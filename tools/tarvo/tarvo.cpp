// Stand-in for the adapter tool: answers the update utility's commands from a simulated machine
// in tarvo-machine.txt, logs every update it is asked for to tarvo.log and keeps the package each
// adapter took in tarvo-state.txt, all in the current directory, so that tests, demos and
// rehearsals need no adapters.
#include "machine.h"
#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

static const char MACHINE_FILE[] = "tarvo-machine.txt";
static const char LOG_FILE[] = "tarvo.log";
static const char STATE_FILE[] = "tarvo-state.txt";
// The key the update utility looks for, padded so that its colon is in the fortieth column.
static const char ID_KEY[] = "PCI SubSystem DeviceId";
static const int KEY_WIDTH = 39;

static const int EXIT_USAGE = 2;
static const int EXIT_ADAPTER = 3;
static const int EXIT_PACKAGE = 4;
static const int EXIT_LOG = 5;
static const int EXIT_STATE = 6;

static machineAdapter machine[MACHINE_MAX];
// The package each adapter last took; the firmware it shows, and whether its after= word holds.
static takenPackages taken;

static int usage()
{
    std::fprintf(stderr,
                 "usage: tarvo -listall\n"
                 "       tarvo -c N -list\n"
                 "       tarvo -c N -updatepkg PACKAGE [WORD...]\n"
                 "The simulated machine is read from %s in the current directory;\n"
                 "the package each adapter last took is kept in %s there.\n",
                 MACHINE_FILE, STATE_FILE);
    return EXIT_USAGE;
}

// Reads the machine file and the state file: the number of adapters, or -1 after saying on
// stderr what is wrong with one of them.
static int loadMachine()
{
    char why[2048];
    int count = readMachine(MACHINE_FILE, machine, MACHINE_MAX, why, sizeof why);
    if (count >= 0 && !readState(STATE_FILE, taken, why, sizeof why))
        count = -1;
    if (count < 0)
        std::fprintf(stderr, "tarvo: %s\n", why);
    return count;
}

// Whether adapter number has taken a package and its machine file line makes it vanish then.
static bool vanished(const machineAdapter *adapter, int number)
{
    return adapter->after == AFTER_VANISH && taken.count(number) != 0;
}

// The ID that adapter number answers with now.
static const char *currentId(const machineAdapter *adapter, int number)
{
    return adapter->after == AFTER_ID && taken.count(number) != 0 ? adapter->afterId : adapter->id;
}

// The adapter that text names, or nullptr after saying on stderr why there is none.
static const machineAdapter *findAdapter(const char *text, int count, int *number)
{
    if (count > 0 && parseNumber(text, 1, count, number))
        return &machine[*number - 1];
    std::fprintf(stderr, "tarvo: no adapter '%s': the machine has %d adapter(s), numbered from 1\n",
                 text, count);
    return nullptr;
}

// Ends the process with sig even when the parent left it ignored or blocked, so that the shell
// sees a death by signal; exit code 1 in the unlikely case it survives.
static void endBySignal(int sig)
{
    std::fflush(stdout);
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(sig);
    std::fprintf(stderr, "tarvo: signal %d did not end the process\n", sig);
    std::exit(1);
}

static void sleepMs(int ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

static int listAll()
{
    int count = loadMachine();
    if (count < 0)
        return EXIT_USAGE;
    std::printf("tarvo stand-in adapter tool: simulated machine from %s\n\n", MACHINE_FILE);
    // An adapter that vanished is still counted, so that the others keep their numbers.
    for (int i = 0; i < count; i++) {
        if (vanished(&machine[i], i + 1))
            std::printf("%d  %s  (does not answer)\n", i + 1, machine[i].model);
        else
            std::printf("%d  %s  (ssdid %s)\n", i + 1, machine[i].model, currentId(&machine[i], i + 1));
    }
    std::printf("Found %d adapter(s).\n", count);
    return 0;
}

static void printSetting(const char *key, const char *value, const char *end)
{
    std::printf("%-*s: %s%s", KEY_WIDTH, key, value, end);
}

// Loads the machine and the adapter that numberText names: 0, or the exit code for what failed.
static int loadAdapter(const char *numberText, int *number, const machineAdapter **adapter)
{
    int count = loadMachine();
    if (count < 0)
        return EXIT_USAGE;
    *adapter = findAdapter(numberText, count, number);
    return *adapter == nullptr ? EXIT_ADAPTER : 0;
}

static int listAdapter(const char *numberText)
{
    int number = 0;
    const machineAdapter *adapter = nullptr;
    int failed = loadAdapter(numberText, &number, &adapter);
    if (failed != 0)
        return failed;

    if (adapter->query == QUERY_FAIL || vanished(adapter, number)) {
        std::fprintf(stderr, "tarvo: adapter %d does not answer; its configuration cannot be read\n", number);
        if (adapter->querySignal != 0)
            endBySignal(adapter->querySignal);
        return 1;
    }

    const char *end = adapter->query == QUERY_CRLF ? "\r\n" : "\n";
    char value[64];
    std::printf("Adapter #%d%s%s", number, end, end);
    printSetting("Controller Model", adapter->model, end);
    printSetting("Controller Status", "Optimal", end);
    auto package = taken.find(number);
    printSetting("Firmware Version", package != taken.end() ? package->second.c_str() : "factory", end);
    std::snprintf(value, sizeof value, "SIM%07d", number);
    printSetting("Serial Number", value, end);
    std::snprintf(value, sizeof value, "0x%02x", (number + 1) & 0xff);
    printSetting("PCI Bus Number", value, end);
    printSetting("PCI Device Number", "0x00", end);
    printSetting("PCI Function Number", "0x00", end);
    if (adapter->query != QUERY_NOKEY)
        printSetting(ID_KEY, currentId(adapter, number), end);
    printSetting("Host Interface", "PCIE", end);
    printSetting("Temperature", "41 C", end);
    std::printf("%sCommand completed successfully.%s", end, end);

    if (adapter->querySignal != 0)
        endBySignal(adapter->querySignal);
    return 0;
}

static bool isReadableFile(const char *path)
{
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    FILE *file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
}

// Appends "N ID PACKAGE[ word...]" to the log; false after saying on stderr why it could not.
static bool logUpdate(int number, const char *id, int words, char **word)
{
    FILE *log = std::fopen(LOG_FILE, "a");
    if (log == nullptr) {
        std::fprintf(stderr, "tarvo: cannot open %s: %s\n", LOG_FILE, std::strerror(errno));
        return false;
    }
    std::fprintf(log, "%d %s", number, id);
    for (int i = 0; i < words; i++)
        std::fprintf(log, " %s", word[i]);
    std::fprintf(log, "\n");
    bool failed = std::ferror(log) != 0;
    if (std::fclose(log) != 0 || failed) {
        std::fprintf(stderr, "tarvo: cannot write %s\n", LOG_FILE);
        return false;
    }
    return true;
}

// Records in the state file that adapter number took package, each control character in its
// name kept as '?' so that it stays one line; false after saying on stderr why it could not.
static bool recordPackage(int number, const char *package)
{
    std::string shown = package;
    for (char &c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    taken[number] = shown;
    char why[2048];
    if (writeState(STATE_FILE, taken, why, sizeof why))
        return true;
    std::fprintf(stderr, "tarvo: %s\n", why);
    return false;
}

static int updateAdapter(const char *numberText, int words, char **word)
{
    int number = 0;
    const machineAdapter *adapter = nullptr;
    int failed = loadAdapter(numberText, &number, &adapter);
    if (failed != 0)
        return failed;
    if (vanished(adapter, number)) {
        std::fprintf(stderr, "tarvo: adapter %d does not answer; it cannot be updated\n", number);
        return EXIT_ADAPTER;
    }
    const char *package = word[0];
    if (!isReadableFile(package)) {
        std::fprintf(stderr, "tarvo: package '%s' is not a readable file\n", package);
        return EXIT_PACKAGE;
    }
    if (!logUpdate(number, currentId(adapter, number), words, word))
        return EXIT_LOG;

    std::printf("Adapter #%d: %s (ssdid %s)\n", number, adapter->model, currentId(adapter, number));
    std::printf("Applying package %s\n", package);
    for (int step = 1; step <= 4; step++) {
        std::fflush(stdout);
        sleepMs(adapter->delayMs / 4 + (step == 4 ? adapter->delayMs % 4 : 0));
        std::printf("Progress: %d%%\n", step * 25);
    }
    if (adapter->signal != 0) {
        std::printf("Update interrupted.\n");
        endBySignal(adapter->signal);
    }
    if (adapter->exitCode != 0) {
        std::printf("Update failed with error code %d.\n", adapter->exitCode);
        return adapter->exitCode;
    }
    if (!recordPackage(number, package))
        return EXIT_STATE;
    std::printf("Update completed successfully.\n");
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "-listall") == 0)
        return listAll();
    if (argc == 4 && std::strcmp(argv[1], "-c") == 0 && std::strcmp(argv[3], "-list") == 0)
        return listAdapter(argv[2]);
    if (argc >= 5 && std::strcmp(argv[1], "-c") == 0 && std::strcmp(argv[3], "-updatepkg") == 0)
        return updateAdapter(argv[2], argc - 4, argv + 4);
    return usage();
}
