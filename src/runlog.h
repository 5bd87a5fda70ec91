#ifndef ORVTQUPDATE_RUNLOG_H
#define ORVTQUPDATE_RUNLOG_H

#include "report.h"

// The run's lines in the system log, under the identity orvTQupdate. Where no log daemon
// listens they are lost, as syslog(3) loses them; the console does not change.

// Logs the start of a run: the working directory, the info file and whether it is a dry run.
void logStart(const runRecord &run);

// Logs an update command about to start: the adapter, its ID, its name and the package.
void logUpdateStart(const adapterResult &result);

// Logs an update command's result: the adapter, its ID, and its exit code or signal.
void logUpdateEnd(const adapterResult &result);

// Logs whether an updated adapter answered with its ID when it was queried again.
void logVerified(const adapterResult &result);

// Logs the end of a run: its outcome, its exit status as a parent sees it and its counts.
void logEnd(const runRecord &run);

#endif
