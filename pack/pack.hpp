// Pack: builds TEX archives from images (create), and writes copies of an
// existing archive with images put back (replace, the way back from the
// extractor), added, dropped or renamed; a copy may take the archive's place. A request
// goes in; a result comes out: the archive's entries as written (or, on a dry
// run, as they would be), and every refusal and warning as a kind with the
// paths and numbers it names. Nothing here prints, reads a command line,
// picks an exit status or keeps anything between calls: app/pack_cli.cpp and
// words/pack_words.cpp word results for morvex_tex_pack and morvex_tex.
//
// Includes entries/, files/, images/ and format/. Images are read, decoded
// (images/: libpng, libjpeg-turbo, libwebp; our own for TGA, BMP and PCX) and made
// into payloads on the workers of entries/ordered.hpp (replace's through the
// walker, beside the entry job that decodes the entry each one is compared
// with); the calling thread writes the entries in table order, so the archive
// is the same whatever the number of workers. Memory: one image's work per
// worker, and payloads waiting for their turn within pack_memory_budget.
// The archive is written into the output layer's named output and put in
// place, whole, only by pack_place.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "entries/entries.hpp"
#include "files/files.hpp"
#include "files/input.hpp"
#include "format/writer.hpp"
#include "images/images.hpp"
#include "pack/payload.hpp"

// ---------------------------------------------------------------------------
// Requests.

// An image to store (create) or put back (replace): a file (for create, a
// folder given without a name stands for every image beneath it), and the
// stored name it goes under or patches; empty: from its path.
struct pack_image_arg {
    std::string path;  // the image file; for an image in memory, only what notes call it
    std::string name;
    // An image already in memory (the library's callers hand over pixels):
    // no file is read, and `path` names no file.
    const pack_image* pixels = nullptr;
};

// The source archive's findings a result names one by one; the rest are
// counted (a hostile archive may hold one for each of millions of records).
inline constexpr std::uint32_t pack_findings_kept = 10;

// Payloads waiting for their turn to be written, with the estimates of the
// jobs running: past this, no image is taken until one is written. With the
// program's own memory and the allocator's slack, a run stays within 64 MiB
// beside one image's work (its file, pixels and payload) per worker.
inline constexpr std::uint64_t pack_memory_budget = 32ull << 20;

struct pack_request {
    std::string output;                  // OUT.pak; "-" is standard output
    // The archive copied (replace, add, delete, rename); "-" is standard
    // input. When it is the output's file, the copy takes its place: edited
    // in place, through a link to it too, keeping its owner and permissions.
    std::string source;
    std::vector<pack_image_arg> images;  // create, add, replace
    // delete: the entries dropped, by the extractor's patterns (a shell
    // wildcard where * matches / too; one ending in / takes a folder), but
    // for those an excluded pattern matches.
    std::vector<std::string> patterns, excluded;
    bool ignore_case = false;            // ... in either letter case
    std::string old_name, new_name;      // rename: every entry stored as old_name is stored as new_name
    std::uint8_t type = 6;               // create: the type of every image entry, 4 or 6
    int level = pack_level_default;      // type-4 payloads written: pack_level_fastest .. pack_level_best
    unsigned workers = 1;                // threads that read, decode and compress images (0 counts as 1)
    bool dry_run = false;                // go on past refusals to find them all, and write nothing
    bool force = false;                  // write OUT.pak over a file that is no archive, or named like an image;
                                         // create: over an archive
    std::uint32_t findings_kept = pack_findings_kept;
    // An edit in place waits for another edit of the archive to be placed
    // first, and calls this once when it has to.
    void (*waiting)(void* context) = nullptr;
    void* waiting_context = nullptr;
    // Asked on the calling thread before each image is taken: true stops the
    // run (a `stopped` note), and nothing is written.
    std::function<bool()> stop;
};

// ---------------------------------------------------------------------------
// Results.

