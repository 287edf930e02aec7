// What the packer asks of the system to read its images: one file per
// system, files_posix.cpp or files_windows.cpp, is built.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

// A file opened for reading, closed with it.
struct pack_file {
    int fd = -1;
    pack_file() = default;
    pack_file(const pack_file&) = delete;
    pack_file& operator=(const pack_file&) = delete;
    ~pack_file();
};

enum class pack_file_kind : std::uint8_t { regular, folder, other };

// Opens `path` for reading without waiting for a FIFO's writer or taking a
// terminal: 0 with what it is (and a regular file's size), or -1 with errno.
int pack_open_file(const std::string& path, pack_file& file, pack_file_kind& kind, std::uint64_t& size);

// Reads up to out.size() bytes at the file's position: how many, 0 at its
// end, or -1 with errno.
long long pack_read(const pack_file& file, std::span<std::uint8_t> out);

// True when something is there under the path.
bool pack_path_exists(const std::string& path);

// A path named in UTF-8 (as every path in the program is), and back: as the
// system spells it, and with '/' between its components.
std::filesystem::path pack_path(const std::string& utf8);
std::string pack_utf8(const std::filesystem::path& path);
std::string pack_utf8_generic(const std::filesystem::path& path);
