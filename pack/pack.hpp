// morvex_tex_pack: builds TEX archives from images (`create`) and patches the
// images of an existing archive (`replace`), the way back from the extractor.
//
// Depends on tex/ for the records and the archive writer and on extract/ for
// the graphics library's start-up and the image name rules. Every function
// that can fail prints its own message on standard error, starting with the
// tool's name, and returns 0 or -1.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "morvex/version.hpp"
#include "tex/tex.hpp"

// The command line; returns the exit status (0, or 1 on any error).
int pack_main(int argc, char** argv);

inline constexpr const char* pack_program = "morvex_tex_pack";
inline constexpr const char* pack_version = morvex_version;

// ---------------------------------------------------------------------------
// Images.

// A loaded image: pixels as 0xAARRGGBB, row 0 at the top.
struct pack_image {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::vector<std::uint32_t> argb;
};

// The name an image is stored under: its file name without the folders.
std::string pack_entry_name(const std::string& path);

// Refuses (with its message) a name that can't be stored or that the extractor
// could not write back: empty, longer than 32 bytes, holding a control byte, or
// whose extension selects no image format. 0 when the name may be used.
int pack_check_entry_name(const std::string& path, const std::string& name);

// Loads a PNG, TGA, BMP or PCX image (chosen by the name's extension) through
// the graphics library, which must be started. Formats without alpha, and BMP
// and PCX whatever their depth, give fully opaque pixels. 0 or -1.
int pack_load_image(const std::string& path, pack_image& out);

// ---------------------------------------------------------------------------
// Pixels and entries.

// The 4-bit level whose widened value 17 * k is nearest to an 8-bit channel.
inline std::uint32_t pack_nearest_nibble(std::uint32_t channel)
{
    return (channel + 8) / 17;
}

// 0xAARRGGBB to ARGB4444, each channel rounded to its nearest level.
std::uint16_t pack_argb4444(std::uint32_t argb);

// A well-formed entry of type 4 or 6 holding the image, stored as `name`.
tex_writer_entry pack_image_entry(const std::string& name, const pack_image& image, std::uint8_t type);

// ---------------------------------------------------------------------------
// Reading the archive that `replace` patches.

struct pack_source_entry {
    tex_entry_header header;            // as stored; the table's copy agrees
    std::vector<std::uint8_t> payload;  // exactly the bytes the entry holds
};

struct pack_source {
    tex_header header;
    std::vector<pack_source_entry> entries;
};

// Reads a whole archive and refuses one that isn't well formed (wrong
// signature or version, padding not zero, fields stored twice that disagree,
// anything past the end of the file), since its entries could not be kept byte
// for byte in a well-formed output. 0 or -1.
int pack_read_source(const std::string& path, pack_source& out);

// An entry of the output that is the source entry byte for byte; takes over
// the payload.
tex_writer_entry pack_kept_entry(pack_source_entry&& entry);

// True when the entry already holds exactly the image in its own type (for
// type 4, once rounded to 4-bit levels): it is then kept byte for byte, so that
// putting back unchanged images leaves the archive as it was.
bool pack_entry_holds(const pack_source_entry& entry, const pack_image& image);

// ---------------------------------------------------------------------------
// Output.

// Writes the archive to a temporary file beside `path` and renames it into
// place, so that a failure leaves no partial archive and `path` as it was.
// Refuses an archive whose entries would lie beyond the 4 GiB the offsets
// reach. 0 or -1.
int pack_write_output(const std::string& path, const tex_writer_archive& archive);

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
};

int pack_create(const std::string& out_path, std::span<const std::string> images, const pack_options& options);
int pack_replace(const std::string& in_path, const std::string& out_path, std::span<const std::string> images,
                 const pack_options& options);
