#ifndef ORVTQUPDATE_ADAPTERS_H
#define ORVTQUPDATE_ADAPTERS_H

#include "checksums.h"
#include "report.h"
#include "textinput.h"

// The key in the tool's configuration output that the adapter's ID follows.
extern const char *const SUBDEVICEID_FOUND;

// The highest adapter number the tool's command lines can carry (three digits).
constexpr int MAX_ADAPTERS = 999;

// The adapter count when a stop request kept the list command from starting, or came while it ran.
constexpr int LIST_STOPPED = -1;

// What the update pass matches adapters against: the first records of adapterList, and the
// verified digest of each record's package, or nullptr when the packages were not checked.
struct updateList {
    const adapterInfo *adapterList;
    int records;
    const char (*digests)[SHA256_TEXT];
};

// Makes SIGINT, SIGQUIT, SIGTERM, SIGHUP and SIGPIPE stop requests, unless ignored at start.
void watchSignals();

// Records signal sig as a request to start no further tool command; safe in a signal handler.
void requestStop(int sig);

// The signal of the first stop request, or 0 while none has been made.
int stopSignal();

// Runs the tool's list-all command and counts its adapters: the count, READ_FAILED, or LIST_STOPPED.
int getNumberOfControllers();

// Counts the lines of the list file at path that begin with a digit, or gives READ_FAILED.
int countControllers(const char *path);

// Runs the tool's query for adapter and copies its ID into ssdid, left as it was without one,
// telling in *ran whether the query ran; false, with nothing printed, when a stop request kept it
// from running.
bool getControllersdid(int adapter, char (&ssdid)[LINE_SIZE], bool *ran);

// Copies the ID behind the key in the configuration file at path into ssdid, if there is one.
void readControllersdid(int adapter, const char *path, char (&ssdid)[LINE_SIZE]);

// Queries and updates adapters 1 to adapters by list, or in a dry run shows each update command
// instead, adding each adapter's account to run, and the report of it, until a stop request.
void update(runRecord &run, int adapters, const updateList &list);

#endif
