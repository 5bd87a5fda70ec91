#include "machine.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

// Room for the longest machine-file line, with its newline and terminator: two full fields
// and a behaviour.
static const size_t LINE_BUFFER = 1024;
// An update that takes longer than ten minutes is a typing error, not a rehearsal.
static const int MAX_DELAY_MS = 600000;
// Standard signals only: their numbers are the same on every Linux machine.
static const int MAX_SIGNAL = 31;

static const char WORDS_EXPECTED[] = "expected ok, exit=N, signal=N, ms=N, query=nokey, query=crlf, query=fail, "
                                     "query-signal=N, after=vanish or after=id:ID";

bool parseNumber(const char *text, int min, int max, int *value)
{
    // Nine digits always fit an int, so the sum below cannot overflow.
    size_t len = std::strlen(text);
    if (len == 0 || len > 9)
        return false;
    long n = 0;
    for (size_t i = 0; i < len; i++) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        n = n * 10 + (text[i] - '0');
    }
    if (n < min || n > max)
        return false;
    *value = static_cast<int>(n);
    return true;
}

static char *trim(char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    size_t len = std::strlen(text);
    while (len > 0 && std::isspace(static_cast<unsigned char>(text[len - 1])))
        text[--len] = '\0';
    return text;
}

// A signal whose default action is to ignore or stop the process would leave the shell that
// runs the tool waiting, or let the tool carry on as if nothing happened.
static bool endsProcess(int sig)
{
    static const int harmless[] = {SIGCHLD, SIGCONT, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH};
    for (int h : harmless) {
        if (sig == h)
            return false;
    }
    return true;
}

// The text after "key=" when word begins with it, else nullptr.
static const char *valueOf(const char *word, const char *key)
{
    size_t len = std::strlen(key);
    if (std::strncmp(word, key, len) != 0 || word[len] != '=')
        return nullptr;
    return word + len + 1;
}

static bool parseSignal(const char *word, const char *value, int *sig, char *why, size_t whySize)
{
    if (!parseNumber(value, 1, MAX_SIGNAL, sig) || !endsProcess(*sig)) {
        std::snprintf(why, whySize, "bad number in '%s': expected a signal from 1 to %d that ends a process",
                      word, MAX_SIGNAL);
        return false;
    }
    return true;
}

