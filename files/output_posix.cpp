// The output layer on POSIX systems (see files.hpp for what it promises).
//
// An output's folder is resolved beneath the root in one step by the kernel
// (openat2 with RESOLVE_BENEATH), or by a walk of its components that follows
// no link leading out, and is then held as a descriptor: nothing afterwards
// goes by path again. The file is made unnamed in that folder (O_TMPFILE) and
// linked in only when complete, so nothing already in the folder is ever
// reused or followed, and an interrupted run leaves nothing behind. Where
// unnamed files can't be had, a file is made exclusively under an
// unpredictable name, and the signal handler removes it. Folders an output
// needs are made only when it is placed, so a failed one leaves none behind.
#include "files/files.hpp"
#include "files/output_system.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Named temporary files in flight, for the signal handler to remove. A slot
// is claimed, its name written, then its folder published; the handler reads
// only published slots. Between claiming a slot and the call that makes its
// name, the name is "in the making": the handler waits for those (made by
// other threads) to exist before it removes what the slots list, and no name
// is begun once it has started.

constexpr int slot_count = 256;
constexpr std::size_t temporary_name_size = 32;

struct cleanup_slot {
    std::atomic<bool> claimed{false};
    std::atomic<int> dir_fd{-1};
    char name[temporary_name_size];
};

cleanup_slot cleanup_slots[slot_count];
std::atomic<int> names_in_making{0};
std::atomic<bool> dying{false};

// How long the handler waits for names in the making, in loads of a counter
// (tens of milliseconds): a name the interrupted thread itself was making
// never comes, and the wait must end anyway.
constexpr long making_wait = 50'000'000;

