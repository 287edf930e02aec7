// Fuzz target: reading an archive through from a stream. The input is the
// stream, handed over in pieces whose size its length picks; besides the
// sanitizers, it aborts when the spool is not the stream's first bytes, runs
// past the limit or past the stream, or stops short of what a reader of a
// recognised archive will look at.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "files/archive_spool.hpp"
#include "files/files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t piece = 1 + size % 97;
    const std::uint8_t* stream = data;
    const std::size_t length = size;
    const std::uint64_t limit = 1 << 16;
    std::size_t at = 0;
    const tex_stream_read read_some = [&](std::span<std::uint8_t> into) -> std::int64_t {
        const std::size_t n = std::min({into.size(), piece, length - at});
        std::copy_n(stream + at, n, into.data());
        at += n;
        return static_cast<std::int64_t>(n);
    };
    tex_archive_file file;
    if (tex_spool_stream(read_some, file, limit) != 0) std::abort();
    if (file.size > length || file.size > limit) std::abort();
    std::vector<std::uint8_t> spooled(file.size);
    if (tex_pread(file.fd, spooled, 0) != spooled.size() || !std::equal(spooled.begin(), spooled.end(), stream)) std::abort();
    // What is no archive stops at its first 4 bytes. An archive is spooled as
    // far as its header, its table and the furthest entry the table names
    // (what the stream holds of them, within the limit), and no further.
    const std::uint64_t held = std::min<std::uint64_t>(length, limit);
    if (length < tex_leading_size || !tex_recognised({stream, tex_leading_size})) {
        if (file.size != std::min<std::uint64_t>(held, tex_leading_size)) std::abort();
        return 0;
    }
    std::uint64_t end = tex_header_size;
    if (held >= tex_header_size) {
        const std::uint64_t count = tex_le32({stream, tex_header_size}, 4);
        end += count * tex_table_entry_size;
        const std::uint64_t present = std::min<std::uint64_t>(count, (held - tex_header_size) / tex_table_entry_size);
        for (std::uint64_t i = 0; i < present; ++i) {
            const std::span<const std::uint8_t> record(stream + tex_header_size + i * tex_table_entry_size, tex_table_entry_size);
            end = std::max<std::uint64_t>(end, std::uint64_t{tex_le32(record, 4)} + tex_entry_header_size + tex_le32(record, 8));
        }
    }
    if (file.size != std::min(held, end)) std::abort();
    return 0;
}
