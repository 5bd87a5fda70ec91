// Runs a command and reports what it cost, for the benchmark script:
//   benchrun OUTPUT PROGRAM [ARG...]   runs PROGRAM with its standard output sent to OUTPUT and
//                                      prints "SECONDS PEAK-KIB STATUS": wall-clock time, the
//                                      peak resident memory of the command and of everything it
//                                      waited for (as the kernel reports it to wait4), and the
//                                      exit status a shell would show.
//   benchrun --serial FILE             runs each line of FILE with /bin/sh -c, one after another,
//                                      as a program that runs tool commands would; exit status 1
//                                      when any of them fails.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

static int shellStatus(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

static int runSerial(const char *path)
{
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "benchrun: cannot open %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    char line[4096];
    int failed = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        char sh[] = "sh";
        char dashC[] = "-c";
        char *args[] = {sh, dashC, line, nullptr};
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, args, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0) {
            std::fprintf(stderr, "benchrun: command failed: %s\n", line);
            failed = 1;
        }
    }
    std::fclose(file);
    return failed;
}

static double seconds(const struct timespec &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

static int runMeasured(const char *output, char *argv[])
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);

    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        std::fprintf(stderr, "benchrun: cannot run %s: %s\n", argv[0], std::strerror(err));
        return 2;
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::fprintf(stderr, "benchrun: wait4: %s\n", std::strerror(errno));
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    std::printf("%.6f %ld %d\n", seconds(end) - seconds(start), usage.ru_maxrss, shellStatus(status));
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--serial") == 0)
        return runSerial(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "--serial") != 0)
        return runMeasured(argv[1], argv + 2);
    std::fprintf(stderr, "usage: benchrun OUTPUT PROGRAM [ARG...] | benchrun --serial FILE\n");
    return 2;
}
