// Reading a stream through, the same on every system. A stream can't be
// sought, so it is copied into a temporary file that every reader can seek;
// but only as far as a reader will ever look, each part read telling how far
// the next goes: what is not an archive stops after its 4 leading bytes, and
// an archive after the furthest entry its table names. Bytes past that (a
// stream that never ends, say) are left unread rather than held in $TMPDIR.
// The system halves give the stream's reads; the spool is written with
// tex_pwrite, which both have.
#include "files/archive_spool.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

namespace {

// Of what has passed, as much as tells how far to read.
struct spool_plan {
    std::array<std::uint8_t, tex_header_size> header{};       // the stream's first bytes
    std::array<std::uint8_t, tex_table_entry_size> record{};  // a table record as its bytes come
    std::uint64_t table_end = 0;    // where the table ends, once the header is in
    std::uint64_t entries_end = 0;  // the furthest end of an entry any record names
};

// Takes note of `bytes`, which stand at `at` in the stream.
void note(spool_plan& plan, std::span<const std::uint8_t> bytes, std::uint64_t at)
{
    if (at < tex_header_size) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), tex_header_size - at));
        std::copy_n(bytes.begin(), n, plan.header.begin() + static_cast<std::ptrdiff_t>(at));
        bytes = bytes.subspan(n);
        at += n;
        if (at == tex_header_size) {
            plan.table_end = tex_header_size + std::uint64_t{tex_le32(plan.header, 4)} * tex_table_entry_size;
        }
    }
    // A record's bytes may come in several reads.
    while (!bytes.empty() && at >= tex_header_size && at < plan.table_end) {
        const auto within = static_cast<std::size_t>((at - tex_header_size) % tex_table_entry_size);
        const std::size_t n = std::min(bytes.size(), tex_table_entry_size - within);
        std::copy_n(bytes.begin(), n, plan.record.begin() + static_cast<std::ptrdiff_t>(within));
        bytes = bytes.subspan(n);
        at += n;
        if (within + n == tex_table_entry_size) {
            const tex_table_entry r = tex_parse_table_entry(plan.record);
            // Both 32-bit: at most tex_max_archive_size.
            const std::uint64_t end = std::uint64_t{r.offset} + tex_entry_header_size + r.compressed_size;
            plan.entries_end = std::max(plan.entries_end, end);
        }
    }
}

// How far the stream is to be read, `size` bytes in: what the index reads
// (tex_open_index) and every entry header and payload the table names.
std::uint64_t wanted(const spool_plan& plan, std::uint64_t size)
{
    if (size < tex_leading_size) return tex_leading_size;
    const bool archive = tex_recognised(plan.header);
    if (!archive) return size;
    if (size < tex_header_size) return tex_header_size;
    if (size < plan.table_end) return plan.table_end;
    return std::max(plan.table_end, plan.entries_end);
}

}  // namespace

int tex_spool_stream(const tex_stream_read& read_some, tex_archive_file& out, std::uint64_t limit)
{
    out.read_through = true;
    out.fd.reset(tex_temporary_file());
    if (out.fd < 0) return -1;
    spool_plan plan;
    std::vector<std::uint8_t> chunk(1 << 20);
    for (;;) {
        const std::uint64_t want = std::min(wanted(plan, out.size), limit);
        if (out.size >= want) break;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), want - out.size));
        const std::int64_t got = read_some(std::span(chunk.data(), n));
        if (got < 0) return -1;
        if (got == 0) return 0;
        if (static_cast<std::uint64_t>(got) > n) {
            errno = EIO;
            return -1;
        }
        const auto piece = std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(got));
        note(plan, piece, out.size);
        if (tex_pwrite(out.fd, piece, out.size) != 0) return -1;
        out.size += piece.size();
    }
    // Stopped short of the limit, the stream's further bytes are of no
    // reader's concern; at the limit, the reader is told there were more.
    if (out.size < limit) return 0;
    std::uint8_t more = 0;
    out.cut_at_limit = read_some(std::span(&more, 1)) > 0;
    return 0;
}
