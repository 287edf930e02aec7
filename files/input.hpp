// What reading image files asks of the system, and the packer's paths: one
// file per system, input_posix.cpp or input_windows.cpp, is built.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "files/files.hpp"

enum class pack_file_kind : std::uint8_t { regular, folder, other };

// Opens `path` for reading without waiting for a FIFO's writer or taking a
// terminal: 0 with what it is (and a regular file's size), or -1 with errno.
int pack_open_file(const std::string& path, unique_fd& file, pack_file_kind& kind, std::uint64_t& size);

// Reads up to out.size() bytes at the file's position: how many, 0 at its
// end, or -1 with errno.
long long pack_read(int file, std::span<std::uint8_t> out);

// True when something is there under the path.
bool pack_path_exists(const std::string& path);

// A path named in UTF-8 (as every path in the program is), and back: as the
// system spells it, and with '/' between its components.
std::filesystem::path pack_path(const std::string& utf8);
std::string pack_utf8(const std::filesystem::path& path);
std::string pack_utf8_generic(const std::filesystem::path& path);

// What a file is at a moment: which file, how long, and when it was last
// written. Two equal states: nothing wrote the file between them (as far as
// its clock tells).
struct file_state {
    file_identity id;
    std::uint64_t size = 0;
    std::int64_t written = 0;  // the modification time, in the system's own unit
    bool operator==(const file_state&) const = default;
};
int file_state_of(const std::string& path, file_state& out);
int file_state_of_fd(int fd, file_state& out);

// An exclusive lock on the file `path` leads to, held by `out` until it is
// closed: every edit in place takes it for its whole run, so a second edit
// of the same archive waits for the first to be placed. Advisory (flock on
// POSIX; on Windows LockFileEx on a byte past any file's end, so that reading
// is never refused). When another holds it, `waiting` is called once before
// waiting. Should the path lead to another file once the lock is had (the
// edit before put its copy in place), the lock is taken on that one. 0, or -1
// with errno.
int file_lock_take(const std::string& path, unique_fd& out, void (*waiting)(void* context), void* context);

// Just before a copy takes the locked file's place: on POSIX systems the lock
// is kept until it is in place; on Windows, where a file held open and locked
// can't be replaced, it is let go (an edit that takes it then finds the
// archive changed when it comes to place its own copy, and writes nothing).
void file_lock_before_replacing(unique_fd& lock);

// ---------------------------------------------------------------------------
// Image files, and the paths users give.

// Reads a whole image file: a regular file (not a device, FIFO or folder,
// whatever a link leads to) of at most pack_max_file_size bytes. 0, or -1
// with the reason.
// (errno: the system's error, or 0 for a file refused for its kind or size)
int pack_read_image_file(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason);

// The same checks without reading: what can be known of a file before its
// turn comes. 0, or -1 with the reason.
int pack_check_image_file(const std::string& path, std::string& reason);

// True when `out_path` names the same file as `in_path` (same path, or an
// existing file that is the same one through a link).
bool same_file(const std::string& in_path, const std::string& out_path);

// A path the user gave as its folder ("." when it names none) and its last
// component: split at its last / (on Windows also \, or after a drive's X:).
void split_user_path(const std::string& path, std::string& folder, std::string& name);
