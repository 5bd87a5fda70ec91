#ifndef ORVTQUPDATE_REPORT_H
#define ORVTQUPDATE_REPORT_H

#include "textinput.h"

#include <ctime>
#include <string>
#include <vector>

// Exit statuses of a run, as the program returns them; a parent sees the low 8 bits.
constexpr int EXIT_UPDATED = 0;        // an update ran, and no adapter failed
constexpr int EXIT_USAGE = 1;          // the command line asked for nothing the program does
constexpr int EXIT_NOTHING = 1;        // no update ran, and none failed
constexpr int EXIT_ADAPTER = 1;        // an adapter gave no ID, would fail, or was not updated
constexpr int EXIT_NO_SHELL = 255;     // an update's shell could not be started
constexpr int EXIT_NOT_STARTED = 999;  // the run ended before the update pass

// What became of an adapter that the update pass reached; an unverified adapter was updated but
// did not answer with its ID afterwards.
enum adapterState {
    STATE_UPDATED, STATE_FAILED, STATE_NOT_COVERED, STATE_NO_ID, STATE_WOULD_UPDATE, STATE_WOULD_FAIL, STATE_UNVERIFIED
};
constexpr int STATES = 7;

// The lines of an adapter's configuration before its update that the one after lacks, and the
// reverse, as a multiset difference in file order: the first few of each, and their numbers.
struct configChanges {
    std::vector<std::string> removed;
    std::vector<std::string> added;
    long removedCount;
    long addedCount;
};

// Whether an updated adapter answered with its ID again: not asked, yes, or no.
enum verification { VERIFY_NONE, VERIFY_PASSED, VERIFY_FAILED };

// One adapter's account, filled by the update pass; its console lines, its part of the run
// report and its log lines are all written from it.
struct adapterResult {
    const adapterInfo *record;  // the record that covers it, or nullptr
    double seconds;             // how long the update command took, when it ran
    const char *sha256;         // the verified digest of its record's package, or nullptr
    int adapter;                // its number, from 1
    int waitStatus;             // the update command's wait status, when it ran
    adapterState state;
    bool hasId;                 // whether its query gave an ID
    bool ran;                   // whether the update command ran
    bool kept;                  // whether result-N.out holds the tool's output of its update
    bool configLost;            // its query's output could not be kept in config-N.out
    verification verified;      // how its verifying query went
    bool compared;              // whether changes holds its configuration before and after
    configChanges changes;
    char id[LINE_SIZE];         // the ID, when it has one
    char command[LINE_SIZE];    // the update command line, when a record covers it
};

// A wait status read as the shell reports a command: its exit code (-1 when it did not exit:
// no shell, or the shell ended by a signal) and the signal that ended the tool or the shell
// (read from the exit code 128 + S too), or 0.
struct waitReading {
    int exitCode;
    int signal;
};

// The whole run: what the command line asked for, how far the run got and what it found.
struct runRecord {
    const char *programVersion;
    const char *directory;      // the absolute working directory, or nullptr when unknown
    const char *infoFile;
    const char *reportFile;     // the run report's path, or nullptr for none
    const char *checksumFile;   // the checksum file's path, or nullptr for none
    char *const *words;         // the command line's words after the program's name
    int wordCount;
    bool dryRun;
    bool verify;                // updated adapters are queried again
    bool usage;                 // the command line was refused
    bool commandLineOnly;       // help or version: nothing else was done
    std::time_t started;
    std::time_t finishedAt;
    bool finished;              // the run has ended, and its status is known
    bool notStarted;            // the run ended before the update pass
    bool stopsHonoured;         // the package check or the first tool command was due: a stop request now ends the run
    bool passBegan;             // the update pass began
    int stopSignal;             // the signal that stopped the run, or 0
    int adaptersFound;          // the tool's adapter count, or -1 while it is not known
    int count;                  // adapters reached, the first count of adapters
    adapterResult *adapters;    // room for every adapter the pass can reach
    bool lockBusy;              // another process holds the directory: this run writes no report
    bool reportTried;           // a write of the run report was tried
    bool reportLost;            // a write of the run report failed
    bool historyLost;           // a line of the run history could not be written
    bool consoleLost;           // standard output did not take the whole report
};

// Prints "ERROR: " and the formatted text as a line, then an empty line, and keeps the text for
// the run report.
void printError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Prints an error line as printError does, without keeping it for the run report.
void printUnkeptError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Keeps text for the run report's errors without printing it.
void keepError(const std::string &text);

// Forgets the error lines kept so far, for a process that goes through many runs' inputs.
void forgetErrors();

// Reads a wait status as the shell reports a command; -1 (no child at all) gives neither.
waitReading readWaitStatus(int status);

// The run's exit status, decided from its record alone.
int exitStatus(const runRecord &run);

// The run's outcome for the report and the log: running, refused, stopped, failed, updated or
// nothing covered; a dry run's would fail or would update in place of the last two but one.
const char *outcome(const runRecord &run);

// The number of adapters of run in each state, by state.
void countStates(const runRecord &run, int (&counts)[STATES]);

// The state's name in the report and the log.
const char *stateName(adapterState state);

// The file that keeps the tool's output of adapter's update: result-N.out.
std::string keptFile(int adapter);

// The file that keeps the output of adapter's query, or of its verifying query when after is
// set: config-N.out or config-N-after.out.
std::string configFile(int adapter, bool after);

// text as a JSON string, quotes included: control characters escaped, bytes that are not UTF-8
// as U+FFFD.
std::string jsonText(const char *text);

// when as a UTC time, YYYY-MM-DDTHH:MM:SSZ; "" when it cannot be told.
std::string utcTime(std::time_t when);

// The run report of run as a JSON document (RFC 8259, UTF-8) of one line, with its newline.
std::string reportText(const runRecord &run);

// Writes all of text to fd; false when it cannot.
bool writeAll(int fd, const std::string &text);

// Replaces the run report, if run has one and holds the directory, with a complete new document
// made afresh, mode 0644; false, after saying so once per run, when it cannot be written, and at
// the first write when the name is taken by anything but a regular file.
bool writeReport(runRecord &run);

#endif
