#include "checksums.h"

#include "adapters.h"
#include "report.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

// Hexadecimal digits of a digest, and the separators between it and the file's name.
static const size_t HEX_DIGITS = 2 * static_cast<size_t>(SHA256_DIGEST_SIZE);
static const size_t NAME_START = HEX_DIGITS + 2;
// The tagged form that sha256sum --tag writes: "SHA256 (NAME) = DIGEST".
static const char TAG_HEAD[] = "SHA256 (";
static const char TAG_TAIL[] = ") = ";
static const size_t TAG_HEAD_SIZE = sizeof TAG_HEAD - 1;
static const size_t TAG_FRAME = TAG_HEAD_SIZE + (sizeof TAG_TAIL - 1) + HEX_DIGITS;
// The longest line a checksum file can hold: a file name that open(2) would take, in the
// longer of the two forms. A longer one is not a checksum line, and need not be kept to tell.
static const size_t SUMS_LINE_MAX = TAG_FRAME + PATH_MAX - 1;

static_assert(static_cast<size_t>(SHA256_TEXT) == HEX_DIGITS + 1, "a digest's text is its hexadecimal digits");

// Checksum files and packages are read through it, block by block, so that a package of any
// size costs the same memory.
static unsigned char block[1 << 18];

// The next block of fd in block: the bytes read, 0 at the end of the file, -1 on a read error.
static ssize_t readBlock(int fd)
{
    ssize_t n;
    do
        n = read(fd, block, sizeof block);
    while (n < 0 && errno == EINTR);
    return n;
}

bool digestFile(const char *path, char (&digest)[SHA256_TEXT])
{
    int fd = openRegular(path, true);
    if (fd < 0)
        return false;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    struct sha256_ctx context;
    sha256_init(&context);
    // A stop request ends the check at the next block: a package may take minutes to read.
    ssize_t n = 0;
    while (stopSignal() == 0 && (n = readBlock(fd)) > 0)
        sha256_update(&context, static_cast<size_t>(n), block);
    close(fd);
    if (n < 0 || stopSignal() != 0)
        return false;
    uint8_t raw[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof raw, raw);
    static const char HEX[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof raw; i++) {
        digest[2 * i] = HEX[raw[i] >> 4];
        digest[2 * i + 1] = HEX[raw[i] & 0xf];
    }
    digest[HEX_DIGITS] = '\0';
    return true;
}

// The lower-case form of the hexadecimal digit c, or '\0' when c is none.
static char hexDigit(char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
        return c;
    if (c >= 'A' && c <= 'F')
        return static_cast<char>(c - 'A' + 'a');
    return '\0';
}

// Reads the 64 hexadecimal digits at text into entry's digest, in lower case; false when one is none.
static bool parseDigest(const char *text, checksumEntry &entry)
{
    for (size_t i = 0; i < HEX_DIGITS; i++) {
        entry.digest[i] = hexDigit(text[i]);
        if (entry.digest[i] == '\0')
            return false;
    }
    entry.digest[HEX_DIGITS] = '\0';
    return true;
}

// Reads a line as sha256sum writes it: 64 hexadecimal digits, a space, a space or '*' (text or
// binary mode, the same digest) and a name; or, as sha256sum --tag writes it, "SHA256 (", the
// name, ") = " and the digits. The name is what lies between the two, closing parentheses
// included. A line that sha256sum begins with a backslash (a name with a backslash or a line
// break, escaped) is neither. A name that ends in a carriage return comes from a file with
// Windows line ends, where every name would be wrong by that byte.
static bool parseLine(const std::string &line, checksumEntry &entry)
{
    const size_t size = line.size();
    if (line.compare(0, TAG_HEAD_SIZE, TAG_HEAD) == 0) {
        if (size <= TAG_FRAME || line.compare(size - TAG_FRAME + TAG_HEAD_SIZE, sizeof TAG_TAIL - 1, TAG_TAIL) != 0 ||
            !parseDigest(line.c_str() + size - HEX_DIGITS, entry))
            return false;
        entry.name = line.substr(TAG_HEAD_SIZE, size - TAG_FRAME);
    } else {
        if (size <= NAME_START || line[HEX_DIGITS] != ' ' ||
            (line[HEX_DIGITS + 1] != ' ' && line[HEX_DIGITS + 1] != '*') || !parseDigest(line.c_str(), entry))
            return false;
        entry.name = line.substr(NAME_START);
    }
    return entry.name.size() < static_cast<size_t>(PATH_MAX) && entry.name.back() != '\r' &&
           entry.name.find('\0') == std::string::npos;
}

// The name by which a file is listed and looked up: NAME and ./NAME are one file.
static std::string listedName(const std::string &name)
{
    return name.size() > 2 && name.compare(0, 2, "./") == 0 ? name.substr(2) : name;
}

// Everything reading a checksum file keeps track of between its blocks.
struct sumsReader {
    const char *path;
    std::vector<checksumEntry> *entries;
    std::map<std::string, size_t> index;            // entry of each name, as listedName gives it
    std::string line;                               // the line so far, at most SUMS_LINE_MAX bytes
    bool tooLong;
    int lineNumber;
    bool malformed;
};

