#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace e2e {

// A run that hangs this long is a fault of its own; the test must still end.
static const std::chrono::seconds RUN_LIMIT(60);

void Scratch::SetUp()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orv-e2e-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    ASSERT_NE(mkdtemp(name.data()), nullptr) << "cannot create a scratch directory: " << pattern;
    root_ = name.data();
    ASSERT_EQ(mkdir((root_ + "/work").c_str(), 0755), 0) << root_;
}

// Tests may take permissions away; the directory must still go.
static void makeRemovable(const fs::path &dir)
{
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            makeRemovable(it->path());
    }
}

void Scratch::TearDown()
{
    if (root_.empty())
        return;
    if (HasFailure()) {
        std::cout << "[ scratch  ] kept " << root_ << "/work\n";
        return;
    }
    makeRemovable(root_);
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string Scratch::path(const std::string &name) const
{
    return root_ + "/work/" + name;
}

void Scratch::write(const std::string &name, const std::string &text, bool executable)
{
    {
        std::ofstream file(path(name), std::ios::binary | std::ios::trunc);
        file << text;
        ASSERT_TRUE(file.good()) << "cannot write " << path(name);
    }
    if (executable) {
        ASSERT_EQ(chmod(path(name).c_str(), 0755), 0) << path(name);
    }
}

void Scratch::copyTool()
{
    std::error_code ec;
    fs::copy_file(TARVO_PATH, path("tarvo"), fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << "cannot copy " << TARVO_PATH << ": " << ec.message();
    ASSERT_EQ(chmod(path("tarvo").c_str(), 0755), 0);
}

void Scratch::writeTool(const std::string &body)
{
    write("tarvo", "#!/bin/sh\n" + body, true);
}

std::string Scratch::read(const std::string &name) const
{
    std::ifstream file(path(name), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool Scratch::exists(const std::string &name) const
{
    struct stat st;
    return lstat(path(name).c_str(), &st) == 0;
}

static std::string readWhole(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

RunResult Scratch::run(const std::vector<std::string> &args) const
{
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    const std::string work = root_ + "/work";
    const std::string outFile = root_ + "/stdout";
    const std::string errFile = root_ + "/stderr";
    // ORV_TEST_WRAPPER names a checker to run the program under (CI sets it to valgrind); its
    // words come first and it is looked up in PATH.
    std::vector<std::string> wrapper;
    if (const char *words = std::getenv("ORV_TEST_WRAPPER")) {
        std::istringstream in(words);
        for (std::string word; in >> word;)
            wrapper.push_back(word);
    }
    std::vector<char *> argv;
    for (std::string &word : wrapper)
        argv.push_back(word.data());
    argv.push_back(const_cast<char *>(ORVTQUPDATE_PATH));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return {"", "fork failed", -1};
    if (pid == 0) {
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(work.c_str()) != 0)
            _exit(125);
        close(in);
        close(out);
        close(err);
        execvp(argv[0], argv.data());
        static const char msg[] = "harness: cannot execute the program\n";
        (void)!::write(2, msg, sizeof msg - 1);
        _exit(125);
    }
    setpgid(pid, pid);

    int wstatus = 0;
    bool killed = false;
    const auto deadline = std::chrono::steady_clock::now() + RUN_LIMIT;
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return {"", "waitpid failed", -1};
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            killed = true;
        }
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    // Tool processes left running in the background must not outlive the test.
    kill(-pid, SIGKILL);

    RunResult result;
    result.out = readWhole(outFile);
    result.err = readWhole(errFile);
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.status = 128 + WTERMSIG(wstatus);
    else
        result.status = -1;
    if (killed)
        result.err += "[harness: run killed after " + std::to_string(RUN_LIMIT.count()) + " s]\n";
    return result;
}

// One output line made visible: control bytes escaped, its end marked, so that trailing spaces
// and carriage returns show in a diff.
static std::string shown(const std::string &line, bool terminated)
{
    std::string text;
    for (unsigned char c : line) {
        char buf[8];
        if (c == '\\')
            text += "\\\\";
        else if (c == '\r')
            text += "\\r";
        else if (c == '\t')
            text += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            text += buf;
        } else
            text += static_cast<char>(c);
    }
    return text + (terminated ? "$" : "   [no newline at end]");
}

static std::vector<std::string> shownLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(shown(text.substr(start), false));
            break;
        }
        lines.push_back(shown(text.substr(start, end - start), true));
        start = end + 1;
    }
    return lines;
}

