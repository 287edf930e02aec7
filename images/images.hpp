// Images: 32-bit pixels in memory, the pixel codecs of the archive's types,
// and every image file format (one file a format: the writer the extractor
// saves with, the reader the packer takes images from; JPEG is read only),
// with the one table that answers every "which format" question. Thumbnails are in
// images/thumbnail.hpp.
//
// Pure functions over bytes and descriptors: nothing here prints, opens a
// file by name or ends the process. Includes format/ for its descriptor
// writes only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/format.hpp"


// Widens a 4-bit channel level to 8 bits: entry k is 255 * k / 15 = 17 * k.
inline constexpr std::array<std::int32_t, 16> nibble_levels = [] {
    std::array<std::int32_t, 16> t{};
    for (std::int32_t k = 0; k < 16; ++k) t[static_cast<std::size_t>(k)] = (255 * k + 7) / 15;
    return t;
}();

// The largest image converted, in pixels (16384 * 16384, a 1 GiB image); larger
// ones are refused so that one hostile entry can't ask for many gigabytes.
inline constexpr std::uint64_t max_image_pixels = 16384ull * 16384ull;

// ---------------------------------------------------------------------------
// Pixel decoding, pure functions over bytes.

// ARGB4444 little-endian pixels to 32-bit pixels, each nibble widened through
// nibble_levels. src holds 2 * dst.size() bytes.
void widen_argb4444(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);

// ARGB8888 little-endian pixels (bytes B, G, R, A) to 32-bit pixels. src holds
// 4 * dst.size() bytes.
void convert_argb8888(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst);

// The same two as RGBA8 bytes (R, G, B, A), as handed to a library's caller:
// ARGB4444 widened into dst's 4 * count bytes; ARGB8888 pixels (B, G, R, A)
// made RGBA8 where they are.
void widen_argb4444_rgba(std::span<const std::uint8_t> src, std::uint8_t* dst, std::size_t count);
void argb8888_to_rgba(std::span<std::uint8_t> pixels);

// ---------------------------------------------------------------------------
// Images.

enum class image_format { none, tga, png, bmp, pcx, jpeg, webp };

// What a format serves: the packer reads files of it (every format); the
// extractor writes it (a format with a writer: a stored name's, or one
// --format chooses); an archive's entries are named in it (TGA, PNG, BMP and
// PCX, the formats a stored name chooses: the packer stores a JPEG or WebP
// image under a .png name).
enum class image_use { read, write, store };

// The format a name's extension selects, letter case ignored, among those
// serving `use`; without one, among those an entry may be named in.
image_format image_format_for(const std::string& name, image_use use);
image_format image_format_for(const std::string& name);

// A 32-bit image: width * height pixels 0xAARRGGBB, rows top first, one
// after the other. Empty (no pixels) when it couldn't be had.
struct image32 {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::unique_ptr<std::uint32_t[]> pixels;
    std::span<std::uint32_t> row(std::uint32_t y) const
    {
        return {pixels.get() + std::size_t{y} * width, width};
    }
};

// Takes the pixels (not cleared). False when they can't be had.
bool make_image32(std::uint32_t width, std::uint32_t height, image32& out);

// A 32-bit image to write: width * height pixels 0xAARRGGBB (alpha in the top byte), rows top first,
// each row `width` pixels, `stride` pixels apart (stride >= width).
struct image_view {
    std::uint32_t width;
    std::uint32_t height;
    std::size_t stride;
    const std::uint32_t* pixels;
};

inline image_view view_of(const image32& image)
{
    return image_view{image.width, image.height, image.width, image.pixels.get()};
}

// Writes the image in `format` to the descriptor. 0, or -1 with errno set
// (EINVAL for a format without a writer).
int write_image(int fd, image_format format, image_view image);

// ---------------------------------------------------------------------------
// The one table of formats: every "which format" question is asked of it, so
// that a new format is a file of its own and a row here.

struct pack_image;

