// The output layer's primitives on Windows (output_system.hpp says what each
// promises; output.cpp and named_output.cpp decide when each is used), through
// the wide API and the native calls relative to a folder's handle
// (files/windows.cpp). Names become UTF-16 (tex_wide); `\` separates their
// components as `/` does; letter case is ignored when names are looked up, as
// the file system ignores it (two entries whose names differ only in case are
// one output, as a repeated name is on Linux). A folder is opened beneath the
// root one component at a time, each relative to the one before, and where
// each really is (links and junctions resolved) must lie inside the root. No
// file is unnamed here: each is made exclusively under an unpredictable name
// and marked for deletion at once, so that however the process ends it goes
// with its handle; once complete it is unmarked and renamed to its name.
// Ctrl-C and closing the console wait for a placement under way, then end
// the process: what is in flight goes with it.
#include "files/files.hpp"
#include "files/output_system.hpp"
#include "files/windows.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <winternl.h>

namespace {

// The native statuses met here (ntstatus.h can't be included beside windows.h).
constexpr auto status_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr auto status_collision = static_cast<NTSTATUS>(0xC0000035);
constexpr auto status_path_not_found = static_cast<NTSTATUS>(0xC000003A);
constexpr auto status_access_denied = static_cast<NTSTATUS>(0xC0000022);
constexpr auto status_sharing_violation = static_cast<NTSTATUS>(0xC0000043);
constexpr auto status_delete_pending = static_cast<NTSTATUS>(0xC0000056);
constexpr auto status_not_a_directory = static_cast<NTSTATUS>(0xC0000103);

bool succeeded(NTSTATUS s)
{
    return s >= 0;
}

int fail_with(NTSTATUS s)
{
    errno = s == status_collision ? EEXIST : s == status_not_a_directory ? ENOTDIR : tex_errno_of_status(s);
    return -1;
}

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK folder_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// A handle as a descriptor of its own, or -1 with errno (the handle closed).
int descriptor(HANDLE h, int flags)
{
    return h ? tex_descriptor_of(h, flags) : -1;
}

// ---------------------------------------------------------------------------
// Ctrl-C and the console's closing.

// How long output_interrupted waits for files in the making, in tries of
// 1 ms: a thread stopped in the middle of one must not keep the process
// alive.
constexpr int making_wait = 5000;

}  // namespace

void output_interrupted()
{
    cleanup_stop();
    for (int k = 0; k < making_wait && cleanup_names_in_making(); ++k) Sleep(1);
    // A placement under way completes (with its folders) or is undone; none
    // starts after it. Never released: the process ends once this returns,
    // and every file in flight, marked for deletion, goes with its handle.
    cleanup_placing().lock();
}

// ---------------------------------------------------------------------------
// Names.

bool system_is_separator(char c)
{
    return c == '/' || c == '\\';
}

bool system_is_absolute(const std::string& name)
{
    const bool drive = name.size() >= 2 && name[1] == ':' &&
                       ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    return !name.empty() && (name.front() == '/' || name.front() == '\\' || drive);
}

// Devices (CON, NUL, COM1, ... with any extension), streams (`:`), a
// trailing dot or space (which Windows would drop), the characters <>"|?*.
name_problem system_component_problem(const std::string& part)
{
    if (part.find(':') != std::string::npos) return name_problem::stream_name;
    if (part.find_first_of("<>\"|?*") != std::string::npos) return name_problem::reserved_character;
    if (part.back() == '.' || part.back() == ' ') return name_problem::trailing_dot_or_space;
    if (tex_is_device_name(tex_wide(part))) return name_problem::device_name;
    return name_problem::none;
}

std::uint64_t system_random64()
{
    return tex_random64();
}

// ---------------------------------------------------------------------------
// Folders.

