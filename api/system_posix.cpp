// What api/ asks of POSIX systems: a caller's descriptor taken on.
#include "api/internal.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace api {

int adopt_descriptor(int fd, tex_archive_file& out)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) return tex_open_stream(fd, out);
    // A duplicate shares the caller's position, which positional reads never move.
    out.fd.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (out.fd < 0) return -1;
    out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return 0;
}

}  // namespace api
