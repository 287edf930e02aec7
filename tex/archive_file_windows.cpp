// The files of tex/ on Windows, through the wide (UTF-16) API only. Opening
// an archive: a regular file as it is; a pipe read through into a temporary
// file that is deleted when it is closed, so that every reader can seek (how
// far: archive_file_shared.cpp);
// folders and character devices (the console, NUL, serial ports) refused
// without being opened. Reading and writing at an offset. And what the
// Windows halves of the other folders share (tex/windows.hpp).
#include "tex/archive_file_shared.hpp"
#include "tex/tex.hpp"
#include "tex/windows.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <winternl.h>

// ---------------------------------------------------------------------------
// Names, errors and descriptors.

std::wstring tex_wide(const std::string& text)
{
    if (text.empty()) return {};
    const auto size = static_cast<int>(std::min<std::size_t>(text.size(), 0x7FFFFFFF));
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    UINT page = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (n <= 0) {
        page = 1252;
        flags = 0;
        n = MultiByteToWideChar(page, flags, text.data(), size, nullptr, 0);
    }
    std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0) MultiByteToWideChar(page, flags, text.data(), size, wide.data(), n);
    return wide;
}

std::string tex_narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    const auto size = static_cast<int>(std::min<std::size_t>(text.size(), 0x7FFFFFFF));
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::wstring tex_long_path(const std::string& path)
{
    const std::wstring wide = tex_wide(path);
    if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) return wide;
    const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (need == 0) return wide;
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return wide;
    full.resize(got);
    // A device (NUL, CON) comes back as \\.\NUL: a device it stays.
    if (full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool tex_is_device_name(const std::wstring& name)
{
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$") {
        return true;
    }
    if (stem.size() != 4 || !(stem.starts_with(L"COM") || stem.starts_with(L"LPT"))) return false;
    const wchar_t digit = stem[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

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

int tex_descriptor_of(HANDLE handle, int flags)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

std::uint64_t tex_random64()
{
    std::uint64_t r = 0;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&r), sizeof r,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        // Never expected; the time and the process still make a name no one
        // guesses in the moment it is used (it is made exclusively anyway).
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        r = static_cast<std::uint64_t>(now.QuadPart) ^ (std::uint64_t{GetCurrentProcessId()} << 32);
    }
    return r;
}

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

tex_archive_file::~tex_archive_file()
{
    if (fd >= 0) _close(fd);
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
        out.fd = tex_descriptor_of(h, _O_RDONLY);
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
