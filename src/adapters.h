#ifndef ORVTQUPDATE_ADAPTERS_H
#define ORVTQUPDATE_ADAPTERS_H

#include "textinput.h"

// The adapter tool's command texts; every command runs the tool from the working directory.
extern const char *const LISTALL;
extern const char *const ADAPTERCMD;
extern const char *const LISTINFO;
extern const char *const UPDATE;
extern const char *const RESULT;
// The key in the tool's configuration output that the adapter's ID follows.
extern const char *const SUBDEVICEID_FOUND;

// The highest adapter number the tool's command lines can carry (three digits).
constexpr int MAX_ADAPTERS = 999;

// Runs the tool's list-all command and counts its adapters; the count, or READ_FAILED.
int getNumberOfControllers();

// Counts the lines of the list file at path that begin with a digit; READ_FAILED when it
// cannot be opened or read.
int countControllers(const char *path);

// Runs the tool's query for adapter and copies its ID into ssdid, which keeps its text when
// the query yields none.
void getControllersdid(int adapter, char (&ssdid)[LINE_SIZE]);

// Copies the ID that follows the key in the configuration file at path into ssdid, which
// keeps its text when the file cannot be read or holds no key.
void readControllersdid(int adapter, const char *path, char (&ssdid)[LINE_SIZE]);

// Queries and updates adapters 1 to adapters from the first records of adapterList; the
// run's exit status: 0, 1 when no update ran, else the last failed adapter's exit status.
int update(int adapters, int records, const adapterInfo *adapterList);

#endif