int system_open_folder_path(const std::string& path, bool make)
{
    const std::wstring full = tex_long_path(path);
    if (!make) {
        const HANDLE h = CreateFileW(full.c_str(), folder_access | SYNCHRONIZE, share_all, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        return h == INVALID_HANDLE_VALUE ? tex_fail() : descriptor(h, _O_RDONLY);
    }
    // The part that is no folder of ours to make: \\?\C:\ or \\?\UNC\server\share\.
    std::size_t start = 0;
    if (full.starts_with(L"\\\\?\\UNC\\")) {
        start = full.find(L'\\', 8);
        start = start == std::wstring::npos ? full.size() : full.find(L'\\', start + 1);
    } else if (full.starts_with(L"\\\\?\\")) {
        start = full.find(L'\\', 4);
    }
    start = start == std::wstring::npos ? full.size() : start + 1;
    HANDLE at = CreateFileW(full.substr(0, start).c_str(), folder_access | SYNCHRONIZE, share_all, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (at == INVALID_HANDLE_VALUE) return tex_fail();
    while (start < full.size()) {
        std::size_t end = full.find(L'\\', start);
        if (end == std::wstring::npos) end = full.size();
        const std::wstring part = full.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == L".") continue;
        HANDLE next = nullptr;
        NTSTATUS s = tex_open_relative(at, part, folder_access, share_all, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, next);
        if (s == status_not_found) {
            s = tex_open_relative(at, part, folder_access, share_all, FILE_CREATE, FILE_DIRECTORY_FILE, next);
            if (s == status_collision) {
                s = tex_open_relative(at, part, folder_access, share_all, FILE_OPEN,
                                  FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, next);
            }
        }
        CloseHandle(at);
        if (!succeeded(s)) return fail_with(s);
        at = next;
    }
    return descriptor(at, _O_RDONLY);
}

bool system_is_folder(int fd)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(tex_handle_of(fd), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string system_real_path(int fd, const char*)
{
    return tex_narrow(tex_final_path(tex_handle_of(fd)));
}

namespace {

// Opens `folder` beneath the root, each component relative to the one
// before and checked to lie inside the root where it really is: a handle the
// caller owns, or null with errno (EXDEV where a component leads outside).
// With `missing`, a component that isn't there stops the walk: the handle is
// the deepest folder that is, and `missing` holds the names still to make.
HANDLE open_beneath(const output_root& root, const std::string& folder, std::vector<std::string>* missing)
{
    const std::wstring root_real = tex_wide(root.real_path);
    const std::vector<std::string> parts = output_components(folder);
    HANDLE at = tex_handle_of(root.fd);
    bool owned = false;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        HANDLE next = nullptr;
        const NTSTATUS s = tex_open_relative(at, tex_wide(parts[k]), folder_access, share_all, FILE_OPEN,
                                         FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, next);
        if (!succeeded(s) && missing && (s == status_not_found || s == status_path_not_found)) {
            missing->assign(parts.begin() + static_cast<std::ptrdiff_t>(k), parts.end());
            break;
        }
        if (owned) CloseHandle(at);
        if (!succeeded(s)) {
            fail_with(s);
            return nullptr;
        }
        at = next;
        owned = true;
        if (!tex_lies_inside(root_real, tex_final_path(at))) {
            CloseHandle(at);
            errno = EXDEV;
            return nullptr;
        }
    }
    if (owned) return at;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), at, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        tex_fail();
        return nullptr;
    }
    return copy;
}

}  // namespace

int system_open_beneath(const output_root& root, const std::string& folder)
{
    return descriptor(open_beneath(root, folder, nullptr), _O_RDONLY);
}

int system_open_deepest(const output_root& root, const std::string& folder, std::vector<std::string>& missing)
{
    return descriptor(open_beneath(root, folder, &missing), _O_RDONLY);
}

