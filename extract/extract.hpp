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
#include <optional>
#include <span>
#include <string>
#include <vector>

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
// length; -1 for a damaged stream, -2 for one that inflates to more than `out`
// holds.
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
// files, renames, devices and signals. Given a root folder and a stored name
// (or, for an archive the packer writes, a path), it either places a complete
// file or says why not.

// The folder outputs go beneath, held open for the whole run; or a stream
// every output is copied to, one after the other, as each is placed.
struct output_root {
    int fd = -1;                  // owned
    bool create_folders = false;  // make the folders a name holds, beneath the root
    std::string real_path;        // where it is, for absolute links that lead inside it
    int stream_fd = -1;           // not owned: outputs go here instead of into files
};

// Opens the root. With `create`, the folder and those of its path that are
// missing are made, each inside the one before (the ones that exist are the
// user's own, links and all). 0 or -1 with errno.
int output_open_root(const char* path, bool create, output_root& out);
void output_close_root(output_root& root);

// Opens the folder `name` beneath `parent` as a root of its own, making it
// when it is missing, by the rules every output's folder follows: a link
// there is followed only while it stays beneath the parent. 0, or -1 with
// errno (EXDEV for a link leading outside).
int output_open_folder(const output_root& parent, const std::string& name, output_root& out);

// A root whose outputs are written to `stream_fd` (standard output, say):
// each is made in a temporary file and copied there whole when placed.
void output_open_stream_root(int stream_fd, output_root& out);

// Why a stored name can never be an output's name.
enum class name_problem : std::uint8_t {
    none,
    control_byte,   // it holds a control byte
    absolute_path,  // it begins with "/"
    dot_dot,        // it has a ".." component
    link_outside,   // its folder is a link that leads outside the root
    // Windows only: names its file systems can't hold as files.
    device_name,            // a component is CON, NUL, COM1, ... (any extension)
    stream_name,            // it holds ':' (a stream of a file)
    trailing_dot_or_space,  // a component ends in a dot or a space
    reserved_character,     // it holds one of <>"|?*
};

// The name's problem as a stored name, before any folder is looked at.
name_problem output_name_problem(const std::string& name);

// The words for a problem, the same in every program: "it holds a control
// byte", ...; a link that leads out leads outside "the current folder" when
// `root_is_cwd`, otherwise outside "the output folder".
const char* name_problem_text(name_problem problem, bool root_is_cwd);

// Where making an output failed.
enum class output_stage : std::uint8_t { create, write, place };

// The errors that stop every later output too: nothing more can be written.
bool output_error_is_final(int error);

// An output being written: an unnamed file in its destination folder (or in
// the deepest folder of its name that exists, while the others are still to
// be made), or a file under an unpredictable name made there exclusively
// where unnamed files can't be had. Dropped unless committed; nothing of it
// then remains.
struct output_file {
    int dir_fd = -1;
    bool owns_dir = true;   // false when dir_fd is the root's own descriptor
    int fd = -1;
    std::string base;       // the final name within its folder
    std::string temporary;  // a named temporary file's name, if one is used
    int slot = -1;          // its entry in the table the signal handler cleans
    std::vector<std::string> missing;  // folders to make beneath dir_fd, outermost first
    int stream_fd = -1;     // not owned: placing it copies it there
    output_file() = default;
    output_file(output_file&& other) noexcept;
    output_file& operator=(output_file&& other) noexcept;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();
};

enum class output_error { none, refused, failed };

// Resolves the name's folder beneath the root in one step, without following
// any link that leads out, and opens a new file there. refused: `why` says
// why; failed: errno does. No folder is made yet: missing ones are made when
// the file is placed.
output_error output_begin(const output_root& root, const std::string& name, output_file& out, name_problem& why);

// Puts the complete file in place under its name, making the folders it
// still needs (and removing them again when it can't). With `replace`, what
// is there is replaced in one step (a link there is replaced, not followed);
// without, the name must be free: -1 with EEXIST when it is taken, whenever
// it was taken. 0, or -1 with errno.
int output_commit(output_file& file, bool replace = true);

// True when the name is taken beneath the root, as output_begin would resolve
// it (a dangling link counts). A guess that saves work; output_commit decides.
bool output_exists(const output_root& root, const std::string& name);

// One file, whatever path leads to it: its device (volume) and number.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t number = 0;
    bool operator==(const file_identity&) const = default;
};

// The identity of what a path leads to (links followed), or of an open
// descriptor. 0, or -1 with errno.
int file_identity_of(const std::string& path, file_identity& out);
int file_identity_of_fd(int fd, file_identity& out);

// What a named output holds, and so what may be under its name already.
enum class output_kind : std::uint8_t {
    archive,  // a TEX archive (the packer's)
    page,     // an HTML page (the gallery's)
};

// True when `leading`, the first bytes of an existing file, begin a file of
// that kind (an empty file is of every kind).
bool output_holds_kind(std::span<const std::uint8_t> leading, output_kind kind);

