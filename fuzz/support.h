#ifndef ORVTQUPDATE_FUZZ_SUPPORT_H
#define ORVTQUPDATE_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Replaces the scratch file's content with data; the file's path.
const char *writeScratch(const uint8_t *data, size_t size);

// The texts that successive line reads of data into a buffer of bufSize bytes must yield,
// worked out independently of the reader: fgets pieces of at most bufSize - 1 bytes ending
// after a newline, each cut at its first NUL, then one newline and the trailing spaces removed.
std::vector<std::string> expectedLines(const uint8_t *data, size_t size, size_t bufSize);

// The length of the piece that one line read of data into a buffer of bufSize bytes takes.
size_t pieceLength(const uint8_t *data, size_t size, size_t bufSize);

// Stops the process with a message when cond is false, so that libFuzzer records the input.
void require(bool cond, const char *what);

#endif
