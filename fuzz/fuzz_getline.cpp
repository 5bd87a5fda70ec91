// The line reader over arbitrary bytes and several buffer sizes: every text it returns is its
// fgets piece less exactly the characters it is meant to remove, and nothing else is lost.
#include "support.h"
#include "textinput.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *path = writeScratch(data, size);
    for (size_t bufSize : {1, 2, 3, 7, 64, LINE_SIZE}) {
        const std::vector<std::string> expected = expectedLines(data, size, bufSize);
        FILE *file = std::fopen(path, "r");
        require(file != nullptr, "scratch file cannot be read");
        // Exactly bufSize bytes on the heap, so that a write past them is caught.
        char *buf = static_cast<char *>(std::malloc(bufSize));
        size_t count = 0;
        while (getLine(file, buf, static_cast<int>(bufSize)) == 1) {
            require(std::memchr(buf, '\0', bufSize) != nullptr, "text not terminated within the buffer");
            size_t len = std::strlen(buf);
            require(len == 0 || (buf[len - 1] != '\n' && buf[len - 1] != ' '), "text ends in a newline or space");
            require(count < expected.size() && expected[count] == buf, "text is not its piece less the removed characters");
            count++;
        }
        require(count == expected.size(), "pieces lost before the end of the input");
        std::free(buf);
        std::fclose(file);
    }
    return 0;
}
