#include "json.h"

#include <cstdlib>
#include <cstring>

// Deeper documents are refused rather than read by a recursion without end.
static const int MAX_DEPTH = 64;

// Where reading a document has come.
struct jsonReader {
    const std::string &text;
    size_t at;
    int depth;
};

static void skipBlanks(jsonReader &r)
{
    while (r.at < r.text.size() && std::strchr(" \t\r\n", r.text[r.at]) != nullptr && r.text[r.at] != '\0')
        r.at++;
}

static bool take(jsonReader &r, char c)
{
    skipBlanks(r);
    if (r.at >= r.text.size() || r.text[r.at] != c)
        return false;
    r.at++;
    return true;
}

static bool takeWord(jsonReader &r, const char *word)
{
    const size_t length = std::strlen(word);
    if (r.text.compare(r.at, length, word) != 0)
        return false;
    r.at += length;
    return true;
}

// Appends code point cp to out in UTF-8.
static void appendUtf8(std::string &out, unsigned long cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

// Reads the four hexadecimal digits of a \u escape.
static bool hex4(jsonReader &r, unsigned long &cp)
{
    if (r.at + 4 > r.text.size())
        return false;
    cp = 0;
    for (int i = 0; i < 4; i++) {
        const char c = r.text[r.at++];
        const char *digits = "0123456789abcdef0123456789ABCDEF";
        const char *found = c != '\0' ? std::strchr(digits, c) : nullptr;
        if (found == nullptr)
            return false;
        cp = cp * 16 + static_cast<unsigned long>((found - digits) % 16);
    }
    return true;
}

// Reads a \u escape, and the low half that must follow a high surrogate.
static bool unicodeEscape(jsonReader &r, std::string &out)
{
    unsigned long cp = 0;
    if (!hex4(r, cp))
        return false;
    if (cp >= 0xd800 && cp <= 0xdbff) {
        unsigned long low = 0;
        if (!takeWord(r, "\\u") || !hex4(r, low) || low < 0xdc00 || low > 0xdfff)
            return false;
        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    } else if (cp >= 0xdc00 && cp <= 0xdfff) {
        return false;
    }
    appendUtf8(out, cp);
    return true;
}

static bool readString(jsonReader &r, std::string &out)
{
    if (!take(r, '"'))
        return false;
    out.clear();
    while (r.at < r.text.size()) {
        const char c = r.text[r.at++];
        if (c == '"')
            return true;
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (r.at >= r.text.size())
            return false;
        const char e = r.text[r.at++];
        static const char ESCAPES[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
        const char *found = e != '\0' ? std::strchr(ESCAPES, e) : nullptr;
        if (e == 'u') {
            if (!unicodeEscape(r, out))
                return false;
        } else if (found != nullptr && (found - ESCAPES) % 2 == 0) {
            out += found[1];
        } else {
            return false;
        }
    }
    return false;
}

// Reads a number as the grammar has it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
static bool readNumber(jsonReader &r, double &number)
{
    const size_t start = r.at;
    const auto digits = [&r] {
        const size_t from = r.at;
        while (r.at < r.text.size() && r.text[r.at] >= '0' && r.text[r.at] <= '9')
            r.at++;
        return r.at > from;
    };
    if (r.at < r.text.size() && r.text[r.at] == '-')
        r.at++;
    if (r.at < r.text.size() && r.text[r.at] == '0')
        r.at++;
    else if (!digits())
        return false;
    if (r.at < r.text.size() && r.text[r.at] == '.' && (++r.at, !digits()))
        return false;
    if (r.at < r.text.size() && (r.text[r.at] == 'e' || r.text[r.at] == 'E')) {
        r.at++;
        if (r.at < r.text.size() && (r.text[r.at] == '+' || r.text[r.at] == '-'))
            r.at++;
        if (!digits())
            return false;
    }
    number = std::strtod(r.text.substr(start, r.at - start).c_str(), nullptr);
    return true;
}

static bool readValue(jsonReader &r, jsonValue &value);

static bool readArray(jsonReader &r, jsonValue &value)
{
    value.kind = jsonValue::ARRAY;
    if (take(r, ']'))
        return true;
    do {
        value.items.emplace_back();
        if (!readValue(r, value.items.back()))
            return false;
    } while (take(r, ','));
    return take(r, ']');
}

static bool readObject(jsonReader &r, jsonValue &value)
{
    value.kind = jsonValue::OBJECT;
    if (take(r, '}'))
        return true;
    do {
        value.members.emplace_back();
        skipBlanks(r);
        if (!readString(r, value.members.back().first) || !take(r, ':') || !readValue(r, value.members.back().second))
            return false;
    } while (take(r, ','));
    return take(r, '}');
}

static bool readValue(jsonReader &r, jsonValue &value)
{
    skipBlanks(r);
    if (r.at >= r.text.size() || ++r.depth > MAX_DEPTH)
        return false;
    bool read = false;
    const char c = r.text[r.at];
    if (c == '{' || c == '[') {
        r.at++;
        read = c == '{' ? readObject(r, value) : readArray(r, value);
    } else if (c == '"') {
        value.kind = jsonValue::TEXT;
        read = readString(r, value.text);
    } else if (takeWord(r, "true") || takeWord(r, "false")) {
        value.kind = jsonValue::BOOLEAN;
        value.truth = c == 't';
        read = true;
    } else if (takeWord(r, "null")) {
        value.kind = jsonValue::NUL;
        read = true;
    } else {
        value.kind = jsonValue::NUMBER;
        read = readNumber(r, value.number);
    }
    r.depth--;
    return read;
}

bool parseJson(const std::string &text, jsonValue &value)
{
    jsonReader r{text, 0, 0};
    value = jsonValue{};
    if (!readValue(r, value))
        return false;
    skipBlanks(r);
    return r.at == text.size();
}

const jsonValue *member(const jsonValue &object, const char *key)
{
    for (const auto &entry : object.members) {
        if (entry.first == key)
            return &entry.second;
    }
    return nullptr;
}