int system_make_folder(int parent, const std::string& part, bool& made)
{
    const HANDLE at = tex_handle_of(parent);
    const std::wstring name = tex_wide(part);
    HANDLE next = nullptr;
    NTSTATUS s = tex_open_relative(at, name, folder_access | DELETE, share_all, FILE_CREATE, FILE_DIRECTORY_FILE, next);
    made = succeeded(s);
    if (s == status_collision) {
        // Made by someone else meanwhile: it must be where its parent and
        // name say, and a link or a junction is not.
        s = tex_open_relative(at, name, folder_access, share_all, FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, next);
        if (succeeded(s)) {
            FILE_ATTRIBUTE_TAG_INFO tag{};
            const std::wstring expected = tex_final_path(at) + L"\\" + name;
            const std::wstring real = tex_final_path(next);
            if (!GetFileInformationByHandleEx(next, FileAttributeTagInfo, &tag, sizeof tag) ||
                (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || real.size() != expected.size() ||
                !tex_same_text(real.c_str(), expected.c_str(), real.size())) {
                CloseHandle(next);
                errno = ELOOP;
                return -1;
            }
        }
    }
    if (!succeeded(s)) return fail_with(s);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(next), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        // Not to be held: not to be left behind either.
        if (made) tex_mark_for_deletion(next, true);
        CloseHandle(next);
        made = false;
        errno = EMFILE;
    }
    return fd;
}

void system_unmake_folder(int, const std::string&, int folder)
{
    if (folder >= 0) tex_mark_for_deletion(tex_handle_of(folder), true);
}

// ---------------------------------------------------------------------------
// Files.

int system_create_unnamed(int)
{
    errno = EOPNOTSUPP;
    return -1;
}

int system_create_named(int dir, const std::string& name)
{
    const std::wstring wide = tex_wide(name);
    HANDLE h = nullptr;
    const NTSTATUS s = tex_open_relative(tex_handle_of(dir), wide, GENERIC_READ | GENERIC_WRITE | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, h);
    if (!succeeded(s)) return fail_with(s);
    if (!tex_mark_for_deletion(h, true)) {
        // Not markable: removed at once, through a handle that deletes it
        // when closed.
        const int error = tex_errno_of_error(GetLastError());
        CloseHandle(h);
        HANDLE again = nullptr;
        if (succeeded(tex_open_relative(tex_handle_of(dir), wide, DELETE, share_all, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, again))) {
            CloseHandle(again);
        }
        errno = error;
        return -1;
    }
    return tex_descriptor_of(h, _O_RDWR);
}

int system_link_unnamed(int, int, const std::string&)
{
    errno = EOPNOTSUPP;
    return -1;
}

int system_place(int fd, int, const std::string&, int to, const std::string& name, bool replace)
{
    const HANDLE file = tex_handle_of(fd);
    const HANDLE dir = tex_handle_of(to);
    const std::wstring base = tex_wide(name);
    if (!tex_mark_for_deletion(file, false)) return tex_fail();
    const NTSTATUS s = tex_rename_relative(file, dir, base, replace);
    if (succeeded(s)) return 0;
    fail_with(s);
    // What refuses to be replaced may be a folder, as Linux would say.
    HANDLE there = nullptr;
    if (s == status_access_denied && succeeded(tex_open_relative(dir, base, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                                             FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, there))) {
        CloseHandle(there);
        errno = EISDIR;
    }
    return -1;
}

// A temporary file is marked for deletion from the moment it is made to the
// moment it is placed: marked again, it goes with its handle.
void system_remove_temporary(int, const char*, int fd)
{
    if (fd >= 0) tex_mark_for_deletion(tex_handle_of(fd), true);
}

bool system_name_taken(int dir, const std::string& name)
{
    HANDLE h = nullptr;
    const NTSTATUS s = tex_open_relative(tex_handle_of(dir), tex_wide(name), FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                     FILE_OPEN_REPARSE_POINT, h);
    if (succeeded(s)) CloseHandle(h);
    return succeeded(s) || s == status_sharing_violation || s == status_access_denied || s == status_delete_pending;
}

// A read gives no error of its own: one that stops short of the file's size
// fails the copy, never passes for its end.
int system_copy_to_stream(int from, int to)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(tex_handle_of(from), &size)) return tex_fail();
    const auto total = static_cast<std::uint64_t>(size.QuadPart);
    std::vector<std::uint8_t> chunk(1 << 20);
    for (std::uint64_t at = 0; at < total;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), total - at));
        if (tex_pread(from, std::span(chunk.data(), want), at) != want) {
            errno = EIO;
            return -1;
        }
        if (write_all(to, chunk.data(), want) != 0) return -1;
        at += want;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// What is under a name. Windows' devices and pipes live outside every folder
