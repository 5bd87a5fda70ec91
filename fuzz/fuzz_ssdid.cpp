// The ID extraction over arbitrary configuration files: the ID is the rest of the first line
// that holds the key, white space after the key skipped, never cut and never overflowing.
#include "adapters.h"
#include "support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char ssdid[LINE_SIZE] = "unchanged";
    readControllersdid(1, writeScratch(data, size), ssdid);
    std::string expected = "unchanged";
    for (const std::string &line : expectedLines(data, size, LINE_SIZE)) {
        size_t key = line.find(SUBDEVICEID_FOUND);
        if (key == std::string::npos)
            continue;
        size_t value = line.find_first_not_of(" \t\n\v\f\r", key + std::strlen(SUBDEVICEID_FOUND));
        expected = value == std::string::npos ? "" : line.substr(value);
        break;
    }
    require(std::memchr(ssdid, '\0', sizeof ssdid) != nullptr, "ID not terminated within its storage");
    require(expected == ssdid, "ID differs from the text after the first key");
    return 0;
}
