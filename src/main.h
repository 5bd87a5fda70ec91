#ifndef ORVTQUPDATE_MAIN_H
#define ORVTQUPDATE_MAIN_H

// Non-zero when the operator asked for debug output; set once, before any file is read.
extern int DEBUG;

// Prints how the program is to be called.
void printusage();

#endif
