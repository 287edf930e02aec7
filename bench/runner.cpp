// morvex_bench_run: runs one command in a folder, its output thrown away, and
// prints what it cost: wall seconds, user and system CPU seconds, peak resident
// memory in KiB and the exit status. A small program of its own, so that the
// peak memory it reports is the command's and not that of a large parent
// (the kernel carries the parent's peak into a child it starts).
//
//   morvex_bench_run DIR COMMAND [ARG...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: morvex_bench_run DIR COMMAND [ARG...]\n");
        return 2;
    }
    if (chdir(argv[1]) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (const int rc = posix_spawnp(&pid, argv[2], &actions, nullptr, argv + 2, environ); rc != 0) {
        errno = rc;
        std::perror(argv[2]);
        return 2;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return 2;
        }
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    std::printf("%.6f %.6f %.6f %ld %d\n", wall.count(), seconds(usage.ru_utime), seconds(usage.ru_stime),
                usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