// What became of an entry of the archive written.
enum class pack_fate : std::uint8_t {
    placeholder,  // create's empty first entry
    added,        // create: from the image at `from`
    kept,         // replace: copied byte for byte
    replaced,     // replace: holds the image at `from` now
    unchanged,    // replace: already held the image at `from`, copied byte for byte
    deleted,      // delete: not written; its index is the source's
    renamed,      // rename: copied byte for byte but for its name; from: the old one
};

struct pack_entry {
    std::uint32_t index = 0;
    std::string name;
    std::uint8_t type = 0;
    std::uint16_t width = 0, height = 0;
    std::uint64_t payload_size = 0;
    pack_fate fate = pack_fate::kept;
    std::string from;
};

// Everything a run can refuse or warn about. What each names is beside it;
// `path` is the image's for the image refusals and warnings, the output's for
// the output's, and the archive's for the source's.
enum class pack_note_kind : std::uint8_t {
    // An image refused: counted in images_refused; a dry run goes on.
    image_unreadable,   // detail: why the file can't be read (files/): missing, a folder, a device, too large; error: errno, when the system said no
    image_undecodable,  // detail: the decoder's reason (images/)
    name_empty,         // the path names no file to take a name from
    name_too_long,      // name; a: its bytes, more than an entry's 32; c: 1 for a path inside a FOLDER given
    name_refused,       // name; a: its name_problem (files/)
    name_no_format,     // name: one whose extension selects no image format
    name_not_plain,     // name; a: its first part (from 1) that is empty (b 0) or "." (b 1), 0 when only its
                        // separators differ; other_name: the name it is one path with
    names_collide,      // other: the image already stored or matched under `name`
    no_entry,           // other: the archive; name: the one looked for; a: 1 when only the first entry has it
    stems_ambiguous,    // other: the archive; name, other_name: two entries of the image's stem
    entry_not_image,    // other: the archive; entry; a: its type, neither 4 nor 6
    name_exists,        // add, rename: other: the archive, which has an entry under `name` already
    no_entry_matches,   // delete: path: the archive; name: the pattern; a: 1 when only the first entry
                        // matches; b: the entries it matches in another letter case, other_name the first
    no_entry_named,     // rename: path: the archive; name; a: 1 when only the first entry has it
    // The run stops.
    type_not_image,     // create: a: the type asked for, neither 4 nor 6
    level_not_offered,  // a: the level asked for, not pack_level_fastest .. pack_level_best
    folder_unreadable,  // path: the folder; detail: why
    folder_empty,       // path: the folder, which holds no PNG, TGA, BMP, PCX, JPEG or WebP image
    output_is_image,    // the output is one of the images, through whatever path
    output_refused,     // a: the path_refusal (files/)
    archive_exists,     // create: the output is an archive of `a` entries, replaced only when forced
    output_unopened,    // error
    too_many_entries,   // a: the entries the archive would hold
    too_large,          // the entries add up to more than a TEX archive can address
    write_failed,       // error
    archive_changed,    // path: the archive edited in place, which something else wrote meanwhile
    stopped,            // path: the output; the request's stop hook ended the run
    source_unopened,    // error
    source_no_memory,   // a: the table's records, whose order can't be held
    source_not_tex,     // not a TEX version 3 archive
    source_finding,     // findings[0]; entry and name for an entry's (no name: its header can't be read)
    source_findings_more,  // a: the findings not kept
    // Warnings: the run goes on.
    alpha_dropped,      // entry: it had pixels with alpha; the image's file carries none
    size_changed,       // entry; a x b: the image's size; c x d: the entry's
    kept_undecodable,   // path: the archive; entry, name; findings: why nothing could extract it
    archive_replaced,   // create, forced: path: the output, an archive of `a` entries till now; b: 1 on a dry run
    file_skipped,       // create, add: path: a file beneath a FOLDER given, not named like an image
    folder_skipped,     // create, add, update: path: the FOLDER; a: the files beneath it skipped
    nothing_changed,    // update: path: the archive, left as it was: every image is what its entry holds; b: 1 on a dry run
    stored_as_png,      // create, add, update: path: the first JPEG or WebP image named by its file; name: the .png
                        // name it is stored under; a: how many more were (said once a run)
};

