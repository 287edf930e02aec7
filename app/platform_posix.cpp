// app/platform.hpp on POSIX systems: arguments are bytes already, and the C
// library matches wildcards.
#include "app/platform.hpp"
#include "files/files.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "format/format.hpp"

namespace {

extern "C" void end_interrupted(int sig)
{
    output_interrupted();
    // The usual end of this signal: its default action, once this handler returns.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

void app_catch_interrupts()
{
    // SIGPIPE too: a report piped into a reader that stops early ends the run.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction sa {};
        sa.sa_handler = end_interrupted;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void app_start(int&, char**&)
{
    keep_freed_memory();
    app_catch_interrupts();
}

bool app_is_terminal(int fd)
{
    return isatty(fd) != 0;
}

bool app_console_is_own()
{
    return false;
}

unsigned app_terminal_columns(int fd)
{
    winsize ws{};
    return ioctl(fd, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

long app_read_file_start(const std::string& path, std::span<std::uint8_t> out)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    // Without O_NONBLOCK, a FIFO put there since would hold up the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    const std::size_t got = tex_pread(fd, out, 0);
    close(fd);
    return static_cast<long>(got);
}

app_path_kind app_path_kind_of(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? app_path_kind::missing : app_path_kind::other;
    return S_ISDIR(st.st_mode) ? app_path_kind::folder : S_ISREG(st.st_mode) ? app_path_kind::regular : app_path_kind::other;
}

std::string app_name_key(const std::string& name)
{
    return name;
}
