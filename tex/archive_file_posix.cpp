// The files of tex/ on POSIX systems. Opening an archive: a regular file as
// it is; a pipe, a FIFO or a socket read through into an unnamed temporary
// file, so that every reader can seek. Reading and writing at an offset.
#include "tex/tex.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int tex_temporary_file()
{
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string pattern = std::string(dir) + "/morvex-archive.XXXXXX";
    const int named = mkostemp(pattern.data(), O_CLOEXEC);
    if (named >= 0) unlink(pattern.c_str());
    return named;
}

namespace {

// Copies the stream into a temporary file, up to the most an archive can
// address; -1 on a read or write error.
int read_through(int in, tex_archive_file& out, std::uint64_t limit)
{
    const int tmp = tex_temporary_file();
    if (tmp < 0) return -1;
    out.fd = tmp;
    std::vector<char> chunk(1 << 20);
    while (out.size < limit) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), limit - out.size));
        const ssize_t got = read(in, chunk.data(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(tmp, chunk.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return -1;
            done += put;
        }
        out.size += static_cast<std::uint64_t>(got);
    }
    char more = 0;
    ssize_t got = 0;
    while ((got = read(in, &more, 1)) < 0 && errno == EINTR) {
    }
    out.cut_at_limit = got > 0;
    return 0;
}

}  // namespace

tex_archive_file::~tex_archive_file()
{
    if (fd >= 0) close(fd);
}

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
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    // ... and what was opened is checked again, in case it changed since.
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode)) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        out.fd = fd;
        out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        return 0;
    }
    out.read_through = true;
    const int rc = read_through(fd, out, limit);
    const int error = errno;
    close(fd);
    errno = error;
    return rc;
}

int tex_open_stream(int fd, tex_archive_file& out, std::uint64_t limit)
{
    out.read_through = true;
    return read_through(fd, out, limit);
}

std::size_t tex_pread(int fd, std::span<std::uint8_t> block, std::uint64_t offset)
{
    std::size_t got = 0;
    while (got < block.size() && offset + got <= static_cast<std::uint64_t>(INT64_MAX)) {
        const ssize_t n = pread(fd, block.data() + got, block.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.end(), std::uint8_t{0});
    return got;
}

int tex_pwrite(int fd, std::span<const std::uint8_t> block, std::uint64_t offset)
{
    for (std::size_t done = 0; done < block.size();) {
        const ssize_t n = pwrite(fd, block.data() + done, block.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}
