#ifndef ORVTQUPDATE_REPORT_H
#define ORVTQUPDATE_REPORT_H

// Prints "ERROR: " and the formatted text as a line, then an empty line, and keeps the text for
// the run report.
void printError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Forgets the error lines kept so far, for a process that goes through many runs' inputs.
void forgetErrors();

#endif
