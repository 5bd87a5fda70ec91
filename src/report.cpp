#include "report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Every error line printed in this run, without its prefix and line end, for the run report.
static std::vector<std::string> errors;

// Prints "ERROR: " and the formatted text as a line, then an empty line; keeps it for the run
// report when keep is set.
static void printFormatted(bool keep, const char *format, va_list args)
{
    char text[1024];
    // The analyser loses track of va_start through the C library's macros.
    std::vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    std::printf("ERROR: %s\n\n", text);
    if (keep)
        errors.emplace_back(text);
}

// C-style variadic functions, so that the compiler checks every call's format against its
// arguments, which a parameter pack would not let it do.
void printError(const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    printFormatted(true, format, args);
    va_end(args);
}

void printUnkeptError(const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    printFormatted(false, format, args);
    va_end(args);
}

void keepError(const std::string &text)
{
    errors.push_back(text);
}

void forgetErrors()
{
    errors.clear();
}

waitReading readWaitStatus(int status)
{
    if (status == -1)
        return {-1, 0};
    if (WIFSIGNALED(status))
        return {-1, WTERMSIG(status)};
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // A shell reports a command that a signal ended with the exit code 128 + S.
    return {code, code > 128 && code <= 128 + 64 ? code - 128 : 0};
}

// The exit status that a failed adapter stands for: its update's, as a parent would see the
// shell's, or EXIT_ADAPTER when no update ran.
static int failureStatus(const adapterResult &result)
{
    if (!result.ran || result.state != STATE_FAILED)
        return EXIT_ADAPTER;
    if (result.waitStatus == -1)
        return EXIT_NO_SHELL;
    const waitReading reading = readWaitStatus(result.waitStatus);
    if (reading.exitCode < 0)
        return 128 + reading.signal;
    return reading.exitCode != 0 ? reading.exitCode : EXIT_ADAPTER;
}

// The status of a finished update pass: the last failure's, in adapter order.
static int passStatus(const runRecord &run)
{
    bool updated = false;
    int failure = 0;
    for (int i = 0; i < run.count; i++) {
        const adapterResult &result = run.adapters[i];
        if (result.state == STATE_UPDATED || result.state == STATE_WOULD_UPDATE)
            updated = true;
        else if (result.state != STATE_NOT_COVERED)
            failure = failureStatus(result);
    }
    if (failure != 0)
        return failure;
    return updated ? EXIT_UPDATED : EXIT_NOTHING;
}

// The status that the run's own state and its adapters give.
static int resultStatus(const runRecord &run)
{
    if (run.usage)
        return EXIT_USAGE;
    if (run.commandLineOnly)
        return EXIT_UPDATED;
    if (run.stopSignal != 0)
        return 128 + run.stopSignal;  // outranks every other result
    if (run.notStarted)
        return EXIT_NOT_STARTED;
    return passStatus(run);
}

int exitStatus(const runRecord &run)
{
    const int status = resultStatus(run);
    // A record that could not be written must not let the run pass for a success.
    bool configLost = false;
    for (int i = 0; i < run.count; i++)
        configLost = configLost || run.adapters[i].configLost;
    if (status == EXIT_UPDATED && (run.consoleLost || run.reportLost || run.historyLost || configLost))
        return 1;
    return status;
}

const char *outcome(const runRecord &run)
{
    if (!run.finished)
        return "running";
    if (run.stopSignal != 0)
        return "stopped";
    if (run.notStarted)
        return "refused";
    bool updated = false;
    for (int i = 0; i < run.count; i++) {
        const adapterState state = run.adapters[i].state;
        // A plan says it is one, so that nobody counts it as done.
        if (state == STATE_FAILED || state == STATE_WOULD_FAIL || state == STATE_NO_ID || state == STATE_UNVERIFIED)
            return run.dryRun ? "would fail" : "failed";
        updated = updated || state == STATE_UPDATED || state == STATE_WOULD_UPDATE;
    }
    if (!updated)
        return "nothing covered";
    return run.dryRun ? "would update" : "updated";
}

void countStates(const runRecord &run, int (&counts)[STATES])
{
    for (int &count : counts)
        count = 0;
    for (int i = 0; i < run.count; i++)
        counts[run.adapters[i].state]++;
}

