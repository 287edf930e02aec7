// TEX version 3 texture archives: the on-disk records, little-endian field
// readers, the archive walk that reports and checks every entry, and the
// archive writer used by the tests, the demo and the packing tool.
//
// This folder depends on nothing else of the project. The walk reaches the
// extractors only through the `tex_extractors` contract below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// A name fit to print: control bytes (which no sane file name holds, and which
// could drive the user's terminal) are shown as \xNN; everything else as is.
std::string tex_printable_name(const std::string& name);

// True for the 3 signature bytes "TEX" under ASCII case folding.
bool tex_signature_matches(std::span<const std::uint8_t> leading);

// ---------------------------------------------------------------------------
// The walk.

// The open archive: the stream `main` owns and the file's size, taken once at
// opening so that no field is ever trusted beyond what the file holds.
struct tex_archive {
    std::FILE* file;
    std::uint64_t size;
};

// Extractor contract: called with the stream at the first payload byte; returns
// 0 on success, -1 on failure (having printed why); leaves the position as found.
using tex_extractor = int (*)(const tex_archive& archive, std::uint32_t payload_len, std::uint32_t width,
                              std::uint32_t height, const std::string& name);

struct tex_extractors {
    tex_extractor type4;
    tex_extractor type6;
};

// Reads the rest of the header and the table, reports and checks every entry and
// hands entries 1.. to the extractor that their type selects. The stream must be
// positioned just after the 4 leading bytes.
void tex_decode(const tex_archive& archive, const tex_extractors& extractors);

// Prints nothing when every byte is zero; otherwise the title and a hex dump.
void report_padding(std::span<const std::uint8_t> run, const char* title);

// Read up to `block.size()` bytes; returns how many were read. Bytes not read
// are zeroed so that a short read never leaves stale data behind.
std::size_t tex_read_block(std::FILE* file, std::span<std::uint8_t> block);

// 64-bit absolute seek; 0 on success.
int tex_seek(std::FILE* file, std::uint64_t offset);

// ---------------------------------------------------------------------------
// The archive writer. An archive is described, then laid out; every stored
// field can be overridden so that tests can make malformed archives.

struct tex_writer_entry {
    std::string name;                     // stored filename (cut to 32 bytes)
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint8_t type = 6;                // rep_t_id
    std::vector<std::uint8_t> payload;
    // Overrides; unset means "as a well-formed archive would store it".
    std::optional<std::uint32_t> table_type;   // table's type id (default: type)
    std::optional<std::uint32_t> table_size;   // table's compressed size (default: payload size)
    std::optional<std::uint32_t> rep_c_sz;     // header's copy (default: payload size)
    std::optional<std::uint32_t> offset;       // table's offset, and where the entry goes (default: next free byte)
    bool write_body = true;                    // false: only the table record exists
    std::optional<std::array<std::uint8_t, tex_name_size>> raw_name;  // exact filename field
    std::array<std::uint8_t, tex_entry_padding_size> padding{};
};

struct tex_writer_archive {
    std::array<std::uint8_t, 3> signature{'T', 'E', 'X'};
    std::uint8_t version = tex_version;
    std::optional<std::uint32_t> file_count;  // default: entries.size()
    std::uint32_t second_word = 0;
    std::array<std::uint8_t, tex_header_padding_size> padding{};
    std::vector<tex_writer_entry> entries;
};

// The whole archive in memory.
std::vector<std::uint8_t> tex_build_archive(const tex_writer_archive& archive);

// Writes the archive to `path`; entries placed far apart leave holes, which a
// file system stores sparsely. Returns 0 or -1 (errno tells why).
int tex_write_archive(const char* path, const tex_writer_archive& archive);

// Payload makers. Type 4: ARGB4444 pixels (alpha in the top nibble) as a zlib
// stream at `level`. Type 6: ARGB8888 pixels (alpha in the top byte), stored.
std::vector<std::uint8_t> tex_make_type4_payload(std::span<const std::uint16_t> pixels, int level = 6);
std::vector<std::uint8_t> tex_make_type6_payload(std::span<const std::uint32_t> pixels);

// An empty first entry (type 6, 0 x 0, no payload): an archive's first entry is
// never extracted, so one like this stands first when every other must come out.
tex_writer_entry tex_placeholder_entry(const std::string& name = "");

tex_writer_entry tex_type4_entry(const std::string& name, std::uint16_t width, std::uint16_t height,
                                 std::span<const std::uint16_t> pixels, int level = 6);
tex_writer_entry tex_type6_entry(const std::string& name, std::uint16_t width, std::uint16_t height,
                                 std::span<const std::uint32_t> pixels);
