#ifndef ORVTQUPDATE_TEXTINPUT_H
#define ORVTQUPDATE_TEXTINPUT_H

#include <cstdio>

// Size of every line buffer the program reads into: a line holds at most 255 characters.
constexpr int LINE_SIZE = 256;
// The adapter info file holds at most this many records.
constexpr int MAX_RECORDS = 30;
// Longest update package accepted: it keeps the longest update command within LINE_SIZE.
constexpr int PACKAGE_MAX = 216;
// The failure value of the readers: the input could not be opened or read.
constexpr int READ_FAILED = 999;

// One line of the adapter info file; each text has storage of its own that lives until exit.
struct adapterInfo {
    char *ssdid;          // PCI subsystem device ID as the adapter tool prints it (LINE_SIZE bytes)
    char *adapterName;    // name shown to the operator (LINE_SIZE bytes)
    char *updatePackage;  // argument of the tool's update option (PACKAGE_MAX + 1 bytes)
    int lineNumber;       // the file's line it came from, as an editor numbers it
};

// Reads the next line of stream into buf, less its newline and trailing spaces: 1, or -1 when none.
int getLine(FILE *stream, char *buf, int size);

// getLine, also telling in *newline whether a newline ended the text read: false for a piece
// of a longer line and for a last line cut short.
int getLineEnd(FILE *stream, char *buf, int size, bool *newline);

// Opens path for reading when it is a regular file, never waiting for a FIFO's writer, and
// following a symbolic link only when follow is set: the descriptor, or -1.
int openRegular(const char *path, bool follow);

// openRegular as a stream for reading: the stream, or nullptr.
FILE *openRegularStream(const char *path, bool follow);

// Puts the word of package that the tool gets first (blanks and tabs before it skipped) into
// word; false when the shell would change it: it holds a quote, a backslash or a ~.
bool packageWord(const char *package, char (&word)[LINE_SIZE]);

// Reads the info file at path into adapterList and lists its adapters: the records read, or
// READ_FAILED when the file cannot be read or any of its lines is refused.
int getUpdateList(adapterInfo *adapterList, const char *path);

#endif
