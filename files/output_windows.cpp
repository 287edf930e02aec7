// The output layer on Windows (see files.hpp for what it promises), through
// the wide API and the native calls that open, make and rename files relative
// to a folder's handle.
//
// A stored name becomes UTF-16 (tex_wide); `\` separates its components as
// `/` does, and the names Windows can't hold as files are refused before
// anything is opened: devices (CON, NUL, COM1, ... with any extension),
// streams (`:`), components ending in a dot or a space (which Windows would
// drop), the characters <>"|?* and control bytes. Letter case is ignored
// when names are looked up, as the file system ignores it: two entries whose
// names differ only in case are the same output, as a repeated name is on
// Linux.
//
// An output's folder is opened beneath the root one component at a time,
// each relative to the handle of the one before, and where each really is
// (its final path, links and junctions resolved) must lie inside the root:
// nothing leads out, and nothing afterwards goes by path again. The file is
// made exclusively under an unpredictable name in that folder and marked for
// deletion at once, so that however the process ends it goes with its
// handle; once complete it is unmarked and renamed to its name, relative to
// its folder's handle, replacing only where asked. Folders an output needs
// are made only when it is placed. Ctrl-C and closing the console wait for a
// placement under way, then end the process: what is in flight goes with it.
#include "files/files.hpp"
#include "files/output_system.hpp"
#include "files/windows.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <winternl.h>

namespace {

// The native statuses met here (ntstatus.h can't be included beside windows.h).
constexpr auto status_invalid_name = static_cast<NTSTATUS>(0xC0000033);
constexpr auto status_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr auto status_collision = static_cast<NTSTATUS>(0xC0000035);
constexpr auto status_path_not_found = static_cast<NTSTATUS>(0xC000003A);
constexpr auto status_access_denied = static_cast<NTSTATUS>(0xC0000022);
constexpr auto status_sharing_violation = static_cast<NTSTATUS>(0xC0000043);
constexpr auto status_delete_pending = static_cast<NTSTATUS>(0xC0000056);
constexpr auto status_not_a_directory = static_cast<NTSTATUS>(0xC0000103);
constexpr DWORD status_control_c_exit = 0xC000013A;
constexpr int rename_information_class = 10;  // FileRenameInformation

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

// Opens or makes `name` in the folder `dir`, never by path from anywhere else.
NTSTATUS open_relative(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, HANDLE& out)
{
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

// Renames the open file to `name` in the folder `dir`.
NTSTATUS rename_relative(HANDLE file, HANDLE dir, const std::wstring& name, bool replace)
{
    // FILE_RENAME_INFORMATION: a flag, the folder, then the name's length
    // and characters.
    struct rename_head {
        BOOLEAN replace;
        HANDLE root;
        ULONG length;
    };
    const std::size_t name_at = offsetof(rename_head, length) + sizeof(ULONG);
    std::vector<std::byte> buffer(name_at + (name.size() + 1) * sizeof(wchar_t) + sizeof(void*));
    rename_head head{static_cast<BOOLEAN>(replace), dir, static_cast<ULONG>(name.size() * sizeof(wchar_t))};
    std::memcpy(buffer.data(), &head, sizeof head);
    std::memcpy(buffer.data() + name_at, name.c_str(), name.size() * sizeof(wchar_t));
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()),
                                static_cast<FILE_INFORMATION_CLASS>(rename_information_class));
}

