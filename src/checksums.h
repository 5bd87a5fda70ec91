#ifndef ORVTQUPDATE_CHECKSUMS_H
#define ORVTQUPDATE_CHECKSUMS_H

#include "textinput.h"

#include <string>
#include <vector>

// Storage of a SHA-256 digest as lower-case hexadecimal text, terminator included.
constexpr int SHA256_TEXT = 65;

// One file that a checksum file lists: its name as written there and its digest in lower case.
struct checksumEntry {
    std::string name;
    char digest[SHA256_TEXT];
};

// Reads the checksum file at path (plain or tagged lines) into entries, each name once (NAME and
// ./NAME being one), printing each problem; false when unusable.
bool readChecksumFile(const char *path, std::vector<checksumEntry> &entries);

// Puts the SHA-256 of the regular file at path into digest; false when it is no such file or cannot be read.
bool digestFile(const char *path, char (&digest)[SHA256_TEXT]);

// Checks every record's package against the checksum file at path, printing each problem, and
// the refusal when there was one; true when all match, digests[i] then holding record i's digest.
bool verifyPackages(const char *path, const adapterInfo *adapterList, int records, char (*digests)[SHA256_TEXT]);

#endif
