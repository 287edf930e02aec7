// Reading image files and the packer's paths (input.hpp), and which two
// paths are one file, on POSIX systems.
#include "files/input.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.hpp"

// Without O_NONBLOCK, opening a FIFO would wait for a writer before fstat
// could tell that it is one.
int pack_open_file(const std::string& path, unique_fd& file, pack_file_kind& kind, std::uint64_t& size)
{
    file.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file < 0) return -1;
    struct stat st {};
    if (fstat(file, &st) != 0) return -1;
    kind = S_ISREG(st.st_mode) ? pack_file_kind::regular : S_ISDIR(st.st_mode) ? pack_file_kind::folder : pack_file_kind::other;
    size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return 0;
}

long long pack_read(int file, std::span<std::uint8_t> out)
{
    for (;;) {
        const ssize_t n = read(file, out.data(), out.size());
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool pack_path_exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

namespace {

file_identity identity_of(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

file_state state_of(const struct stat& st)
{
    return {identity_of(st), st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0,
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

int lock(int fd, int how)
{
    int rc = 0;
    while ((rc = flock(fd, how)) != 0 && errno == EINTR) {
    }
    return rc;
}

}  // namespace

int file_state_of(const std::string& path, file_state& out)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    out = state_of(st);
    return 0;
}

int file_state_of_fd(int fd, file_state& out)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    out = state_of(st);
    return 0;
}

int file_lock_take(const std::string& path, unique_fd& out, void (*waiting)(void*), void* context)
{
    bool said = false;
    for (;;) {
        unique_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (fd < 0) return -1;
        if (lock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) return -1;
            if (!said && waiting) waiting(context);
            said = true;
            if (lock(fd, LOCK_EX) != 0) return -1;
        }
        // The lock is on the file opened; the name may lead elsewhere by now.
        file_identity held, named;
        if (file_identity_of_fd(fd, held) != 0) return -1;
        if (file_identity_of(path, named) != 0) return -1;
        if (held == named) {
            out = std::move(fd);
            return 0;
        }
    }
}

void file_lock_before_replacing(unique_fd&)
{
}

std::filesystem::path pack_path(const std::string& utf8)
{
    return utf8;
}

std::string pack_utf8(const std::filesystem::path& path)
{
    return path.string();
}

std::string pack_utf8_generic(const std::filesystem::path& path)
{
    return path.generic_string();
}
