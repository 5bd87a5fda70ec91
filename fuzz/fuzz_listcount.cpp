// The adapter count over arbitrary list files: exactly the lines (pieces) that begin with a
// decimal digit are counted, and a file whose last byte is not a newline is refused.
#include "adapters.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int count = countControllers(writeScratch(data, size));
    int expected = 0;
    for (const std::string &line : expectedLines(data, size, LINE_SIZE))
        expected += !line.empty() && line[0] >= '0' && line[0] <= '9';
    if (size > 0 && data[size - 1] != '\n')
        expected = READ_FAILED;
    require(count == expected, "count differs from the lines that begin with a digit");
    return 0;
}
