// Texture extraction: loading an entry's payload, raw output, the two pixel
// decoders and image output through the graphics library.
//
// Depends on tex/ for the archive record only. Every function that handles an
// entry prints its own failure line and returns 0 or -1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tex/tex.hpp"

// Set by the command line: write payloads as stored instead of converting.
extern bool no_convert;

// Widens a 4-bit channel level to 8 bits: entry k is 255 * k / 15 = 17 * k.
inline constexpr std::array<std::int32_t, 16> nibble_levels = [] {
    std::array<std::int32_t, 16> t{};
    for (std::int32_t k = 0; k < 16; ++k) t[static_cast<std::size_t>(k)] = (255 * k + 7) / 15;
    return t;
}();

// The largest image converted, in pixels (16384 * 16384, a 1 GiB bitmap); larger
// ones are refused so that one hostile entry can't ask for many gigabytes.
inline constexpr std::uint64_t max_image_pixels = 16384ull * 16384ull;

// The extractors of the walk's contract (tex_extractor).
int extract_type4(const tex_archive& archive, std::uint32_t payload_len, std::uint32_t width, std::uint32_t height,
                  const std::string& name);
int extract_type6(const tex_archive& archive, std::uint32_t payload_len, std::uint32_t width, std::uint32_t height,
                  const std::string& name);

// ---------------------------------------------------------------------------
// Payload loading and output files.

struct byte_buffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::span<std::uint8_t> span() const { return {data.get(), size}; }
};

// Refuses (with its line) a stored name that would write outside the current
// folder or holds control bytes. 0 when the name may be used.
int check_output_name(const std::string& name);

// Loads `len` payload bytes from the current position and puts the stream back
// where it was. Fails, with its line, when the buffer can't be had or the payload
// runs past the end of the archive.
int read_payload(const tex_archive& archive, std::uint32_t len, const std::string& name, byte_buffer& out);

// Writes `len` payload bytes from the current position to `name` as stored,
// copied file to file without a payload buffer; the stream position doesn't
// move. Fails, with its line, when the payload runs past the end or the file
// can't be written.
int copy_raw(const tex_archive& archive, std::uint32_t len, const std::string& name);

// Replaces `name` as a whole: `write` fills a temporary file beside it, which is
// renamed into place only when it succeeded, so a failure never leaves a partial
// file nor harms an existing one. `write` returns 0 or -1.
int write_output_file(const std::string& name, int (*write)(const char* path, void* context), void* context);

// ---------------------------------------------------------------------------
// Pixel decoding, pure functions over bytes.

// Where each 8-bit channel lies in a 32-bit pixel of the image.
struct pixel_layout {
    unsigned r_shift, g_shift, b_shift, a_shift;
};

// ARGB4444 little-endian pixels to 32-bit pixels, each nibble widened through
// nibble_levels. src holds 2 * dst.size() bytes.
void widen_argb4444(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, pixel_layout layout);

// ARGB8888 little-endian pixels (bytes B, G, R, A) to 32-bit pixels. src holds
// 4 * dst.size() bytes.
void convert_argb8888(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, pixel_layout layout);

// One-shot inflation of a complete zlib stream into `out`. 0 with the produced
// length, or -1 for a damaged stream or more output than `out` holds.
int inflate_zlib(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& produced);

// ---------------------------------------------------------------------------
// Images.

enum class image_format { none, tga, png, bmp, pcx };

// The format a name's extension selects, letter case ignored.
image_format image_format_for(const std::string& name);

// 0 when the name selects a format; otherwise prints the line that says so.
int check_image_format(const std::string& name);

// Starts the graphics library (falling back to its display-less driver) and
// registers the PNG add-on. 0 when images can be made.
int start_image_library();

// The pixel layout of the library's 32-bit bitmaps.
pixel_layout image_pixel_layout();

// A 32-bit image being built: rows of `width` pixels in image_pixel_layout().
struct image32;
struct image32_deleter {
    void operator()(image32* image) const;
};
using image32_ptr = std::unique_ptr<image32, image32_deleter>;

// Null when the image can't be made.
image32_ptr create_image32(std::uint32_t width, std::uint32_t height);
std::span<std::uint32_t> image_row(image32& image, std::uint32_t y);

// Saves in the format the name selects; prints its failure line. 0 or -1.
int save_image(image32& image, const std::string& name);

// The same through the graphics library's saver for every format, TGA included
// (save_image writes TGA files itself, byte for byte the same).
int save_image_with_library(image32& image, const std::string& name);

// ---------------------------------------------------------------------------
// Image writers.

// A 32-bit image to write: width * height pixels 0xAARRGGBB (alpha in the top byte), rows top first,
// each row `width` pixels, `stride` pixels apart (stride >= width).
struct image_view {
    std::uint32_t width;
    std::uint32_t height;
    std::size_t stride;
    const std::uint32_t* pixels;
};
// Each writes the whole file of its format to `fd` from its current position, sequentially (fd may be an
// unnamed O_TMPFILE; never seek, never close it). 0, or -1 with errno set (sizes the format can't store
// give -1 with EINVAL). Sizes: 1..65535 a side, at most 16384*16384 pixels in all.
//   TGA: uncompressed 32-bit, byte for byte what the graphics library's saver writes for a 32-bit bitmap.
//   BMP: 24-bit, the same as the library's saver (alpha dropped, rows padded to 4 bytes).
//   PCX: three 8-bit planes, run-length coded, the same as the library's saver.
//   PNG: 8-bit RGBA, pixel for pixel the image.
int write_tga(int fd, image_view image);
int write_bmp(int fd, image_view image);
int write_pcx(int fd, image_view image);
int write_png(int fd, image_view image);
