#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace e2e {

// A run that hangs this long is a fault of its own; the test must still end.
static const std::chrono::seconds RUN_LIMIT(60);
// The user whom permissions bind.
static const uid_t NOBODY = 65534;

static std::string readFile(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Scratch::SetUp()
{
    std::string name = (fs::temp_directory_path() / "orv-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr) << "cannot create a scratch directory: " << name;
    root_ = name;
    ASSERT_EQ(mkdir(path("").c_str(), 0755), 0) << root_;
}

void Scratch::TearDown()
{
    if (root_.empty())
        return;
    if (HasFailure()) {
        std::cout << "[ scratch  ] kept " << path("") << "\n";
        return;
    }
    // Tests take write permission from the scratch directory; it must still go.
    std::error_code ec;
    fs::permissions(path(""), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
}

std::string Scratch::path(const std::string &name) const
{
    return root_ + "/work/" + name;
}

std::string Scratch::directory() const
{
    return root_ + "/work";
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
    // A fresh file: a tool of an earlier run may still be ending, and its file busy.
    std::error_code ec;
    fs::remove(path("tarvo"), ec);
    fs::copy_file(TARVO_PATH, path("tarvo"), fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << "cannot copy " << TARVO_PATH << ": " << ec.message();
    ASSERT_EQ(chmod(path("tarvo").c_str(), 0755), 0);
}

void Scratch::copyToolWithPackages(const std::vector<std::string> &packages)
{
    copyTool();
    for (const std::string &package : packages)
        write(package, "package\n");
}

std::string Scratch::sha256sum(const std::string &name) const
{
    FILE *pipe = popen(("cd '" + directory() + "' && sha256sum '" + name + "'").c_str(), "r");
    char line[256] = "";
    const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    if (pipe != nullptr)
        pclose(pipe);
    return read ? std::string(line, 64) : "";
}

void Scratch::writeTool(const std::string &body)
{
    std::remove(path("tarvo").c_str());
    write("tarvo", "#!/bin/sh\n" + body, true);
}

std::string Scratch::read(const std::string &name) const
{
    return readFile(path(name));
}

bool Scratch::exists(const std::string &name) const
{
    struct stat st;
    return lstat(path(name).c_str(), &st) == 0;
}

bool Scratch::waitFor(const std::string &name) const
{
    const auto deadline = std::chrono::steady_clock::now() + RUN_LIMIT;
    while (!exists(name) && std::chrono::steady_clock::now() < deadline) {
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    return exists(name);
}

std::string Scratch::stdoutPath() const
{
    return root_ + "/stdout";
}

// Where the child's standard output goes, made before fork so that the child only has to dup.
struct OutputPlan {
    Stdout mode;
    std::string file;      // Captured: the file that takes it
    int pipe[2] = {-1, -1};  // Tee, Stalled: the program writes pipe[1]; the harness reads pipe[0]
    int teeIn[2] = {-1, -1}; // Tee: the program writes teeIn[1], tee reads teeIn[0] and writes pipe[1]
};

static void closeAll(OutputPlan &plan)
{
    for (int *fd : {&plan.pipe[0], &plan.pipe[1], &plan.teeIn[0], &plan.teeIn[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

// In the child: standard output as the plan says; false when it cannot be set up. Tee runs in
// the child's process group, so that a signal to the group reaches it as a terminal's would.
static bool connectOutput(OutputPlan &plan)
{
    int to = -1;
    if (plan.mode == Stdout::Captured || plan.mode == Stdout::Closed || plan.mode == Stdout::Full)
        to = open(plan.mode == Stdout::Full ? "/dev/full" : plan.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    else if (plan.mode == Stdout::Stalled || plan.mode == Stdout::Dropped)
        to = dup(plan.pipe[1]);
    else {
        pid_t tee = fork();
        if (tee == 0) {
            if (dup2(plan.teeIn[0], 0) < 0 || dup2(plan.pipe[1], 1) < 0)
                _exit(125);
            closeAll(plan);
            execlp("tee", "tee", static_cast<char *>(nullptr));
            _exit(125);
        }
        to = tee < 0 ? -1 : dup(plan.teeIn[1]);
    }
    closeAll(plan);
    if (to < 0 || dup2(to, 1) < 0 || (plan.mode == Stdout::Dropped && dup2(to, 2) < 0))
        return false;
    close(to);
    return plan.mode != Stdout::Closed || close(1) == 0;
}

// In the child, never returning: a session of its own, the signals and streams the test asks
// for, the scratch directory, the user, then the program.
[[noreturn]] static void startChild(std::vector<char *> &argv, OutputPlan &plan, const Signals &signals,
                                    const std::string &work, const std::string &errFile, bool drop)
{
    // A session of its own, as a terminal gives a job: a signal to the group reaches the
    // program, the shell and the tool, and nothing of the test's.
    setsid();
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : signals.ignored)
        sigaction(sig, &ignore, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : signals.blocked)
        sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    // The streams are opened before the user changes: nobody cannot write beside work/.
    int in = open("/dev/null", O_RDONLY);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0 || !connectOutput(plan))
        _exit(125);
    close(in);
    close(err);
    if (chdir(work.c_str()) != 0)
        _exit(125);
    if (drop && (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
        _exit(125);
    execvp(argv[0], argv.data());
    static const char msg[] = "harness: cannot execute the program\n";
    (void)!::write(2, msg, sizeof msg - 1);
    _exit(125);
}

// The filler that Stdout::Stalled puts in the run's pipe; taken out of what the run printed.
static const char FILLER = '\x01';

// Fills the pipe that process pid writes its standard output to, through a description of its
// own that does not block (the program's must).
static void fillPipe(pid_t pid)
{
    int fd = open(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0)
        return;
    const std::string block(4096, FILLER);
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, block.data(), 1) > 0) {
    }
    close(fd);
}

// Whether process pid sleeps in a write to a full pipe.
static bool blockedWriting(pid_t pid)
{
    // pipe_write, or anon_pipe_write in later kernels.
    return readFile("/proc/" + std::to_string(pid) + "/wchan").find("pipe_write") != std::string::npos;
}

// Reads what is there on the non-blocking fd into text; false once it has reached its end.
static bool drain(int fd, std::string &text)
{
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return n != 0;
}

// A run being waited for, and what waiting saw.
struct Watch {
    pid_t pid;
    int reader;  // the run's pipe, or -1
    Stdout out;
    const Signals &signals;
    std::string when;    // the file whose appearance sends the signal
    std::string filled;  // the file that says the pipe has been filled
    std::string thenWhen;  // the file whose appearance sends the second signal
    int wstatus = 0;
    bool sent = false;
    bool thenSent = false;
    bool killed = false;
    std::string pipedOut;
};

// Waits for the run to end and its pipe to close, sending the signal when its file appears
// (after filling the pipe for Stdout::Stalled), and kills it at the time limit.
static void watchRun(Watch &w)
{
    bool exited = false, open = w.reader >= 0, filled = false;
    w.sent = w.signals.send == 0 && w.out != Stdout::Dropped;
    const auto deadline = std::chrono::steady_clock::now() + RUN_LIMIT;
    while (!exited || open) {
        if (!exited) {
            pid_t done = waitpid(w.pid, &w.wstatus, WNOHANG);
            exited = done == w.pid || done < 0;
        }
        if (!w.sent && access(w.when.c_str(), F_OK) == 0 && readFile(w.when).find(w.signals.holding) != std::string::npos &&
            w.out == Stdout::Dropped) {
            drain(w.reader, w.pipedOut);
            close(w.reader);
            w.reader = -1;
            open = false;
            std::ofstream(w.filled).close();
            w.sent = true;
        } else if (!w.sent && access(w.when.c_str(), F_OK) == 0 && readFile(w.when).find(w.signals.holding) != std::string::npos) {
            if (w.out == Stdout::Stalled && !filled) {
                fillPipe(w.pid);
                std::ofstream(w.filled).close();
                filled = true;
            }
            if (w.out != Stdout::Stalled || blockedWriting(w.pid)) {
                kill(w.signals.group ? -w.pid : w.pid, w.signals.send);
                w.sent = true;
            }
        }
        if (w.sent && !w.thenSent && w.signals.then != 0 && access(w.thenWhen.c_str(), F_OK) == 0) {
            kill(w.signals.group ? -w.pid : w.pid, w.signals.then);
            w.thenSent = true;
        }
        if (open && (w.out != Stdout::Stalled || w.sent || exited))
            open = drain(w.reader, w.pipedOut);
        if (!w.killed && std::chrono::steady_clock::now() > deadline) {
            kill(-w.pid, SIGKILL);
            w.killed = true;
        }
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
}

// The words of a run's command: the checker's that ORV_TEST_WRAPPER names first (looked up in
// PATH), then the program and its arguments.
static std::vector<std::string> commandWords(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<std::string> words;
    if (const char *wrapper = std::getenv("ORV_TEST_WRAPPER")) {
        std::istringstream in(wrapper);
        for (std::string word; in >> word;)
            words.push_back(word);
    }
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

RunResult Scratch::run(const std::vector<std::string> &args, Stdout out, bool asNobody, const Signals &signals) const
{
    const bool drop = asNobody && geteuid() == 0;
    std::string program = ORVTQUPDATE_PATH;
    if (drop) {
        // nobody may not reach the build tree: it runs a copy beside the scratch directory.
        program = root_ + "/orvTQupdate";
        std::error_code ec;
        fs::copy_file(ORVTQUPDATE_PATH, program, fs::copy_options::overwrite_existing, ec);
        if (ec || chmod(root_.c_str(), 0755) != 0)
            return {"", "cannot prepare a run as nobody: " + ec.message(), -1};
    }

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> words = commandWords(program, args);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    OutputPlan plan{out, stdoutPath()};
    const bool piped = out == Stdout::Tee || out == Stdout::Stalled || out == Stdout::Dropped;
    if ((piped && pipe2(plan.pipe, O_CLOEXEC) != 0) || (out == Stdout::Tee && pipe2(plan.teeIn, O_CLOEXEC) != 0))
        return {"", "pipe failed", -1};
    const std::string work = path(""), errFile = root_ + "/stderr";
    const std::string when = signals.send != 0 || out == Stdout::Dropped ? path(signals.when) : "";

    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return {"", "fork failed", -1};
    if (pid == 0)
        startChild(argv, plan, signals, work, errFile, drop);
    const int reader = plan.pipe[0];
    plan.pipe[0] = -1;
    closeAll(plan);
    if (reader >= 0)
        fcntl(reader, F_SETFL, O_NONBLOCK);

    Watch watch{pid, reader, out, signals, when, path("filled"), signals.then != 0 ? path(signals.thenWhen) : "", 0, false, false, false, ""};
    watchRun(watch);
    const int wstatus = watch.wstatus;
    const bool sent = watch.sent, killed = watch.killed;
    std::string &pipedOut = watch.pipedOut;
    // Tool processes left running in the background must not outlive the test.
    kill(-pid, SIGKILL);
    if (watch.reader >= 0)
        close(watch.reader);

    if (out == Stdout::Stalled)
        pipedOut.erase(std::remove(pipedOut.begin(), pipedOut.end(), FILLER), pipedOut.end());
    RunResult result{out == Stdout::Captured ? readFile(stdoutPath()) : pipedOut, readFile(errFile), -1};
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.status = 128 + WTERMSIG(wstatus);
    if (!sent)
        result.err += "[harness: " + signals.when + " never appeared; no signal was sent]\n";
    if (killed)
        result.err += "[harness: run killed after " + std::to_string(RUN_LIMIT.count()) + " s]\n";
    return result;
}

// The lines of text made visible: control bytes escaped and each line's end marked, so that
// trailing spaces and carriage returns show in a diff.
static std::vector<std::string> shownLines(const std::string &text)
{
    std::vector<std::string> lines;
    bool inLine = false;  // whether the last line still takes bytes
    for (unsigned char c : text) {
        if (!inLine)
            lines.emplace_back();
        inLine = c != '\n';
        char escaped[8];
        if (c == '\n')
            lines.back() += "$";
        else if (c == '\\')
            lines.back() += "\\\\";
        else if (c == '\r')
            lines.back() += "\\r";
        else if (c == '\t')
            lines.back() += "\\t";
        else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            lines.back() += escaped;
        } else
            lines.back() += static_cast<char>(c);
    }
    if (inLine)
        lines.back() += "   [no newline at end]";
    return lines;
}

// The lines that differ between the texts, from the first difference to the last, as expected
// ('-') and actual ('+') lines, with three lines of context around them.
static std::string lineDiff(const std::string &expected, const std::string &actual)
{
    const std::vector<std::string> want = shownLines(expected), got = shownLines(actual);
    size_t head = 0;
    while (head < want.size() && head < got.size() && want[head] == got[head])
        head++;
    size_t tail = 0;
    while (tail < want.size() - head && tail < got.size() - head &&
           want[want.size() - 1 - tail] == got[got.size() - 1 - tail])
        tail++;

    std::ostringstream diff;
    diff << "--- expected (" << want.size() << " lines)\n+++ actual (" << got.size() << " lines)\n";
    const size_t context = 3, most = 100;  // a longer stretch is cut
    auto show = [&diff](char mark, const std::vector<std::string> &lines, size_t from, size_t to) {
        for (size_t i = from; i < to && i < from + most; i++)
            diff << mark << ' ' << i + 1 << ": " << lines[i] << "\n";
        if (to > from + most)
            diff << mark << " ... " << to - from - most << " more lines\n";
    };
    show(' ', want, head > context ? head - context : 0, head);
    show('-', want, head, want.size() - tail);
    show('+', got, head, got.size() - tail);
    show(' ', want, want.size() - tail, std::min(want.size(), want.size() - tail + context));
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