const char *stateName(adapterState state)
{
    static const char *const NAMES[STATES] = {"updated",      "failed",     "not covered", "no id",
                                              "would update", "would fail", "unverified"};
    return NAMES[state];
}

std::string keptFile(int adapter)
{
    return "result-" + std::to_string(adapter) + ".out";
}

std::string configFile(int adapter, bool after)
{
    return "config-" + std::to_string(adapter) + (after ? "-after" : "") + ".out";
}

// The length of the UTF-8 sequence that starts text, as RFC 3629 allows it; 0 when none does.
static size_t sequenceLength(const unsigned char *text)
{
    const unsigned char c = text[0];
    if (c < 0x80)
        return 1;
    size_t length = 0;
    // The range of the second byte.
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf)
        length = 2;
    else if (c >= 0xe0 && c <= 0xef)
        length = 3;
    else if (c >= 0xf0 && c <= 0xf4)
        length = 4;
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if (c == 0xe0)
        low = 0xa0;
    else if (c == 0xed)
        high = 0x9f;
    else if (c == 0xf0)
        low = 0x90;
    else if (c == 0xf4)
        high = 0x8f;
    if (length == 0 || text[1] < low || text[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++) {
        if (text[i] < 0x80 || text[i] > 0xbf)
            return 0;
    }
    return length;
}

// Appends text as a JSON string: control characters escaped, bytes that are not UTF-8 as U+FFFD.
static void appendText(std::string &out, const char *text)
{
    out += '"';
    const auto *c = reinterpret_cast<const unsigned char *>(text);
    while (*c != '\0') {
        const size_t length = sequenceLength(c);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            c++;
        } else if (*c == '"' || *c == '\\') {
            out += '\\';
            out += static_cast<char>(*c++);
        } else if (*c < 0x20 || *c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", *c++);
            out += escaped;
        } else {
            out.append(reinterpret_cast<const char *>(c), length);
            c += length;
        }
    }
    out += '"';
}

// Appends "key": as the start of a member, after a comma unless it is the object's first.
static void appendKey(std::string &out, const char *key)
{
    if (out.back() != '{')
        out += ',';
    appendText(out, key);
    out += ':';
}

static void appendTextMember(std::string &out, const char *key, const char *text)
{
    appendKey(out, key);
    if (text == nullptr)
        out += "null";
    else
        appendText(out, text);
}

// A number member; null when known is false.
static void appendNumberMember(std::string &out, const char *key, bool known, long long value)
{
    appendKey(out, key);
    out += known ? std::to_string(value) : "null";
}