// (system_open_device): what a folder holds is a file, a folder or a link.

int system_look_under(int dir_fd, const std::string& name, bool leading, system_look& out)
{
    out = system_look{};
    const HANDLE dir = tex_handle_of(dir_fd);
    const std::wstring base = tex_wide(name);
    HANDLE there = nullptr;
    const NTSTATUS s = tex_open_relative(dir, base, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                     FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, there);
    if (s == status_not_found) return 0;
    if (!succeeded(s)) return fail_with(s);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool known = GetFileInformationByHandleEx(there, FileAttributeTagInfo, &tag, sizeof tag) != 0;
    const int error = known ? 0 : tex_errno_of_error(GetLastError());
    out.identity_known = known && tex_identity_of(there, out.identity);
    CloseHandle(there);
    if (!known) {
        errno = error;
        return -1;
    }
    out.kind = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? system_kind::link
               : (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? system_kind::folder
                                                                  : system_kind::regular;
    HANDLE followed = nullptr;
    if (out.kind == system_kind::link &&
        succeeded(tex_open_relative(dir, base, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, followed))) {
        out.target_known = tex_identity_of(followed, out.target);
        out.target_kind = system_kind::regular;
        CloseHandle(followed);
    }
    HANDLE h = nullptr;
    if (leading && out.kind == system_kind::regular &&
        succeeded(tex_open_relative(dir, base, GENERIC_READ, share_all, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, h))) {
        const unique_fd f(tex_descriptor_of(h, _O_RDONLY));
        LARGE_INTEGER size{};
        if (f >= 0 && GetFileSizeEx(tex_handle_of(f), &size)) {
            out.leading_size = size.QuadPart != 0 ? tex_pread(f, out.leading, 0) : 0;
            out.leading_known = size.QuadPart == 0 || out.leading_size > 0;
        }
    }
    return 0;
}

int system_look_fd(int fd, system_look& out)
{
    out = system_look{};
    const HANDLE h = tex_handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    const DWORD type = GetFileType(h);
    out.kind = type == FILE_TYPE_DISK ? system_kind::regular : type == FILE_TYPE_UNKNOWN ? system_kind::other : system_kind::stream;
    out.identity_known = type == FILE_TYPE_DISK && tex_identity_of(h, out.identity);
    return 0;
}

int system_open_to_write(int, const std::string&, bool)
{
    errno = ENODEV;
    return -1;
}

void system_split_path(const std::string& path, std::string& folder, std::string& base)
{
    const std::size_t cut = path.find_last_of("/\\");
    std::size_t folder_end = cut;  // the folder keeps its separator where it is a root ("\", "C:\")
    if (cut != std::string::npos && (cut == 0 || (cut == 2 && path[1] == ':'))) ++folder_end;
    // "C:name" is a name in the drive's current folder.
    const bool drive_only = cut == std::string::npos && path.size() >= 2 && path[1] == ':';
    std::string in = cut != std::string::npos ? path.substr(0, folder_end) : drive_only ? path.substr(0, 2) + "." : ".";
    base = path.substr(cut != std::string::npos ? cut + 1 : drive_only ? 2 : 0);
    folder = std::move(in);
}

int system_open_device(const std::string& path, const std::string& base, unique_fd& out)
{
    if (!tex_is_device_name(tex_wide(base)) && !tex_wide(path).starts_with(L"\\\\.\\")) return 0;
    const HANDLE h = CreateFileW(tex_wide(path).c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return tex_fail();
    out.reset(tex_descriptor_of(h, _O_WRONLY));
    return out < 0 ? -1 : 1;
}

int system_copy_owner(int, int)
{
    return 0;
}

bool system_is_terminal(int fd)
{
    DWORD mode = 0;
    return GetConsoleMode(tex_handle_of(fd), &mode) != 0;
}