extern "C" void remove_temporaries_and_die(int sig)
{
    dying.store(true);
    for (long k = 0; k < making_wait && names_in_making.load() > 0; ++k) {
    }
    for (cleanup_slot& s : cleanup_slots) {
        const int dir = s.dir_fd.load(std::memory_order_acquire);
        if (dir >= 0) unlinkat(dir, s.name, 0);
    }
    // The usual end of this signal: its default action, once this handler returns.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void install_signal_handlers()
{
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    // SIGPIPE too: a report piped into a reader that stops early ends the run.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;  // nohup stays nohup
        struct sigaction sa {};
        sa.sa_handler = remove_temporaries_and_die;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

// Claims a slot for a name about to be made in `dir_fd`: call made() once
// the call that makes it has returned, whatever it returned. -1 with EMFILE
// when every slot is taken, EINTR when the process is ending.
int claim_slot(int dir_fd, const std::string& name)
{
    names_in_making.fetch_add(1);
    if (dying.load()) {
        names_in_making.fetch_sub(1);
        errno = EINTR;
        return -1;
    }
    for (int k = 0; k < slot_count; ++k) {
        cleanup_slot& s = cleanup_slots[k];
        if (s.claimed.exchange(true, std::memory_order_acq_rel)) continue;
        std::snprintf(s.name, sizeof s.name, "%s", name.c_str());
        s.dir_fd.store(dir_fd, std::memory_order_release);
        return k;
    }
    names_in_making.fetch_sub(1);
    errno = EMFILE;
    return -1;
}

void made()
{
    names_in_making.fetch_sub(1);
}

void release_slot(int& slot)
{
    if (slot < 0) return;
    cleanup_slots[slot].dir_fd.store(-1, std::memory_order_release);
    cleanup_slots[slot].claimed.store(false, std::memory_order_release);
    slot = -1;
}

// ".morvex-" and 16 random hex digits: no name anyone could plant in advance.
std::string unpredictable_name()
{
    if (output_test.next_temporary_name) return output_test.next_temporary_name();
    std::uint64_t r = 0;
    if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
        static std::atomic<std::uint64_t> counter{0};
        r = (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(std::rand()) ^ ++counter;
    }
    char buf[temporary_name_size];
    std::snprintf(buf, sizeof buf, ".morvex-%016llx", static_cast<unsigned long long>(r));
    return buf;
}

// ---------------------------------------------------------------------------
// Resolving a folder beneath the root.

struct fd_holder {
    int fd = -1;
    explicit fd_holder(int f = -1) : fd(f) {}
    ~fd_holder()
    {
        if (fd >= 0) close(fd);
    }
    fd_holder(const fd_holder&) = delete;
    fd_holder& operator=(const fd_holder&) = delete;
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

std::atomic<bool> kernel_resolves{true};  // openat2 is there, until it says otherwise

// openat2 with RESOLVE_BENEATH: -1 with errno EXDEV when the path leads out.
int open_beneath_kernel(int root, const std::string& folder)
{
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
}

std::deque<std::string> components_of(const std::string& path)
{
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.emplace_back(path, start, end - start);
        start = end + 1;
    }
    return parts;
}

// The same, one component at a time with O_NOFOLLOW, each link's target read
// and resolved in turn: a relative link may climb only as far as the root, an
// absolute one must name a place inside the root's real path.
int open_beneath_walk(int root, const std::string& root_real, const std::string& folder)
{
    std::vector<int> stack;  // open folders below the root
    const auto top = [&] { return stack.empty() ? root : stack.back(); };
    const auto fail = [&](int error) {
        for (const int fd : stack) close(fd);
        errno = error;
        return -1;
    };
    std::deque<std::string> pending = components_of(folder);
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.front();
        pending.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            if (stack.empty()) return fail(EXDEV);
            close(stack.back());
            stack.pop_back();
            continue;
        }
        fd_holder next(openat(top(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.fd < 0) return fail(errno);
        struct stat st {};
        if (fstat(next.fd, &st) != 0) return fail(errno);
        if (S_ISDIR(st.st_mode)) {
            stack.push_back(next.release());
            continue;
        }
        if (!S_ISLNK(st.st_mode)) return fail(ENOTDIR);
        if (++links > 40) return fail(ELOOP);
        char target[4096];
        const ssize_t len = readlinkat(next.fd, "", target, sizeof target - 1);
        if (len <= 0) return fail(len == 0 ? ENOENT : errno);
        std::string link(target, static_cast<std::size_t>(len));
        if (link.front() == '/') {
            // Absolute: only a place inside the root's real path stays beneath it.
            if (root_real.empty()) return fail(EXDEV);
            const std::string inside = root_real == "/" ? "/" : root_real + "/";
            if (link != root_real && link.compare(0, inside.size(), inside) != 0) return fail(EXDEV);
            link = link.size() > inside.size() ? link.substr(inside.size()) : "";
            for (const int fd : stack) close(fd);
            stack.clear();
        }
        std::deque<std::string> parts = components_of(link);
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    if (!stack.empty()) {
        const int fd = stack.back();
        stack.pop_back();
        for (const int f : stack) close(f);
        return fd;
    }
    return fcntl(root, F_DUPFD_CLOEXEC, 0);
}

// A folder beneath the root: the kernel's one-step lookup where it has it,
// the walk where it hasn't, and where it refuses an absolute link (which the
// walk accepts when the link's target lies inside the root).
int open_beneath(const output_root& root, const std::string& folder)
{
    if (folder.empty()) return fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
    if (kernel_resolves.load() && !output_test.walk_only) {
        const int fd = open_beneath_kernel(root.fd, folder);
        if (fd >= 0 || (errno != EXDEV && errno != ENOSYS)) return fd;
    }
    return open_beneath_walk(root.fd, root.real_path, folder);
}

// How an unnamed file is linked in: by its descriptor (needs a capability
// before Linux 6.10), or through /proc; found out once.
enum link_method { link_unknown, link_by_fd, link_by_proc, link_impossible };
std::atomic<int> unnamed_link = link_unknown;

int link_unnamed(int fd, int dir_fd, const char* name)
{
    const int method = unnamed_link.load();
    if (method == link_unknown || method == link_by_fd) {
        if (linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0) {
            unnamed_link.store(link_by_fd);
            return 0;
        }
        if (method == link_by_fd || errno == EEXIST) return -1;
    }
    if (method != link_impossible) {
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        if (linkat(AT_FDCWD, proc, dir_fd, name, AT_SYMLINK_FOLLOW) == 0) {
            unnamed_link.store(link_by_proc);
            return 0;
        }
        if (errno == EEXIST) return -1;
        if (method == link_unknown) unnamed_link.store(link_impossible);
    }
    errno = EOPNOTSUPP;
    return -1;
}

// A named file made exclusively: O_EXCL never follows a link nor opens a FIFO.
int create_named(output_file& out)
{
    for (int tries = 0; tries < 16; ++tries) {
        const std::string name = unpredictable_name();
        out.slot = claim_slot(out.dir_fd, name);
        if (out.slot < 0) return -1;
        out.fd = openat(out.dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        const int error = errno;
        made();
        errno = error;
        if (out.fd >= 0) {
            out.temporary = name;
            return 0;
        }
        release_slot(out.slot);
        if (errno != EEXIST) return -1;
    }
    return -1;
}

int create_output(output_file& out)
{
    if (unnamed_link.load() != link_impossible && !output_test.named_files_only) {
        // Readable too, so that it can still be copied to a named file if
        // linking it in proves impossible, and read back by the packer.
        out.fd = openat(out.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (out.fd >= 0) return 0;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
    }
    return create_named(out);
}

// Copies a file's bytes from its start into another descriptor. -1 with errno.
int copy_from_start(int from, int to)
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

// The unnamed file's bytes copied into a named one made exclusively, for when
// no unnamed file can be linked in (no /proc, no capability).
int copy_into_named(output_file& f)
{
    fd_holder unnamed(f.fd);
    f.fd = -1;
    if (create_named(f) != 0) return -1;
    return copy_from_start(unnamed.fd, f.fd);
}

void drop(output_file& f)
{
    if (!f.temporary.empty() && f.dir_fd >= 0) unlinkat(f.dir_fd, f.temporary.c_str(), 0);
    f.temporary.clear();
    release_slot(f.slot);
    if (f.fd >= 0) close(f.fd);
    if (f.dir_fd >= 0 && f.owns_dir) close(f.dir_fd);
    f.fd = -1;
    f.dir_fd = -1;
    f.owns_dir = true;
    f.missing.clear();
    f.stream_fd = -1;
}

// The deepest folder of `folder` that exists beneath the root, and the names
// of those below it still to be made.
int open_deepest(const output_root& root, const std::string& folder, std::vector<std::string>& missing)
{
    std::vector<std::string> parts;
    for (std::string& part : components_of(folder)) {
        if (part != ".") parts.push_back(std::move(part));
    }
    for (std::size_t held = parts.size(); held-- > 0;) {
        std::string prefix;
        for (std::size_t k = 0; k <= held; ++k) prefix += (k ? "/" : "") + parts[k];
        const int fd = open_beneath(root, prefix);
        if (fd >= 0) {
            missing.assign(parts.begin() + static_cast<std::ptrdiff_t>(held) + 1, parts.end());
            return fd;
        }
        if (errno != ENOENT) return -1;
    }
    missing = parts;
    return fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
}

// Folders made for an output, undone when it can't be placed after all.
struct made_folders {
    std::vector<int> opened;                          // each made (or found) folder, outermost first
    std::vector<std::pair<int, std::string>> made;    // (parent, name) of the folders made here
    ~made_folders()
    {
        for (const int fd : opened) close(fd);
    }
    void undo()
    {
        for (auto it = made.rbegin(); it != made.rend(); ++it) unlinkat(it->first, it->second.c_str(), AT_REMOVEDIR);
        made.clear();
    }
};

// Makes the missing folders, each inside the one before; the innermost
// folder's descriptor (owned by `folders`), or -1 with errno.
int make_missing(int top, const std::vector<std::string>& missing, made_folders& folders)
{
    int at = top;
    for (const std::string& part : missing) {
        if (mkdirat(at, part.c_str(), 0777) == 0) {
            folders.made.emplace_back(at, part);
        } else if (errno != EEXIST) {
            return -1;
        }
        // Made here or by someone else meanwhile: a folder, never a link.
        const int next = openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return -1;
        folders.opened.push_back(next);
        at = next;
    }
    return at;
}

// Moves a named temporary file into another folder of the same file system,
// keeping it listed for the signal handler all the while.
int move_temporary(output_file& f, int to)
{
    const int slot = claim_slot(to, f.temporary);
    if (slot < 0) return -1;
    const int rc = renameat(f.dir_fd, f.temporary.c_str(), to, f.temporary.c_str());
    made();
    if (rc != 0) {
        const int error = errno;
        cleanup_slots[slot].dir_fd.store(-1);
        cleanup_slots[slot].claimed.store(false);
        errno = error;
        return -1;
    }
    release_slot(f.slot);
    f.slot = slot;
    return 0;
}

// A named temporary file put under the final name, replacing what is there
// or only where nothing is.
int place_named(output_file& f, bool replace)
{
    if (replace) return renameat(f.dir_fd, f.temporary.c_str(), f.dir_fd, f.base.c_str());
    if (renameat2(f.dir_fd, f.temporary.c_str(), f.dir_fd, f.base.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without the flag: a second link fails just the same on a taken name.
    if (linkat(f.dir_fd, f.temporary.c_str(), f.dir_fd, f.base.c_str(), 0) != 0) return -1;
    unlinkat(f.dir_fd, f.temporary.c_str(), 0);
    return 0;
}

// The complete file put under its name within f.dir_fd.
int place(output_file& f, bool replace)
{
    if (f.temporary.empty()) {
        // Unnamed: straight to the final name when it is free, else (when
        // replacing) under a temporary name renamed over it.
        if (link_unnamed(f.fd, f.dir_fd, f.base.c_str()) == 0) return 0;
        if (errno == EOPNOTSUPP) {
            if (copy_into_named(f) != 0) return -1;
        } else if (errno != EEXIST || !replace) {
            return -1;
        }
        for (int tries = 0; tries < 16 && f.temporary.empty(); ++tries) {
            const std::string name = unpredictable_name();
            f.slot = claim_slot(f.dir_fd, name);
            if (f.slot < 0) return -1;
            const int rc = link_unnamed(f.fd, f.dir_fd, name.c_str());
            const int error = errno;
            made();
            errno = error;
            if (rc == 0) {
                f.temporary = name;
            } else {
                release_slot(f.slot);
                if (errno != EEXIST) return -1;
            }
        }
        if (f.temporary.empty()) return -1;
    }
    if (place_named(f, replace) != 0) return -1;
    f.temporary.clear();
    return 0;
}

bool is_image_name(const std::string& name)
{
    return image_format_for(name) != image_format::none;
}

// True for a regular file that holds nothing, or a file of the output's kind.
bool replaceable_file(int dir, const std::string& base, const struct stat& st, output_kind kind)
{
    if (st.st_size == 0) return true;
    fd_holder f(openat(dir, base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::array<std::uint8_t, 64> leading{};
    const std::size_t got = f.fd >= 0 ? tex_pread(f.fd, leading, 0) : 0;
    return got > 0 && output_holds_kind(std::span(leading.data(), got), kind);
}

file_identity identity_of(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool is_input(const output_policy& policy, const struct stat& st)
{
    return std::find(policy.inputs.begin(), policy.inputs.end(), identity_of(st)) != policy.inputs.end();
}

bool is_stream(mode_t mode)
{
    return S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

// A stream that the output is copied into once complete: the spool for it
// is an unnamed file of the temporary folder.
int begin_stream(int stream, bool owned, path_output& out)
{
    out.stream_fd = stream;
    out.owns_stream = owned;
    out.file.fd = tex_temporary_file();
    return out.file.fd >= 0 ? 0 : -1;
}

}  // namespace

void output_drop(output_file& f)
{
    drop(f);
}

path_output::~path_output()
{
    if (owns_stream && stream_fd >= 0) close(stream_fd);
}

// Opens a folder the user named, making it and every missing folder of its
// path, each inside the one before by descriptor: a folder made here is
// never swapped for a link on the way.
int open_or_make_folder(const char* path)
{
    std::string p = path;
    fd_holder at(open(p.starts_with("/") ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (at.fd < 0) return -1;
    for (const std::string& part : components_of(p)) {
        int next = openat(at.fd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(at.fd, part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
            next = openat(at.fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) return -1;
        close(at.fd);
        at.fd = next;
    }
    return at.release();
}

int output_open_root(const char* path, bool create, output_root& out)
{
    out.fd = create ? open_or_make_folder(path) : open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.fd < 0) return -1;
    out.create_folders = create;
    char* real = realpath(path, nullptr);
    out.real_path = real ? real : "";
    std::free(real);
    install_signal_handlers();
    return 0;
}

int output_open_folder(const output_root& parent, const std::string& name, output_root& out)
{
    if (output_name_problem(name) != name_problem::none) {
        errno = EINVAL;
        return -1;
    }
    int fd = open_beneath(parent, name);
    if (fd < 0 && errno == ENOENT) {
        // Made in the deepest folder of its name that exists, each missing
        // one inside the one before, never through a link.
        std::vector<std::string> missing;
        fd_holder top(open_deepest(parent, name, missing));
        if (top.fd < 0) return -1;
        made_folders folders;
        const int inner = make_missing(top.fd, missing, folders);
        if (inner < 0) return -1;
        fd = fcntl(inner, F_DUPFD_CLOEXEC, 0);
    }
    if (fd < 0) return -1;
    out.fd = fd;
    out.create_folders = parent.create_folders;
    char real[PATH_MAX];
    const ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), real, sizeof real - 1);
    out.real_path = len > 0 ? std::string(real, static_cast<std::size_t>(len)) : std::string();
    return 0;
}

void output_open_stream_root(int stream_fd, output_root& out)
{
    out.stream_fd = stream_fd;
    install_signal_handlers();
}

void output_close_root(output_root& root)
{
    if (root.fd >= 0) close(root.fd);
    root.fd = -1;
}

name_problem output_name_problem(const std::string& name)
{
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return name_problem::control_byte;
    }
    if (!name.empty() && name.front() == '/') return name_problem::absolute_path;
    for (const std::string& part : components_of(name)) {
        if (part == "..") return name_problem::dot_dot;
    }
    return name_problem::none;
}

bool output_error_is_final(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EROFS;
}

output_error output_begin(const output_root& root, const std::string& name, output_file& out, name_problem& why)
{
    why = name_problem::none;
    if (root.stream_fd >= 0) {
        // Nothing goes by name: the output waits in a spool for its turn.
        out.base = name;
        out.stream_fd = root.stream_fd;
        out.fd = tex_temporary_file();
        return out.fd >= 0 ? output_error::none : output_error::failed;
    }
    why = output_name_problem(name);
    if (why != name_problem::none) return output_error::refused;
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash);
    out.base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (out.base.empty() || out.base == ".") {
        errno = EISDIR;
        return output_error::failed;
    }
    if (folder.empty()) {
        // Most names have no folder: the root's own descriptor serves.
        out.dir_fd = root.fd;
        out.owns_dir = false;
    } else {
        out.dir_fd = open_beneath(root, folder);
        if (out.dir_fd < 0 && errno == ENOENT && root.create_folders) {
            // Written beside the folders that exist; the others are made
            // when the file is placed.
            out.dir_fd = open_deepest(root, folder, out.missing);
        }
    }
    if (out.dir_fd < 0) {
        if (errno != EXDEV) return output_error::failed;
        why = name_problem::link_outside;
        return output_error::refused;
    }
    if (create_output(out) != 0) return output_error::failed;
    if (output_test.after_create) output_test.after_create(name);
    return output_error::none;
}

int output_commit(output_file& f, bool replace)
{
    if (f.fd >= 0 && f.stream_fd >= 0) {
        const int rc = copy_from_start(f.fd, f.stream_fd);
        const int error = errno;
        drop(f);
        errno = error;
        return rc;
    }
    if (f.fd < 0 || f.dir_fd < 0) {
        errno = EBADF;
        return -1;
    }
    made_folders folders;
    // Whatever fails, nothing of the output stays: not its temporary name,
    // not the folders made for it.
    const auto fail = [&] {
        const int error = errno;
        if (!f.temporary.empty()) unlinkat(f.dir_fd, f.temporary.c_str(), 0);
        f.temporary.clear();
        folders.undo();
        drop(f);
        errno = error;
        return -1;
    };
    if (!f.missing.empty()) {
        const int inner = make_missing(f.dir_fd, f.missing, folders);
        if (inner < 0 || (!f.temporary.empty() && move_temporary(f, inner) != 0)) return fail();
        // The file now belongs to the innermost folder; the one it was made
        // in stays open until then, for undoing.
        folders.opened.pop_back();
        if (f.owns_dir) folders.opened.push_back(f.dir_fd);
        f.dir_fd = inner;
        f.owns_dir = true;
        f.missing.clear();
    }
    if (output_test.before_place) output_test.before_place(f.base);
    if (place(f, replace) != 0) return fail();
    drop(f);
    return 0;
}

bool output_exists(const output_root& root, const std::string& name)
{
    if (root.stream_fd >= 0 || output_name_problem(name) != name_problem::none) return false;
    const std::size_t slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    fd_holder dir(slash == std::string::npos ? fcntl(root.fd, F_DUPFD_CLOEXEC, 0) : open_beneath(root, name.substr(0, slash)));
    struct stat st {};
    return dir.fd >= 0 && !base.empty() && fstatat(dir.fd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int file_identity_of(const std::string& path, file_identity& out)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    out = identity_of(st);
    return 0;
}

int file_identity_of_fd(int fd, file_identity& out)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    out = identity_of(st);
    return 0;
}

int output_begin_path(const std::string& path, const output_policy& policy, path_output& out, path_refusal& why)
{
    why = path_refusal::none;
    const bool force = policy.force;
    install_signal_handlers();
    if (path == "-") {
        struct stat st {};
        if (isatty(STDOUT_FILENO)) {
            why = path_refusal::terminal;
            return -1;
        }
        if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && is_input(policy, st)) {
            why = path_refusal::input;
            return -1;
        }
        return begin_stream(STDOUT_FILENO, false, out);
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    out.file.base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (out.file.base.empty() || out.file.base == "." || out.file.base == "..") {
        why = path_refusal::folder;
        return -1;
    }
    // The folder is the user's to name, links and all; what is under the
    // name in it is looked at without following anything.
    out.file.dir_fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.file.dir_fd < 0) return -1;
    const int dir = out.file.dir_fd;
    const char* base = out.file.base.c_str();
    struct stat st {};
    if (fstatat(dir, base, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return -1;
    } else {
        struct stat target {};
        const bool target_known = S_ISLNK(st.st_mode) && fstatat(dir, base, &target, 0) == 0;
        // An input is never written over, under its own name, another name
        // of it, or a link to it.
        if (is_input(policy, st) || (target_known && is_input(policy, target))) {
            why = path_refusal::input;
            return -1;
        }
        const bool link_to_stream = target_known && is_stream(target.st_mode);
        if (is_stream(st.st_mode) || link_to_stream || (S_ISBLK(st.st_mode) && force)) {
            // Written through, never replaced: a device stays a device.
            const int stream = openat(dir, base, O_WRONLY | O_NOCTTY | O_CLOEXEC | (link_to_stream ? 0 : O_NOFOLLOW));
            if (stream < 0) return -1;
            struct stat opened {};
            if (fstat(stream, &opened) != 0 || !(is_stream(opened.st_mode) || S_ISBLK(opened.st_mode)) ||
                is_input(policy, opened)) {
                close(stream);
                errno = EAGAIN;  // it changed while looked at
                return -1;
            }
            return begin_stream(stream, true, out);
        }
        if (S_ISDIR(st.st_mode)) {
            why = path_refusal::folder;
            return -1;
        }
        out.replaces = true;
        if (!force && !S_ISLNK(st.st_mode) && !(S_ISREG(st.st_mode) && replaceable_file(dir, out.file.base, st, policy.kind))) {
            why = path_refusal::other_kind;
            return -1;
        }
    }
    if (!force && is_image_name(out.file.base)) {
        why = path_refusal::image_name;
        return -1;
    }
    if (create_output(out.file) != 0) return -1;
    if (output_test.after_create) output_test.after_create(path);
    return 0;
}

int output_commit_path(path_output& out)
{
    if (out.stream_fd < 0) return output_commit(out.file, true);
    if (copy_from_start(out.file.fd, out.stream_fd) != 0) return -1;
    drop(out.file);
    if (out.owns_stream) {
        const int stream = out.stream_fd;
        out.stream_fd = -1;
        out.owns_stream = false;
        if (close(stream) != 0 && errno != EINTR) return -1;
    }
    return 0;
}
