#include "changes.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// How often each line occurs in a file.
using lineCounts = std::unordered_map<std::string, long>;

// Calls take(line) for every line of the regular file at path, as getLine gives them; false when
// the file cannot be opened or read whole.
template <typename Take>
static bool eachLine(const char *path, Take take)
{
    FILE *file = openRegularStream(path, false);
    if (file == nullptr)
        return false;
    char line[LINE_SIZE];
    while (getLine(file, line, sizeof line) == 1)
        take(std::string(line));
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

// The lines of from that others lacks, occurrence by occurrence, into lines and count.
static void difference(const std::vector<std::string> &from, lineCounts others, std::vector<std::string> &lines, long &count)
{
    count = 0;
    for (const std::string &line : from) {
        auto found = others.find(line);
        if (found != others.end() && found->second > 0) {
            found->second--;
            continue;
        }
        if (lines.size() < CHANGES_KEPT)
            lines.push_back(line);
        count++;
    }
}

// The lines of the file at path into lines, and how often each occurs into counts.
static bool readLines(const char *path, std::vector<std::string> &lines, lineCounts &counts)
{
    return eachLine(path, [&](const std::string &line) {
        lines.push_back(line);
        counts[line]++;
    });
}

bool compareConfigs(const char *before, const char *after, configChanges &changes)
{
    std::vector<std::string> beforeLines;
    std::vector<std::string> afterLines;
    lineCounts beforeCounts;
    lineCounts afterCounts;
    changes = configChanges{};
    if (!readLines(before, beforeLines, beforeCounts) || !readLines(after, afterLines, afterCounts))
        return false;
    difference(beforeLines, afterCounts, changes.removed, changes.removedCount);
    difference(afterLines, beforeCounts, changes.added, changes.addedCount);
    return true;
}
