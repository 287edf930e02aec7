// Test support on POSIX systems: fresh folders, and running the built tools
// with fork and exec, on files or on a terminal.
#include "support/support.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

namespace fs = std::filesystem;

temp_dir::temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "morvex-test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

namespace {

std::string slurp_and_remove(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::error_code ec;
    fs::remove(p, ec);
    return s;
}

// In a child: its environment added to, then the program in its place.
[[noreturn]] void become(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env)
{
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// An ended child's exit status, or 128 + the signal that ended it.
int status_of(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

}  // namespace

run_result run_program(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                       const std::vector<std::string>& env)
{
    // Output goes to files outside cwd, so the folder holds only what the tool wrote.
    temp_dir capture;
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        unsetenv("DISPLAY");
        become(program, args, env);
    }
    int wstatus = 0;
    struct rusage usage {};
    while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    run_result r;
    r.peak_kib = usage.ru_maxrss;
    r.status = status_of(wstatus);
    r.out = slurp_and_remove(out_path);
    r.err = slurp_and_remove(err_path);
    return r;
}

run_result run_in_terminal(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                           unsigned short columns, const std::vector<std::string>& env)
{
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        become(program, args, env);
    }
    run_result r;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            r.out.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the program has ended and closed the terminal
        }
    }
    close(master);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    r.status = status_of(wstatus);
    return r;
}

terminal_session drive_terminal(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
                                unsigned short columns, const std::vector<terminal_step>& steps, int limit)
{
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        become(program, args, {});
    }
    terminal_session session;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    bool open = true;
    std::size_t k = 0;
    for (; k < steps.size() && open; ++k) {
        const std::string& input = steps[k].input;
        for (std::size_t at = 0; at < input.size();) {
            const ssize_t n = write(master, input.data() + at, input.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        std::string& shown = session.shown.emplace_back();
        while (shown.find(steps[k].wait_for) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{master, POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            char buf[4096];
            const ssize_t n = ready > 0 ? read(master, buf, sizeof buf) : 0;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                open = false;  // the time is up, or the program has ended
                break;
            }
            shown.append(buf, static_cast<std::size_t>(n));
        }
    }
    session.finished = open && k == steps.size();
    kill(pid, SIGKILL);
    close(master);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return session;
}

}  // namespace test
