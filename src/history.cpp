#include "history.h"

#include "json.h"
#include "trust.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char *const HISTORY_FILE = "orvTQupdate.history";

// This run's id, which pairs its two lines: its start time and process id.
static std::string runId;

// Opens the history for appending, made with mode 0644 whatever the umask when it is new; an
// existing one must be a regular file, not reached through a link, that only its owner, root or
// this user, can change: -1 otherwise.
static int openHistory()
{
    int fd = createOwnFile(HISTORY_FILE, O_APPEND);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    fd = open(HISTORY_FILE, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st = {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ownersOnly(st))) {
        close(fd);
        return -1;
    }
    return fd;
}

// Appends line and a newline to the history, flushed to the disk; false, after saying so once
// per run, when it cannot.
static bool appendLine(runRecord &run, std::string line)
{
    line += '\n';
    const int fd = openHistory();
    bool written = fd >= 0;
    if (written) {
        written = writeAll(fd, line) && fsync(fd) == 0;
        written = close(fd) == 0 && written;
    }
    // Said once: after a line is lost, none of this run's is written.
    if (!written) {
        printError("Could not write the run history %s.", HISTORY_FILE);
        run.historyLost = true;
    }
    return written;
}

// The name of the real user, or the number when it has none.
static std::string realUser()
{
    const struct passwd *user = getpwuid(getuid());
    return user != nullptr ? user->pw_name : std::to_string(getuid());
}

bool historyStart(runRecord &run)
{
    // A run that another holds the directory against leaves no line.
    if (run.lockBusy)
        return true;
    std::string start = utcTime(run.started);
    runId = start + "-" + std::to_string(getpid());
    std::string line = "{\"event\": \"start\", \"run\": " + jsonText(runId.c_str()) +
                       ", \"time\": " + jsonText(start.c_str()) + ", \"argv\": [";
    for (int i = 0; i < run.wordCount; i++)
        line += (i > 0 ? ", " : "") + jsonText(run.words[i]);
    const char *sudoUser = std::getenv("SUDO_USER");
    line += "], \"user\": " + jsonText(realUser().c_str()) +
            ", \"sudo_user\": " + (sudoUser != nullptr ? jsonText(sudoUser) : "null") + "}";
    return appendLine(run, line);
}

bool historyEnd(runRecord &run)
{
    if (run.lockBusy || run.historyLost)
        return true;
    std::string report = reportText(run);
    report.pop_back();
    return appendLine(run, "{\"event\": \"end\", \"run\": " + jsonText(runId.c_str()) + ", \"time\": " +
                               jsonText(utcTime(run.finishedAt).c_str()) + ", \"report\": " + report + "}");
}

// What --history has read of a run whose end it has not met yet.
struct startedRun {
    std::string id;  // cppcheck-suppress unusedStructMember ; it pairs the run's end with it
    std::string time;
    std::string command;
};

static std::string textOf(const jsonValue *value)
{
    return value != nullptr && value->kind == jsonValue::TEXT ? value->text : "";
}

// A number of the history as a whole number; 0 when it is none, or beyond what one can hold.
static long numberOf(const jsonValue *value)
{
    if (value == nullptr || value->kind != jsonValue::NUMBER)
        return 0;
    const double number = value->number;
    return number > -1e15 && number < 1e15 ? static_cast<long>(number) : 0;
}

// text as it may reach a terminal: control characters shown as '?'.
static std::string shown(const std::string &text)
{
    std::string out = text;
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return out;
}

static void printUnended(const startedRun &run)
{
    std::printf("%s  ended without an account (killed, or still running): orvTQupdate%s\n", shown(run.time).c_str(),
                shown(run.command).c_str());
}

