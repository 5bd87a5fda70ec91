#include "support.h"

#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static char scratchPath[64];

static void removeScratch()
{
    unlink(scratchPath);
}

// Every target runs the readers with their debug lines on, so that those paths are fuzzed too.
int DEBUG = 1;

// Sends standard output to /dev/null (the readers report on it) and makes the scratch file.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    const char *dir = std::getenv("TMPDIR");
    int n = std::snprintf(scratchPath, sizeof scratchPath, "%s/orvfuzz.XXXXXX",
                          dir != nullptr && *dir != '\0' ? dir : "/tmp");
    if (n < 0 || static_cast<size_t>(n) >= sizeof scratchPath)
        std::abort();
    int fd = mkstemp(scratchPath);
    if (fd < 0)
        std::abort();
    close(fd);
    std::atexit(removeScratch);
    return 0;
}

const char *writeScratch(const uint8_t *data, size_t size)
{
    // Every input is a run of its own: the errors kept for a run's report go with it.
    forgetErrors();
    FILE *file = std::fopen(scratchPath, "wb");
    require(file != nullptr, "scratch file cannot be written");
    require(std::fwrite(data, 1, size, file) == size, "scratch file write failed");
    require(std::fclose(file) == 0, "scratch file close failed");
    return scratchPath;
}

size_t pieceLength(const uint8_t *data, size_t size, size_t bufSize)
{
    size_t n = 0;
    while (n < size && n < bufSize - 1 && data[n++] != '\n') {
    }
    return n;
}

std::vector<std::string> expectedLines(const uint8_t *data, size_t size, size_t bufSize)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (bufSize >= 2 && pos < size) {
        const size_t n = pieceLength(data + pos, size - pos, bufSize);
        // c_str() cuts at the first NUL, as the reader's strlen does.
        std::string text(std::string(reinterpret_cast<const char *>(data + pos), n).c_str());
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        lines.push_back(text);
        pos += n;
    }
    return lines;
}

void require(bool cond, const char *what)
{
    if (cond)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}
