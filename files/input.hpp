// What reading image files asks of the system, and the packer's paths: one
// file per system, input_posix.cpp or input_windows.cpp, is built.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

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
