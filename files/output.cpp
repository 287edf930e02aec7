// The output layer's policy, one for every system: every file the project
// writes is placed here, beneath a root folder held open for the whole run
// (or, through named_output.cpp, under a path the user gave). What it asks
// of the system are the primitives of output_system.hpp, in output_posix.cpp
// or output_windows.cpp.
//
// An output's folder is resolved beneath the root once, following no link
// that leads out, and then held as a descriptor: nothing afterwards goes by
// path again. Its file is made unnamed in that folder where the system can
// (and given its name only when complete), or else exclusively under an
// unpredictable name, listed in the cleanup table for the interrupt handler
// and renamed over its name when complete; nothing already in the folder is
// ever reused or followed. Folders an output needs are made only when it is
// placed, each inside the one before, and removed again when it can't be, so
// a failed output leaves none behind. Once the process is ending, no name is
// begun and no file placed.
#include "files/input.hpp"
#include "files/files.hpp"
#include "files/output_system.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

output_test_knobs output_test;

std::vector<std::string> output_components(const std::string& name)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t k = 0; k <= name.size(); ++k) {
        if (k < name.size() && !system_is_separator(name[k])) continue;
        if (k > start && name.compare(start, k - start, ".") != 0) parts.emplace_back(name, start, k - start);
        start = k + 1;
    }
    return parts;
}

// ---------------------------------------------------------------------------
// The cleanup table. A slot is claimed, its name written, then its folder
// published; the handler reads only published slots.

namespace {

constexpr int slot_count = 256;
constexpr std::size_t temporary_name_size = 32;

struct cleanup_slot {
    std::atomic<bool> claimed{false};
    std::atomic<int> dir_fd{-1};
    char name[temporary_name_size];
};

cleanup_slot cleanup_slots[slot_count];
std::atomic<int> names_in_making{0};
std::atomic<bool> stopping{false};
std::mutex placing;

}  // namespace

int cleanup_claim(int dir_fd, const std::string& name)
{
    names_in_making.fetch_add(1);
    if (stopping.load()) {
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

void cleanup_made()
{
    names_in_making.fetch_sub(1);
}

void cleanup_release(int& slot)
{
    if (slot < 0) return;
    cleanup_slots[slot].dir_fd.store(-1, std::memory_order_release);
    cleanup_slots[slot].claimed.store(false, std::memory_order_release);
    slot = -1;
}

void cleanup_stop()
{
    stopping.store(true);
}

bool cleanup_stopped()
{
    return stopping.load();
}

bool cleanup_names_in_making()
{
    return names_in_making.load() > 0;
}

void cleanup_remove_listed()
{
    for (cleanup_slot& s : cleanup_slots) {
        const int dir = s.dir_fd.load(std::memory_order_acquire);
        if (dir >= 0) system_remove_temporary(dir, s.name, -1);
    }
}

std::mutex& cleanup_placing()
{
    return placing;
}

// ---------------------------------------------------------------------------
// Names.

name_problem output_name_problem(const std::string& name)
{
    for (const char byte : name) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x20 || c == 0x7F) return name_problem::control_byte;
    }
    if (system_is_absolute(name)) return name_problem::absolute_path;
    const std::vector<std::string> parts = output_components(name);
    for (const std::string& part : parts) {
        if (part == "..") return name_problem::dot_dot;
    }
    for (const std::string& part : parts) {
        if (const name_problem p = system_component_problem(part); p != name_problem::none) return p;
    }
    return name_problem::none;
}

std::string output_name_key(const std::string& name, std::uint32_t* part, bool* dot)
{
    if (part) {
        *part = 0;
        std::uint32_t n = 1;
        for (std::size_t k = 0, start = 0; k <= name.size() && *part == 0; ++k) {
            if (k < name.size() && !system_is_separator(name[k])) continue;
            if (k == start || name.compare(start, k - start, ".") == 0) {
                *part = n;
                if (dot) *dot = k > start;
            }
            ++n;
            start = k + 1;
        }
    }
    std::string key;
    for (const std::string& c : output_components(name)) key += (key.empty() ? "" : "/") + c;
    return key;
}

bool output_error_is_final(int error)
{
#ifdef EDQUOT
    if (error == EDQUOT) return true;
#endif
    return error == ENOSPC || error == EROFS;
}

