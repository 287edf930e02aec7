// What the Windows halves of files/ and app/ share (files/windows.hpp): names
// between the program's UTF-8 and the system's UTF-16, descriptors around
// handles, unpredictable numbers.
#include "files/windows.hpp"

#include <cerrno>
#include <cstdio>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>


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