struct pack_note {
    pack_note_kind kind{};
    std::string path;
    std::string other;
    std::optional<std::string> name;
    std::string other_name;
    std::optional<std::uint32_t> entry;
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    bool name_given = false;            // the name refused is an IMAGE=NAME's (or rename's new) NAME
                                        // (name_too_long: b is 1 when a NAME could be given instead)
    int error = 0;                      // errno, where the system said no
    std::string detail;
    std::vector<tex_finding> findings;
    std::uint32_t after = 0;            // how many entries the result listed when it came up
};

// An archive written but for its header, waiting to be put in place.
struct pack_pending {
    std::string path;  // the output's
    path_output target;
    tex_archive_sink sink;
    std::array<std::uint8_t, 3> signature{'T', 'E', 'X'};
    std::uint32_t second_word = 0;
    // An edit in place: the archive's lock, held until the copy is placed,
    // and the archive as it was read, which must still be there then.
    unique_fd lock;
    std::optional<file_state> edited;
    std::string edited_path;
};

struct pack_result {
    std::vector<pack_entry> entries;   // in table order, up to where the run stopped
    std::vector<pack_note> notes;      // in the order they came up
    std::uint32_t images_refused = 0;
    // The archive, when the run went through and wrote one; dropped unplaced,
    // it leaves nothing.
    std::unique_ptr<pack_pending> pending;
};

// Each: 0 when the run went through (a dry run's refused images included), -1
// when it stopped; the result says what was done and why. On a dry run
// nothing is written and nothing is pending.
int pack_create(const pack_request& request, pack_result& result);
int pack_replace(const pack_request& request, pack_result& result);
// The source with the images added after its entries, under names it doesn't
// hold yet; with the entries the patterns take dropped (never the first); or
// with an entry renamed. Every other entry is kept byte for byte.
int pack_add(const pack_request& request, pack_result& result);
int pack_delete(const pack_request& request, pack_result& result);
int pack_rename(const pack_request& request, pack_result& result);
// The source with each image put into the entry replace would match (a
// FOLDER's images by their paths inside it, as create names them), in the
// entry's own type, when it holds other pixels; an image no entry takes is
// added as add adds it. Edited in place, an archive nothing changes is left
// as it was (no pending archive, a nothing_changed note).
int pack_update(const pack_request& request, pack_result& result);

// Writes the pending archive's header and puts it in place (or copies it to
// its stream). 0, or -1 with a write_failed note.
int pack_place(pack_result& result);

// True for the kinds that refuse an image, as counted in images_refused.
bool pack_note_refuses_image(pack_note_kind kind);

// ---------------------------------------------------------------------------
// Names.

// The name an image is stored under: its file name without the folders.
std::string pack_entry_name(const std::string& path);

// A name taken from a file (its own, or its path inside a FOLDER) as an entry
// holds it: a JPEG's or WebP's with .png for its extension (an archive names
// PNG, TGA, BMP or PCX images); any other as it is.
std::string pack_png_name(const std::string& name);

// The stored names `replace` tries for an image given without NAME, longest
// first: the path with ever fewer leading folders ("a/g/s.tga", "g/s.tga",
// "s.tga"), leading "./" dropped.
std::vector<std::string> pack_candidate_names(const std::string& path);

// Why a name can't be stored, or that the extractor could not write back:
// empty, longer than 32 bytes, holding a control byte, or whose extension
// selects no image format. Nullopt when it may be used; the note otherwise.
std::optional<pack_note> pack_check_entry_name(const std::string& path, const std::string& name);