// One line of a diff: ' ' in both texts, '-' only expected, '+' only actual; its line number
// in the text it is shown from.
struct DiffLine {
    char mark;
    size_t number;
    const std::string *text;
};

// A line diff of two texts in the manner of diff -u, with three lines of context around each
// change; longest-common-subsequence matching, or one block of change when the texts differ in
// too many lines for that to stay cheap.
static std::string lineDiff(const std::string &expected, const std::string &actual)
{
    const std::vector<std::string> want = shownLines(expected);
    const std::vector<std::string> got = shownLines(actual);
    size_t head = 0;
    while (head < want.size() && head < got.size() && want[head] == got[head])
        head++;
    size_t tail = 0;
    while (tail < want.size() - head && tail < got.size() - head &&
           want[want.size() - 1 - tail] == got[got.size() - 1 - tail])
        tail++;
    const size_t n = want.size() - head - tail;
    const size_t m = got.size() - head - tail;

    std::vector<DiffLine> lines;
    for (size_t i = 0; i < head; i++)
        lines.push_back({' ', i + 1, &want[i]});
    if (n * m <= 4000000) {
        // common[i][j]: the longest common run of want[head+i..] and got[head+j..] in the middle.
        std::vector<unsigned> common((n + 1) * (m + 1), 0);
        auto at = [&](size_t i, size_t j) -> unsigned & { return common[i * (m + 1) + j]; };
        for (size_t i = n; i-- > 0;) {
            for (size_t j = m; j-- > 0;) {
                at(i, j) = want[head + i] == got[head + j] ? at(i + 1, j + 1) + 1
                                                           : std::max(at(i + 1, j), at(i, j + 1));
            }
        }
        size_t i = 0, j = 0;
        while (i < n || j < m) {
            if (i < n && j < m && want[head + i] == got[head + j]) {
                lines.push_back({' ', head + i + 1, &want[head + i]});
                i++;
                j++;
            } else if (j == m || (i < n && at(i + 1, j) >= at(i, j + 1))) {
                lines.push_back({'-', head + i + 1, &want[head + i]});
                i++;
            } else {
                lines.push_back({'+', head + j + 1, &got[head + j]});
                j++;
            }
        }
    } else {
        for (size_t i = head; i < head + n; i++)
            lines.push_back({'-', i + 1, &want[i]});
        for (size_t j = head; j < head + m; j++)
            lines.push_back({'+', j + 1, &got[j]});
    }
    for (size_t i = want.size() - tail; i < want.size(); i++)
        lines.push_back({' ', i + 1, &want[i]});

    const size_t context = 3;
    const size_t most = 200;  // lines shown; a longer diff is cut
    std::vector<bool> show(lines.size(), false);
    for (size_t k = 0; k < lines.size(); k++) {
        if (lines[k].mark == ' ')
            continue;
        size_t from = k > context ? k - context : 0;
        for (size_t c = from; c < lines.size() && c <= k + context; c++)
            show[c] = true;
    }
    std::ostringstream diff;
    diff << "--- expected (" << want.size() << " lines)\n+++ actual (" << got.size() << " lines)\n";
    size_t shownCount = 0;
    for (size_t k = 0; k < lines.size(); k++) {
        if (!show[k])
            continue;
        if (k > 0 && !show[k - 1])
            diff << "  ...\n";
        if (++shownCount > most) {
            diff << "  ... (diff cut)\n";
            break;
        }
        diff << lines[k].mark << ' ' << lines[k].number << ": " << *lines[k].text << "\n";
    }
    return diff.str();
}

void expectRun(const RunResult &actual, const std::string &out, int status, const char *file, int line)
{
    if (actual.out == out && actual.status == status)
        return;
    std::ostringstream report;
    if (actual.status != status)
        report << "exit status: expected " << status << ", actual " << actual.status << "\n";
    if (actual.out != out)
        report << "standard output differs:\n" << lineDiff(out, actual.out);
    const size_t shownErr = 4000;
    report << "standard error of the run:\n"
           << (actual.err.empty() ? "(empty)\n" : actual.err.substr(0, shownErr));
    if (actual.err.size() > shownErr)
        report << "\n[... " << (actual.err.size() - shownErr) << " more bytes]\n";
    ADD_FAILURE_AT(file, line) << report.str();
}

}  // namespace e2e
