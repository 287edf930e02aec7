// The output layer's primitives on POSIX systems (output_system.hpp says what
// each promises; output.cpp and named_output.cpp decide when each is used).
//
// A folder is resolved beneath the root in one step by the kernel (openat2
// with RESOLVE_BENEATH), or by a walk of its components that follows no link
// leading out. Unnamed files are O_TMPFILE files, linked in by descriptor
// (or through /proc); named ones are made with O_EXCL, which never follows a
// link nor opens a FIFO. The signal handler removes the named temporary
// files the cleanup table lists.
#include "files/files.hpp"
#include "files/output_system.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include <fcntl.h>
#ifndef __EMSCRIPTEN__
#include <linux/openat2.h>
#include <sys/random.h>
#endif
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// Interrupts.

namespace {

// How long output_interrupted waits for names in the making, in sleeps of a
// millisecond: a name the interrupted thread itself was making never comes,
// and the wait must end anyway.
constexpr int making_wait = 50;

}  // namespace

void output_interrupted()
{
    cleanup_stop();
    const struct timespec millisecond {0, 1'000'000};
    for (int k = 0; k < making_wait && cleanup_names_in_making(); ++k) nanosleep(&millisecond, nullptr);
    cleanup_remove_listed();
}

// ---------------------------------------------------------------------------
// Names.

bool system_is_separator(char c)
{
    return c == '/';
}

bool system_is_absolute(const std::string& name)
{
    return !name.empty() && name.front() == '/';
}

name_problem system_component_problem(const std::string&)
{
    return name_problem::none;
}

