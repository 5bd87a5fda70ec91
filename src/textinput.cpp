#include "textinput.h"

#include "report.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Characters that would let a package text run other commands or redirect files once the
// update command line is handed to the shell, or have the shell put the names of matching
// files in its place, so that the tool would get another package than the report shows.
static const char SHELL_SPECIAL[] = ";&|<>()$`\\*?[";
// The refused lines of the info file that the run report names one by one.
static const int KEPT_REFUSALS = 100;

// getLine, also telling in *ended whether the piece read finishes its line of the file, so that
// a line longer than the buffer, which comes in several pieces, can be numbered as one line, and
// in *newline whether a newline finished it.
static int readPiece(FILE *stream, char *buf, int size, bool *ended, bool *newline)
{
    // fgets cannot store anything in fewer than two bytes; callers would loop on empty texts.
    if (size < 2)
        return -1;
    // fgets ends its text in the last byte only when it stopped at its limit; otherwise it met
    // a newline or the end of input. Told apart this way, a NUL in the line cannot mislead it.
    buf[size - 1] = '*';
    if (std::fgets(buf, size, stream) == nullptr)
        return -1;
    const bool full = buf[size - 1] == '\0';
    *newline = full ? buf[size - 2] == '\n' : !std::feof(stream) && !std::ferror(stream);
    *ended = !full || *newline;

    size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] == '\n')
        buf[--len] = '\0';
    // Only plain spaces: a carriage return or a tab is data the operator may need to see.
    while (len > 0 && buf[len - 1] == ' ')
        buf[--len] = '\0';
    return 1;
}

int getLine(FILE *stream, char *buf, int size)
{
    bool ended = false;
    bool newline = false;
    return readPiece(stream, buf, size, &ended, &newline);
}

int getLineEnd(FILE *stream, char *buf, int size, bool *newline)
{
    bool ended;
    return readPiece(stream, buf, size, &ended, newline);
}

int openRegular(const char *path, bool follow)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return -1;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

FILE *openRegularStream(const char *path, bool follow)
{
    const int fd = openRegular(path, follow);
    FILE *file = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (file == nullptr && fd >= 0)
        close(fd);
    return file;
}

bool packageWord(const char *package, char (&word)[LINE_SIZE])
{
    // The shell's word: blanks end it, quotes are removed and keep blanks in it; nothing else in
    // a package that the info file lets through is changed by the shell.
    const char *c = package + std::strspn(package, " \t");
    const bool home = *c == '~';
    size_t length = 0;
    char quote = '\0';
    for (; *c != '\0' && (quote != '\0' || (*c != ' ' && *c != '\t')); c++) {
        if (quote == '\0' && (*c == '\'' || *c == '"'))
            quote = *c;
        else if (quote != '\0' && *c == quote)
            quote = '\0';
        else if (length < sizeof word - 1)
            word[length++] = *c;
    }
    word[length] = '\0';
    return quote == '\0' && !home;
}

// Returns the next comma-separated field of *cursor and moves *cursor past it, as strtok does
// with the single delimiter ",": runs of commas count as one, so no field is ever empty.
static char *nextField(char **cursor)
{
    char *start = *cursor + std::strspn(*cursor, ",");
    if (*start == '\0') {
        *cursor = start;
        return nullptr;
    }
    char *end = start + std::strcspn(start, ",");
    *cursor = end;
    if (*end == ',') {
        *end = '\0';
        *cursor = end + 1;
    }
    return start;
}

// A fresh copy of text in storage of size bytes, or nullptr when none can be had.
static char *copyField(const char *text, size_t size)
{
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr)
        std::snprintf(copy, size, "%s", text);
    return copy;
}

static void printOpenError()
{
    printError("Could not open adapter info file... controller info not found!");
}

// Tells in why, when the package is one the program will not hand to the shell, the reason.
static bool packageRefused(const char *package, char (&why)[LINE_SIZE])
{
    if (std::strlen(package) > static_cast<size_t>(PACKAGE_MAX)) {
        std::snprintf(why, sizeof why, "its update package is longer than %d characters", PACKAGE_MAX);
        return true;
    }
    // A carriage return or another control character would reach the tool as part of the
    // package's name, where no file has it.
    for (const char *c = package; *c != '\0'; c++) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte == '\r') {
            std::snprintf(why, sizeof why, "its update package contains a carriage return; save the file with Unix line ends");
            return true;
        }
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            std::snprintf(why, sizeof why, "its update package contains the control character 0x%02X", byte);
            return true;
        }
    }
    const char *special = std::strpbrk(package, SHELL_SPECIAL);
    if (special != nullptr) {
        std::snprintf(why, sizeof why, "its update package contains the shell character '%c'", *special);
        return true;
    }
    // A word that begins with '#' would turn the rest of the command line, the redirection of
    // the tool's output included, into a comment.
    for (const char *c = std::strchr(package, '#'); c != nullptr; c = std::strchr(c + 1, '#')) {
        if (c == package || c[-1] == ' ' || c[-1] == '\t') {
            std::snprintf(why, sizeof why, "its update package has a word that begins with '#'");
            return true;
        }
    }
    // The shell would put a home directory in its place, which no check here can follow.
    if (package[std::strspn(package, " \t")] == '~') {
        std::snprintf(why, sizeof why, "its update package begins with '~'");
        return true;
    }
    return false;
}

