// Opening an archive on POSIX systems: a regular file as it is; a pipe, a
// FIFO or a socket read through into an unnamed temporary file, so that every
// reader can seek (how far: archive_file.cpp).
#include "files/archive_spool.hpp"
#include "files/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string tex_temporary_folder()
{
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

int tex_temporary_file()
{
    const std::string folder = tex_temporary_folder();
    const char* dir = folder.c_str();
    const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string pattern = std::string(dir) + "/morvex-archive.XXXXXX";
    const int named = mkostemp(pattern.data(), O_CLOEXEC);
    if (named >= 0) unlink(pattern.c_str());
    return named;
}

namespace {

// The stream's next bytes, for tex_spool_stream.
std::int64_t read_some(int in, std::span<std::uint8_t> into)
{
    for (;;) {
        const ssize_t got = read(in, into.data(), into.size());
        if (got >= 0 || errno != EINTR) return got;
    }
}

int spool(int in, tex_archive_file& out, std::uint64_t limit)
{
    return tex_spool_stream([in](std::span<std::uint8_t> into) { return read_some(in, into); }, out, limit);
}

}  // namespace

int tex_open_archive(const char* path, tex_archive_file& out, std::uint64_t limit)
{
    // What the path names is known before it is opened: opening a terminal or
    // a tape can do things of its own, so those are never opened.
    struct stat st {};
    if (stat(path, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A folder holds no archive; a character device (a terminal,
        // /dev/zero) could hold one only by never ending.
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return -1;
    }
    // A FIFO waits here for its writer, as any reader of one does.
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd < 0) return -1;
    // ... and what was opened is checked again, in case it changed since.
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        out.fd = std::move(fd);
        out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        return 0;
    }
    return spool(fd, out, limit);
}

int tex_open_stream(int fd, tex_archive_file& out, std::uint64_t limit)
{
    return spool(fd, out, limit);
}
