// The output layer: every file the project extracts is placed here, beneath
// a root folder held open for the whole run.
//
// An output's folder is resolved beneath the root in one step by the kernel
// (openat2 with RESOLVE_BENEATH), or by a walk of its components that follows
// no link leading out, and is then held as a descriptor: nothing afterwards
// goes by path again. The file is made unnamed in that folder (O_TMPFILE) and
// linked in only when complete, so nothing already in the folder is ever
// reused or followed, and an interrupted run leaves nothing behind. Where
// unnamed files can't be had, a file is made exclusively under an
// unpredictable name, and the signal handler removes it.
#include "extract/extract.hpp"

#include <atomic>
#include <cerrno>
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

output_test_knobs output_test;

namespace {

// ---------------------------------------------------------------------------
// Named temporary files in flight, for the signal handler to remove. A slot
// is claimed, its name written, then its folder published; the handler reads
// only published slots.

constexpr int slot_count = 256;
constexpr std::size_t temporary_name_size = 32;

struct cleanup_slot {
    std::atomic<bool> claimed{false};
    std::atomic<int> dir_fd{-1};
    char name[temporary_name_size];
};

cleanup_slot cleanup_slots[slot_count];

extern "C" void remove_temporaries_and_die(int sig)
{
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

int claim_slot(int dir_fd, const std::string& name)
{
    for (int k = 0; k < slot_count; ++k) {
        cleanup_slot& s = cleanup_slots[k];
        if (s.claimed.exchange(true, std::memory_order_acq_rel)) continue;
        std::snprintf(s.name, sizeof s.name, "%s", name.c_str());
        s.dir_fd.store(dir_fd, std::memory_order_release);
        return k;
    }
    return -1;
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

// Makes each missing folder of `folder`, one beneath the other, each inside
// the one before as resolved beneath the root.
int open_beneath_creating(const output_root& root, const std::string& folder)
{
    std::string prefix;
    for (const std::string& part : components_of(folder)) {
        const std::string parent = prefix;
        prefix += (prefix.empty() ? "" : "/") + part;
        fd_holder at(open_beneath(root, prefix));
        if (at.fd >= 0) continue;
        if (errno != ENOENT) return -1;
        fd_holder up(open_beneath(root, parent));
        if (up.fd < 0) return -1;
        if (mkdirat(up.fd, part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    }
    return open_beneath(root, folder);
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
        if (out.slot < 0) {
            errno = EMFILE;
            return -1;
        }
        out.fd = openat(out.dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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
        // linking it in proves impossible.
        out.fd = openat(out.dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (out.fd >= 0) return 0;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
    }
    return create_named(out);
}

// The unnamed file's bytes copied into a named one made exclusively, for when
// no unnamed file can be linked in (no /proc, no capability).
int copy_into_named(output_file& f)
{
    fd_holder unnamed(f.fd);
    f.fd = -1;
    if (create_named(f) != 0) return -1;
    std::vector<char> chunk(1 << 20);
    for (off_t at = 0;;) {
        const ssize_t got = pread(unnamed.fd, chunk.data(), chunk.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(f.fd, chunk.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return -1;
            done += put;
        }
        at += got;
    }
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
}

}  // namespace

output_file::output_file(output_file&& other) noexcept
    : dir_fd(other.dir_fd), owns_dir(other.owns_dir), fd(other.fd), base(std::move(other.base)), temporary(std::move(other.temporary)),
      slot(other.slot)
{
    other.dir_fd = other.fd = other.slot = -1;
    other.temporary.clear();
}

output_file& output_file::operator=(output_file&& other) noexcept
{
    if (this != &other) {
        drop(*this);
        dir_fd = other.dir_fd;
        owns_dir = other.owns_dir;
        fd = other.fd;
        base = std::move(other.base);
        temporary = std::move(other.temporary);
        slot = other.slot;
        other.dir_fd = other.fd = other.slot = -1;
        other.temporary.clear();
    }
    return *this;
}

output_file::~output_file()
{
    drop(*this);
}

int output_open_root(const char* path, bool create, output_root& out)
{
    if (create && mkdir(path, 0777) != 0 && errno != EEXIST) return -1;
    out.fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (out.fd < 0) return -1;
    out.create_folders = create;
    out.outside_reason = std::strcmp(path, ".") == 0 ? "its folder is a link that leads outside the current folder"
                                                     : "its folder is a link that leads outside the output folder";
    char* real = realpath(path, nullptr);
    out.real_path = real ? real : "";
    std::free(real);
    install_signal_handlers();
    return 0;
}

void output_close_root(output_root& root)
{
    if (root.fd >= 0) close(root.fd);
    root.fd = -1;
}

const char* output_name_problem(const std::string& name)
{
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return "it holds a control byte";
    }
    if (!name.empty() && name.front() == '/') return "it is an absolute path";
    for (const std::string& part : components_of(name)) {
        if (part == "..") return "it has a \"..\" component";
    }
    return nullptr;
}

output_error output_begin(const output_root& root, const std::string& name, output_file& out, const char*& reason)
{
    reason = output_name_problem(name);
    if (reason) return output_error::refused;
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash);
    out.base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (out.base.empty() || out.base == ".") return output_error::no_create;

    if (folder.empty()) {
        // Most names have no folder: the root's own descriptor serves.
        out.dir_fd = root.fd;
        out.owns_dir = false;
    } else {
        out.dir_fd = root.create_folders ? open_beneath_creating(root, folder) : open_beneath(root, folder);
    }
    if (out.dir_fd < 0) {
        if (errno != EXDEV) return output_error::no_create;
        reason = root.outside_reason;
        return output_error::refused;
    }
    if (create_output(out) != 0) return output_error::no_create;
    if (output_test.after_create) output_test.after_create(name);
    return output_error::none;
}

int output_commit(output_file& f)
{
    if (f.fd < 0 || f.dir_fd < 0) return -1;
    if (f.temporary.empty()) {
        // Unnamed: straight to the final name when it is free, else under a
        // temporary name (listed for the signal handler) renamed over it.
        if (link_unnamed(f.fd, f.dir_fd, f.base.c_str()) == 0) {
            drop(f);
            return 0;
        }
        if (errno == EOPNOTSUPP) {
            if (copy_into_named(f) != 0) return -1;
        } else if (errno != EEXIST) {
            return -1;
        }
        for (int tries = 0; tries < 16 && f.temporary.empty(); ++tries) {
            const std::string name = unpredictable_name();
            f.slot = claim_slot(f.dir_fd, name);
            if (f.slot < 0) return -1;
            if (link_unnamed(f.fd, f.dir_fd, name.c_str()) == 0) {
                f.temporary = name;
            } else {
                release_slot(f.slot);
                if (errno != EEXIST) return -1;
            }
        }
        if (f.temporary.empty()) return -1;
    }
    if (renameat(f.dir_fd, f.temporary.c_str(), f.dir_fd, f.base.c_str()) != 0) return -1;
    f.temporary.clear();
    drop(f);
    return 0;
}
