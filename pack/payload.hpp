// The packer's payloads: type 4 as libdeflate's zlib streams of the ARGB4444
// pixels at the levels offered, type 6 as the pixels themselves. A payload is
// made whole on a worker and written on the calling thread in its turn.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/writer.hpp"
#include "images/images.hpp"

// Type-4 payloads are zlib streams made by libdeflate, at its levels 1 to 12
// (gzip's -1 to -9, and three slower ones that find still shorter streams).
inline constexpr int pack_level_fastest = 1;
inline constexpr int pack_level_best = 12;
// The default, measured on the benchmark's textures (bench/RESULTS.md,
// "Packer"): level 6 writes archives 1.5 % larger than zlib's level 9, which
// the packer used before, in a seventh of its CPU time. Each level below saves
// at most a quarter of the time for about 2 % more bytes; 7 saves 1.3 % for
// 60 % more time; 8 and 9 take longer than 7 and are no smaller; 10 to 12
// write archives 11 to 12 % smaller than zlib's 9, in 10 to 15 times the time
// of 6.
inline constexpr int pack_level_default = 6;
bool pack_level_valid(int level);

// An entry's payload, made whole and waiting for its turn to be written.
struct pack_payload {
    std::uint8_t type = 6;
    std::vector<std::uint8_t> deflated;  // type 4: the zlib stream
    std::vector<std::uint32_t> argb;     // type 6: the pixels, written as little-endian words
};

// Makes the payload of a well-formed entry of type 4 (a zlib stream at
// `level`) or 6 holding the image, taking the image's pixels (left empty):
// their memory holds the ARGB4444 pixels and their stream on the way. -1 with
// errno (EINVAL for a level out of range, ENOMEM).
int pack_make_payload(pack_image& image, std::uint8_t type, int level, pack_payload& out);

// The bytes a payload holds in memory.
std::uint64_t pack_payload_memory(const pack_payload& payload);

// Writes a payload made above. -1 with errno.
int pack_write_payload(tex_payload_out& out, const pack_payload& payload);

// The payload of a copy of the image made and written in one step. -1 with
// errno.
int pack_write_image(tex_payload_out& out, const pack_image& image, std::uint8_t type, int level = pack_level_default);

// Pixels for type 4: each 0xAARRGGBB as its nearest ARGB4444, little-endian,
// into `out` (2 bytes a pixel; as many pixels as both hold).
void pack_type4_pixels(std::span<const std::uint32_t> argb, std::span<std::uint8_t> out);

// `in` deflated into a zlib stream at `level` by libdeflate (one compressor
// kept per thread), into `out`; `room`, when the stream fits there, is where
// it is made first. -1 with errno.
int pack_deflate(std::span<const std::uint8_t> in, int level, std::span<std::uint8_t> room, std::vector<std::uint8_t>& out);
