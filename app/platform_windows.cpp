// app/platform.hpp on Windows: the command line comes as UTF-16 and is made
// UTF-8; standard streams are switched to binary mode, so that "\n" is one
// byte in every report, listing and extracted file as on Linux; wildcards are
// matched here, as the C library of POSIX systems matches them.
#include "app/platform.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cctype>

#include "format/format.hpp"
#include "files/windows.hpp"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace {

// The console's settings as the program found them, put back at its end.
UINT console_code_page = 0;
DWORD error_mode = 0;
bool error_mode_known = false;

void restore_console()
{
    if (console_code_page != 0) SetConsoleOutputCP(console_code_page);
    if (error_mode_known) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), error_mode);
}

// A bracket expression at p (just past '['): whether c is in it, and where
// the pattern goes on. False in `valid` when it is not closed: then '[' is
// an ordinary character.
unsigned char fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

unsigned char unfold(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

const char* match_bracket(const char* p, unsigned char c, bool ignore_case, bool& in, bool& valid)
{
    const bool negate = *p == '!' || *p == '^';
    if (negate) ++p;
    bool found = false;
    bool first = true;
    while (*p && (*p != ']' || first)) {
        first = false;
        if (p[0] == '[' && p[1] == ':') {
            const char* end = std::strstr(p + 2, ":]");
            if (end) {
                const std::string name(p + 2, end);
                const int ci = c;
                const bool member = (name == "alpha" && std::isalpha(ci)) || (name == "digit" && std::isdigit(ci)) ||
                                    (name == "alnum" && std::isalnum(ci)) || (name == "upper" && std::isupper(ci)) ||
                                    (name == "lower" && std::islower(ci)) || (name == "space" && std::isspace(ci)) ||
                                    (name == "punct" && std::ispunct(ci)) || (name == "xdigit" && std::isxdigit(ci)) ||
                                    (name == "print" && std::isprint(ci)) || (name == "graph" && std::isgraph(ci)) ||
                                    (name == "cntrl" && std::iscntrl(ci)) || (name == "blank" && (c == ' ' || c == '\t'));
                found = found || member;
                p = end + 2;
                continue;
            }
        }
        unsigned char low = static_cast<unsigned char>(*p);
        if (low == '\\' && p[1]) low = static_cast<unsigned char>(*++p);
        ++p;
        unsigned char high = low;
        if (p[0] == '-' && p[1] && p[1] != ']') {
            high = static_cast<unsigned char>(p[1]);
            p += 2;
            if (high == '\\' && *p) high = static_cast<unsigned char>(*p++);
        }
        if ((c >= low && c <= high) ||
            (ignore_case && ((fold(c) >= low && fold(c) <= high) || (unfold(c) >= low && unfold(c) <= high)))) {
            found = true;
        }
    }
    valid = *p == ']';
    in = found != negate;
    return valid ? p + 1 : p;
}

}  // namespace

void app_start(int& argc, char**& argv)
{
    static std::vector<std::string> storage;
    static std::vector<char*> pointers;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide) {
        storage.clear();
        for (int k = 0; k < count; ++k) storage.push_back(tex_narrow(wide[k]));
        LocalFree(wide);
        pointers.clear();
        for (std::string& s : storage) pointers.push_back(s.data());
        pointers.push_back(nullptr);
        argc = count;
        argv = pointers.data();
    }
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
    // On a console, names are shown as UTF-8 and the progress bar's escape
    // sequences are understood; both put back when the program ends.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode)) {
        error_mode = mode;
        error_mode_known = true;
        SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) || error_mode_known) {
        console_code_page = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
    }
    std::atexit(restore_console);
}

bool app_wildcard_match(const char* pattern, const char* name, bool ignore_case)
{
    const char* p = pattern;
    const char* s = name;
    const char* star = nullptr;  // the pattern just past the last '*'
    const char* resume = nullptr;  // where that '*' goes on matching the name
    while (*s) {
        bool advanced = false;
        if (*p == '*') {
            while (*p == '*') ++p;
            star = p;
            resume = s;
            continue;
        }
        if (*p == '?') {
            ++p;
            advanced = true;
        } else if (*p == '[') {
            bool in = false, valid = false;
            const char* after = match_bracket(p + 1, static_cast<unsigned char>(*s), ignore_case, in, valid);
            if (!valid) {
                advanced = *s == '[';
                if (advanced) ++p;
            } else if (in) {
                p = after;
                advanced = true;
            }
        } else {
            const char* literal = p;
            if (*literal == '\\' && literal[1]) ++literal;
            const auto a = static_cast<unsigned char>(*literal), b = static_cast<unsigned char>(*s);
            if (a && (a == b || (ignore_case && fold(a) == fold(b)))) {
                p = literal + 1;
                advanced = true;
            }
        }
        if (advanced) {
            ++s;
        } else if (star) {
            p = star;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0';
}

bool app_is_terminal(int fd)
{
    DWORD mode = 0;
    return GetConsoleMode(tex_handle_of(fd), &mode) != 0;
}

unsigned app_terminal_columns(int fd)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(tex_handle_of(fd), &info)) return 0;
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

long app_read_file_start(const std::string& path, std::span<std::uint8_t> out)
{
    const std::wstring wide = tex_wide(path);
    const std::size_t cut = wide.find_last_of(L"/\\:");
    if (tex_is_device_name(cut == std::wstring::npos ? wide : wide.substr(cut + 1)) || wide.starts_with(L"\\\\.\\")) {
        return -1;
    }
    const HANDLE h = CreateFileW(tex_long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    const int fd = tex_descriptor_of(h, _O_RDONLY);
    if (fd < 0) return -1;
    const long got = regular ? static_cast<long>(tex_pread(fd, out, 0)) : -1;
    _close(fd);
    return got;
}

void app_split_path(const std::string& path, std::string& folder, std::string& name)
{
    // Made apart and moved in: `path` may be one of the two.
    std::string f(1, '.'), n = path;
    const std::size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos && path.size() >= 2 && path[1] == ':') {
        // "C:name": a name in the drive's current folder.
        f = path.substr(0, 2);
        f += '.';
        n = path.substr(2);
    } else if (cut != std::string::npos) {
        // The folder keeps its separator where it is a root (\ or C:\).
        const bool root = cut == 0 || (cut == 2 && path[1] == ':');
        f = path.substr(0, root ? cut + 1 : cut);
        n = path.substr(cut + 1);
    }
    folder = std::move(f);
    name = std::move(n);
}

std::string app_name_key(const std::string& name)
{
    std::wstring wide = tex_wide(name);
    if (wide.empty()) return name;
    // The invariant locale's simple upper case, as NTFS's own table folds names.
    std::wstring upper(wide.size(), L'\0');
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(), static_cast<int>(wide.size()),
                                upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return n > 0 ? tex_narrow(upper.substr(0, static_cast<std::size_t>(n))) : tex_narrow(wide);
}
