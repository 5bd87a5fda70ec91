#ifndef TARVO_STATE_H
#define TARVO_STATE_H

#include <cstddef>
#include <map>
#include <string>

// The package each adapter last took, by adapter number; an adapter without one still has the
// firmware it left the factory with.
using takenPackages = std::map<int, std::string>;

// Reads the state file at path into taken (none taken when the file is missing): false with why.
bool readState(const char *path, takenPackages &taken, char *why, size_t whySize);

// Replaces the state file at path by one that holds taken, through a new file renamed over it: false with why.
bool writeState(const char *path, const takenPackages &taken, char *why, size_t whySize);

#endif
