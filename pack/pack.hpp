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

#include "entries/entries.hpp"
#include "format/writer.hpp"
#include "morvex/version.hpp"

// The program name messages start with: "morvex_tex_pack", or "morvex_tex"
// when the companion runs the packer's commands.
extern const char* pack_program;
inline constexpr const char* pack_version = morvex_version;

// The name an image is stored under: its file name without the folders.
std::string pack_entry_name(const std::string& path);

// Refuses (with its message) a name that can't be stored or that the extractor
// could not write back: empty, longer than 32 bytes, holding a control byte, or
// whose extension selects no image format. 0 when the name may be used.
int pack_check_entry_name(const std::string& path, const std::string& name);


// ---------------------------------------------------------------------------
// Pixels and payloads.

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
