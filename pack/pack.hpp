// morvex_tex_pack: builds TEX archives from images (`create`) and patches the
// images of an existing archive (`replace`), the way back from the extractor.
//
// Depends on tex/ for the records, the archive index and the archive writer,
// and on extract/ for the name rules, the entry decision and job and the
// output layer; images are decoded here, by libpng for PNG and by decoders of
// our own for TGA, BMP and PCX. Every function that can fail prints its own
// message on standard error, starting with the tool's name, and returns 0 or
// -1.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "extract/extract.hpp"
#include "morvex/version.hpp"
#include "tex/tex.hpp"

// The command line; returns the exit status (0, or 1 on any error).
int pack_main(int argc, char** argv);

// The program name messages start with: "morvex_tex_pack", or "morvex_tex"
// when the companion runs the packer's commands.
extern const char* pack_program;
inline constexpr const char* pack_version = morvex_version;

// ---------------------------------------------------------------------------
// Images.
//
// Every image file is read through one interface: the bytes of a bounded
// regular file in, pixels and dimensions out. The decoders below are pure
// functions over bytes: they check every size the file declares before it
// sizes an allocation, a read or a loop, refuse truncated or malformed data,
// and say why in `reason` (a phrase without the file's name).

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

enum class pack_format { png, tga, bmp, pcx };

// Decodes one format. 0, or -1 with the reason.
int pack_decode_png(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_tga(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_bmp(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);
int pack_decode_pcx(std::span<const std::uint8_t> file, pack_image& out, std::string& reason);

// The format of a file: by its signature when it has one (PNG, BMP, PCX), so
// that a PNG named .tga still reads; otherwise the one the name's extension
// selects (TGA has no signature). False when neither says.
bool pack_sniff_format(std::span<const std::uint8_t> file, const std::string& name, pack_format& out);

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

// Reads a whole image file: a regular file (not a device, FIFO or folder,
// whatever a link leads to) of at most pack_max_file_size bytes. 0, or -1
// with the reason.
int pack_read_image_file(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason);

// The same checks without reading: what can be known of a file before its
// turn comes. 0, or -1 with the reason.
int pack_check_image_file(const std::string& path, std::string& reason);

// The name an image is stored under: its file name without the folders.
std::string pack_entry_name(const std::string& path);

// Refuses (with its message) a name that can't be stored or that the extractor
// could not write back: empty, longer than 32 bytes, holding a control byte, or
// whose extension selects no image format. 0 when the name may be used.
int pack_check_entry_name(const std::string& path, const std::string& name);


// ---------------------------------------------------------------------------
// Pixels and payloads.

// The 4-bit level whose widened value 17 * k is nearest to an 8-bit channel.
inline std::uint32_t pack_nearest_nibble(std::uint32_t channel)
{
    return (channel + 8) / 17;
}

// 0xAARRGGBB to ARGB4444, each channel rounded to its nearest level.
std::uint16_t pack_argb4444(std::uint32_t argb);

// Writes the payload of a well-formed entry of type 4 (zlib level 9) or 6
// holding the image, a piece at a time. -1 with errno.
int pack_write_image(tex_payload_out& out, const pack_image& image, std::uint8_t type);

// Copies `size` payload bytes from `offset` of an archive. -1 with errno.
int pack_copy_payload(tex_payload_out& out, int fd, std::uint64_t offset, std::uint32_t size);

// ---------------------------------------------------------------------------
// The archive `replace` patches, read through the archive index.

struct pack_source {
    std::string path;
    tex_archive_file file;
    tex_index index;
};

// Opens and indexes the archive, and refuses one whose entries could not be
// kept byte for byte in a well-formed output (the index's findings but an
// unknown type, each said on a line of its own as `test` words it). 0 or -1.
int pack_open_source(const std::string& path, pack_source& out);

// True when the entry already holds exactly the image in its own type (for
// type 4, once rounded to 4-bit levels; for an image whose file carries no
// alpha, in its colour channels only): it is then kept byte for byte, so that
// putting back unchanged images leaves the archive as it was, whatever format
// they were extracted to. The payload is read a piece at a time.
bool pack_entry_holds(const pack_source& source, const tex_entry_view& v, const pack_image& image);

// True when an entry of type 4 or 6 holds a pixel that isn't fully opaque.
bool pack_entry_has_alpha(const pack_source& source, const tex_entry_view& v);

// True when `out_path` names the same file as `in_path` (same path, or an
// existing file that is the same one through a link).
bool pack_same_file(const std::string& in_path, const std::string& out_path);

// Prints "morvex_tex_pack: " and the message on standard error.
void pack_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// The two commands.

struct pack_options {
    std::uint8_t type = 6;  // create: the type of every image entry
    bool quiet = false;     // no line per entry
    bool dry_run = false;   // say what would be done, refusals included, and write nothing
    bool force = false;     // write OUT.pak over a file that is no archive, or named like an image
};

// Exit statuses: a refused OUT.pak is 2, as a usage error.
inline constexpr int pack_exit_ok = 0;
inline constexpr int pack_exit_failed = 1;
inline constexpr int pack_exit_refused = 2;

// An IMAGE operand: a file, and the name it is stored or matched under when
// given as FILE=NAME.
struct pack_image_arg {
    std::string path;
    std::string name;  // empty: from the path
};

// FILE=NAME splits at the last '=', unless the whole operand names an existing
// file (so that files whose names hold '=' still work).
pack_image_arg pack_parse_image_arg(const std::string& operand);

// The stored names `replace` tries for an image given without NAME, longest
// first: the path with ever fewer leading folders ("a/g/s.tga", "g/s.tga",
// "s.tga"), leading "./" dropped.
std::vector<std::string> pack_candidate_names(const std::string& path);

// Each returns an exit status.
int pack_create(const std::string& out_path, std::span<const std::string> images, const pack_options& options);
int pack_replace(const std::string& in_path, const std::string& out_path, std::span<const std::string> images,
                 const pack_options& options);