// Skips a UTF-8 byte-order mark at the start of stream, as some editors write one; false when
// the bytes read to look for it cannot be given back.
static bool skipByteOrderMark(FILE *stream)
{
    static const unsigned char MARK[] = {0xEF, 0xBB, 0xBF};
    int seen[sizeof MARK];
    size_t n = 0;
    while (n < sizeof MARK && (seen[n] = std::getc(stream)) == MARK[n])
        n++;
    if (n == sizeof MARK)
        return true;
    // Whatever was read goes back in order; the byte that broke the match may be EOF.
    if (seen[n] != EOF && std::ungetc(seen[n], stream) == EOF)
        return false;
    while (n > 0) {
        n--;
        if (std::ungetc(seen[n], stream) == EOF)
            return false;
    }
    return true;
}

// What reading the info file has found so far.
struct infoReading {
    int records;     // records stored
    int lineNumber;  // the file's line being read, as an editor numbers it
    int refused;     // lines refused
    bool tooMany;    // a record beyond the last one the list holds was met
    bool failed;     // the file could not be read whole
};

// Stores the record of one piece of the file, line, in adapterList, each field in storage of
// its own, or says why its line is refused.
static void takeLine(char *line, adapterInfo *adapterList, infoReading &reading)
{
    // Blank lines, and lines of nothing but commas and spaces, carry no adapter at all.
    if (line[std::strspn(line, ", ")] == '\0')
        return;
    char *cursor = line;
    char *ssdid = nextField(&cursor);
    char *name = nextField(&cursor);
    char *package = nextField(&cursor);
    char why[LINE_SIZE] = "";
    if (package == nullptr) {
        std::snprintf(why, sizeof why, "it has fewer than three fields");
    } else if (!packageRefused(package, why) && reading.records < MAX_RECORDS) {
        adapterInfo &record = adapterList[reading.records++];
        record.ssdid = copyField(ssdid, LINE_SIZE);
        record.adapterName = copyField(name, LINE_SIZE);
        record.updatePackage = copyField(package, PACKAGE_MAX + 1);
        record.lineNumber = reading.lineNumber;
        if (record.ssdid == nullptr || record.adapterName == nullptr || record.updatePackage == nullptr) {
            printError("Out of memory while reading the adapter info file.");
            reading.failed = true;
        }
        return;
    } else if (why[0] == '\0' && !reading.tooMany) {
        // Named once, where the first record too many starts.
        std::snprintf(why, sizeof why, "it starts record %d, and at most %d adapters are supported",
                      MAX_RECORDS + 1, MAX_RECORDS);
        reading.tooMany = true;
    }
    if (why[0] == '\0')
        return;
    // Every one is named on the console; the run report keeps the first few, and their number.
    if (++reading.refused <= KEPT_REFUSALS)
        printError("Line %d of the adapter info file is ignored: %s.", reading.lineNumber, why);
    else
        printUnkeptError("Line %d of the adapter info file is ignored: %s.", reading.lineNumber, why);
}

// Reads the records of the open info file into adapterList: their number, or READ_FAILED when
// the file cannot be read whole or any of its lines is refused.
static int readRecords(FILE *file, adapterInfo *adapterList)
{
    char line[LINE_SIZE];
    infoReading reading = {};
    bool lineStarts = true;
    bool ended = true;
    bool newline = true;
    // Every refused line is reported, so that the operator can mend them all in one go; any
    // one of them refuses the whole file, since the adapters it meant would be left out unsaid.
    // Messages name lines as an editor shows them: every piece of a long line carries its number.
    while (!reading.failed && readPiece(file, line, sizeof line, &ended, &newline) == 1) {
        if (lineStarts)
            reading.lineNumber++;
        lineStarts = ended;
        takeLine(line, adapterList, reading);
    }
    // A read error must not pass for the end of the file: the lines after it would be lost.
    if (!reading.failed && std::ferror(file)) {
        printOpenError();
        reading.failed = true;
    }
    if (reading.failed)
        return READ_FAILED;
    if (reading.refused > KEPT_REFUSALS)
        keepError(std::to_string(reading.refused - KEPT_REFUSALS) + " more lines of the adapter info file are ignored.");
    if (reading.refused > 0 || reading.tooMany) {
        printError("The adapter info file cannot be used as it stands; no adapter is updated.");
        return READ_FAILED;
    }
    return reading.records;
}

// Tells the operator which adapters the update is for.
static void listRecords(const adapterInfo *adapterList, int records)
{
    std::printf("This update is for the following adapters:\n");
    for (int i = 0; i < records; i++)
        std::printf(" - %s\n", adapterList[i].adapterName);
    std::printf("\n");
}

int getUpdateList(adapterInfo *adapterList, const char *path)
{
    std::printf("Update file:  %s.\n\n", path);
    // Only a regular file is read, as the checksum file is: a FIFO or a terminal would hold the
    // run for ever, a device feed it without end.
    FILE *file = openRegularStream(path, true);
    if (file == nullptr || !skipByteOrderMark(file)) {
        if (file != nullptr)
            std::fclose(file);
        printOpenError();
        return READ_FAILED;
    }
    const int records = readRecords(file, adapterList);
    std::fclose(file);
    if (records != READ_FAILED)
        listRecords(adapterList, records);
    return records;
}
