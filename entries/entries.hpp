// Entries: the one decision every walk asks of an entry (the name filter and
// the run's budgets included), the entry job that carries it out (payload,
// type-4 inflation, decoding, writing through the output layer), and the
// workers that run jobs ahead while each walk sees its entries in table order.
//
// Includes format/, images/ and files/. Nothing here prints: what a job met
// is in its outcome, as findings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "images/thumbnail.hpp"
#include "files/files.hpp"
#include "format/format.hpp"
#include "images/images.hpp"


// No deflate stream inflates to more than 1032 bytes per input byte (a 258-byte
// match in two bits): an entry whose payload couldn't fill its image even so
// is refused, and inflation never needs more room than this.
inline constexpr std::uint64_t max_inflate_ratio = 1032;
inline constexpr std::uint64_t max_inflate_slack = 1024;

// One-shot inflation of a complete zlib stream into `out`. 0 with the produced
// length; -1 for a damaged stream, -2 for one that inflates to more than `out`
// holds.
int inflate_zlib(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& produced);

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
    bool keep_image = false;           // hand the decoded image back in the outcome (not raw)
    // The most a type-4 stream may inflate to by the run's budget (see
    // entry_walk); the decision sets it when it charges the entry.
    std::uint64_t inflate_limit = UINT64_MAX;
    // The most a type-4 entry's payload and inflation room may take together
    // to be inflated in one call (libdeflate, the fastest); above it, the
    // stream is inflated a piece at a time straight into its image (zlib), so
    // that an entry never needs more than its image and this much besides.
    std::uint64_t whole_buffer_limit = 48ull << 20;
};

// The most bytes a type-4 entry's stream may inflate to: up to three times
// its pixels' bytes (still decoded, and reported as a length mismatch), but
// never more than its payload can inflate to, nor than the run's budget left.
std::uint64_t inflate_room(const extract_request& r);

struct name_filter;

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
    // The entries a walk takes by their stored names (entries/walk.hpp);
    // none: every one. Marks the include patterns that matched.
    name_filter* filter = nullptr;
};

enum class entry_step : std::uint8_t {
    none,    // nothing to do: the archive's first entry is never extracted
    skip,    // not taken: the walk's name filter leaves it out
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
// charged to the walk's budgets. False when there are no pixels to decode,
// with `why` (when given) saying which: no header, an unknown type, a payload
// past the end, no pixels or too many, or more than the budgets have left.
bool pixels_request(const tex_index& index, const tex_entry_view& v, entry_walk& walk, extract_request& out,
                    tex_finding* why = nullptr);


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
    // The decoded image, when the request asked to keep it and the job
    // succeeded. Pixels a short type-4 stream didn't reach are transparent
    // black; its inflated_length finding says how many bytes it held.
    image32 image;
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

// What became of an entry a walk took: decided once, by the walker, for every
// presentation (the programs' lines, the library's outcomes).
enum class entry_verdict : std::uint8_t {
    none,      // nothing to say: the first entry, one the filter leaves out
    done,      // extracted (written and in place) or, writing nothing, decoded; findings: its warnings
    failed,    // not extracted: the findings say why
    skipped,   // its output's name was taken, and `keep` kept what was there
    same_as,   // an earlier record's entry (plan.repeat_of): that one's verdict stands
    not_done,  // an output failure before it left room for none (a full disk): not extracted
};

// One entry's task: prepared in table order on the calling thread, its job (if
// any) run on a worker, then finished in table order on the calling thread.
struct entry_task {
    std::uint32_t index = 0;
    bool run = false;          // set by prepare: run the request
    extract_request request;
    extract_outcome outcome;
    // Filled by walk_entries (entries/walk.hpp): the entry as the index read
    // it, the decision, and every finding in report order, each kind once
    // (the index's, the decision's, then the job's).
    tex_entry_view view;
    entry_plan plan;
    std::vector<tex_finding> findings;
    int note = 0;  // the presentation's own, set in its prepare (why it didn't run, say)
    // What became of it, decided by walk_entries (entries/walk.hpp) before
    // the presentation's finish.
    entry_verdict verdict = entry_verdict::none;
    int stopped_by = 0;  // the errno of the output failure that stopped the walk here
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

// Calls prepare(i, task) for i = 0 .. count - 1 in order, runs each task's
// request with extract_entry beneath `root` on one of `workers` threads (1:
// on the calling thread, nothing ahead), and calls finish(task) in order,
// where the presentation prints and places the output. Jobs run ahead of
// finish within a window and a memory budget, so that two of the largest
// images never sit in memory at once. `stop` (may be empty) is asked before
// each task is prepared: true ends the run, and so does the function's
// result.
bool run_entry_tasks(const output_root& root, std::uint32_t count, unsigned workers, const std::function<bool()>& stop,
                     const std::function<void(std::uint32_t, entry_task&)>& prepare,
                     const std::function<void(entry_task&)>& finish);

// ---------------------------------------------------------------------------
// Adds `more` to `into`, leaving out the kinds `into` already holds: the
// index and the entry decision may both name one thing.
void add_findings(std::vector<tex_finding>& into, const std::vector<tex_finding>& more);
