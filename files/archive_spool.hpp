// What the two system halves of opening an archive (archive_file_posix.cpp,
// archive_file_windows.cpp) share: how far a stream is read through, so that
// both stop at the same byte. Private to files/.
#pragma once

#include "files/files.hpp"

#include <cstdint>
#include <functional>
#include <span>

// Reads up to into.size() bytes of the stream: how many were read, 0 at its
// end, or -1 with errno.
using tex_stream_read = std::function<std::int64_t(std::span<std::uint8_t> into)>;

// Reads a stream through into a new temporary file (out.fd), no further than
// an archive's readers will look: the 4 leading bytes, and for a TEX version 3
// archive its header, its table and the furthest end of an entry the table
// names, never past `limit`. out.cut_at_limit tells whether the stream held
// more than `limit` bytes. 0, or -1 with errno.
int tex_spool_stream(const tex_stream_read& read_some, tex_archive_file& out, std::uint64_t limit);
