// Opening an archive on Windows, through the wide (UTF-16) API only: a
// regular file as it is; a pipe read through into a temporary file that is
// deleted when it is closed, so that every reader can seek (how far:
// archive_file.cpp); folders and character devices (the console, NUL, serial
// ports) refused without being opened.
#include "files/archive_spool.hpp"
#include "files/files.hpp"
#include "files/windows.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <io.h>


// ---------------------------------------------------------------------------
// Temporary files and archives.

namespace {

std::wstring temporary_folder()
{
    std::wstring dir(MAX_PATH + 1, L'\0');
    const DWORD n = GetTempPathW(static_cast<DWORD>(dir.size()), dir.data());
    dir.resize(n == 0 || n > dir.size() ? 0 : n);
    return dir;
}

}  // namespace

std::string tex_temporary_folder()
{
    std::wstring dir = temporary_folder();
    // Said without its last separator, as a folder is named.
    if (dir.size() > 3 && dir.back() == L'\\') dir.pop_back();
    return tex_narrow(dir);
}

int tex_temporary_file()
{
    const std::wstring dir = temporary_folder();
    if (dir.empty()) return tex_fail();
    for (int tries = 0; tries < 16; ++tries) {
        wchar_t name[40];
        std::swprintf(name, 40, L"morvex-archive-%016llx.tmp", static_cast<unsigned long long>(tex_random64()));
        // Made exclusively, shared with no one, and gone with its handle
        // (whenever and however the process ends).
        const HANDLE h = CreateFileW(tex_long_path(tex_narrow(dir + name)).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                     0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                     nullptr);
        if (h != INVALID_HANDLE_VALUE) return tex_descriptor_of(h, _O_RDWR);
        if (GetLastError() != ERROR_FILE_EXISTS) return tex_fail();
    }
    errno = EEXIST;
    return -1;
}

namespace {

// The pipe's next bytes, for tex_spool_stream; its writer gone is its end.
std::int64_t read_some(HANDLE in, std::span<std::uint8_t> into)
{
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
    if (ReadFile(in, into.data(), want, &got, nullptr)) return got;
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? 0 : tex_fail();
}

int spool(HANDLE in, tex_archive_file& out, std::uint64_t limit)
{
    return tex_spool_stream([in](std::span<std::uint8_t> into) { return read_some(in, into); }, out, limit);
}

// The last component of a path, / and \ both separators.
std::wstring last_component(const std::wstring& path)
{
    const std::size_t at = path.find_last_of(L"/\\:");
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

}  // namespace

int tex_open_archive(const char* path, tex_archive_file& out, std::uint64_t limit)
{
    // What the path names is known before it is opened: a console, NUL or a
    // serial port could hold an archive only by never ending, and opening
    // them can do things of their own.
    if (tex_is_device_name(last_component(tex_wide(path)))) {
        errno = ENODEV;
        return -1;
    }
    const std::wstring wide = tex_long_path(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return -1;
    }
    // A named pipe's server may not be there yet: waited for, as any
    // reader of a FIFO waits for its writer.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (;;) {
        h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) break;
        WaitNamedPipeW(wide.c_str(), NMPWAIT_WAIT_FOREVER);
    }
    if (h == INVALID_HANDLE_VALUE) return tex_fail();
    // ... and what was opened is checked again, in case it changed since.
    const DWORD type = GetFileType(h);
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_CHAR ||
        (type == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(h);
        errno = type == FILE_TYPE_CHAR ? ENODEV : EISDIR;
        return -1;
    }
    LARGE_INTEGER size{};
    if (type == FILE_TYPE_DISK && GetFileSizeEx(h, &size)) {
        out.fd.reset(tex_descriptor_of(h, _O_RDONLY));
        if (out.fd < 0) return -1;
        out.size = size.QuadPart > 0 ? static_cast<std::uint64_t>(size.QuadPart) : 0;
        return 0;
    }
    const int rc = spool(h, out, limit);
    const int error = errno;
    CloseHandle(h);
    errno = error;
    return rc;
}

int tex_open_stream(int fd, tex_archive_file& out, std::uint64_t limit)
{
    out.read_through = true;
    const HANDLE h = tex_handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    return spool(h, out, limit);
}