// Prints the lines of an adapter's changes, as many as the report kept, and how many more.
static void printChanges(const jsonValue &changes)
{
    const jsonValue *removed = member(changes, "removed");
    const jsonValue *added = member(changes, "added");
    long shownLines = 0;
    for (const auto &list : {std::make_pair(removed, '-'), std::make_pair(added, '+')}) {
        for (size_t i = 0; list.first != nullptr && i < list.first->items.size(); i++, shownLines++)
            std::printf("        %c %s\n", list.second, shown(textOf(&list.first->items[i])).c_str());
    }
    const long more = numberOf(member(changes, "removed_count")) + numberOf(member(changes, "added_count")) - shownLines;
    if (more > 0)
        std::printf("        (%ld more changed lines)\n", more);
}

// Prints a finished run from its report: its line, and one for each adapter updated or not.
static void printEnded(const jsonValue &report)
{
    const jsonValue *counts = member(report, "counts");
    const auto count = [counts](const char *state) { return counts != nullptr ? numberOf(member(*counts, state)) : 0; };
    std::printf("%s  %s, exit status %ld: %ld updated, %ld failed; info file %s\n",
                shown(textOf(member(report, "started"))).c_str(), shown(textOf(member(report, "outcome"))).c_str(),
                numberOf(member(report, "exit_status")), count("updated"), count("failed") + count("unverified"),
                shown(textOf(member(report, "info_file"))).c_str());
    const jsonValue *adapters = member(report, "adapters");
    for (size_t i = 0; adapters != nullptr && i < adapters->items.size(); i++) {
        const jsonValue &adapter = adapters->items[i];
        const std::string state = textOf(member(adapter, "state"));
        if (state != "updated" && state != "failed" && state != "unverified")
            continue;
        std::printf("    adapter %ld, ID %s, %s: %s\n", numberOf(member(adapter, "adapter")),
                    shown(textOf(member(adapter, "id"))).c_str(), shown(textOf(member(adapter, "package"))).c_str(),
                    state.c_str());
        const jsonValue *changes = member(adapter, "changes");
        if (changes != nullptr && changes->kind == jsonValue::OBJECT)
            printChanges(*changes);
    }
}

// Takes one line of the history, the pending start of a run in *started; false when it is not
// a JSON object.
static bool takeHistoryLine(const std::string &line, std::vector<startedRun> &started)
{
    jsonValue entry;
    if (!parseJson(line, entry) || entry.kind != jsonValue::OBJECT)
        return false;
    const std::string event = textOf(member(entry, "event"));
    const std::string id = textOf(member(entry, "run"));
    if (event == "start") {
        // Runs hold the directory one at a time: a start before the last one's end means that one
        // never ended.
        for (const startedRun &run : started)
            printUnended(run);
        started.clear();
        startedRun run{id, textOf(member(entry, "time")), ""};
        const jsonValue *words = member(entry, "argv");
        for (size_t i = 0; words != nullptr && i < words->items.size(); i++)
            run.command += " " + textOf(&words->items[i]);
        started.push_back(run);
    } else if (event == "end") {
        if (!started.empty() && started.back().id == id)
            started.clear();
        const jsonValue *report = member(entry, "report");
        if (report != nullptr)
            printEnded(*report);
    }
    return true;
}

int showHistory(const char *path)
{
    FILE *file = openRegularStream(path, false);
    if (file == nullptr) {
        struct stat st = {};
        if (lstat(path, &st) != 0 && errno == ENOENT) {
            std::printf("No run on record.\n");
            return 0;
        }
        printError("Could not read the run history %s.", path);
        return 1;
    }
    std::vector<startedRun> started;
    int status = 0;
    char *buffer = nullptr;
    size_t size = 0;
    ssize_t n;
    for (long number = 1; (n = getline(&buffer, &size, file)) > 0; number++) {
        std::string line(buffer, static_cast<size_t>(n));
        if (line.back() == '\n')
            line.pop_back();
        if (!takeHistoryLine(line, started)) {
            // A run whose end is not readable ended without an account that can be shown.
            for (const startedRun &run : started)
                printUnended(run);
            started.clear();
            std::printf("unreadable line %ld\n", number);
            status = 1;
        }
    }
    std::free(buffer);
    for (const startedRun &run : started)
        printUnended(run);
    if (std::ferror(file)) {
        printError("Could not read the run history %s.", path);
        status = 1;
    }
    std::fclose(file);
    return status;
}
