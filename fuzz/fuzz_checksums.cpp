// The checksum-file reader over arbitrary files: a file it accepts has nothing but empty lines
// and sha256sum lines, plain or tagged, checked here independently of the reader; it keeps each
// name once (NAME and ./NAME being one) with its digest in lower case; and its entries written
// back as plain sha256sum lines read the same.
#include "checksums.h"
#include "support.h"

#include <climits>
#include <cstring>
#include <unordered_map>

static bool hex64(const std::string &text)
{
    return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// The name and digest of line when it has sha256sum's plain form (64 hexadecimal digits, a
// space, a space or '*', a name) or its tagged one ("SHA256 (", a name, ") = ", 64 digits), the
// name without NUL, not ending in a carriage return, short enough for open(2) to take; false
// when it has neither.
static bool sumsLine(const std::string &line, std::string &name, std::string &digest)
{
    if (line.rfind("SHA256 (", 0) == 0 && line.size() > 76) {
        digest = line.substr(line.size() - 64);
        name = line.substr(8, line.size() - 76);
        if (line.compare(line.size() - 68, 4, ") = ") != 0 || !hex64(digest))
            return false;
    } else if (line.size() > 66) {
        digest = line.substr(0, 64);
        name = line.substr(66);
        if (!hex64(digest) || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
            return false;
    } else {
        return false;
    }
    return name.size() < PATH_MAX && name.back() != '\r' && name.find('\0') == std::string::npos;
}

// The name a file is known by: ./NAME stands for NAME.
static std::string bare(const std::string &name)
{
    return name.size() > 2 && name.rfind("./", 0) == 0 ? name.substr(2) : name;
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
        std::string name, digest;
        if (!sumsLine(line, name, digest)) {
            usable = false;
            continue;
        }
        auto added = names.emplace(bare(name), lower(digest));
        usable = usable && added.first->second == lower(digest);
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
        auto name = names.find(bare(entry.name));
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
