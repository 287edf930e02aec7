// Texture extraction: one entry in, one outcome out. The pixel decoders and
// inflation (pure functions over bytes), 32-bit images and the image writers,
// the output layer that places files beneath a folder, and the entry job that
// ties them together for every program of the project.
//
// Depends on tex/ for the records only. Nothing here prints: an entry's
// messages are collected in its outcome, for the caller to print in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "tex/tex.hpp"

// Widens a 4-bit channel level to 8 bits: entry k is 255 * k / 15 = 17 * k.
inline constexpr std::array<std::int32_t, 16> nibble_levels = [] {
    std::array<std::int32_t, 16> t{};
    for (std::int32_t k = 0; k < 16; ++k) t[static_cast<std::size_t>(k)] = (255 * k + 7) / 15;
    return t;
}();

// The largest image converted, in pixels (16384 * 16384, a 1 GiB image); larger
// ones are refused so that one hostile entry can't ask for many gigabytes.
inline constexpr std::uint64_t max_image_pixels = 16384ull * 16384ull;

// No deflate stream inflates to more than 1032 bytes per input byte (a 258-byte
// match in two bits): an entry whose payload couldn't fill its image even so
// is refused, and inflation never needs more room than this.
inline constexpr std::uint64_t max_inflate_ratio = 1032;
inline constexpr std::uint64_t max_inflate_slack = 1024;

// ---------------------------------------------------------------------------
// Pixel decoding, pure functions over bytes.

// Where each 8-bit channel lies in a 32-bit pixel.
struct pixel_layout {
    unsigned r_shift, g_shift, b_shift, a_shift;
};

// The layout of every image of the project: 0xAARRGGBB, whose bytes in memory
// (little-endian) are B, G, R, A, as TGA files and type-6 payloads store them.
inline constexpr pixel_layout argb_layout{16, 8, 0, 24};

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

// A 32-bit image: width * height pixels in argb_layout, rows top first, one
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

// Writes the image in `format` to the descriptor. 0, or -1 with errno set.
int write_image(int fd, image_format format, image_view image);

// ---------------------------------------------------------------------------
// The output layer: the one place that knows about folders, links, temporary
// files, renames and signals. Given a root folder and a stored name, it either
// places a complete file beneath the root or says why not.

// The folder outputs go beneath, held open for the whole run.
struct output_root {
    int fd = -1;                  // owned
    bool create_folders = false;  // make the folders a name holds, beneath the root
    std::string real_path;        // where it is, for absolute links that lead inside it
    const char* outside_reason = "";  // why a folder link out is refused, naming the root
};

// Opens the root (creating it first when asked). 0 or -1 with errno.
int output_open_root(const char* path, bool create, output_root& out);
void output_close_root(output_root& root);

enum class output_error {
    none,
    refused,     // the name can't be used: see the reason
    no_create,   // the folder is missing, or the file can't be made
};

// An output being written: an unnamed file in its destination folder, or a
// file under an unpredictable name made there exclusively where unnamed files
// can't be had. Dropped unless committed; nothing of it then remains.
struct output_file {
    int dir_fd = -1;
    bool owns_dir = true;   // false when dir_fd is the root's own descriptor
    int fd = -1;
    std::string base;       // the final name within the folder
    std::string temporary;  // a named temporary file's name, if one is used
    int slot = -1;          // its entry in the table the signal handler cleans
    output_file() = default;
    output_file(output_file&& other) noexcept;
    output_file& operator=(output_file&& other) noexcept;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();
};

// The reason a stored name can never be an output path (absolute, a ".."
// component, a control byte, empty), or null.
const char* output_name_problem(const std::string& name);

// Resolves the name's folder beneath the root in one step, without following
// any link that leads out, and opens a new file there. On failure `reason`
// says why for output_error::refused.
output_error output_begin(const output_root& root, const std::string& name, output_file& out, const char*& reason);