struct image_format_row {
    image_format format;
    const char* name;       // as --format takes it and a name's extension spells it: "tga"
    const char* other_name; // another extension of the format ("jpeg"), or null
    const char* title;      // as messages name it: "TGA"
    // What a file of the format begins with, in words, for one that doesn't
    // ("no PNG signature"); null for a format without one (TGA).
    const char* signature;
    bool (*sniff)(std::span<const std::uint8_t> file);  // null: known by its name only
    int (*decode)(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
    int (*encode)(int fd, image_view image);  // null: read only
    bool stored;            // an archive's entries may be named in it
};

// True when the format serves `use`.
bool image_format_serves(const image_format_row& row, image_use use);

// Every format, in the order the project lists them.
std::span<const image_format_row> image_formats();

// The row of a format (none has none: null), or of a format's name or other
// name in any letter case (null when no format has that name).
const image_format_row* image_format_row_of(image_format format);
const image_format_row* image_format_named(std::string_view name);

// The names of the formats serving `use` (other names too) as a list for
// people: each after `prefix`, joined by ", " and the last by " or " ("tga,
// png, bmp or pcx"); without a use, those an entry may be named in.
std::string image_format_list(image_use use, const char* prefix = "");
std::string image_format_list(const char* prefix = "");

// ---------------------------------------------------------------------------
// Image writers. Each writes the whole file of its format to `fd` from its
// current position, sequentially (fd may be an unnamed O_TMPFILE; never seek,
// never close it). 0, or -1 with errno set (sizes the format can't store give
// -1 with EINVAL). Sizes: 1..65535 a side, at most 16384*16384 pixels in all.
//   TGA: uncompressed 32-bit, byte for byte what the graphics library's saver writes for a 32-bit bitmap.
//   BMP: 24-bit, the same as the library's saver (alpha dropped, rows padded to 4 bytes).
//   PCX: three 8-bit planes, run-length coded, the same as the library's saver.
//   PNG: 8-bit RGBA, pixel for pixel the image.
//   WebP: lossless with every colour kept, pixel for pixel the image; at most 16383 a side.
int write_tga(int fd, image_view image);
int write_bmp(int fd, image_view image);
int write_pcx(int fd, image_view image);
int write_png(int fd, image_view image);
int write_webp(int fd, image_view image);

// ---------------------------------------------------------------------------
// Reading image files.
//
// The decoders are pure functions over bytes: they check every size the file
// declares before it sizes an allocation, a read or a loop, refuse truncated or
// malformed data, and say why in `reason` (a phrase without the file's name).

// A decoded image: pixels as 0xAARRGGBB, row 0 at the top.
struct pack_image {
    std::uint16_t width = 0;         // 1 to 65535
    std::uint16_t height = 0;        // 1 to 65535, width * height <= pack_max_pixels
    std::vector<std::uint32_t> argb; // width * height pixels, rows top first
    bool has_alpha = false;          // the file's variant carries alpha; if not, every alpha is 255
};

inline constexpr std::uint64_t pack_max_file_size = 1ull << 30;         // bytes of one image file
inline constexpr std::uint32_t pack_max_side = 65535;                   // an entry's sizes are 16-bit
inline constexpr std::uint64_t pack_max_pixels = 16384ull * 16384ull;   // a 1 GiB image

// Decodes one format. 0, or -1 with the reason.
int pack_decode_png(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_tga(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_bmp(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_pcx(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_jpeg(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_webp(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);

// The format of a file: by its signature when it has one (all but TGA), so
// that a PNG named .tga still reads; otherwise the one the name's extension
// selects (TGA has no signature). False when neither says.
bool pack_sniff_format(std::span<const std::uint8_t> file, const std::string& name, image_format& out);

// Sniffs and decodes. 0, or -1 with the reason.
int pack_decode_image(std::span<const std::uint8_t> file, const std::string& name, pack_image& out,
                      std::string& reason);

// Checks a declared size against the limits (1 to 65535 a side, at most
// pack_max_pixels); the decoders call it as soon as they know the size. 0, or
// -1 with the reason.
int pack_check_size(std::uint64_t width, std::uint64_t height, std::string& reason);

// Sizes the pixels of a width x height image after checking the limits; the
// decoders call it before any allocation that the sizes drive. 0, or -1 with
// the reason.
int pack_start_image(std::uint64_t width, std::uint64_t height, pack_image& out, std::string& reason);

// ---------------------------------------------------------------------------
// Pixels for the archive's types.

// The 4-bit level whose widened value 17 * k is nearest to an 8-bit channel.
inline std::uint32_t pack_nearest_nibble(std::uint32_t channel)
{
    return (channel + 8) / 17;
}

// 0xAARRGGBB to ARGB4444, each channel rounded to its nearest level.
std::uint16_t pack_argb4444(std::uint32_t argb);