// The one policy for every output named by a path the user gave. What may be
// there: nothing, an empty file or a file of the output's kind, or a link,
// which is replaced, not followed; a device, FIFO or socket (or a link to
// one), and "-" for standard output, which are written through as streams,
// never replaced. A file of another kind, or a name that ends in an image
// extension, is refused unless forced; one of the run's own inputs, under any
// name, is refused forced or not.
struct output_policy {
    output_kind kind = output_kind::archive;
    bool force = false;
    std::vector<file_identity> inputs;
};

enum class path_refusal : std::uint8_t {
    none,
    other_kind,  // an existing file that is not of the output's kind
    image_name,  // the name ends in an image extension
    folder,      // a folder is there
    terminal,    // standard output is a terminal
    input,       // it is one of the run's inputs
};

struct path_output {
    output_file file;       // the bytes: an unnamed file beside the name, or a spool for a stream
    int stream_fd = -1;     // a stream: the spool is copied there when complete
    bool owns_stream = false;
    bool replaces = false;  // something is under the name already
    path_output() = default;
    path_output(const path_output&) = delete;
    path_output& operator=(const path_output&) = delete;
    ~path_output();
};

// 0; -1 with `why` set when refused (nothing touched), or with errno.
int output_begin_path(const std::string& path, const output_policy& policy, path_output& out, path_refusal& why);

// Puts the complete output in place, or copies it to its stream. 0 or -1 with errno.
int output_commit_path(path_output& out);

// Writes every byte, going on after short writes and interruptions. 0, or -1
// with write's errno.
int write_all(int fd, const void* bytes, std::size_t size);

// Knobs for the tests, all off in normal runs.
struct output_test_knobs {
    // Called once an output's folder is resolved and its file made, before
    // anything is written: the worst moment to change the folder.
    void (*after_create)(const std::string& name) = nullptr;
    // Called just before a complete file is linked in under its name.
    void (*before_place)(const std::string& name) = nullptr;
    // The temporary names to try, in place of unpredictable ones.
    std::string (*next_temporary_name)() = nullptr;
    bool named_files_only = false;  // as where no unnamed file can be made
    bool walk_only = false;         // as where the kernel can't resolve beneath a folder
};
extern output_test_knobs output_test;

// ---------------------------------------------------------------------------
// The entry decision and the entry job.

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
    bool keep = false;                 // never replace what is under the output's name
    unsigned thumbnail_side = 0;       // also make a thumbnail this many pixels at most a side (0: none)
    // The most a type-4 stream may inflate to by the run's budget (see
    // entry_walk); the decision sets it when it charges the entry.
    std::uint64_t inflate_limit = UINT64_MAX;
};

// The most bytes a type-4 entry's stream may inflate to: up to three times
// its pixels' bytes (still decoded, and reported as a length mismatch), but
// never more than its payload can inflate to, nor than the run's budget left.
std::uint64_t inflate_room(const extract_request& r);

// What a walk asks of every entry it hands on.
struct entry_options {
    bool raw = false;                          // payloads as stored
    image_format format = image_format::none;  // every image in this format; none: as its name says
    bool write = true;                         // false: decode fully, write nothing
    bool keep = false;                         // never replace an existing file
    bool to_stream = false;                    // outputs go to a stream: names only pick the format
    // A page: an entry refused for its output's name alone is still decoded,
    // to show its pixels (and charged to the run's budgets like any other).
    bool decode_refused_names = false;
};

enum class entry_step : std::uint8_t {
    none,    // nothing to do: the archive's first entry is never extracted
    refuse,  // not extracted, for the reason in `why`
    repeat,  // an earlier record's entry: that record's outcome stands for this one
    run,     // the request goes to the entry job
};

struct entry_plan {
    entry_step step = entry_step::none;
    tex_finding why{};          // refuse: the reason
    std::uint32_t repeat_of = 0;
    extract_request request;    // run; and refuse when `decodable`
    // Refused for its output's name alone (one the extractor can't write, or
    // no image format), under decode_refused_names: its pixels are still
    // decoded from `request`, within the run's budgets.
    bool decodable = false;
    std::optional<tex_finding> over_budget;  // ... or not, for this reason
};

// What a walk carries from entry to entry, in table order.
struct entry_walk {
    // Payload bytes that entries running over other entries' headers may
    // still take: such payloads are extracted (a damaged archive's user then
    // has the bytes), but within the archive's size in all, so that what the
    // archive makes the tool read and write grows only with the archive.
    std::uint64_t overlap_left = 0;
    // Bytes type-4 streams may still inflate to, every entry decoded taken
    // together: as much as the archive could inflate to if no two entries
    // shared a byte (max_inflate_ratio per byte), so that streams which run
    // into one shared deflate bomb can't multiply it.
    std::uint64_t inflate_left = 0;
};
entry_walk entry_walk_start(const tex_index& index);

// The one decision every walk asks for: what becomes of entry v (read from
// `index`) under `options`. The entry's checks that need no payload are made
// here; the job makes the rest.
entry_plan decide_entry(const tex_index& index, const tex_entry_view& v, const entry_options& options,
                        entry_walk& walk);