// Puts the complete file in place under its final name, atomically replacing
// whatever was there (a link there is replaced, not followed). 0 or -1.
int output_commit(output_file& file);

// Knobs for the tests, all off in normal runs.
struct output_test_knobs {
    // Called once an output's folder is resolved and its file made, before
    // anything is written: the worst moment to change the folder.
    void (*after_create)(const std::string& name) = nullptr;
    // The temporary names to try, in place of unpredictable ones.
    std::string (*next_temporary_name)() = nullptr;
    bool named_files_only = false;  // as where no unnamed file can be made
    bool walk_only = false;         // as where the kernel can't resolve beneath a folder
};
extern output_test_knobs output_test;

// ---------------------------------------------------------------------------
// The entry job.

struct extract_request {
    int archive_fd = -1;
    std::uint64_t archive_size = 0;
    std::uint64_t payload_offset = 0;  // the first payload byte in the archive
    std::uint32_t payload_len = 0;     // the table's compressed size
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t type = 0;             // 4 or 6
    std::string name;                  // the stored name
    std::string output_name;           // the name written (the stored one unless a format is forced)
    bool raw = false;                  // the payload as stored, no conversion
    bool decode_only = false;          // decode fully, write nothing
};

// The most a type-4 entry's payload and inflation room may take together to
// be inflated in one call; above it, the stream is inflated piece by piece
// into the image. Tests lower it to run the piecewise path on small entries.
extern std::uint64_t extract_whole_buffer_limit;

struct extract_outcome {
    int result = 0;      // 0 extracted (or decoded), -1 failed
    std::string lines;   // the entry's messages, in order, each ending in "\n"
    output_file file;    // the complete output, waiting to be placed
    bool placed = false;
};

// Loads the payload, decodes it unless raw, and writes the output into a new
// file beneath the root (not yet in place). Every failure is a line in
// out.lines and result -1.
void extract_entry(const output_root& root, const extract_request& request, extract_outcome& out);

// Puts a successful outcome's file in place; a failure adds its line and sets
// the result to -1.
void extract_place(const extract_request& request, extract_outcome& out);

// ---------------------------------------------------------------------------
// Running entry jobs ahead on worker threads, handing them back in order.

// One entry's task: prepared in table order on the calling thread, its job (if
// any) run on a worker, then finished in table order on the calling thread.
struct entry_task {
    std::uint32_t index = 0;
    bool run = false;          // set by prepare: run the request
    extract_request request;
    extract_outcome outcome;
    std::string text;          // the presentation's own, kept from prepare to finish
    int state = 0;             // the presentation's own
};

// The workers to use: MORVEX_TEX_JOBS when it holds a number from 1 on,
// otherwise one for raw copies, and for conversions the processors this
// process may run on.
unsigned extract_workers(bool raw = false);

// Calls prepare(i, task) for i = 0 .. count - 1 in order, runs each task's
// request with extract_entry beneath `root` on one of `workers` threads (1:
// on the calling thread, nothing ahead), and calls finish(task) in order,
// where the presentation prints and places the output. Jobs run ahead of
// finish within a window and a memory budget, so that two of the largest
// images never sit in memory at once.
void run_entry_tasks(const output_root& root, std::uint32_t count, unsigned workers,
                     const std::function<void(std::uint32_t, entry_task&)>& prepare,
                     const std::function<void(entry_task&)>& finish);

// Appends one printf-style line to a message buffer.
void add_line(std::string& lines, const char* format, ...) __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------------------
// Image writers. Each writes the whole file of its format to `fd` from its
// current position, sequentially (fd may be an unnamed O_TMPFILE; never seek,
// never close it). 0, or -1 with errno set (sizes the format can't store give
// -1 with EINVAL). Sizes: 1..65535 a side, at most 16384*16384 pixels in all.
//   TGA: uncompressed 32-bit, byte for byte what the graphics library's saver writes for a 32-bit bitmap.
//   BMP: 24-bit, the same as the library's saver (alpha dropped, rows padded to 4 bytes).
//   PCX: three 8-bit planes, run-length coded, the same as the library's saver.
//   PNG: 8-bit RGBA, pixel for pixel the image.
int write_tga(int fd, image_view image);
int write_bmp(int fd, image_view image);
int write_pcx(int fd, image_view image);
int write_png(int fd, image_view image);

