// The run report over arbitrary texts from the info file and the tool: whatever bytes an ID, a
// name, a package or an error holds, and whatever an adapter's state and status, the report is
// one JSON document (RFC 8259) in UTF-8.
#include "report.h"
#include "support.h"

#include <cstring>
#include <string>

namespace {

// A strict reader of JSON text: each function takes one value from the text at pos and moves
// pos past it; false at the first byte that does not fit.
struct jsonReader {
    const std::string &text;
    size_t pos;

    bool at(char c) const { return pos < text.size() && text[pos] == c; }
    void blanks()
    {
        while (pos < text.size() && std::strchr(" \t\n\r", text[pos]) != nullptr && text[pos] != '\0')
            pos++;
    }
    bool literal(const char *word)
    {
        const size_t n = std::strlen(word);
        if (text.compare(pos, n, word) != 0)
            return false;
        pos += n;
        return true;
    }
    bool number()
    {
        const size_t start = pos;
        if (at('-'))
            pos++;
        if (at('0'))
            pos++;
        else
            while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
                pos++;
        if (at('.')) {
            pos++;
            const size_t digits = pos;
            while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
                pos++;
            if (pos == digits)
                return false;
        }
        return pos > start && text[pos - 1] != '-';
    }
    // A string, its text (escapes of ASCII characters undone) in *value.
    bool string(std::string *value)
    {
        if (!at('"'))
            return false;
        for (pos++; pos < text.size() && text[pos] != '"'; pos++) {
            const auto c = static_cast<unsigned char>(text[pos]);
            if (c < 0x20)
                return false;
            if (c != '\\') {
                *value += static_cast<char>(c);
                continue;
            }
            if (++pos >= text.size())
                return false;
            if (text[pos] == 'u') {
                if (pos + 4 >= text.size() || text.find_first_not_of("0123456789abcdefABCDEF", pos + 1) < pos + 5)
                    return false;
                *value += static_cast<char>(std::stoi(text.substr(pos + 1, 4), nullptr, 16) & 0x7f);
                pos += 4;
            } else if (std::strchr("\"\\/bfnrt", text[pos]) != nullptr && text[pos] != '\0') {
                *value += text[pos];
            } else {
                return false;
            }
        }
        return at('"') && ++pos;
    }
    bool value(int depth)
    {
        blanks();
        std::string ignored;
        if (depth > 8)
            return false;
        if (at('{') || at('['))
            return container(depth);
        return string(&ignored) || literal("true") || literal("false") || literal("null") || number();
    }
    bool container(int depth)
    {
        const bool object = at('{');
        pos++;
        blanks();
        if (at(object ? '}' : ']'))
            return ++pos;
        for (;;) {
            blanks();
            std::string key;
            if (object && !(string(&key) && (blanks(), at(':')) && ++pos))
                return false;
            if (!value(depth + 1))
                return false;
            blanks();
            if (at(object ? '}' : ']'))
                return ++pos;
            if (!at(','))
                return false;
            pos++;
        }
    }
};

// Whether text is UTF-8 throughout, as RFC 3629 has it.
bool validUtf8(const std::string &text)
{
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        if (n == 0 || i + n > text.size())
            return false;
        unsigned long code = n == 1 ? c : c & (0x7f >> n);
        for (size_t k = 1; k < n; k++) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xc0) != 0x80)
                return false;
            code = code << 6 | (d & 0x3f);
        }
        const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    forgetErrors();
    // Four texts, split at the first three NUL bytes, and the bytes before them for the numbers.
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string texts[4];
    for (std::string &text : texts) {
        const size_t end = input.find('\0');
        text = input.substr(0, end);
        input = end == std::string::npos ? "" : input.substr(end + 1);
    }
    const unsigned seed = size > 0 ? data[0] : 0;
    adapterInfo record = {texts[0].data(), texts[1].data(), texts[2].data(), 1};
    static adapterResult results[2];
    results[0] = adapterResult{};
    results[0].adapter = 1;
    results[0].record = seed & 1 ? &record : nullptr;
    results[0].state = static_cast<adapterState>(seed % STATES);
    results[0].ran = seed & 2;
    results[0].waitStatus = static_cast<int>(seed) * 257 - 1;
    results[0].hasId = seed & 4;
    std::snprintf(results[0].id, sizeof results[0].id, "%s", texts[3].c_str());
    results[0].sha256 = seed & 8 ? texts[3].c_str() : nullptr;
    printError("%s", texts[1].c_str());
    runRecord run = {};
    run.programVersion = "1.46";
    run.infoFile = texts[2].c_str();
    run.finished = seed & 16;
    run.adaptersFound = -1 + static_cast<int>(seed & 2);
    run.count = 1;
    run.adapters = results;
    const std::string report = reportText(run);
    require(validUtf8(report), "report is not UTF-8");
    jsonReader reader{report, 0};
    require(reader.value(0), "report is not a JSON document");
    reader.blanks();
    require(reader.pos == report.size(), "report holds more than one JSON document");
    return 0;
}
