// What api/ asks of Windows: a caller's descriptor (a C runtime one) taken on.
#include "api/internal.hpp"

#include <cerrno>

#include <io.h>
#include <sys/stat.h>

namespace api {

int adopt_descriptor(int fd, tex_archive_file& out)
{
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0) return -1;
    if ((st.st_mode & _S_IFMT) == _S_IFDIR || (st.st_mode & _S_IFMT) == _S_IFCHR) {
        errno = (st.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : ENODEV;
        return -1;
    }
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return tex_open_stream(fd, out);
    out.fd.reset(_dup(fd));
    if (out.fd < 0) return -1;
    out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return 0;
}

}  // namespace api