// Takes in the line that reader has gathered. A name listed again with the same digest says
// nothing new, in either spelling; with another digest one of the two lines is wrong, and the
// later is named.
static void endLine(sumsReader &reader)
{
    reader.lineNumber++;
    if (reader.line.empty())
        return;
    checksumEntry entry;
    bool good = !reader.tooLong && parseLine(reader.line, entry);
    if (good) {
        const std::string name = listedName(entry.name);
        auto known = reader.index.find(name);
        if (known == reader.index.end()) {
            reader.index.emplace(name, reader.entries->size());
            reader.entries->push_back(entry);
        } else {
            good = std::strcmp((*reader.entries)[known->second].digest, entry.digest) == 0;
        }
    }
    if (!good) {
        printError("Line %d of the checksum file %s is not a SHA-256 line.", reader.lineNumber, reader.path);
        reader.malformed = true;
    }
    reader.line.clear();
    reader.tooLong = false;
}

// Adds the bytes of a block to the line being gathered, up to its longest possible length.
static void gather(sumsReader &reader, const unsigned char *bytes, size_t size)
{
    size_t room = SUMS_LINE_MAX - reader.line.size();
    if (size > room)
        reader.tooLong = true;
    reader.line.append(reinterpret_cast<const char *>(bytes), size > room ? room : size);
}

// Reads fd to its end line by line into reader; false on a read error.
static bool readLines(int fd, sumsReader &reader)
{
    ssize_t n;
    while ((n = readBlock(fd)) > 0) {
        const unsigned char *at = block;
        const unsigned char *end = block + n;
        while (at < end) {
            const auto *newline = static_cast<const unsigned char *>(std::memchr(at, '\n', end - at));
            gather(reader, at, (newline != nullptr ? newline : end) - at);
            if (newline == nullptr)
                break;
            endLine(reader);
            at = newline + 1;
        }
    }
    // The last line may lack its newline.
    if (n == 0 && !reader.line.empty())
        endLine(reader);
    return n == 0;
}

bool readChecksumFile(const char *path, std::vector<checksumEntry> &entries)
{
    entries.clear();
    sumsReader reader = {path, &entries, {}, {}, false, 0, false};
    int fd = openRegular(path, true);
    bool read = fd >= 0 && readLines(fd, reader);
    if (fd >= 0)
        close(fd);
    if (!read)
        printError("Could not read the checksum file %s.", path);
    return read && !reader.malformed;
}

// What checking one package found.
enum class Check { Matches, Unsafe, NotListed, Unreadable, Differs, Stopped };

// Checks the first word of a package, safe when the shell leaves it as it is, against the
// entries; its digest then in digest.
static Check checkPackage(const std::string &word, bool safe, const std::vector<checksumEntry> &entries,
                          char (&digest)[SHA256_TEXT])
{
    // The shell would hand the tool another text than the one checked here.
    if (!safe)
        return Check::Unsafe;
    const checksumEntry *listed = nullptr;
    const std::string name = listedName(word);
    for (const checksumEntry &entry : entries) {
        if (listedName(entry.name) == name) {
            listed = &entry;
            break;
        }
    }
    if (listed == nullptr)
        return Check::NotListed;
    if (!digestFile(word.c_str(), digest))
        return stopSignal() != 0 ? Check::Stopped : Check::Unreadable;
    return std::strcmp(digest, listed->digest) == 0 ? Check::Matches : Check::Differs;
}

static void reportCheck(Check result, const std::string &word, int lineNumber, const char *path)
{
    const char *p = word.c_str();
    switch (result) {
    case Check::Matches:
    case Check::Stopped:
        break;
    case Check::Unsafe:
        printError("The update package of line %d cannot be checked: "
                   "its first word begins with a ~ or has a quote that is not closed.", lineNumber);
        break;
    case Check::NotListed:
        printError("The update package %s of line %d is not listed in %s.", p, lineNumber, path);
        break;
    case Check::Unreadable:
        printError("The update package %s of line %d cannot be read.", p, lineNumber);
        break;
    case Check::Differs:
        printError("The update package %s of line %d does not match its SHA-256 in %s.", p, lineNumber, path);
        break;
    }
}

bool verifyPackages(const char *path, const adapterInfo *adapterList, int records, char (*digests)[SHA256_TEXT])
{
    std::vector<checksumEntry> entries;
    const bool usable = readChecksumFile(path, entries);
    int problems = usable ? 0 : 1;
    std::vector<std::string> words;
    std::vector<Check> results;
    // Every record is checked, so that one run names every package to mend; a package that
    // several records name is read once, for the first of them.
    for (int i = 0; usable && i < records; i++) {
        char word[LINE_SIZE];
        const bool safe = packageWord(adapterList[i].updatePackage, word);
        words.emplace_back(word);
        int first = 0;
        while (first < i && (words[first] != words[i] || results[first] == Check::Unsafe))
            first++;
        Check result = first < i && safe ? results[first] : checkPackage(words[i], safe, entries, digests[i]);
        if (first < i && result == Check::Matches)
            std::memcpy(digests[i], digests[first], SHA256_TEXT);
        // A stop request ends the check: the run ends as stopped, with nothing more said.
        if (result == Check::Stopped)
            return false;
        results.push_back(result);
        reportCheck(result, words[i], adapterList[i].lineNumber, path);
        if (result != Check::Matches)
            problems++;
    }
    if (problems > 0)
        printError("The update packages do not match their checksums; no adapter is updated.");
    return problems == 0;
}