// ---------------------------------------------------------------------------
// Thumbnails, for the gallery page (extract/thumbnail.cpp).

#include <vector>

// The largest side a thumbnail may be asked for (the page's --size).
inline constexpr unsigned thumbnail_max_side = 256;

// The size of the thumbnail of a width x height image: the image's own size
// when neither side exceeds max_side (the page enlarges it), otherwise the
// longest side max_side and the other in proportion, rounded to the nearest,
// at least 1. max_side is at least 1.
void thumbnail_dimensions(std::uint32_t width, std::uint32_t height, unsigned max_side, std::uint32_t& out_width,
                          std::uint32_t& out_height);

// A thumbnail made as the image's rows come, top first, so that a decoder
// can hand each row over while it is in the cache and no whole image need
// be held: the thumbnail, one row of sums (16 bytes a source column) and the
// thumbnail columns' spans. Each thumbnail pixel is the average of the area of
// the image it covers, weighted by alpha (on premultiplied colours, so that
// transparent pixels lend no colour): alpha rounded to the nearest, colours
// to the nearest of the alpha-weighted mean, in exact integer arithmetic.
struct thumbnail_builder {
    // The source columns one thumbnail column covers: first to last, the two
    // with their weights (w_last 0 when first == last), those between whole.
    struct column_span {
        std::uint32_t first, last, w_first, w_last;
    };
    std::uint32_t source_width = 0, source_height = 0;
    std::uint32_t next_row = 0;       // the source row to come
    std::uint32_t next_out_row = 0;   // the thumbnail row being summed
    image32 image;                    // the thumbnail, at thumbnail_dimensions
    std::unique_ptr<column_span[]> spans;  // none when rows are copied as they are
    // Per source column: alpha, and red, green and blue times alpha, all times
    // the rows' weights. The weights of a thumbnail row add up to H, so a sum
    // is at most 255 * 255 * 65535, below 2^32.
    std::unique_ptr<std::uint32_t[]> sum_a, sum_r, sum_g, sum_b;
};

// Prepares a thumbnail of a width x height image. 0, or -1 for an empty
// image, one with a side above 65535 or more than max_image_pixels pixels,
// max_side 0, or no memory.
int thumbnail_begin(thumbnail_builder& t, std::uint32_t width, std::uint32_t height, unsigned max_side);
// The next row of the image, `width` pixels in argb_layout; rows past the
// last are ignored.
void thumbnail_add_row(thumbnail_builder& t, const std::uint32_t* row);
// The thumbnail, once every row has come. 0, or -1 (nothing in `out`).
int thumbnail_finish(thumbnail_builder& t, image32& out);

// The thumbnail of a whole image, through a thumbnail_builder. 0, or -1 as
// thumbnail_begin, or for no pixels or a stride shorter than a row.
int make_thumbnail(image_view src, unsigned max_side, image32& out);

// True when any pixel's alpha is below 255.
bool image_has_transparency(image_view image);

// How a thumbnail is encoded; always a WebP file.
enum class thumbnail_encoding {
    lossless,  // every pixel exact
    lossy,     // colours approximated, alpha exact: several times smaller on real textures
    chosen,    // lossless when most pixels repeat their left neighbour and the file stays small, else lossy
};

inline constexpr const char* thumbnail_mime_type = "image/webp";

// The thumbnail (at most thumbnail_max_side a side) as a complete WebP file.
// 0, or -1 with errno.
int encode_thumbnail(image_view thumb, thumbnail_encoding encoding, std::vector<std::uint8_t>& out);
