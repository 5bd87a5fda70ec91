#include "state.h"

#include "machine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static const char HEADER[] = "# The package each adapter of tarvo-machine.txt last took, written by tarvo.\n";

// Takes in one line of the state file, "N PACKAGE" with the package as it was given, spaces
// included; false when it has another form or names an adapter a second time.
static bool takeLine(const std::string &line, takenPackages &taken)
{
    if (line.empty() || line[0] == '#')
        return true;
    const size_t space = line.find(' ');
    int number = 0;
    if (space == std::string::npos || space + 1 == line.size() ||
        !parseNumber(line.substr(0, space).c_str(), 1, MACHINE_MAX, &number) || taken.count(number) != 0)
        return false;
    taken[number] = line.substr(space + 1);
    return true;
}

bool readState(const char *path, takenPackages &taken, char *why, size_t whySize)
{
    taken.clear();
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        if (errno == ENOENT)
            return true;
        std::snprintf(why, whySize, "%s: cannot open the state file: %s", path, std::strerror(errno));
        return false;
    }
    char *buffer = nullptr;
    size_t size = 0;
    ssize_t n;
    int lineNumber = 0;
    bool good = true;
    while (good && (n = getline(&buffer, &size, file)) > 0) {
        lineNumber++;
        std::string line(buffer, static_cast<size_t>(n));
        if (line.back() == '\n')
            line.pop_back();
        good = takeLine(line, taken);
        if (!good)
            std::snprintf(why, whySize, "%s line %d: expected an adapter number not given before, a space and a package",
                          path, lineNumber);
    }
    if (good && std::ferror(file)) {
        std::snprintf(why, whySize, "%s: cannot read the state file: %s", path, std::strerror(errno));
        good = false;
    }
    std::free(buffer);
    std::fclose(file);
    return good;
}

// Writes all of text to fd; the errno of the failure, or 0.
static int writeAll(int fd, const std::string &text)
{
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        written += static_cast<size_t>(n);
    }
    return 0;
}

bool writeState(const char *path, const takenPackages &taken, char *why, size_t whySize)
{
    // A reader sees the old file or the new one, whole, never one cut short by a failed write.
    std::string name = std::string(path) + ".XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) {
        std::snprintf(why, whySize, "cannot create a file beside %s: %s", path, std::strerror(errno));
        return false;
    }
    std::string text = HEADER;
    for (const auto &[number, package] : taken)
        text += std::to_string(number) + ' ' + package + '\n';
    int error = writeAll(fd, text);
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(name.c_str(), path) != 0)
        error = errno;
    if (error != 0) {
        std::snprintf(why, whySize, "cannot write %s: %s", path, std::strerror(error));
        unlink(name.c_str());
    }
    return error == 0;
}
