#ifndef ORVTQUPDATE_HISTORY_H
#define ORVTQUPDATE_HISTORY_H

#include "report.h"

// The run history in the tool's directory: two JSON lines a run, appended.
extern const char *const HISTORY_FILE;

// Appends run's start line to the history, unless another process holds the directory; false,
// after saying so, when it cannot, and then no further line of run's is written.
bool historyStart(runRecord &run);

// Appends run's end line, its report's document in it, unless another process holds the
// directory or its start line could not be written; false, after saying so, when it cannot.
bool historyEnd(runRecord &run);

// Prints the history at path, run by run, oldest first: the exit status.
int showHistory(const char *path);

#endif
