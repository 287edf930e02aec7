// The gallery page: one self-contained HTML file showing an archive's entries
// as cards, written in pieces (begin, one card per entry in table order, end)
// so that a table of millions of entries is never held. The page is filled
// from plain records; it reads no archive and decodes nothing.
//
// Everything taken from an archive or a path passes gallery_html_text. The
// page loads nothing: images are data: URIs and a Content-Security-Policy
// forbids every other request; its one script and style sheet are allowed
// by their hashes. Without scripts it is the plain grid in table order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the page says of the archive as a whole.
struct gallery_archive_info {
    std::string name;                   // as given on the command line, raw bytes
    std::uint64_t size = 0;             // bytes
    std::uint32_t count = 0;            // entries in the table
    std::uint64_t problem_count = 0;    // problems found in the archive and its entries
    std::vector<std::string> problems;  // the archive's own, worded as `test` words them
    unsigned thumbnail_side = 128;      // the box each thumbnail is shown in, in CSS pixels (1..256)
};

// One entry's card.
struct gallery_card {
    std::uint32_t index = 0;            // in the table
    bool first = false;                 // the archive's first entry, never extracted
    bool header_read = true;            // false: only the table's fields are known
    std::string name;                   // stored name, raw bytes
    std::uint32_t width = 0, height = 0;
    unsigned type = 0;                  // 4 or 6; anything else is shown as a number
    std::uint32_t payload_size = 0;     // the table's compressed size, bytes
    int transparent = -1;               // any pixel with alpha below 255: 1, 0, or -1 not known
    std::vector<std::string> problems;  // already worded, one a line
    std::string no_thumbnail_reason;    // why there is no thumbnail (empty when there is one)
    std::string thumbnail_mime;         // "image/webp" or "image/png"; no other is shown
    std::vector<std::uint8_t> thumbnail;   // the encoded file, at most gallery_max_thumbnail_bytes
    std::uint32_t thumbnail_width = 0;     // its size in pixels, at most thumbnail_side a side
    std::uint32_t thumbnail_height = 0;
    std::string extract_command;        // the command line that extracts just this entry, raw bytes
};

// What one card may hold, so that a page grows at most linearly with the
// entries whatever the archive holds. Stored names are at most 32 bytes; the
// rest are the page's own choices: a thumbnail of 256 x 256 pixels of real
// textures encodes to well under the thumbnail cap, a hostile one may not, and
// is then left out with a reason.
inline constexpr std::size_t gallery_max_name_bytes = 64;
inline constexpr std::size_t gallery_max_problems = 8;          // shown; the rest counted
inline constexpr std::size_t gallery_max_problem_bytes = 300;   // each, and the no-thumbnail reason
inline constexpr std::size_t gallery_max_command_bytes = 1024;
inline constexpr std::size_t gallery_max_thumbnail_bytes = 96 * 1024;
inline constexpr std::size_t gallery_max_archive_problems = 100;  // at the top of the page

// The most bytes one card takes on the page: its fixed markup, every text at
// its cap escaped at the worst (6 bytes a byte), the thumbnail in base64.
inline constexpr std::size_t gallery_card_fixed_bytes = 2048;
inline constexpr std::size_t gallery_card_max_bytes =
    gallery_card_fixed_bytes + 6 * (3 * (gallery_max_name_bytes + 3) + gallery_max_problems * (gallery_max_problem_bytes + 3) +
                                    (gallery_max_problem_bytes + 3) + gallery_max_command_bytes) +
    (gallery_max_thumbnail_bytes + 2) / 3 * 4;

// Where the page goes: a stream, or (for tests) a string. A failed write is
// remembered; gallery_end reports it.
struct gallery_sink {
    std::FILE* file = nullptr;  // a file of its own from its start, so that the count can be written over
    std::string* text = nullptr;
    bool failed = false;
    unsigned thumbnail_box = 128;  // set by gallery_begin from the archive's thumbnail_side
    std::uint64_t written = 0;     // bytes of the page so far
    std::uint64_t count_at = 0;    // where the summary's problem count stands
};

// The page's head, the archive's lines, and the opening of the grid.
void gallery_begin(gallery_sink& sink, const gallery_archive_info& archive);
// One card; call in table order.
void gallery_card_write(gallery_sink& sink, const gallery_card& card);
// The grid's end, the script and the end of the page; with `problem_count`,
// the summary's count is written over with it (known only once every card
// is). 0, or -1 when any write of the page failed (errno from the stream).
int gallery_end(gallery_sink& sink, std::optional<std::uint64_t> problem_count = std::nullopt);

// Text from an archive or a path as HTML, safe in element content and in a
// quoted attribute value alike: '&', '<', '>', '"' and '\'' as character
// references; every byte that isn't printable valid UTF-8 (control bytes,
// invalid or overlong sequences, surrogates), line and paragraph separators
// and the characters that reorder or hide text as "\xNN" per byte. Longer
// than `max_bytes`, the rest is cut at a character's end and "..." shown.
std::string gallery_html_text(std::string_view raw, std::size_t max_bytes = SIZE_MAX);

// Bytes as base64 (with padding), for a data: URI.
std::string gallery_base64(const std::vector<std::uint8_t>& bytes);

// The SHA-256 of `text` in base64, as a Content-Security-Policy hash wants it.
std::string gallery_sha256_base64(std::string_view text);
