// The gallery page: one self-contained HTML file showing an archive's entries
// as cards, written in pieces (begin, one card per entry in table order, end)
// so that a table of millions of entries is never held. The page is filled
// from plain records; it reads no archive and decodes nothing.
//
// Everything taken from an archive or a path passes gallery_html_text. The
// page loads nothing: images are data: URIs and a Content-Security-Policy
// forbids every other request; its one script and style sheet are allowed
// by their hashes. Without scripts it is the plain grid in table order; with
// it, a card's picture opens at up to its texture's size from the image
// already on the page, and each command has a copy button.
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
    unsigned thumbnail_side = 128;      // the largest side of a card's picture, in pixels (1..1024)
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
    std::vector<std::uint8_t> thumbnail;   // the encoded file, at most gallery_thumbnail_cap(side) bytes
    std::uint32_t thumbnail_width = 0;     // its size in pixels, at most thumbnail_side a side
    std::uint32_t thumbnail_height = 0;
    std::string extract_command;        // the command line that extracts just this entry, raw bytes
    std::string extract_png_command;    // ... as a PNG beneath a folder of its own
};

// What one card may hold, so that a page grows at most linearly with the
// entries whatever the archive holds. Stored names are at most 32 bytes; the
// rest are the page's own choices: a picture of real textures encodes to well
// under the picture cap, a hostile one may not, and is then left out with a
// reason.
inline constexpr unsigned gallery_max_side = 1024;               // --size
inline constexpr unsigned gallery_max_box = 256;                 // CSS pixels a card shows its picture in
inline constexpr std::size_t gallery_max_name_bytes = 64;
inline constexpr std::size_t gallery_max_problems = 8;          // shown; the rest counted
inline constexpr std::size_t gallery_max_problem_bytes = 300;   // each, and the no-thumbnail reason
inline constexpr std::size_t gallery_max_command_bytes = 1024;  // each of a card's two commands
inline constexpr std::size_t gallery_max_thumbnail_bytes = 96 * 1024;  // the cap up to 256 x 256
inline constexpr std::size_t gallery_max_archive_problems = 100;  // at the top of the page
inline constexpr std::size_t gallery_max_first_problems = 10;     // the entries' first, at the top too

// The most bytes a card's picture may take: 96 KiB up to 256 pixels a side,
// and above that the same 1.5 bytes a pixel of its largest square. An encoded
// image grows with its pixels: bounding bytes a pixel keeps the same textures
// shown at every size, and the page linear in its entries for any one size.
constexpr std::size_t gallery_thumbnail_cap(unsigned side)
{
    const std::size_t s = side > gallery_max_side ? gallery_max_side : side;
    return s * s * 3 / 2 > gallery_max_thumbnail_bytes ? s * s * 3 / 2 : gallery_max_thumbnail_bytes;
}

// The most bytes one card takes on the page for pictures of at most `side`
// pixels a side: its fixed markup, every text at its cap escaped at the
// worst (6 bytes a byte), the picture in base64.
inline constexpr std::size_t gallery_card_fixed_bytes = 3072;
constexpr std::size_t gallery_card_max_bytes(unsigned side)
{
    return gallery_card_fixed_bytes +
           6 * (3 * (gallery_max_name_bytes + 3) + gallery_max_problems * (gallery_max_problem_bytes + 3) +
                (gallery_max_problem_bytes + 3) + 2 * gallery_max_command_bytes) +
           (gallery_thumbnail_cap(side) + 2) / 3 * 4;
}

// Where the page goes: a stream, or (for tests) a string. A failed write is
// remembered; gallery_end reports it.
struct gallery_sink {
    std::FILE* file = nullptr;  // a file of its own from its start, so that the count can be written over
    std::string* text = nullptr;
    bool failed = false;
    unsigned thumbnail_side = 128;  // set by gallery_begin from the archive's thumbnail_side
    unsigned thumbnail_box = 128;   // ... and the box, at most gallery_max_box
    std::uint64_t written = 0;      // bytes of the page so far
    std::uint64_t count_at = 0;     // where the summary's problem count stands
    // The entries' first problems as the top of the page lists them (markup),
    // and how many the entries have in all.
    std::vector<std::string> first_problems;
    std::uint64_t entry_problems = 0;
};

// The page's head, the archive's lines, and the opening of the grid.
void gallery_begin(gallery_sink& sink, const gallery_archive_info& archive);
// One card; call in table order. A no-thumbnail reason that only repeats one
// of the card's problems is not said twice: the problem list says it.
void gallery_card_write(gallery_sink& sink, const gallery_card& card);
// The grid's end, the entries' first problems (shown under the archive's
// lines), the script and the end of the page; with `problem_count`, the
// summary's count is written over with it (known only once every card is),
// in the problem colour when it isn't 0. 0, or -1 when any write of the page
// failed (errno from the stream).
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
