// The ID extraction over arbitrary configuration files: the ID is the rest of the first line
// that holds the key, white space after the key skipped, never cut and never overflowing; none
// when that line does not end with its newline within one piece (cut by the end of the file, or
// longer than a piece).
#include "adapters.h"
#include "support.h"

#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char ssdid[LINE_SIZE] = "unchanged";
    readControllersdid(1, writeScratch(data, size), ssdid);
    std::string expected = "unchanged";
    size_t start = 0;  // where the current piece starts in data
    for (const std::string &line : expectedLines(data, size, LINE_SIZE)) {
        size_t key = line.find(SUBDEVICEID_FOUND);
        const size_t piece = start;
        start += std::min(size - start, pieceLength(data + start, size - start, LINE_SIZE));
        if (key == std::string::npos)
            continue;
        // The piece holding the key must end with its newline, or be a whole piece that the
        // newline follows.
        const size_t length = start - piece;
        const bool whole = (length > 0 && data[piece + length - 1] == '\n') ||
                           (length == LINE_SIZE - 1 && start < size && data[start] == '\n');
        if (!whole)
            break;
        size_t value = line.find_first_not_of(" \t\n\v\f\r", key + std::strlen(SUBDEVICEID_FOUND));
        expected = value == std::string::npos ? "" : line.substr(value);
        break;
    }
    require(std::memchr(ssdid, '\0', sizeof ssdid) != nullptr, "ID not terminated within its storage");
    require(expected == ssdid, "ID differs from the text after the first key");
    return 0;
}
