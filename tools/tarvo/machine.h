#ifndef TARVO_MACHINE_H
#define TARVO_MACHINE_H

#include <cstddef>

// Storage of an adapter's ID and model name, terminator included.
constexpr int FIELD_SIZE = 256;
// The most adapters a machine file can hold: every count the update utility can be tried with,
// including ones it refuses.
constexpr int MACHINE_MAX = 4096;

// What an adapter's configuration query does.
enum queryMode { QUERY_NORMAL, QUERY_NOKEY, QUERY_CRLF, QUERY_FAIL };

// What an adapter does once it has taken a package: answer as before, no longer answer, or
// answer with another ID.
enum afterMode { AFTER_SAME, AFTER_VANISH, AFTER_ID };

// One simulated adapter: what the tool reports for it and how its commands end.
struct machineAdapter {
    char id[FIELD_SIZE];     // PCI subsystem device ID, printed as it is
    char model[FIELD_SIZE];  // model name
    int exitCode;            // exit code of its update; 0 for success
    int signal;              // signal that ends its update; 0 for none
    int delayMs;             // how long its update takes
    queryMode query;         // how its configuration query answers
    int querySignal;         // signal that ends its query after the output; 0 for none
    afterMode after;         // what it does once it has taken a package
    char afterId[FIELD_SIZE];  // the ID it then answers with, for AFTER_ID
};

// Reads text, decimal digits only, into *value when it lies within min..max; false otherwise.
bool parseNumber(const char *text, int min, int max, int *value);

// Parses one machine-file line: 1 with *adapter filled, 0 for none, -1 with the reason in why.
int parseMachineLine(const char *line, machineAdapter *adapter, char *why, size_t whySize);

// Reads the machine file at path into at most max adapters: their number, or -1 with why.
int readMachine(const char *path, machineAdapter *adapters, int max, char *why, size_t whySize);

#endif