// A request that decodes the entry's pixels and writes nothing, for a
// presentation that shows an entry the extractor never writes (the first),
// charged to the walk's budgets. False when there are no pixels to decode:
// no header, an unknown type, a payload past the end, no pixels or too many,
// or more than the budgets have left.
bool pixels_request(const tex_index& index, const tex_entry_view& v, entry_walk& walk, extract_request& out);

// The most a type-4 entry's payload and inflation room may take together to
// be inflated in one call; above it, the stream is inflated piece by piece
// into the image. Tests lower it to run the piecewise path on small entries.
extern std::uint64_t extract_whole_buffer_limit;

// An entry's thumbnail, as a page shows it.
struct extract_thumbnail {
    std::vector<std::uint8_t> file;     // the encoded image; empty when none
    const char* mime = nullptr;         // its type: thumbnail_webp or thumbnail_png
    std::uint32_t width = 0, height = 0;
    bool transparent = false;           // some pixel of the entry's image has alpha below 255
    int error = 0;                      // errno when it couldn't be made
};

struct extract_outcome {
    int result = 0;                     // 0 extracted (or decoded), -1 failed
    std::vector<tex_finding> findings;  // what the job met, in order
    output_file file;                   // the complete output, waiting to be placed
    bool placed = false;
    bool skipped = false;               // its name was taken and `keep` asked not to replace it
    extract_thumbnail thumbnail;        // when the request asked for one and the pixels decoded
};

// Loads the payload, decodes it unless raw, and writes the output into a new
// file beneath the root (not yet in place). Every failure is a finding and
// result -1.
void extract_entry(const output_root& root, const extract_request& request, extract_outcome& out);

// Puts a successful outcome's file in place: skipped when its name is taken
// and the request keeps what is there; a failure is a finding and result -1.
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
};

// The most worker threads any program runs.
inline constexpr unsigned max_workers = 256;

// The workers MORVEX_TEX_JOBS sets: its number when it is one from 1 to
// max_workers, 0 when it is unset, -1 when it holds anything else.
int extract_workers_setting();

// The workers to use: MORVEX_TEX_JOBS when it holds a number from 1 to
// max_workers (anything else counts as unset), otherwise one for raw copies,
// and for conversions the processors this process may run on.
unsigned extract_workers(bool raw = false);

// Memory aligned to `alignment` (a power of two that divides `size`), or
// null; released with free_aligned.
void* allocate_aligned(std::size_t alignment, std::size_t size);
void free_aligned(void* p);

// The processors this process may run on, at least 1.
unsigned usable_processors();

// Has the allocator keep freed memory for the next entry's buffers, once.
void keep_freed_memory();

// Calls prepare(i, task) for i = 0 .. count - 1 in order, runs each task's
// request with extract_entry beneath `root` on one of `workers` threads (1:
// on the calling thread, nothing ahead), and calls finish(task) in order,
// where the presentation prints and places the output. Jobs run ahead of
// finish within a window and a memory budget, so that two of the largest
// images never sit in memory at once.
void run_entry_tasks(const output_root& root, std::uint32_t count, unsigned workers,
                     const std::function<void(std::uint32_t, entry_task&)>& prepare,
                     const std::function<void(entry_task&)>& finish);

// ---------------------------------------------------------------------------
// Findings in words, as every program but the extractor's fixed report says
// them: a phrase without the entry's name, such as "table size 24 differs
// from rep_c_sz 7", the same in listings, JSON, pages and the packer.

std::string finding_text(const tex_finding& f);
std::vector<std::string> finding_texts(const std::vector<tex_finding>& found);

// Adds `more` to `into`, leaving out the kinds `into` already holds: the
// index and the entry decision may both name one thing.
void add_findings(std::vector<tex_finding>& into, const std::vector<tex_finding>& more);

// Appends one printf-style line to a message buffer.
void add_line(std::string& lines, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A printf-style text.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

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

// The thumbnail of a width x height image of ARGB4444 pixels (little-endian,
// as a type-4 entry inflates to: `pixels` holds width * height * 2 bytes),
// the same pixels as make_thumbnail of the widened image, without the image;
// and whether any of them is transparent. 0, or -1 as make_thumbnail.
int thumbnail_from_argb4444(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
                            unsigned max_side, image32& out, bool& transparent);

// How a thumbnail is encoded.
enum class thumbnail_encoding {
    lossless,  // WebP, every pixel exact
    lossy,     // WebP, colours approximated, alpha exact: several times smaller on real textures
    levels,    // PNG of every channel rounded to 16 levels (17 * k)
    chosen,    // lossless when most pixels repeat their left neighbour and the file stays small; else
               // lossy when every pixel is opaque, and levels when some aren't
};

inline constexpr const char* thumbnail_webp = "image/webp";
inline constexpr const char* thumbnail_png = "image/png";

// The thumbnail (at most thumbnail_max_side a side) as a complete file, its
// type in *mime when given. 0, or -1 with errno.
int encode_thumbnail(image_view thumb, thumbnail_encoding encoding, std::vector<std::uint8_t>& out,
                     const char** mime = nullptr);
