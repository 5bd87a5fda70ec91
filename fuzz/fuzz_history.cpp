// The run history over arbitrary files: --history shows every line as a run or as unreadable,
// whatever its bytes, and ends with 0 or 1; the JSON reader takes or refuses any text.
#include "history.h"
#include "json.h"
#include "support.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int status = showHistory(writeScratch(data, size));
    require(status == 0 || status == 1, "--history ended with another status than 0 or 1");
    jsonValue value;
    parseJson(std::string(reinterpret_cast<const char *>(data), size), value);
    return 0;
}