namespace {

// A stored name split at its last separator.
void split_name(const std::string& name, std::string& folder, std::string& base)
{
    std::size_t cut = name.size();
    while (cut > 0 && !system_is_separator(name[cut - 1])) --cut;
    folder = cut == 0 ? "" : name.substr(0, cut - 1);
    base = name.substr(cut);
}

// ".morvex-" and 16 random hex digits: no name anyone could plant in advance.
std::string unpredictable_name()
{
    if (output_test.next_temporary_name) return output_test.next_temporary_name();
    char buf[temporary_name_size];
    std::snprintf(buf, sizeof buf, ".morvex-%016llx", static_cast<unsigned long long>(system_random64()));
    return buf;
}

// ---------------------------------------------------------------------------
// Files.

// Gives the output a temporary name in its folder through `make`, which
// makes that name exclusively (EEXIST when it is taken); listed in the
// cleanup table from before it is made until the output is dropped.
template <class Make>
int make_temporary(output_file& f, const Make& make)
{
    for (int tries = 0; tries < 16; ++tries) {
        const std::string name = unpredictable_name();
        f.slot = cleanup_claim(f.dir_fd, name);
        if (f.slot < 0) return -1;
        const int rc = make(name);
        const int error = errno;
        cleanup_made();
        errno = error;
        if (rc == 0) {
            f.temporary = name;
            return 0;
        }
        cleanup_release(f.slot);
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

int create_named(output_file& f)
{
    return make_temporary(f, [&](const std::string& name) {
        f.fd.reset(system_create_named(f.dir_fd, name));
        return f.fd >= 0 ? 0 : -1;
    });
}

// The unnamed file's bytes copied into a named one, for where no unnamed
// file can be linked in after all (no /proc, no capability).
int copy_into_named(output_file& f)
{
    const unique_fd unnamed(f.fd.release());
    if (create_named(f) != 0) return -1;
    return system_copy_to_stream(unnamed, f.fd);
}

// The complete file put under its name in `to`.
int place(output_file& f, int to, bool replace)
{
    if (f.temporary.empty()) {
        // Unnamed: straight to its name when that is free, else (when
        // replacing) under a temporary name renamed over it.
        errno = EOPNOTSUPP;
        if (!output_test.unnamed_unlinkable && system_link_unnamed(f.fd, to, f.base) == 0) return 0;
        if (errno == EOPNOTSUPP) {
            if (copy_into_named(f) != 0) return -1;
        } else if (errno != EEXIST || !replace) {
            return -1;
        } else if (make_temporary(f, [&](const std::string& name) { return system_link_unnamed(f.fd, f.dir_fd, name); }) != 0) {
            return -1;
        }
    }
    if (system_place(f.fd, f.dir_fd, f.temporary, to, f.base, replace) != 0) return -1;
    f.temporary.clear();
    return 0;
}

void forget_temporary(output_file& f)
{
    if (!f.temporary.empty() && f.dir_fd >= 0) system_remove_temporary(f.dir_fd, f.temporary.c_str(), f.fd);
    f.temporary.clear();
}

// Folders made for an output, undone when it can't be placed after all.
struct made_folder {
    int parent;  // the one before (owned by the list), or where the first was made
    std::string name;
    unique_fd fd;
    bool made;   // false: found there
};

struct made_folders {
    std::vector<made_folder> list;  // outermost first
    void undo()
    {
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            if (it->made) system_unmake_folder(it->parent, it->name, it->fd);
            it->fd.reset();
        }
        list.clear();
    }
};

// Makes the missing folders, each inside the one before: the innermost
// folder's descriptor (owned by `folders`), or -1 with errno.
int make_missing(int top, const std::vector<std::string>& missing, made_folders& folders)
{
    int at = top;
    for (const std::string& part : missing) {
        bool made = false;
        unique_fd next(system_make_folder(at, part, made));
        const int error = errno;
        const int fd = next;
        if (made || fd >= 0) folders.list.push_back({at, part, std::move(next), made});
        if (fd < 0) {
            errno = error;
            return -1;
        }
        at = fd;
    }
    return at;
}

}  // namespace

int output_create(output_file& f)
{
    if (!output_test.named_files_only) {
        f.fd.reset(system_create_unnamed(f.dir_fd));
        if (f.fd >= 0) return 0;
        if (errno != EOPNOTSUPP) return -1;
    }
    return create_named(f);
}

void output_drop(output_file& f)
{
    forget_temporary(f);
    cleanup_release(f.slot);
    f.fd.reset();
    f.dir.reset();
    f.dir_fd = -1;
    f.missing.clear();
    f.stream_fd = -1;
}

output_file::output_file(output_file&& other) noexcept
    : fd(std::move(other.fd)), dir(std::move(other.dir)), dir_fd(std::exchange(other.dir_fd, -1)),
      base(std::move(other.base)), temporary(std::exchange(other.temporary, {})), slot(std::exchange(other.slot, -1)),
      missing(std::exchange(other.missing, {})), stream_fd(other.stream_fd)
{
}

output_file& output_file::operator=(output_file&& other) noexcept
{
    if (this != &other) {
        output_drop(*this);
        fd = std::move(other.fd);
        dir = std::move(other.dir);
        dir_fd = std::exchange(other.dir_fd, -1);
        base = std::move(other.base);
        temporary = std::exchange(other.temporary, {});
        slot = std::exchange(other.slot, -1);
        missing = std::exchange(other.missing, {});
        stream_fd = other.stream_fd;
    }
    return *this;
}

output_file::~output_file()
{
    output_drop(*this);
}

// ---------------------------------------------------------------------------
// Roots.

int output_open_root(const char* path, bool create, output_root& out)
{
    unique_fd fd(system_open_folder_path(path, create));
    if (fd < 0) return -1;
    if (!system_is_folder(fd)) {
        errno = ENOTDIR;
        return -1;
    }
    out.real_path = system_real_path(fd, path);
    out.fd = std::move(fd);
    out.create_folders = create;
    return 0;
}

int output_open_folder(const output_root& parent, const std::string& name, output_root& out)
{
    if (output_name_problem(name) != name_problem::none) {
        errno = EINVAL;
        return -1;
    }
    // The deepest folder of the name that exists; the missing ones made each
    // inside the one before, never through a link.
    std::vector<std::string> missing;
    unique_fd fd(system_open_deepest(parent, name, missing));
    if (fd < 0) return -1;
    if (!missing.empty()) {
        made_folders folders;
        if (make_missing(fd, missing, folders) < 0) return -1;
        fd = std::move(folders.list.back().fd);
    }
    out.real_path = system_real_path(fd, nullptr);
    out.fd = std::move(fd);
    out.create_folders = parent.create_folders;
    return 0;
}

void output_open_stream_root(int stream_fd, output_root& out)
{
    out.stream_fd = stream_fd;
}

void output_close_root(output_root& root)
{
    root.fd.reset();
}

// ---------------------------------------------------------------------------
// Outputs beneath a root.

output_error output_begin(const output_root& root, const std::string& name, output_file& out, name_problem& why)
{
    why = name_problem::none;
    if (root.stream_fd >= 0) {
        // Nothing goes by name: the output waits in a spool for its turn.
        out.base = name;
        out.stream_fd = root.stream_fd;
        out.fd.reset(tex_temporary_file());
        return out.fd >= 0 ? output_error::none : output_error::failed;
    }
    why = output_name_problem(name);
    if (why != name_problem::none) return output_error::refused;
    std::string folder;
    split_name(name, folder, out.base);
    if (out.base.empty() || out.base == ".") {
        errno = EISDIR;
        return output_error::failed;
    }
    if (output_components(folder).empty()) {
        // Most names have no folder: the root's own descriptor serves.
        out.dir_fd = root.fd;
    } else {
        // With folders to be made, the file is written beside those that
        // exist; the others are made when it is placed.
        out.dir.reset(root.create_folders ? system_open_deepest(root, folder, out.missing)
                                          : system_open_beneath(root, folder));
        out.dir_fd = out.dir;
        if (out.dir_fd < 0) {
            if (errno != EXDEV) return output_error::failed;
            why = name_problem::link_outside;
            return output_error::refused;
        }
    }
    if (output_create(out) != 0) return output_error::failed;
    if (output_test.after_create) output_test.after_create(name);
    return output_error::none;
}

int output_commit(output_file& f, bool replace)
{
    if (f.fd >= 0 && f.stream_fd >= 0) {
        const int rc = system_copy_to_stream(f.fd, f.stream_fd);
        const int error = errno;
        output_drop(f);
        errno = error;
        return rc;
    }
    if (f.fd < 0 || f.dir_fd < 0) {
        errno = EBADF;
        return -1;
    }
    const std::lock_guard<std::mutex> hold(placing);
    made_folders folders;
    // Whatever fails, nothing of the output stays: not its file, not the
    // folders made for it.
    const auto fail = [&] {
        const int error = errno;
        forget_temporary(f);
        folders.undo();
        output_drop(f);
        errno = error;
        return -1;
    };
    if (cleanup_stopped()) {
        errno = EINTR;
        return fail();
    }
    int to = f.dir_fd;
    if (!f.missing.empty()) {
        to = make_missing(f.dir_fd, f.missing, folders);
        if (to < 0) return fail();
    }
    if (output_test.before_place) output_test.before_place(f.base);
    if (place(f, to, replace) != 0) return fail();
    output_drop(f);
    return 0;
}

bool output_exists(const output_root& root, const std::string& name)
{
    if (root.stream_fd >= 0 || output_name_problem(name) != name_problem::none) return false;
    std::string folder, base;
    split_name(name, folder, base);
    if (base.empty()) return false;
    const bool in_root = output_components(folder).empty();
    const unique_fd dir(in_root ? -1 : system_open_beneath(root, folder));
    const int at = in_root ? root.fd.get() : dir.get();
    return at >= 0 && system_name_taken(at, base);
}

void split_user_path(const std::string& path, std::string& folder, std::string& name)
{
    // Made apart and moved in: `path` may be one of the two.
    std::string f, n;
    system_split_path(path, f, n);
    folder = std::move(f);
    name = std::move(n);
}
