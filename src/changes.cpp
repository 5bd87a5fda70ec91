#include "changes.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <unordered_map>

// How often each line occurs in a file.
using lineCounts = std::unordered_map<std::string, long>;

// Calls take(line) for every line of the regular file at path, as getLine gives them; false when
// the file cannot be opened or read whole.
template <typename Take>
static bool eachLine(const char *path, Take take)
{
    const int fd = openRegular(path, false);
    FILE *file = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (file == nullptr) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    char line[LINE_SIZE];
    while (getLine(file, line, sizeof line) == 1)
        take(std::string(line));
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

// The lines of from that others lacks, occurrence by occurrence, into lines and count.
static bool difference(const char *from, lineCounts others, std::vector<std::string> &lines, long &count)
{
    count = 0;
    return eachLine(from, [&](const std::string &line) {
        auto found = others.find(line);
        if (found != others.end() && found->second > 0) {
            found->second--;
            return;
        }
        if (lines.size() < CHANGES_KEPT)
            lines.push_back(line);
        count++;
    });
}

bool compareConfigs(const char *before, const char *after, configChanges &changes)
{
    lineCounts beforeLines, afterLines;
    changes = configChanges{};
    return eachLine(before, [&](const std::string &line) { beforeLines[line]++; }) &&
           eachLine(after, [&](const std::string &line) { afterLines[line]++; }) &&
           difference(before, afterLines, changes.removed, changes.removedCount) &&
           difference(after, beforeLines, changes.added, changes.addedCount);
}
