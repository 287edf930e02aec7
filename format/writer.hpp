// The archive writer: archives described in memory and laid out (every
// stored field may be overridden, so that tests can make malformed ones), and
// the archive sink, which writes an archive entry by entry into a descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/format.hpp"

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

// An archive written entry by entry into a seekable descriptor, for archives
// too large to describe in memory: each entry's header and payload as they
// come, its table record beside them, and the archive's header at the end.
// Nothing of the entries is held but the next free offset. Without a
// descriptor (-1) nothing is written and only the sizes are counted.
struct tex_archive_sink {
    int fd = -1;                // not owned; -1: count only
    std::uint32_t count = 0;    // the table's records, fixed at the start
    std::uint32_t added = 0;    // entries written so far
    std::uint64_t next = 0;     // where the next entry's header goes
};

// Where a payload is being written: pieces go one after the other.
struct tex_payload_out {
    int fd = -1;
    std::uint64_t at = 0;       // the payload's first byte in the file
    std::uint64_t written = 0;  // bytes so far
};

// Writes the next piece of a payload. -1 with errno, EOVERFLOW when the payload
// would hold more than the 32-bit size an entry can state.
int tex_payload_write(tex_payload_out& out, std::span<const std::uint8_t> piece);

// 0, or -1 with EOVERFLOW when `count` records leave no room for an entry below
// 4 GiB.
int tex_sink_begin(tex_archive_sink& sink, int fd, std::uint32_t count);

// The 80 bytes of an entry header as a well-formed archive stores them, with
// the name cut to 32 bytes and rep_c_sz left for the sink to fill in.
std::array<std::uint8_t, tex_entry_header_size> tex_entry_header_block(const std::string& name, std::uint16_t width,
                                                                      std::uint16_t height, std::uint8_t type);

// Adds the next entry: `header` as given but for rep_c_sz, which becomes the
// number of bytes `write_payload` wrote; the table record repeats its type and
// size. -1 with errno (EOVERFLOW when the entry would start past 4 GiB, or the
// archive already holds its `count` entries).
int tex_sink_add(tex_archive_sink& sink, std::span<const std::uint8_t, tex_entry_header_size> header,
                 const std::function<int(tex_payload_out&)>& write_payload);

// Writes the header once every entry is in. -1 with errno.
int tex_sink_finish(tex_archive_sink& sink, std::array<std::uint8_t, 3> signature, std::uint32_t second_word);

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
