// What the Windows halves of files/ and app/ share (files/windows.hpp): names
// between the program's UTF-8 and the system's UTF-16, descriptors around
// handles, unpredictable numbers, the native calls relative to a folder.
#include "files/windows.hpp"
#include "files/files.hpp"

#include <cerrno>
#include <cstdio>

#include <cstddef>
#include <cstring>
#include <vector>

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

bool tex_identity_of(HANDLE h, file_identity& out)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    out.device = info.dwVolumeSerialNumber;
    out.number = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

// ---------------------------------------------------------------------------
// Native calls relative to a folder.

LONG tex_open_relative(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, HANDLE& out)
{
    constexpr auto status_invalid_name = static_cast<NTSTATUS>(0xC0000033);
    out = nullptr;
    if (name.empty() || name.size() > 0x7FFF) return status_invalid_name;
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(name.c_str());
    u.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    u.MaximumLength = u.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE, dir, nullptr);
    IO_STATUS_BLOCK io{};
    return NtCreateFile(&out, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

LONG tex_rename_relative(HANDLE file, HANDLE dir, const std::wstring& name, bool replace)
{
    constexpr int rename_information_class = 10;  // FileRenameInformation
    // FILE_RENAME_INFORMATION: a flag, the folder, then the name's length
    // and characters.
    struct rename_head {
        BOOLEAN replace;
        HANDLE root;
        ULONG length;
    };
    const std::size_t name_at = offsetof(rename_head, length) + sizeof(ULONG);
    std::vector<std::byte> buffer(name_at + (name.size() + 1) * sizeof(wchar_t) + sizeof(void*));
    const rename_head head{static_cast<BOOLEAN>(replace), dir, static_cast<ULONG>(name.size() * sizeof(wchar_t))};
    std::memcpy(buffer.data(), &head, sizeof head);
    std::memcpy(buffer.data() + name_at, name.c_str(), name.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                                static_cast<FILE_INFORMATION_CLASS>(rename_information_class));
}

bool tex_mark_for_deletion(HANDLE h, bool remove)
{
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

std::wstring tex_final_path(HANDLE h)
{
    constexpr auto object_name_information = static_cast<OBJECT_INFORMATION_CLASS>(1);
    std::vector<std::byte> buffer(4096);
    for (int tries = 0; tries < 4; ++tries) {
        ULONG need = 0;
        const NTSTATUS s = NtQueryObject(h, object_name_information, buffer.data(), static_cast<ULONG>(buffer.size()), &need);
        if (s >= 0) {
            UNICODE_STRING name{};
            std::memcpy(&name, buffer.data(), sizeof name);
            if (!name.Buffer) return {};
            return std::wstring(name.Buffer, name.Length / sizeof(wchar_t));
        }
        if (need <= buffer.size()) return {};
        buffer.resize(need);
    }
    return {};
}

bool tex_same_text(const wchar_t* a, const wchar_t* b, std::size_t n)
{
    return n == 0 || CompareStringOrdinal(a, static_cast<int>(n), b, static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

bool tex_lies_inside(const std::wstring& folder, const std::wstring& path)
{
    if (folder.empty() || path.size() < folder.size() || !tex_same_text(folder.c_str(), path.c_str(), folder.size())) {
        return false;
    }
    return path.size() == folder.size() || folder.back() == L'\\' || path[folder.size()] == L'\\';
}
