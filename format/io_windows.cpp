// format/'s reading and writing at an offset, on Windows; and the system's
// errors as errno values, which every Windows half of the project shares
// (format/windows.hpp).
#include "format/format.hpp"
#include "format/windows.hpp"

#include <algorithm>
#include <cerrno>

#include <io.h>
#include <winternl.h>


int tex_errno_of_error(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DELETE_PENDING: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case 1295: return ENOSPC;  // the disk quota is exceeded
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return EPIPE;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED: return ENOSYS;
    default: return EIO;
    }
}

int tex_errno_of_status(std::int32_t status)
{
    return tex_errno_of_error(RtlNtStatusToDosError(static_cast<NTSTATUS>(status)));
}

int tex_fail()
{
    errno = tex_errno_of_error(GetLastError());
    return -1;
}

// ---------------------------------------------------------------------------
// Reading and writing at an offset. Windows moves the file's position with
// every read or write, even at an offset: it is put back, as POSIX leaves it.

namespace {

struct position_kept {
    HANDLE h;
    LARGE_INTEGER at{};
    bool known;
    explicit position_kept(HANDLE handle) : h(handle)
    {
        known = SetFilePointerEx(h, LARGE_INTEGER{}, &at, FILE_CURRENT) != 0;
    }
    ~position_kept()
    {
        if (known) SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
    }
    position_kept(const position_kept&) = delete;
    position_kept& operator=(const position_kept&) = delete;
};

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

}  // namespace

std::size_t tex_pread(int fd, std::span<std::uint8_t> block, std::uint64_t offset)
{
    const HANDLE h = tex_handle_of(fd);
    std::size_t got = 0;
    if (h != INVALID_HANDLE_VALUE) {
        const position_kept keep(h);
        while (got < block.size() && offset + got <= static_cast<std::uint64_t>(INT64_MAX)) {
            OVERLAPPED o = at_offset(offset + got);
            DWORD n = 0;
            const auto want = static_cast<DWORD>(std::min<std::size_t>(block.size() - got, 1u << 30));
            if (!ReadFile(h, block.data() + got, want, &n, &o) || n == 0) break;
            got += n;
        }
    }
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.end(), std::uint8_t{0});
    return got;
}

int tex_pwrite(int fd, std::span<const std::uint8_t> block, std::uint64_t offset)
{
    const HANDLE h = tex_handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    const position_kept keep(h);
    for (std::size_t done = 0; done < block.size();) {
        OVERLAPPED o = at_offset(offset + done);
        DWORD n = 0;
        const auto want = static_cast<DWORD>(std::min<std::size_t>(block.size() - done, 1u << 30));
        if (!WriteFile(h, block.data() + done, want, &n, &o)) return tex_fail();
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += n;
    }
    return 0;
}

int write_all(int fd, const void* bytes, std::size_t size)
{
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const int n = _write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}