std::uint64_t system_random64()
{
    std::uint64_t r = 0;
#ifdef __EMSCRIPTEN__
    // The browser's C library has getentropy alone (the page's crypto.getRandomValues).
    if (getentropy(&r, sizeof r) != 0) {
#else
    if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
#endif
        static std::atomic<std::uint64_t> counter{0};
        r = (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(std::rand()) ^ ++counter;
    }
    return r;
}

// ---------------------------------------------------------------------------
// Folders.

int system_open_folder_path(const std::string& path, bool make)
{
    if (!make) return open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    unique_fd at(open(path.starts_with("/") ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (at < 0) return -1;
    for (const std::string& part : output_components(path)) {
        int next = openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(at, part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
            next = openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) return -1;
        at.reset(next);
    }
    return at.release();
}

bool system_is_folder(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string system_real_path(int fd, const char* path)
{
    if (path) {
        char* real = realpath(path, nullptr);
        const std::string out = real ? real : "";
        std::free(real);
        return out;
    }
    char real[PATH_MAX];
    const ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), real, sizeof real - 1);
    return len > 0 ? std::string(real, static_cast<std::size_t>(len)) : std::string();
}

namespace {

std::atomic<bool> kernel_resolves{true};  // openat2 is there, until it says otherwise

// openat2 with RESOLVE_BENEATH: -1 with errno EXDEV when the path leads out.
int open_beneath_kernel(int root, const std::string& folder)
{
#ifdef __EMSCRIPTEN__
    // The browser's file system has no such call: the walk below does it.
    (void)root;
    (void)folder;
    kernel_resolves.store(false);
    errno = ENOSYS;
    return -1;
#else
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int tries = 0; tries < 8; ++tries) {
        const long fd = syscall(SYS_openat2, root, folder.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno != EAGAIN && errno != EINTR) break;  // EAGAIN: a rename raced the lookup
    }
    if (errno == ENOSYS) kernel_resolves.store(false);
    return -1;
#endif
}

std::deque<std::string> components_of(const std::string& path)
{
    const std::vector<std::string> parts = output_components(path);
    return {parts.begin(), parts.end()};
}

// The same, one component at a time with O_NOFOLLOW, each link's target read
// and resolved in turn: a relative link may climb only as far as the root, an
// absolute one must name a place inside the root's real path.
int open_beneath_walk(int root, const std::string& root_real, const std::string& folder)
{
    std::vector<unique_fd> stack;  // open folders below the root
    const auto top = [&] { return stack.empty() ? root : stack.back().get(); };
    const auto fail = [](int error) {
        errno = error;
        return -1;
    };
    std::deque<std::string> pending = components_of(folder);
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.front();
        pending.pop_front();
        if (part == "..") {
            if (stack.empty()) return fail(EXDEV);
            stack.pop_back();
            continue;
        }
        unique_fd next(openat(top(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next < 0) return -1;
        struct stat st {};
        if (fstat(next, &st) != 0) return -1;
        if (S_ISDIR(st.st_mode)) {
            stack.push_back(std::move(next));
            continue;
        }
        if (!S_ISLNK(st.st_mode)) return fail(ENOTDIR);
        if (++links > 40) return fail(ELOOP);
        char target[4096];
        const ssize_t len = readlinkat(next, "", target, sizeof target - 1);
        if (len <= 0) return fail(len == 0 ? ENOENT : errno);
        std::string link(target, static_cast<std::size_t>(len));
        if (link.front() == '/') {
            // Absolute: only a place inside the root's real path stays beneath it.
            if (root_real.empty()) return fail(EXDEV);
            const std::string inside = root_real == "/" ? "/" : root_real + "/";
            if (link != root_real && link.compare(0, inside.size(), inside) != 0) return fail(EXDEV);
            link = link.size() > inside.size() ? link.substr(inside.size()) : "";
            stack.clear();
        }
        std::deque<std::string> parts = components_of(link);
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    return stack.empty() ? fcntl(root, F_DUPFD_CLOEXEC, 0) : stack.back().release();
}

}  // namespace

// The kernel's one-step lookup where it has it, the walk where it hasn't, and
// where it refuses an absolute link (which the walk accepts when the link's
// target lies inside the root).
int system_open_beneath(const output_root& root, const std::string& folder)
{
    if (folder.empty()) return fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
    if (kernel_resolves.load() && !output_test.walk_only) {
        const int fd = open_beneath_kernel(root.fd, folder);
        if (fd >= 0 || (errno != EXDEV && errno != ENOSYS)) return fd;
    }
    return open_beneath_walk(root.fd, root.real_path, folder);
}

int system_open_deepest(const output_root& root, const std::string& folder, std::vector<std::string>& missing)
{
    const std::vector<std::string> parts = output_components(folder);
    for (std::size_t held = parts.size(); held-- > 0;) {
        std::string prefix;
        for (std::size_t k = 0; k <= held; ++k) prefix += (k ? "/" : "") + parts[k];
        const int fd = system_open_beneath(root, prefix);
        if (fd >= 0) {
            missing.assign(parts.begin() + static_cast<std::ptrdiff_t>(held) + 1, parts.end());
            return fd;
        }
        if (errno != ENOENT) return -1;
    }
    missing = parts;
    return fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
}

int system_make_folder(int parent, const std::string& name, bool& made)
{
    made = mkdirat(parent, name.c_str(), 0777) == 0;
    if (!made && errno != EEXIST) return -1;
    // Made here or by someone else meanwhile: a folder, never a link.
    return openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void system_unmake_folder(int parent, const std::string& name, int)
{
    unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// ---------------------------------------------------------------------------
// Files.

namespace {

// How an unnamed file is linked in: by its descriptor (needs a capability
// before Linux 6.10), or through /proc; found out once.
enum link_method { link_unknown, link_by_fd, link_by_proc, link_impossible };
std::atomic<int> unnamed_link = link_unknown;

}  // namespace

int system_create_unnamed(int dir)
{
    if (unnamed_link.load() != link_impossible) {
        // Readable too, so that it can still be copied to a named file if
        // linking it in proves impossible, and read back by the packer.
        const int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    }
    errno = EOPNOTSUPP;
    return -1;
}

int system_create_named(int dir, const std::string& name)
{
    return openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int system_link_unnamed(int fd, int dir, const std::string& name)
{
    const int method = unnamed_link.load();
    if (method == link_unknown || method == link_by_fd) {
        if (linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) {
            unnamed_link.store(link_by_fd);
            return 0;
        }
        if (method == link_by_fd || errno == EEXIST) return -1;
    }
    if (method != link_impossible) {
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        if (linkat(AT_FDCWD, proc, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            unnamed_link.store(link_by_proc);
            return 0;
        }
        if (errno == EEXIST) return -1;
        if (method == link_unknown) unnamed_link.store(link_impossible);
    }
    errno = EOPNOTSUPP;
    return -1;
}

int system_place(int, int from, const std::string& temporary, int to, const std::string& name, bool replace)
{
    if (replace) return renameat(from, temporary.c_str(), to, name.c_str());
#ifdef __EMSCRIPTEN__
    // The browser's file system has neither the flag nor links, and nothing
    // but this thread writes in it: a name found free stays free until the
    // rename.
    if (system_name_taken(to, name)) {
        errno = EEXIST;
        return -1;
    }
    return renameat(from, temporary.c_str(), to, name.c_str());
#else
    if (renameat2(from, temporary.c_str(), to, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without the flag: a second link fails just the same on a taken name.
    if (linkat(from, temporary.c_str(), to, name.c_str(), 0) != 0) return -1;
    unlinkat(from, temporary.c_str(), 0);
    return 0;
#endif
}

void system_remove_temporary(int dir, const char* name, int)
{
    unlinkat(dir, name, 0);
}

bool system_name_taken(int dir, const std::string& name)
{
    struct stat st {};
    return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int system_copy_to_stream(int from, int to)
{
    std::vector<char> chunk(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t got = pread(from, chunk.data(), chunk.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return 0;
        if (write_all(to, chunk.data(), static_cast<std::size_t>(got)) != 0) return -1;
        at += got;
    }
}

// ---------------------------------------------------------------------------
// What is under a name.

namespace {

system_kind kind_of(mode_t mode)
{
    if (S_ISREG(mode)) return system_kind::regular;
    if (S_ISDIR(mode)) return system_kind::folder;
    if (S_ISLNK(mode)) return system_kind::link;
    if (S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode)) return system_kind::stream;
    if (S_ISBLK(mode)) return system_kind::block;
    return system_kind::other;
}

file_identity identity_of(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

int system_look_under(int dir, const std::string& name, bool leading, system_look& out)
{
    out = system_look{};
    struct stat st {};
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
    out.kind = kind_of(st.st_mode);
    out.identity_known = true;
    out.identity = identity_of(st);
    struct stat target {};
    if (out.kind == system_kind::link && fstatat(dir, name.c_str(), &target, 0) == 0) {
        out.target_known = true;
        out.target_kind = kind_of(target.st_mode);
        out.target = identity_of(target);
    }
    if (leading && out.kind == system_kind::regular) {
        // An empty file is known without opening it.
        const unique_fd f(st.st_size == 0 ? -1 : openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        out.leading_size = f >= 0 ? tex_pread(f, out.leading, 0) : 0;
        out.leading_known = st.st_size == 0 || out.leading_size > 0;
    }
    return 0;
}

int system_look_fd(int fd, system_look& out)
{
    out = system_look{};
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    out.kind = kind_of(st.st_mode);
    out.identity_known = true;
    out.identity = identity_of(st);
    return 0;
}

int system_open_to_write(int dir, const std::string& name, bool follow)
{
    return openat(dir, name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
}

void system_split_path(const std::string& path, std::string& folder, std::string& base)
{
    const std::size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Devices live in folders here: looked at there like anything else.
int system_open_device(const std::string&, const std::string&, unique_fd&)
{
    return 0;
}

bool system_is_terminal(int fd)
{
    return isatty(fd) == 1;
}

int system_copy_owner(int from, int to)
{
    struct stat st {};
    if (fstat(from, &st) != 0) return -1;
    // Only root may give a file away; a group of our own is allowed too.
    // Not being allowed leaves the file ours, as any new file is. The mode
    // comes after, since a change of owner clears set-id bits.
    if (fchown(to, st.st_uid, st.st_gid) != 0 && fchown(to, static_cast<uid_t>(-1), st.st_gid) != 0) errno = 0;
    return fchmod(to, st.st_mode & 07777);
}