std::string utcTime(std::time_t when)
{
    char text[32] = "";
    struct tm utc = {};
    if (gmtime_r(&when, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return "";
    return text;
}

std::string jsonText(const char *text)
{
    std::string out;
    appendText(out, text);
    return out;
}

static void appendTimeMember(std::string &out, const char *key, bool known, std::time_t when)
{
    const std::string text = known ? utcTime(when) : "";
    appendTextMember(out, key, text.empty() ? nullptr : text.c_str());
}

// Appends a list of texts as a JSON array.
static void appendTexts(std::string &out, const std::vector<std::string> &texts)
{
    out += '[';
    for (size_t i = 0; i < texts.size(); i++) {
        if (i > 0)
            out += ',';
        appendText(out, texts[i].c_str());
    }
    out += ']';
}

static void appendChanges(std::string &out, const configChanges &changes)
{
    out += '{';
    appendKey(out, "removed");
    appendTexts(out, changes.removed);
    appendKey(out, "added");
    appendTexts(out, changes.added);
    appendNumberMember(out, "removed_count", true, changes.removedCount);
    appendNumberMember(out, "added_count", true, changes.addedCount);
    out += '}';
}

static void appendAdapter(std::string &out, const adapterResult &result)
{
    out += '{';
    appendNumberMember(out, "adapter", true, result.adapter);
    appendTextMember(out, "id", result.hasId ? result.id : nullptr);
    appendTextMember(out, "name", result.record != nullptr ? result.record->adapterName : nullptr);
    appendTextMember(out, "package", result.record != nullptr ? result.record->updatePackage : nullptr);
    appendTextMember(out, "state", stateName(result.state));
    const waitReading reading = readWaitStatus(result.ran ? result.waitStatus : -1);
    appendNumberMember(out, "wait_status", result.ran, result.waitStatus);
    appendNumberMember(out, "exit_code", reading.exitCode >= 0, reading.exitCode);
    appendNumberMember(out, "signal", reading.signal != 0, reading.signal);
    appendTextMember(out, "result_file", result.kept ? keptFile(result.adapter).c_str() : nullptr);
    appendKey(out, "seconds");
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", result.seconds);
    out += result.ran ? seconds : "null";
    appendTextMember(out, "sha256", result.sha256);
    appendKey(out, "verified");
    out += result.verified == VERIFY_NONE ? "null" : result.verified == VERIFY_PASSED ? "true" : "false";
    appendKey(out, "changes");
    if (result.compared)
        appendChanges(out, result.changes);
    else
        out += "null";
    out += '}';
}

// The members that say where and how the run was made.
static void appendSetting(std::string &out, const runRecord &run)
{
    appendNumberMember(out, "format_version", true, 2);
    appendTextMember(out, "program_version", run.programVersion);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    appendTextMember(out, "host", host);
    appendTextMember(out, "directory", run.directory);
    appendTextMember(out, "info_file", run.infoFile);
    appendTextMember(out, "checksums", run.checksumFile);
    appendKey(out, "dry_run");
    out += run.dryRun ? "true" : "false";
    appendKey(out, "verify");
    out += run.verify ? "true" : "false";
    appendTimeMember(out, "started", true, run.started);
    appendTimeMember(out, "finished", run.finished, run.finishedAt);
}

std::string reportText(const runRecord &run)
{
    std::string out = "{";
    appendSetting(out, run);
    appendTextMember(out, "outcome", outcome(run));
    appendNumberMember(out, "exit_status", run.finished, exitStatus(run) & 0xff);
    appendNumberMember(out, "stop_signal", run.stopSignal != 0, run.stopSignal);
    appendNumberMember(out, "adapters_found", run.adaptersFound >= 0, run.adaptersFound);
    appendKey(out, "errors");
    appendTexts(out, errors);
    appendKey(out, "adapters");
    out += '[';
    for (int i = 0; i < run.count; i++) {
        if (i > 0)
            out += ',';
        appendAdapter(out, run.adapters[i]);
    }
    out += ']';
    int counts[STATES];
    countStates(run, counts);
    appendKey(out, "counts");
    out += '{';
    for (int state = 0; state < STATES; state++)
        appendNumberMember(out, stateName(static_cast<adapterState>(state)), true, counts[state]);
    return out + "}}\n";
}

// Writes all of text to fd; false when it cannot.
bool writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Flushes the directory that holds path, so that a rename in it outlives a crash; a file system
// that cannot flush a directory has nothing more to flush.
static bool syncDirectoryOf(const char *path)
{
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    return close(fd) == 0 && synced;
}

// Writes the document of run to a new file beside path, mode 0644 whatever the umask, and puts
// it in path's place in one step: a reader, or a run killed at any moment, never finds half a
// document. False when any step fails; nothing is left beside path then.
static bool replaceReport(const runRecord &run, const char *path)
{
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool written = fchmod(fd, 0644) == 0 && writeAll(fd, reportText(run)) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    written = written && std::rename(temp.c_str(), path) == 0;
    if (!written)
        unlink(temp.c_str());
    return written && syncDirectoryOf(path);
}

bool writeReport(runRecord &run)
{
    // A run that another holds the directory against must not touch that run's report.
    if (run.reportFile == nullptr || run.lockBusy)
        return true;
    const bool first = !run.reportTried;
    run.reportTried = true;
    // Nothing but a regular file is replaced: a link, a device or a directory of that name is
    // someone else's, and stays as it is.
    struct stat st = {};
    const bool other = lstat(run.reportFile, &st) == 0 && !S_ISREG(st.st_mode);
    const bool written = !other && replaceReport(run, run.reportFile);
    if (!written && !run.reportLost) {
        if (other && first)
            printError("The run report %s is not a regular file; no adapter is updated.", run.reportFile);
        else
            printError("Could not write the run report %s.", run.reportFile);
    }
    run.reportLost = run.reportLost || !written;
    return written;
}