// Marks an open file (or folder) to be deleted when its last handle closes,
// or takes the mark back.
bool mark_for_deletion(HANDLE h, bool remove)
{
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Where an open file or folder really is, links and junctions resolved: its
// name as the system's object manager holds it (\Device\HarddiskVolume2\...,
// or \??\C:\... under Wine), the same for every handle on one volume.
std::wstring final_path(HANDLE h)
{
    constexpr auto object_name_information = static_cast<OBJECT_INFORMATION_CLASS>(1);
    std::vector<std::byte> buffer(4096);
    for (int tries = 0; tries < 4; ++tries) {
        ULONG need = 0;
        const NTSTATUS s = NtQueryObject(h, object_name_information, buffer.data(), static_cast<ULONG>(buffer.size()), &need);
        if (succeeded(s)) {
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

bool same_text(const wchar_t* a, const wchar_t* b, std::size_t n)
{
    return n == 0 || CompareStringOrdinal(a, static_cast<int>(n), b, static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

// True when `path` is `folder` or lies inside it, letter case ignored.
bool lies_inside(const std::wstring& folder, const std::wstring& path)
{
    if (folder.empty() || path.size() < folder.size() || !same_text(folder.c_str(), path.c_str(), folder.size())) {
        return false;
    }
    return path.size() == folder.size() || folder.back() == L'\\' || path[folder.size()] == L'\\';
}

// A name's components, `/` and `\` both separators, "." left out.
std::vector<std::string> components_of(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) end = path.size();
        if (end > start && path.compare(start, end - start, ".") != 0) parts.emplace_back(path, start, end - start);
        start = end + 1;
    }
    return parts;
}

// ---------------------------------------------------------------------------
// Ctrl-C and the console's closing.

std::mutex placing;               // held while an output is put in place
std::atomic<bool> dying{false};   // set once the process is ending
// Files being made and not yet marked for deletion: the process ends only
// once none is, so that none outlives it. No file is begun once it is ending.
std::atomic<int> files_in_making{0};

// How long the handler waits for files in the making, in tries of 1 ms: a
// thread stopped in the middle of one must not keep the process alive.
constexpr int making_wait = 5000;

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        dying.store(true);
        for (int k = 0; k < making_wait && files_in_making.load() > 0; ++k) Sleep(1);
        // A placement under way completes (with its folders) or is undone;
        // none starts after it. Never released: the process ends here, and
        // every file in flight, marked for deletion, goes with its handle.
        placing.lock();
        TerminateProcess(GetCurrentProcess(), status_control_c_exit);
        return TRUE;
    default: return FALSE;
    }
}

void install_console_handler()
{
    static std::once_flag installed;
    std::call_once(installed, [] { SetConsoleCtrlHandler(on_console_event, TRUE); });
}

// ---------------------------------------------------------------------------
// Folders and files.

// ".morvex-" and 16 random hex digits: no name anyone could plant in advance.
std::string unpredictable_name()
{
    if (output_test.next_temporary_name) return output_test.next_temporary_name();
    char buf[32];
    std::snprintf(buf, sizeof buf, ".morvex-%016llx", static_cast<unsigned long long>(tex_random64()));
    return buf;
}

HANDLE duplicate(HANDLE h)
{
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        tex_fail();
        return nullptr;
    }
    return copy;
}

// Opens `folder` beneath the root, each component relative to the one
// before and checked to lie inside the root where it really is: a handle the
// caller owns, or null with errno (EXDEV where a component leads outside).
// With `missing`, a component that isn't there stops the walk: the handle is
// the deepest folder that is, and `missing` holds the names still to make.
HANDLE open_beneath(const output_root& root, const std::string& folder, std::vector<std::string>* missing)
{
    const std::wstring root_real = tex_wide(root.real_path);
    const std::vector<std::string> parts = components_of(folder);
    HANDLE at = tex_handle_of(root.fd);
    bool owned = false;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        HANDLE next = nullptr;
        const NTSTATUS s = open_relative(at, tex_wide(parts[k]), folder_access, share_all, FILE_OPEN,
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
        if (!lies_inside(root_real, final_path(at))) {
            CloseHandle(at);
            errno = EXDEV;
            return nullptr;
        }
    }
    return owned ? at : duplicate(at);
}

// A new file under an unpredictable name in f.dir_fd, made exclusively and
// marked for deletion.
// Makes and marks one file, counted among those in the making meanwhile: 0,
// or -1 with errno (EEXIST when the name is taken, EINTR when the process is
// ending).
int create_marked(HANDLE dir, const std::string& name, HANDLE& h)
{
    files_in_making.fetch_add(1);
    int rc = -1;
    if (dying.load()) {
        errno = EINTR;
    } else {
        const std::wstring wide = tex_wide(name);
        const NTSTATUS s = open_relative(dir, wide, GENERIC_READ | GENERIC_WRITE | DELETE,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, h);
        if (!succeeded(s)) {
            fail_with(s);
        } else if (!mark_for_deletion(h, true)) {
            // Not markable: removed at once, through a handle that deletes
            // it when closed.
            const int error = tex_errno_of_error(GetLastError());
            CloseHandle(h);
            HANDLE again = nullptr;
            if (succeeded(open_relative(dir, wide, DELETE, share_all, FILE_OPEN,
                                        FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE, again))) {
                CloseHandle(again);
            }
            h = nullptr;
            errno = error;
        } else {
            rc = 0;
        }
    }
    files_in_making.fetch_sub(1);
    return rc;
}

int create_output(output_file& f)
{
    const HANDLE dir = tex_handle_of(f.dir_fd);
    for (int tries = 0; tries < 16; ++tries) {
        const std::string name = unpredictable_name();
        HANDLE h = nullptr;
        if (create_marked(dir, name, h) != 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        f.fd = tex_descriptor_of(h, _O_RDWR);
        if (f.fd < 0) return -1;
        f.temporary = name;
        return 0;
    }
    errno = EEXIST;
    return -1;
}

void drop(output_file& f)
{
    // A file still marked goes with its handle.
    if (f.fd >= 0) _close(f.fd);
    if (f.dir_fd >= 0 && f.owns_dir) _close(f.dir_fd);
    f.fd = -1;
    f.dir_fd = -1;
    f.owns_dir = true;
    f.temporary.clear();
    f.missing.clear();
    f.stream_fd = -1;
}

// Folders made for an output, undone when it can't be placed after all.
struct made_folders {
    std::vector<std::pair<HANDLE, bool>> opened;  // each folder, outermost first; true: made here
    ~made_folders()
    {
        for (const auto& [h, made] : opened) CloseHandle(h);
    }
    void undo()
    {
        for (auto it = opened.rbegin(); it != opened.rend(); ++it) {
            if (it->second) mark_for_deletion(it->first, true);
            CloseHandle(it->first);
        }
        opened.clear();
    }
};

// Makes the missing folders, each inside the one before; the innermost (owned
// by `folders`), or null with errno. A folder found there instead (made by
// someone else meanwhile) must be where its parent and name say: a link or
// a junction is not.
HANDLE make_missing(HANDLE top, const std::vector<std::string>& missing, made_folders& folders)
{
    HANDLE at = top;
    for (const std::string& part : missing) {
        const std::wstring name = tex_wide(part);
        HANDLE next = nullptr;
        NTSTATUS s = open_relative(at, name, folder_access | DELETE, share_all, FILE_CREATE, FILE_DIRECTORY_FILE, next);
        const bool made = succeeded(s);
        if (s == status_collision) {
            s = open_relative(at, name, folder_access, share_all, FILE_OPEN,
                              FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, next);
            if (succeeded(s)) {
                FILE_ATTRIBUTE_TAG_INFO tag{};
                const std::wstring expected = final_path(at) + L"\\" + name;
                const std::wstring real = final_path(next);
                if (!GetFileInformationByHandleEx(next, FileAttributeTagInfo, &tag, sizeof tag) ||
                    (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || real.size() != expected.size() ||
                    !same_text(real.c_str(), expected.c_str(), real.size())) {
                    CloseHandle(next);
                    errno = ELOOP;
                    return nullptr;
                }
            }
        }
        if (!succeeded(s)) {
            fail_with(s);
            return nullptr;
        }
        folders.opened.emplace_back(next, made);
        at = next;
    }
    return at;
}

bool is_image_name(const std::string& name)
{
    return image_format_for(name) != image_format::none;
}

// True for a file that holds nothing, or an archive of ours.
bool replaceable_file(HANDLE dir, const std::wstring& base, output_kind kind)
{
    HANDLE h = nullptr;
    if (!succeeded(open_relative(dir, base, GENERIC_READ, share_all, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, h))) {
        return false;
    }
    const int fd = tex_descriptor_of(h, _O_RDONLY);
    if (fd < 0) return false;
    LARGE_INTEGER size{};
    std::array<std::uint8_t, 64> leading{};
    bool ok = GetFileSizeEx(tex_handle_of(fd), &size) != 0;
    if (ok && size.QuadPart != 0) {
        const std::size_t got = tex_pread(fd, leading, 0);
        ok = got > 0 && output_holds_kind(std::span(leading.data(), got), kind);
    }
    _close(fd);
    return ok;
}

// The volume and the file's number: what makes a file one file.
bool identity_of(HANDLE h, file_identity& out)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    out.device = info.dwVolumeSerialNumber;
    out.number = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

bool is_input(const output_policy& policy, HANDLE h)
{
    file_identity id;
    return identity_of(h, id) && std::find(policy.inputs.begin(), policy.inputs.end(), id) != policy.inputs.end();
}

// True when the descriptor is a console.
bool is_console(int fd)
{
    DWORD mode = 0;
    return GetConsoleMode(tex_handle_of(fd), &mode) != 0;
}

// A stream the output is copied into once complete, from a spool file that
// is deleted when closed.
int begin_stream(int stream, bool owned, path_output& out)
{
    out.stream_fd = stream;
    out.owns_stream = owned;
    out.file.fd = tex_temporary_file();
    return out.file.fd >= 0 ? 0 : -1;
}

// Copies a file's bytes from its start into another descriptor. -1 with errno.
// A read gives no error of its own: one that stops short of the file's size
// fails the copy, never passes for its end.
int copy_from_start(int from, int to)
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

// The path the user gave split into its folder and its last component.
void split_path(const std::string& path, std::string& folder, std::string& base)
{
    std::size_t cut = path.find_last_of("/\\");
    // "C:name" is a name in the drive's current folder.
    if (cut == std::string::npos && path.size() >= 2 && path[1] == ':') {
        folder = path.substr(0, 2);
        folder += '.';
        base = path.substr(2);
        return;
    }
    if (cut == std::string::npos) {
        folder = ".";
        base = path;
        return;
    }
    // The folder keeps its separator where it is a root ("\", "C:\").
    const bool root = cut == 0 || (cut == 2 && path[1] == ':');
    folder = path.substr(0, root ? cut + 1 : cut);
    base = path.substr(cut + 1);
}

}  // namespace

void output_drop(output_file& f)
{
    drop(f);
}

path_output::~path_output()
{
    if (owns_stream && stream_fd >= 0) _close(stream_fd);
}

namespace {

// Opens a folder the user named, making it and every missing folder of its
// path, each inside the one before by handle: a folder made here is never
// swapped for a link on the way.
HANDLE open_or_make_folder(const std::wstring& full)
{
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
    if (at == INVALID_HANDLE_VALUE) {
        tex_fail();
        return nullptr;
    }
    while (start < full.size()) {
        std::size_t end = full.find(L'\\', start);
        if (end == std::wstring::npos) end = full.size();
        const std::wstring part = full.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == L".") continue;
        HANDLE next = nullptr;
        NTSTATUS s = open_relative(at, part, folder_access, share_all, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, next);
        if (s == status_not_found) {
            s = open_relative(at, part, folder_access, share_all, FILE_CREATE, FILE_DIRECTORY_FILE, next);
            if (s == status_collision) {
                s = open_relative(at, part, folder_access, share_all, FILE_OPEN,
                                  FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, next);
            }
        }
        CloseHandle(at);
        if (!succeeded(s)) {
            fail_with(s);
            return nullptr;
        }
        at = next;
    }
    return at;
}

}  // namespace

int output_open_root(const char* path, bool create, output_root& out)
{
    const std::wstring wide = tex_long_path(path);
    HANDLE h = nullptr;
    if (create) {
        h = open_or_make_folder(wide);
        if (!h) return -1;
    } else {
        h = CreateFileW(wide.c_str(), folder_access | SYNCHRONIZE, share_all, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return tex_fail();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        errno = ENOTDIR;
        return -1;
    }
    out.real_path = tex_narrow(final_path(h));
    out.fd = tex_descriptor_of(h, _O_RDONLY);
    if (out.fd < 0) return -1;
    out.create_folders = create;
    install_console_handler();
    return 0;
}

int output_open_folder(const output_root& parent, const std::string& name, output_root& out)
{
    if (output_name_problem(name) != name_problem::none) {
        errno = EINVAL;
        return -1;
    }
    // The deepest folder of the name that exists, beneath the parent; the
    // missing ones made each inside the one before, never through a link.
    std::vector<std::string> missing;
    const HANDLE top = open_beneath(parent, name, &missing);
    if (!top) return -1;
    made_folders folders;
    HANDLE inner = make_missing(top, missing, folders);
    if (inner) inner = duplicate(inner);
    CloseHandle(top);
    if (!inner) return -1;
    out.real_path = tex_narrow(final_path(inner));
    out.fd = tex_descriptor_of(inner, _O_RDONLY);
    if (out.fd < 0) return -1;
    out.create_folders = parent.create_folders;
    return 0;
}

void output_open_stream_root(int stream_fd, output_root& out)
{
    out.stream_fd = stream_fd;
    install_console_handler();
}

void output_close_root(output_root& root)
{
    if (root.fd >= 0) _close(root.fd);
    root.fd = -1;
}

name_problem output_name_problem(const std::string& name)
{
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return name_problem::control_byte;
    }
    const bool drive = name.size() >= 2 && name[1] == ':' &&
                       ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    if (!name.empty() && (name.front() == '/' || name.front() == '\\' || drive)) return name_problem::absolute_path;
    const std::vector<std::string> parts = components_of(name);
    for (const std::string& part : parts) {
        if (part == "..") return name_problem::dot_dot;
    }
    for (const std::string& part : parts) {
        if (part.find(':') != std::string::npos) return name_problem::stream_name;
        if (part.find_first_of("<>\"|?*") != std::string::npos) return name_problem::reserved_character;
        if (part.back() == '.' || part.back() == ' ') return name_problem::trailing_dot_or_space;
        if (tex_is_device_name(tex_wide(part))) return name_problem::device_name;
    }
    return name_problem::none;
}

bool output_error_is_final(int error)
{
    return error == ENOSPC || error == EROFS;
}

output_error output_begin(const output_root& root, const std::string& name, output_file& out, name_problem& why)
{
    why = name_problem::none;
    if (root.stream_fd >= 0) {
        // Nothing goes by name: the output waits in a spool for its turn.
        out.base = name;
        out.stream_fd = root.stream_fd;
        out.fd = tex_temporary_file();
        return out.fd >= 0 ? output_error::none : output_error::failed;
    }
    why = output_name_problem(name);
    if (why != name_problem::none) return output_error::refused;
    const std::size_t slash = name.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash);
    out.base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (out.base.empty() || out.base == ".") {
        errno = EISDIR;
        return output_error::failed;
    }
    if (components_of(folder).empty()) {
        // Most names have no folder: the root's own handle serves.
        out.dir_fd = root.fd;
        out.owns_dir = false;
    } else {
        const HANDLE dir = open_beneath(root, folder, root.create_folders ? &out.missing : nullptr);
        if (!dir) {
            if (errno != EXDEV) return output_error::failed;
            why = name_problem::link_outside;
            return output_error::refused;
        }
        out.dir_fd = tex_descriptor_of(dir, _O_RDONLY);
        if (out.dir_fd < 0) return output_error::failed;
    }
    if (create_output(out) != 0) return output_error::failed;
    if (output_test.after_create) output_test.after_create(name);
    return output_error::none;
}

