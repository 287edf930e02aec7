// The PNG writer's choices, private to extract/: write_png uses
// png_default_settings; the benchmark and the tests try the others.
#pragma once

#include <cstdint>
#include <vector>

#include "images/images.hpp"

// The row filter, by its number in the file; every row uses the same one.
enum class png_row_filter : std::uint8_t { none = 0, sub = 1, up = 2, average = 3, paeth = 4 };

struct png_settings {
    int level;              // libdeflate's level for the whole-image path (1..12)
    int streaming_level;    // zlib's level for the streaming path (1..9)
    png_row_filter filter;  // for both paths
    bool force_streaming;   // take the streaming path whatever the size
};

// Chosen by measurement on the benchmark archive's 405 textures (bench/decoders_bench.cpp,
// BM_WritePng and BM_WritePngStreaming, and their total): libdeflate's level 1 with "sub" makes
// 104.2 MiB in all against 110.5 MiB from the graphics library's add-on at zlib level 4 with
// adaptive filters, about five times faster. Level 1 with no filter (117.6 MiB), "up" (123.2),
// "average" (149.0) or "paeth" (126.1) is larger; level 2 with "sub" (96.0 MiB) takes twice as
// long. For the rare images above the cap, zlib's level 4 is both faster and smaller than its
// level 3 ("sub": 18 against 16 Mpixel/s, 94.9 against 102.8 MiB in all).
inline constexpr png_settings png_default_settings{1, 4, png_row_filter::sub, false};

// The whole-image path holds the filtered image (4 bytes a pixel and one a
// row) and room for its compressed form (about as much again) while it saves,
// on top of the bitmap. A run must stay within the bitmap plus 64 MiB; the
// rest of it uses about 12 MiB (bench/RESULTS.md), the compressor's tables and
// the output buffer under 2 MiB more. Images needing more than this take the
// streaming path, which holds two rows and zlib's 256 KiB state.
inline constexpr std::uint64_t png_whole_image_cap = 40ull << 20;

int write_png_with(int fd, image_view image, png_settings settings);

// The whole PNG file in memory, for an image that fits the whole-image path
// (a thumbnail); -1 with EFBIG for a larger one.
int encode_png(image_view image, png_settings settings, std::vector<std::uint8_t>& out);
