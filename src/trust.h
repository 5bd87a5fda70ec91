#ifndef ORVTQUPDATE_TRUST_H
#define ORVTQUPDATE_TRUST_H

#include "textinput.h"

#include <string>

// What a run uses that others must not be able to change: the info file, the checksum file
// (nullptr for none) and the first records of adapterList, whose packages the tool reads.
struct runInputs {
    const char *infoFile;
    const char *checksumFile;
    const adapterInfo *adapterList;
    int records;
};

struct stat;

// Whether a file of this status is owned by root or the effective user, and nobody else may write it.
bool ownersOnly(const struct stat &st);

// Whether only root or the effective user can change the file at path, along every directory
// and link on the way to it (from the working directory, which is judged alone, for a relative
// path; from / otherwise): true, or false with the absolute path of the first that others can
// change in *place.
bool trustedPath(const char *path, std::string *place);

// Checks the working directory, named directory (nullptr when unknown), the tool, which must be
// there and runnable, and every path of inputs; false, after naming each that others could
// change or that is missing, otherwise.
bool checkPlaces(const char *directory, const runInputs &inputs);

// Makes the file at path, which must not exist yet, for writing with the further open flags,
// mode 0644 whatever the umask or a default ACL: its descriptor, or -1 with errno.
int createOwnFile(const char *path, int flags);

// Removes the regular file at path, if there is one, and makes it anew, empty and mode 0644
// whatever the umask or a default ACL: its descriptor for writing, or -1 when anything else is in
// the way or it cannot be made.
int makeOwnFile(const char *path);

// Makes the empty file that a command's output goes to, as makeOwnFile does; false when it cannot.
bool makeOutputFile(const char *path);

#endif
