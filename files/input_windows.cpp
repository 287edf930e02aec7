// Reading image files and the packer's paths (input.hpp), and which two
// paths are one file, on Windows: paths as UTF-16, long ones through \\?\;
// devices (CON, NUL, COM1, ...) are not image files and are never opened.
#include "files/input.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <io.h>

#include "files/files.hpp"
#include "files/windows.hpp"

int pack_open_file(const std::string& path, unique_fd& file, pack_file_kind& kind, std::uint64_t& size)
{
    const std::wstring wide = tex_wide(path);
    const std::size_t cut = wide.find_last_of(L"/\\:");
    if (tex_is_device_name(cut == std::wstring::npos ? wide : wide.substr(cut + 1)) || wide.starts_with(L"\\\\.\\")) {
        kind = pack_file_kind::other;
        size = 0;
        return 0;
    }
    const HANDLE h = CreateFileW(tex_long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return tex_fail();
    file.reset(tex_descriptor_of(h, _O_RDONLY));
    if (file < 0) return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER bytes{};
    size = 0;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)) {
        kind = pack_file_kind::other;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        kind = pack_file_kind::folder;
    } else {
        kind = pack_file_kind::regular;
        if (!GetFileSizeEx(h, &bytes)) return tex_fail();
        size = bytes.QuadPart > 0 ? static_cast<std::uint64_t>(bytes.QuadPart) : 0;
    }
    return 0;
}

long long pack_read(int file, std::span<std::uint8_t> out)
{
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(out.size(), 1u << 30));
    if (!ReadFile(tex_handle_of(file), out.data(), want, &got, nullptr)) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : tex_fail();
    }
    return got;
}

bool pack_path_exists(const std::string& path)
{
    return GetFileAttributesW(tex_long_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}


namespace {

bool state_of(HANDLE h, file_state& out)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    out.id.device = info.dwVolumeSerialNumber;
    out.id.number = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    out.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    out.written = static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                            info.ftLastWriteTime.dwLowDateTime);
    return true;
}

// The byte locked: past the end any archive can have, so that no read of
// the file's bytes through another handle is ever refused.
constexpr DWORD lock_offset_high = 0x7FFFFFFF, lock_offset_low = 0xFFFFFFF0;

bool lock(HANDLE h, DWORD flags)
{
    OVERLAPPED at{};
    at.Offset = lock_offset_low;
    at.OffsetHigh = lock_offset_high;
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | flags, 0, 1, 0, &at) != 0;
}

}  // namespace

int file_state_of(const std::string& path, file_state& out)
{
    const HANDLE h = CreateFileW(tex_long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return tex_fail();
    const bool ok = state_of(h, out);
    if (!ok) tex_fail();
    CloseHandle(h);
    return ok ? 0 : -1;
}

int file_state_of_fd(int fd, file_state& out)
{
    if (!state_of(tex_handle_of(fd), out)) return tex_fail();
    return 0;
}

int file_lock_take(const std::string& path, unique_fd& out, void (*waiting)(void*), void* context)
{
    bool said = false;
    for (;;) {
        const HANDLE h = CreateFileW(tex_long_path(path).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return tex_fail();
        const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDONLY);
        if (descriptor < 0) {
            CloseHandle(h);
            errno = EMFILE;
            return -1;
        }
        unique_fd fd(descriptor);
        if (!lock(h, LOCKFILE_FAIL_IMMEDIATELY)) {
            if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) return tex_fail();
            if (!said && waiting) waiting(context);
            said = true;
            if (!lock(h, 0)) return tex_fail();
        }
        // The lock is on the file opened; the name may lead elsewhere by now.
        file_identity held, named;
        if (file_identity_of_fd(fd, held) != 0 || file_identity_of(path, named) != 0) return -1;
        if (held == named) {
            out = std::move(fd);
            return 0;
        }
    }
}

void file_lock_before_replacing(unique_fd& lock)
{
    lock.reset();
}

std::filesystem::path pack_path(const std::string& utf8)
{
    return tex_wide(utf8);
}

std::string pack_utf8(const std::filesystem::path& path)
{
    return tex_narrow(path.wstring());
}

std::string pack_utf8_generic(const std::filesystem::path& path)
{
    return tex_narrow(path.generic_wstring());
}