int output_commit(output_file& f, bool replace)
{
    if (f.fd >= 0 && f.stream_fd >= 0) {
        const int rc = copy_from_start(f.fd, f.stream_fd);
        const int error = errno;
        drop(f);
        errno = error;
        return rc;
    }
    if (f.fd < 0 || f.dir_fd < 0) {
        errno = EBADF;
        return -1;
    }
    const std::lock_guard<std::mutex> hold(placing);
    made_folders folders;
    const HANDLE file = tex_handle_of(f.fd);
    // Whatever fails, nothing of the output stays: not the file, not the
    // folders made for it.
    const auto fail = [&] {
        const int error = errno;
        mark_for_deletion(file, true);
        folders.undo();
        drop(f);
        errno = error;
        return -1;
    };
    if (dying.load()) {
        errno = EINTR;
        return fail();
    }
    HANDLE dir = tex_handle_of(f.dir_fd);
    if (!f.missing.empty()) {
        dir = make_missing(dir, f.missing, folders);
        if (!dir) return fail();
    }
    if (output_test.before_place) output_test.before_place(f.base);
    const std::wstring base = tex_wide(f.base);
    if (!mark_for_deletion(file, false)) {
        tex_fail();
        return fail();
    }
    const NTSTATUS s = rename_relative(file, dir, base, replace);
    if (!succeeded(s)) {
        fail_with(s);
        // What refuses to be replaced may be a folder, as Linux would say.
        HANDLE there = nullptr;
        if (s == status_access_denied &&
            succeeded(open_relative(dir, base, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                    FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, there))) {
            CloseHandle(there);
            errno = EISDIR;
        }
        return fail();
    }
    f.temporary.clear();
    drop(f);
    return 0;
}

