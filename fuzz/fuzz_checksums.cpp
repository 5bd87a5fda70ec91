// The checksum-file reader over arbitrary files: a file it accepts has nothing but empty lines
// and sha256sum lines, checked here independently of the reader; it keeps each name once with
// its digest in lower case; and its entries written back as sha256sum lines read the same.
#include "checksums.h"
#include "support.h"

#include <climits>
#include <cstring>
#include <unordered_map>

// Whether line has sha256sum's form: 64 hexadecimal digits, a space, a space or '*', and a name
// without NUL that does not end in a carriage return, short enough for open(2) to take.
static bool sumsLine(const std::string &line)
{
    if (line.size() < 67 || line.size() > 66 + PATH_MAX - 1 ||
        line.find_first_not_of("0123456789abcdefABCDEF") != 64)
        return false;
    if (line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
        return false;
    return line.back() != '\r' && line.find('\0') == std::string::npos;
}

static std::string lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The names and digests that text lists, worked out line by line; false when a line has
// another form or names a file listed before with another digest.
static bool listed(const std::string &text, std::unordered_map<std::string, std::string> &names)
{
    bool usable = true;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.empty())
            continue;
        if (!sumsLine(line)) {
            usable = false;
            continue;
        }
        auto added = names.emplace(line.substr(66), lower(line.substr(0, 64)));
        usable = usable && added.first->second == lower(line.substr(0, 64));
    }
    return usable;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<checksumEntry> entries;
    bool accepted = readChecksumFile(writeScratch(data, size), entries);
    std::unordered_map<std::string, std::string> names;
    require(accepted == listed(std::string(reinterpret_cast<const char *>(data), size), names),
            accepted ? "a file with a line of another form accepted" : "a file of sha256sum lines refused");
    if (!accepted)
        return 0;
    require(entries.size() == names.size(), "not every name kept exactly once");
    std::string again;
    for (const checksumEntry &entry : entries) {
        auto name = names.find(entry.name);
        require(name != names.end() && name->second == entry.digest, "an entry the file does not list");
        require(std::strlen(entry.digest) == 64 && lower(entry.digest) == entry.digest, "digest not 64 lower-case digits");
        again += std::string(entry.digest) + "  " + entry.name + "\n";
    }
    std::vector<checksumEntry> reread;
    require(readChecksumFile(writeScratch(reinterpret_cast<const uint8_t *>(again.data()), again.size()), reread),
            "entries written back refused");
    require(reread.size() == entries.size(), "entries written back read as another number");
    for (size_t i = 0; i < entries.size(); i++)
        require(reread[i].name == entries[i].name && std::strcmp(reread[i].digest, entries[i].digest) == 0,
                "entries written back read otherwise");
    return 0;
}
