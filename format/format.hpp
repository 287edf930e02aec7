// TEX version 3 texture archives: the on-disk records, little-endian field
// readers, the archive index every reader walks, and findings: what every
// check found, as kinds and numbers (never sentences). The archive writer and
// sink are in format/writer.hpp.
//
// The format module includes nothing else of the project, prints nothing and
// ends no process; its only I/O is reading and writing at an offset of a
// descriptor (io_posix.cpp or io_windows.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Little-endian field readers over bytes. The caller guarantees the span holds
// the field; records are always read as whole blocks first.

inline std::uint16_t tex_le16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t tex_le32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline void tex_put_le16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void tex_put_le32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v)
{
    for (std::size_t k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// ---------------------------------------------------------------------------
// Records. Sizes and offsets are those of the file; every record is read as
// one block and parsed from bytes, never cast.

inline constexpr std::size_t tex_header_size = 256;       // at file offset 0
inline constexpr std::size_t tex_leading_size = 4;        // signature + version
inline constexpr std::size_t tex_header_padding_size = 244;
inline constexpr std::size_t tex_table_entry_size = 12;   // table starts at offset 256
inline constexpr std::size_t tex_entry_header_size = 80;  // payload follows directly
inline constexpr std::size_t tex_entry_padding_size = 39;
inline constexpr std::size_t tex_name_size = 32;
inline constexpr std::uint8_t tex_version = 3;

struct tex_header {
    std::array<std::uint8_t, 3> signature;   // "TEX", any letter case
    std::uint8_t version;                    // 3 for the archives we decode
    std::uint32_t file_count;                // number of entries in the table
    std::uint32_t second_word;               // printed as "unknown", not interpreted
    std::array<std::uint8_t, tex_header_padding_size> padding;  // zero when well formed
};

struct tex_table_entry {
    std::uint32_t type_id;          // 4 or 6; repeated as rep_t_id
    std::uint32_t offset;           // absolute file offset of the entry header
    std::uint32_t compressed_size;  // payload bytes; repeated as rep_c_sz
};

struct tex_entry_header {
    std::array<std::uint8_t, tex_name_size> filename;  // output name, zero-ended unless all 32 used
    std::uint16_t width;                               // pixels, 0..65535
    std::uint16_t height;                              // pixels, 0..65535
    std::uint8_t rep_t_id;                             // entry type; chooses the decoder
    std::uint32_t rep_c_sz;                            // payload bytes, unaligned at offset 37
    std::array<std::uint8_t, tex_entry_padding_size> padding;  // zero when well formed
};

// Parse a whole block: `block` holds exactly the record's size.
tex_header tex_parse_header(std::span<const std::uint8_t, tex_header_size> block);
tex_table_entry tex_parse_table_entry(std::span<const std::uint8_t, tex_table_entry_size> block);
tex_entry_header tex_parse_entry_header(std::span<const std::uint8_t, tex_entry_header_size> block);

// The stored name up to its first zero byte, at most 32 characters.
std::string tex_entry_name(const tex_entry_header& header);


// True for the 3 signature bytes "TEX" under ASCII case folding.
bool tex_signature_matches(std::span<const std::uint8_t> leading);

// True when a file's first bytes are those of an archive this project reads:
// the signature in any letter case and version 3 (fewer than 4 bytes: false).
bool tex_recognised(std::span<const std::uint8_t> leading);

// ---------------------------------------------------------------------------
// The archive index: what every reader of an archive walks. It reads the
// header and the table, checks every field against the file's real size and
// against its stored copy, and records each finding as data; it prints
// nothing. Entry headers are read one at a time as a walk reaches them.

// The most bytes an archive can address: an entry header at the last 32-bit
// offset, followed by the largest 32-bit payload. Nothing beyond is ever read.
inline constexpr std::uint64_t tex_max_archive_size = 0xFFFFFFFFull + tex_entry_header_size + 0xFFFFFFFFull;


struct tex_index {
    int fd = -1;                    // the archive, a regular file; owned by the caller
    std::uint64_t size = 0;         // its size, taken once: no field is trusted beyond it
    std::array<std::uint8_t, tex_leading_size> leading{};  // signature and version, zero where missing
    std::size_t leading_got = 0;    // how many of the 4 leading bytes the file holds
    bool recognised = false;        // "TEX" in any letter case, version 3
    tex_header header{};            // zero where the file is cut short
    bool header_cut = false;        // the file holds fewer than 256 bytes
    bool padding_zero = true;       // the header's 244 padding bytes are all zero
    std::uint32_t count = 0;        // table records present: the file count, cut to what the file holds
    bool table_cut = false;         // count < header.file_count
    // Every record's offset and index as (offset << 32 | index), sorted: which
    // records share an entry, and where the next entry's header starts. 8
    // bytes a record, never more.
    std::vector<std::uint64_t> by_offset;
};

// Reads the leading bytes and, for a recognised archive, the header and the
// table. 0, or -1 when the records' order can't be held in memory.
int tex_open_index(int fd, std::uint64_t size, tex_index& out);

// The table's records, read in order through a window of the table.
struct tex_table_cursor {
    const tex_index* index = nullptr;
    std::vector<std::uint8_t> window;
    std::uint32_t first = 0;  // record index of window[0]
    std::uint32_t held = 0;   // records in the window
};
tex_table_entry tex_table_record(tex_table_cursor& cursor, std::uint32_t i);

enum class tex_entry_state {
    ok,           // the entry header was read
    past_end,     // its offset lies at or past the end of the archive
    header_cut,   // the archive ends inside its 80-byte header
};

// One entry as the walk reaches it, with every check's finding.
struct tex_entry_view {
    std::uint32_t index = 0;
    tex_table_entry record{};
    std::uint32_t in_file = 0;       // next record's offset minus this one's; 0 for the last
    tex_entry_state state = tex_entry_state::ok;
    std::size_t header_got = 0;      // header bytes the archive holds (state header_cut)
    tex_entry_header header{};
    bool padding_zero = true;
    bool sizes_agree = true;         // table size == rep_c_sz
    bool types_agree = true;         // table type id == rep_t_id
    std::uint64_t payload_offset = 0;
    bool payload_past_end = false;   // offset + 80 + table size > archive size
    // The payload runs over the header of another entry (a different offset):
    // the first record of the entry whose header it covers.
    std::optional<std::uint32_t> covers;
    std::uint32_t covered_offset = 0;
    // An earlier record (index 1 and up) points at the same entry header: this
    // record repeats that one's extraction instead of doing it again.
    std::optional<std::uint32_t> repeat_of;
    bool repeat_size_differs = false;  // ... but with another payload size
    std::uint32_t repeat_size = 0;     // that record's payload size
    bool repeated_later = false;       // a later record points at the same entry
};

// Reads and checks entry i (i < index.count).
tex_entry_view tex_read_entry(const tex_index& index, tex_table_cursor& cursor, std::uint32_t i);

// ---------------------------------------------------------------------------
// Findings: what a check found, as data. Every program words them its own way
// (the extractor's report in its fixed lines, morvex_tex in its phrases and
// JSON), and none reads another's words back. The numbers each kind carries
// are listed beside it; `error` is an errno where the system refused.

enum class tex_finding_kind : std::uint8_t {
    // The archive as a whole.
    archive_cut_at_limit,  // a: the bytes an archive can address (only those were read)
    archive_header_cut,    // a: bytes the archive holds, b: the header's 256
    header_padding,        // the header's 244 padding bytes are not all zero
    table_cut,             // a: records read, b: the file count, c: bytes the table needs, d: bytes after the header
    // One entry, as the index reads it.
    entry_past_end,        // a: the entry's offset, b: the archive's size
    entry_header_cut,      // a: header bytes held, b: the header's 80
    entry_padding,         // the entry header's 39 padding bytes are not all zero
    sizes_differ,          // a: the table's size, b: rep_c_sz
    types_differ,          // a: the table's type id, b: rep_t_id
    unknown_type,          // a: rep_t_id
    payload_past_end,      // a: payload bytes, b: the payload's offset, c: the archive's size
    runs_over_header,      // a: the entry whose header the payload covers, b: that header's offset
    inflation_spent,       // a: the bytes its pixels take, b: the bytes the run may still inflate
    repeat,                // a: the earlier record pointing at the same entry
    repeat_other_size,     // a: that record, b: this record's payload size, c: that record's
    // What an entry's extraction would do with it.
    name_refused,          // a: the output_name_problem (extract/)
    no_image_format,       // the output name selects no image format
    no_pixels,             // a: width, b: height (one of them 0)
    too_many_pixels,       // a: width, b: height
    too_few_to_inflate,    // a: payload bytes, b: width, c: height, d: the bytes its pixels take
    payload_short,         // type 6; a: payload bytes, b: width, c: height, d: the bytes its pixels take
    // What the entry job met.
    payload_cut,           // a: bytes read, b: payload bytes
    stream_damaged,        // the zlib stream is damaged, cut short, or its check value is wrong
    stream_too_long,       // a: the most bytes it may inflate to
    inflated_length,       // a warning: a: bytes inflated, b: width, c: height, d: the bytes its pixels take
    no_memory_payload,     // a: the bytes asked for
    no_memory_inflate,     // a: the bytes asked for
    no_memory_image,       // a: width, b: height
    no_memory,             // the job ran out of memory elsewhere
    output_failed,         // a: the output_stage (extract/), error: why
    output_exists,         // the output's name is taken and replacing was not wanted
};

struct tex_finding {
    tex_finding_kind kind{};
    std::uint64_t a = 0, b = 0, c = 0, d = 0;  // as the kind says
    int error = 0;                              // errno, where the system said no
    bool operator==(const tex_finding&) const = default;
};

// Only the inflated length is a warning: the entry is still extracted.
inline bool tex_finding_is_warning(const tex_finding& f)
{
    return f.kind == tex_finding_kind::inflated_length;
}

// The archive's own findings, in the order the extractor reports them.
std::vector<tex_finding> tex_archive_findings(const tex_index& index, bool cut_at_limit);

// An entry's findings as the index read it, in report order.
std::vector<tex_finding> tex_entry_findings(const tex_index& index, const tex_entry_view& v);

// Reads up to block.size() bytes at `offset`; returns how many were read.
// Bytes not read are zeroed, so a short read never leaves stale data behind.
std::size_t tex_pread(int fd, std::span<std::uint8_t> block, std::uint64_t offset);

// Writes the whole block at `offset`, the file's position left as it was. 0,
// or -1 with errno.
int tex_pwrite(int fd, std::span<const std::uint8_t> block, std::uint64_t offset);

// Writes every byte, going on after short writes and interruptions. 0, or -1
// with write's errno.
int write_all(int fd, const void* bytes, std::size_t size);
