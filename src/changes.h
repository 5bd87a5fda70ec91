#ifndef ORVTQUPDATE_CHANGES_H
#define ORVTQUPDATE_CHANGES_H

#include "report.h"

// How many lines of each side a comparison keeps; the counts give the full numbers.
constexpr size_t CHANGES_KEPT = 20;

// Compares the configuration files at before and after line by line, each line as the query
// reads it: the lines of before that after lacks and the reverse, as multisets, in file order,
// into changes; false when either file cannot be read.
bool compareConfigs(const char *before, const char *after, configChanges &changes);

#endif
