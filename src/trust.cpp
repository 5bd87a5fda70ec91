#include "trust.h"

#include "report.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The tool, run from the working directory by every command.
static const char *const TOOL = "./tarvo";
// More links than this on one path are a loop, as the kernel counts them.
static const int MAX_LINKS = 40;

// Whether the owner of a file of this status is root or the effective user.
static bool ownedByUs(const struct stat &st)
{
    return st.st_uid == 0 || st.st_uid == geteuid();
}

bool ownersOnly(const struct stat &st)
{
    return ownedByUs(st) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Where a walk along a path has come: the directory it is in (absolute, without links), the
// directories found safe so far, and the names still to go.
struct pathWalk {
    std::string dir;
    std::set<std::string> judged;
    std::deque<std::string> names;
    struct stat workDir;
    int links;
};

// Whether st is the working directory, which the directory check judges alone.
static bool isWorkDir(const pathWalk &walk, const struct stat &st)
{
    return st.st_dev == walk.workDir.st_dev && st.st_ino == walk.workDir.st_ino;
}

// Whether a file of this status on the way is safe: owned by root or the effective user, and
// unless it is a link, writable by nobody else; a directory with the sticky bit may be, since
// others cannot replace the entries in it that are ours, which are judged on their own.
static bool safeOnTheWay(const pathWalk &walk, const struct stat &st)
{
    if (S_ISDIR(st.st_mode) && isWorkDir(walk, st))
        return true;
    if (!ownedByUs(st))
        return false;
    if (S_ISLNK(st.st_mode) || (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0))
        return true;
    return ownersOnly(st);
}

static std::string join(const std::string &dir, const std::string &name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

static std::string parentOf(const std::string &dir)
{
    const size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

// Judges the directory dir, a path without links, and every directory above it that the walk
// has not judged yet; false, with the first unsafe one in *place, when others can change one.
static bool judgeDirectory(pathWalk &walk, const std::string &dir, std::string *place)
{
    if (walk.judged.count(dir) != 0)
        return true;
    if (dir != "/" && !judgeDirectory(walk, parentOf(dir), place))
        return false;
    struct stat st = {};
    // Gone, or not ours to look at: nothing there that the tool could read through it either.
    if (lstat(dir.c_str(), &st) == 0 && !safeOnTheWay(walk, st)) {
        *place = dir;
        return false;
    }
    walk.judged.insert(dir);
    return true;
}

// Puts the names of path in front of those the walk has still to go.
static void addNames(pathWalk &walk, const std::string &path)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    walk.names.insert(walk.names.begin(), names.begin(), names.end());
}

// Starts the walk over again from / when path is absolute.
static bool startAt(pathWalk &walk, const std::string &path, std::string *place)
{
    if (path[0] != '/')
        return true;
    walk.dir = "/";
    return judgeDirectory(walk, "/", place);
}

// Follows the link at link, whose status st has been judged: its target's names next.
static bool followLink(pathWalk &walk, const std::string &link, const struct stat &st, std::string *place)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return true;
    if (++walk.links > MAX_LINKS || n >= static_cast<ssize_t>(sizeof target) - 1 ||
        (st.st_size > 0 && n != st.st_size) || n == 0) {
        *place = link;
        return false;
    }
    target[n] = '\0';
    addNames(walk, target);
    return startAt(walk, target, place);
}

// Takes the walk one name further; false, with *place, when it meets what others can change.
static bool step(pathWalk &walk, const std::string &name, std::string *place)
{
    if (name == ".")
        return true;
    if (name == "..") {
        walk.dir = parentOf(walk.dir);
        return judgeDirectory(walk, walk.dir, place);
    }
    const std::string next = join(walk.dir, name);
    struct stat st = {};
    // What is not there cannot be changed through this path; its reader finds it missing.
    if (lstat(next.c_str(), &st) != 0) {
        walk.names.clear();
        return true;
    }
    if (!safeOnTheWay(walk, st)) {
        *place = next;
        return false;
    }
    if (S_ISLNK(st.st_mode))
        return followLink(walk, next, st, place);
    if (S_ISDIR(st.st_mode)) {
        walk.dir = next;
        walk.judged.insert(next);
    } else {
        // A file in the middle of a path: nothing beyond it can be opened.
        walk.names.clear();
    }
    return true;
}

bool trustedPath(const char *path, std::string *place)
{
    pathWalk walk;
    walk.links = 0;
    char cwd[PATH_MAX];
    if (stat(".", &walk.workDir) != 0 || getcwd(cwd, sizeof cwd) == nullptr) {
        *place = ".";
        return false;
    }
    walk.dir = cwd;
    walk.judged.insert(walk.dir);
    if (path[0] == '\0')
        return true;
    addNames(walk, path);
    if (!startAt(walk, path, place))
        return false;
    while (!walk.names.empty()) {
        const std::string name = walk.names.front();
        walk.names.pop_front();
        if (!step(walk, name, place))
            return false;
    }
    return true;
}

// Checks the working directory and the tool as the program finds them there; false, after
// saying what is wrong, when either is not safe to run.
static bool checkTool(const char *directory)
{
    // Anyone who could change the directory could put a link or a FIFO in place of an output
    // file, or another program in place of the tool, which runs with this program's rights.
    bool trusted = true;
    struct stat st = {};
    if (stat(".", &st) != 0 || !ownersOnly(st)) {
        printError("The directory %s can be changed by other users; no adapter is updated.",
                   directory != nullptr ? directory : ".");
        trusted = false;
    }
    std::string place;
    if (stat(TOOL, &st) != 0 || !S_ISREG(st.st_mode) || faccessat(AT_FDCWD, TOOL, X_OK, AT_EACCESS) != 0) {
        printError("The adapter tool %s is missing or cannot be run here; run orvTQupdate in the "
                   "directory that holds it.", TOOL);
        trusted = false;
    } else if (!trustedPath(TOOL, &place)) {
        printError("The adapter tool %s can be changed by other users; no adapter is updated.", TOOL);
        trusted = false;
    }
    return trusted;
}

// Checks the first word of every package once, as the tool will be given it; false, after
// naming each that others can change, otherwise.
static bool checkPackages(const runInputs &inputs)
{
    bool trusted = true;
    std::set<std::string> seen;
    for (int i = 0; i < inputs.records; i++) {
        char word[LINE_SIZE];
        std::string place;
        if (!packageWord(inputs.adapterList[i].updatePackage, word) || !seen.insert(word).second)
            continue;
        if (!trustedPath(word, &place)) {
            printError("The update package %s of line %d can be changed by other users through %s; "
                       "no adapter is updated.", word, inputs.adapterList[i].lineNumber, place.c_str());
            trusted = false;
        }
    }
    return trusted;
}

bool checkPlaces(const char *directory, const runInputs &inputs)
{
    bool trusted = checkTool(directory);
    std::string place;
    if (!trustedPath(inputs.infoFile, &place)) {
        printError("The adapter info file %s can be changed by other users through %s; no adapter is updated.",
                   inputs.infoFile, place.c_str());
        trusted = false;
    }
    if (inputs.checksumFile != nullptr && !trustedPath(inputs.checksumFile, &place)) {
        printError("The checksum file %s can be changed by other users through %s; no adapter is updated.",
                   inputs.checksumFile, place.c_str());
        trusted = false;
    }
    return checkPackages(inputs) && trusted;
}

int createOwnFile(const char *path, int flags)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | flags, 0644);
    if (fd < 0)
        return -1;
    // The umask or a default ACL of the directory may have given others more.
    if (fchmod(fd, 0644) != 0) {
        const int err = errno;
        close(fd);
        unlink(path);
        errno = err;
        return -1;
    }
    return fd;
}

int makeOwnFile(const char *path)
{
    // What was there, and any descriptor that another process still holds to it, stays apart
    // from the new file; a link, a FIFO or a directory in its place is refused, not followed.
    struct stat st = {};
    if (lstat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode) || unlink(path) != 0)
            return -1;
    } else if (errno != ENOENT) {
        return -1;
    }
    return createOwnFile(path, 0);
}

bool makeOutputFile(const char *path)
{
    const int fd = makeOwnFile(path);
    return fd >= 0 && close(fd) == 0;
}