// Copies text into field (size bytes); false when it would not fit whole.
static bool copyField(char *field, size_t size, const char *text)
{
    int n = std::snprintf(field, size, "%s", text);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// Reads the value of an after= word into adapter: "vanish" or "id:" and the ID to answer with.
static bool parseAfter(const char *word, const char *value, machineAdapter *adapter, char *why, size_t whySize)
{
    if (std::strcmp(value, "vanish") == 0) {
        adapter->after = AFTER_VANISH;
        return true;
    }
    if (std::strncmp(value, "id:", 3) != 0 || value[3] == '\0') {
        std::snprintf(why, whySize, "bad value in '%s': expected after=vanish or after=id:ID", word);
        return false;
    }
    if (!copyField(adapter->afterId, sizeof adapter->afterId, value + 3)) {
        std::snprintf(why, whySize, "ID in '%s' is longer than %zu characters", word, sizeof adapter->afterId - 1);
        return false;
    }
    adapter->after = AFTER_ID;
    return true;
}

// Applies one behaviour word to adapter; a later word about the same thing overrides an earlier one.
static bool applyWord(const char *word, machineAdapter *adapter, char *why, size_t whySize)
{
    const char *value = nullptr;
    if (std::strcmp(word, "ok") == 0) {
        adapter->exitCode = 0;
        adapter->signal = 0;
    } else if (std::strcmp(word, "query=nokey") == 0) {
        adapter->query = QUERY_NOKEY;
    } else if (std::strcmp(word, "query=crlf") == 0) {
        adapter->query = QUERY_CRLF;
    } else if (std::strcmp(word, "query=fail") == 0) {
        adapter->query = QUERY_FAIL;
    } else if ((value = valueOf(word, "exit")) != nullptr) {
        if (!parseNumber(value, 1, 255, &adapter->exitCode)) {
            std::snprintf(why, whySize, "bad number in '%s': expected 1 to 255", word);
            return false;
        }
        adapter->signal = 0;
    } else if ((value = valueOf(word, "signal")) != nullptr) {
        if (!parseSignal(word, value, &adapter->signal, why, whySize))
            return false;
        adapter->exitCode = 0;
    } else if ((value = valueOf(word, "query-signal")) != nullptr) {
        if (!parseSignal(word, value, &adapter->querySignal, why, whySize))
            return false;
    } else if ((value = valueOf(word, "after")) != nullptr) {
        return parseAfter(word, value, adapter, why, whySize);
    } else if ((value = valueOf(word, "ms")) != nullptr) {
        if (!parseNumber(value, 0, MAX_DELAY_MS, &adapter->delayMs)) {
            std::snprintf(why, whySize, "bad number in '%s': expected 0 to %d", word, MAX_DELAY_MS);
            return false;
        }
    } else {
        std::snprintf(why, whySize, "unknown behaviour word '%s' (%s)", word, WORDS_EXPECTED);
        return false;
    }
    return true;
}

int parseMachineLine(const char *line, machineAdapter *adapter, char *why, size_t whySize)
{
    char copy[LINE_BUFFER];
    if (!copyField(copy, sizeof copy, line)) {
        std::snprintf(why, whySize, "line is longer than %zu characters", sizeof copy - 2);
        return -1;
    }
    char *text = trim(copy);
    if (*text == '\0' || *text == '#')
        return 0;

    char *fields[3] = {nullptr, nullptr, nullptr};
    int count = 0;
    for (char *cursor = text; cursor != nullptr;) {
        if (count == 3) {
            std::snprintf(why, whySize, "more than three comma-separated fields (ID, MODEL, BEHAVIOUR)");
            return -1;
        }
        fields[count++] = cursor;
        char *comma = std::strchr(cursor, ',');
        if (comma != nullptr)
            *comma++ = '\0';
        cursor = comma;
    }

    machineAdapter parsed = {};
    parsed.query = QUERY_NORMAL;
    const char *id = trim(fields[0]);
    const char *model = fields[1] != nullptr ? trim(fields[1]) : "";
    if (*id == '\0') {
        std::snprintf(why, whySize, "empty ID");
        return -1;
    }
    if (*model == '\0') {
        std::snprintf(why, whySize, "no model name (expected ID, MODEL, BEHAVIOUR)");
        return -1;
    }
    if (!copyField(parsed.id, sizeof parsed.id, id)) {
        std::snprintf(why, whySize, "ID is longer than %zu characters", sizeof parsed.id - 1);
        return -1;
    }
    if (!copyField(parsed.model, sizeof parsed.model, model)) {
        std::snprintf(why, whySize, "model name is longer than %zu characters", sizeof parsed.model - 1);
        return -1;
    }

    char noWords[] = "";
    char *cursor = fields[2] != nullptr ? fields[2] : noWords;
    for (;;) {
        while (std::isspace(static_cast<unsigned char>(*cursor)))
            cursor++;
        if (*cursor == '\0')
            break;
        char *word = cursor;
        while (*cursor != '\0' && !std::isspace(static_cast<unsigned char>(*cursor)))
            cursor++;
        if (*cursor != '\0')
            *cursor++ = '\0';
        if (!applyWord(word, &parsed, why, whySize))
            return -1;
    }
    *adapter = parsed;
    return 1;
}

int readMachine(const char *path, machineAdapter *adapters, int max, char *why, size_t whySize)
{
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        std::snprintf(why, whySize, "%s: cannot open the machine file: %s", path, std::strerror(errno));
        return -1;
    }

    char line[LINE_BUFFER];
    char reason[LINE_BUFFER];
    machineAdapter adapter;
    int lineNumber = 0;
    int count = 0;
    bool failed = false;
    while (!failed && std::fgets(line, sizeof line, file) != nullptr) {
        lineNumber++;
        size_t len = std::strlen(line);
        if (len > 0 && line[len - 1] != '\n') {
            // A line that filled the buffer is cut, unless the file simply ends there.
            int next = std::getc(file);
            if (next != EOF) {
                std::snprintf(why, whySize, "%s line %d: line is longer than %zu characters", path,
                              lineNumber, sizeof line - 2);
                failed = true;
                break;
            }
        }
        int parsed = parseMachineLine(line, &adapter, reason, sizeof reason);
        if (parsed < 0) {
            std::snprintf(why, whySize, "%s line %d: %s", path, lineNumber, reason);
            failed = true;
        } else if (parsed == 1 && count == max) {
            std::snprintf(why, whySize, "%s line %d: more than %d adapters", path, lineNumber, max);
            failed = true;
        } else if (parsed == 1) {
            adapters[count++] = adapter;
        }
    }
    if (!failed && std::ferror(file)) {
        std::snprintf(why, whySize, "%s: cannot read the machine file: %s", path, std::strerror(errno));
        failed = true;
    }
    std::fclose(file);
    return failed ? -1 : count;
}
