// app/platform.hpp on Windows: the command line comes as UTF-16 and is made
// UTF-8; standard streams are switched to binary mode, so that "\n" is one
// byte in every report, listing and extracted file as on Linux.
#include "app/platform.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cctype>

#include "format/format.hpp"
#include "files/files.hpp"
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
    app_catch_interrupts();
}

namespace {

// The status Ctrl-C ends a console program with.
constexpr DWORD status_control_c_exit = 0xC000013A;

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        output_interrupted();
        TerminateProcess(GetCurrentProcess(), status_control_c_exit);
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

void app_catch_interrupts()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool app_is_terminal(int fd)
{
    DWORD mode = 0;
    return GetConsoleMode(tex_handle_of(fd), &mode) != 0;
}

bool app_console_is_own()
{
    // Typed at a prompt, the shell shares the console too; the console must
    // be standard input as well, for Enter to reach the program.
    DWORD processes[2] = {};
    return GetConsoleProcessList(processes, 2) == 1 && app_is_terminal(0);
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

app_path_kind app_path_kind_of(const std::string& path)
{
    const std::wstring wide = tex_wide(path);
    const std::size_t cut = wide.find_last_of(L"/\\:");
    if (tex_is_device_name(cut == std::wstring::npos ? wide : wide.substr(cut + 1)) || wide.starts_with(L"\\\\.\\")) {
        return app_path_kind::other;
    }
    const DWORD attributes = GetFileAttributesW(tex_long_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        // A name Windows can't hold ("a?b") names nothing either.
        const bool none = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
        return none ? app_path_kind::missing : app_path_kind::other;
    }
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? app_path_kind::folder : app_path_kind::regular;
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
