// Comparing two archives entry by entry: what `morvex_tex diff`, the C API's
// morvex_tex_diff and Python's morvex_tex.diff present. Entries are matched
// by their stored names (the n-th of a name in one with the n-th in the
// other); an entry only in A and one only in B that hold the same bytes, of
// the same type and size, are one entry renamed; a matched pair whose
// payloads differ, or whose type changed, is decoded, each side once, on the
// workers, and its pixels compared. Kinds and numbers only: the fronts word
// them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "entries/walk.hpp"

// What became of an entry between A and B. The stable names (diff_change_name)
// are those of `morvex_tex diff --json`.
enum class diff_change : std::uint8_t {
    none,          // the same texture
    only_in_a,
    only_in_b,
    size_or_type,  // width or height differ (or a type other than 4 and 6): no pixels to compare one by one
    same_pixels,   // other bytes, the same pixels
    pixels,        // pixels differ (the type may have changed too)
    undecoded,     // other bytes; the pixels of one side can't be decoded
    renamed,       // only in A under one name, only in B under another: the same bytes, type and size
    type,          // the type changed (4 and 6, one each), the pixels are the same
};

// "only_in_a", "renamed", ...
const char* diff_change_name(diff_change c);

// One side's entry, as the index read it.
struct diff_entry {
    std::uint64_t payload_offset = 0;
    std::uint64_t inflate_limit = UINT64_MAX;  // the run's budget for its stream, as charged
    std::uint32_t index = 0;
    std::uint32_t payload_size = 0;            // the table's
    std::uint32_t why = 0;                     // the entry it repeats, or its finding in the side's list
    std::uint16_t width = 0, height = 0;
    std::uint8_t type = 0;
    std::uint8_t name_size = 0;
    bool payload_whole = true;                 // the payload lies within the archive
    enum class reason : std::uint8_t { none, repeat, listed } no_pixels = reason::none;
    std::array<char, tex_name_size> name_bytes{};

    std::string_view name() const { return {name_bytes.data(), name_size}; }
    bool decodable() const { return no_pixels == reason::none; }
};

// A change, handed to the caller in A's table order, then B's own entries.
struct diff_row {
    const diff_entry* a = nullptr;  // null: only in B
    const diff_entry* b = nullptr;  // null: only in A
    std::uint64_t differing = 0;    // pixels, same_pixels, type: pixels that differ ...
    std::uint64_t pixels = 0;       // ... of these
    std::vector<tex_finding> why;   // undecoded: what stopped the decoding
    diff_change what = diff_change::none;
    std::uint8_t largest = 0;       // the largest difference of one channel, 0 to 255
};

struct diff_options {
    unsigned workers = 1;
    name_filter* filter = nullptr;  // the entries compared (none: all); marks the include patterns that matched
    // Asked on the calling thread before each entry: true ends the comparison there.
    std::function<bool()> stop;
};

struct diff_counts {
    std::uint64_t changed = 0;   // every change but entries only in one (a rename too)
    std::uint64_t only_in_a = 0;
    std::uint64_t only_in_b = 0;
    std::uint64_t renamed = 0;   // of `changed`
    bool stopped = false;        // `stop` ended it early

    bool differ() const { return changed + only_in_a + only_in_b > 0; }
};

// Compares the archives, calling `each` on the calling thread for every
// change (none of diff_change::none) in order; what it is given lasts until
// it returns.
diff_counts diff_archives(const tex_index& a, const tex_index& b, const diff_options& options,
                          const std::function<void(const diff_row&)>& each);