bool output_exists(const output_root& root, const std::string& name)
{
    if (root.stream_fd >= 0 || output_name_problem(name) != name_problem::none) return false;
    const std::size_t slash = name.find_last_of("/\\");
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.empty()) return false;
    const HANDLE dir = open_beneath(root, slash == std::string::npos ? "" : name.substr(0, slash), nullptr);
    if (!dir) return false;
    HANDLE h = nullptr;
    const NTSTATUS s = open_relative(dir, tex_wide(base), FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                     FILE_OPEN_REPARSE_POINT, h);
    if (succeeded(s)) CloseHandle(h);
    CloseHandle(dir);
    return succeeded(s) || s == status_sharing_violation || s == status_access_denied || s == status_delete_pending;
}

int file_identity_of(const std::string& path, file_identity& out)
{
    const HANDLE h = CreateFileW(tex_long_path(path).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return tex_fail();
    const bool ok = identity_of(h, out);
    CloseHandle(h);
    if (!ok) return tex_fail();
    return 0;
}

int file_identity_of_fd(int fd, file_identity& out)
{
    if (!identity_of(tex_handle_of(fd), out)) return tex_fail();
    return 0;
}

int output_begin_path(const std::string& path, const output_policy& policy, path_output& out, path_refusal& why)
{
    why = path_refusal::none;
    const bool force = policy.force;
    install_console_handler();
    if (path == "-") {
        if (is_console(1)) {
            why = path_refusal::terminal;
            return -1;
        }
        if (GetFileType(tex_handle_of(1)) == FILE_TYPE_DISK && is_input(policy, tex_handle_of(1))) {
            why = path_refusal::input;
            return -1;
        }
        return begin_stream(1, false, out);
    }
    std::string folder;
    split_path(path, folder, out.file.base);
    if (out.file.base.empty() || out.file.base == "." || out.file.base == "..") {
        why = path_refusal::folder;
        return -1;
    }
    const std::wstring base = tex_wide(out.file.base);
    // A device (NUL, a serial port, the console) or a named pipe is written
    // through, never replaced.
    if (tex_is_device_name(base) || tex_wide(path).starts_with(L"\\\\.\\")) {
        const HANDLE h = CreateFileW(tex_wide(path).c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return tex_fail();
        const int stream = tex_descriptor_of(h, _O_WRONLY);
        if (stream < 0) return -1;
        if (is_console(stream)) {
            _close(stream);
            why = path_refusal::terminal;
            return -1;
        }
        return begin_stream(stream, true, out);
    }
    // The folder is the user's to name, links and all; what is under the
    // name in it is looked at without following anything.
    const HANDLE dir = CreateFileW(tex_long_path(folder).c_str(), folder_access | SYNCHRONIZE, share_all, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return tex_fail();
    out.file.dir_fd = tex_descriptor_of(dir, _O_RDONLY);
    if (out.file.dir_fd < 0) return -1;
    HANDLE there = nullptr;
    const NTSTATUS s = open_relative(dir, base, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                     FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, there);
    if (succeeded(s)) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        const bool known = GetFileInformationByHandleEx(there, FileAttributeTagInfo, &tag, sizeof tag) != 0;
        const bool own_input = known && is_input(policy, there);
        CloseHandle(there);
        if (!known) return tex_fail();
        const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        // An input is never written over, under its own name, another name
        // of it, or a link to it.
        HANDLE followed = nullptr;
        const bool leads_to_input =
            link && succeeded(open_relative(dir, base, FILE_READ_ATTRIBUTES, share_all, FILE_OPEN,
                                            FILE_OPEN_FOR_BACKUP_INTENT, followed)) &&
            is_input(policy, followed);
        if (followed) CloseHandle(followed);
        if (own_input || leads_to_input) {
            why = path_refusal::input;
            return -1;
        }
        if (!link && (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            why = path_refusal::folder;
            return -1;
        }
        out.replaces = true;
        if (!force && !link && !replaceable_file(dir, base, policy.kind)) {
            why = path_refusal::other_kind;
            return -1;
        }
    } else if (s != status_not_found) {
        return fail_with(s);
    }
    if (!force && is_image_name(out.file.base)) {
        why = path_refusal::image_name;
        return -1;
    }
    if (create_output(out.file) != 0) return -1;
    if (output_test.after_create) output_test.after_create(path);
    return 0;
}

int output_commit_path(path_output& out)
{
    if (out.stream_fd < 0) return output_commit(out.file, true);
    if (copy_from_start(out.file.fd, out.stream_fd) != 0) return -1;
    drop(out.file);
    if (out.owns_stream) {
        const int stream = out.stream_fd;
        out.stream_fd = -1;
        out.owns_stream = false;
        if (_close(stream) != 0) return -1;
    }
    return 0;
}
