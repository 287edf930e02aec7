// The archive index: header, table and entry headers, each checked against
// the file's real size and against its stored copy.
//
// A hostile table may list tens of millions of records, so the index keeps 8
// bytes a record (their order by offset) and reads the records themselves
// from the file as a walk reaches them.
#include "format/format.hpp"

#include <algorithm>
#include <new>

namespace {

// Table records read at a time: 64 KiB of the table.
constexpr std::uint32_t window_records = 65536 / tex_table_entry_size;

std::uint64_t order_key(std::uint32_t offset, std::uint32_t index)
{
    return std::uint64_t{offset} << 32 | index;
}

std::uint32_t key_index(std::uint64_t key)
{
    return static_cast<std::uint32_t>(key);
}

std::uint32_t key_offset(std::uint64_t key)
{
    return static_cast<std::uint32_t>(key >> 32);
}

tex_table_entry record_at(const tex_index& index, std::uint32_t i)
{
    std::array<std::uint8_t, tex_table_entry_size> block{};
    tex_pread(index.fd, block, tex_header_size + std::uint64_t{i} * tex_table_entry_size);
    return tex_parse_table_entry(block);
}

int order_records(tex_index& index)
{
    try {
        index.by_offset.reserve(index.count);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    tex_table_cursor cursor{&index, {}, 0, 0};
    for (std::uint32_t i = 0; i < index.count; ++i) {
        index.by_offset.push_back(order_key(tex_table_record(cursor, i).offset, i));
    }
    std::sort(index.by_offset.begin(), index.by_offset.end());
    return 0;
}

// Where the payload runs over another entry's header, and whether an
// earlier record points at the same entry: both from the records' order.
void place_entry(const tex_index& index, tex_entry_view& v)
{
    const std::uint32_t offset = v.record.offset;
    const auto& order = index.by_offset;
    const auto same_first = std::lower_bound(order.begin(), order.end(), order_key(offset, 0));
    const auto same_end = std::upper_bound(order.begin(), order.end(), order_key(offset, UINT32_MAX));

    // The next header after this one: the payload must end before it.
    if (same_end != order.end() && v.record.compressed_size > 0 &&
        key_offset(*same_end) < v.payload_offset + v.record.compressed_size) {
        v.covers = key_index(*same_end);
        v.covered_offset = key_offset(*same_end);
    }

    // Records of one offset are in index order; the first is never extracted
    // when it is record 0, so the entry's extraction belongs to the first
    // record from 1 on.
    auto first = same_first;
    if (first != same_end && key_index(*first) == 0) ++first;
    if (first == same_end) return;
    const std::uint32_t owner = key_index(*first);
    if (owner < v.index) {
        v.repeat_of = owner;
        v.repeat_size = record_at(index, owner).compressed_size;
        v.repeat_size_differs = v.repeat_size != v.record.compressed_size;
    }
    v.repeated_later = owner <= v.index && key_index(*(same_end - 1)) > v.index;
}

}  // namespace

int tex_open_index(int fd, std::uint64_t size, tex_index& out)
{
    out = tex_index{};
    out.fd = fd;
    out.size = size;
    out.leading_got = tex_pread(fd, out.leading, 0);
    out.recognised = tex_recognised(out.leading);
    if (!out.recognised) return 0;

    std::array<std::uint8_t, tex_header_size> block{};
    out.header_cut = tex_pread(fd, block, 0) < block.size();
    out.header = tex_parse_header(block);
    out.padding_zero = std::all_of(out.header.padding.begin(), out.header.padding.end(),
                                   [](std::uint8_t b) { return b == 0; });

    const std::uint64_t after_header = size > tex_header_size ? size - tex_header_size : 0;
    const std::uint64_t present = after_header / tex_table_entry_size;
    out.table_cut = out.header.file_count > present;
    out.count = out.table_cut ? static_cast<std::uint32_t>(present) : out.header.file_count;
    return order_records(out);
}

tex_table_entry tex_table_record(tex_table_cursor& cursor, std::uint32_t i)
{
    if (i < cursor.first || i - cursor.first >= cursor.held) {
        const std::uint32_t n = std::min(window_records, cursor.index->count - i);
        cursor.window.resize(std::size_t{n} * tex_table_entry_size);
        tex_pread(cursor.index->fd, cursor.window, tex_header_size + std::uint64_t{i} * tex_table_entry_size);
        cursor.first = i;
        cursor.held = n;
    }
    const auto at = std::span(cursor.window).subspan(std::size_t{i - cursor.first} * tex_table_entry_size);
    return tex_parse_table_entry(at.first<tex_table_entry_size>());
}

tex_entry_view tex_read_entry(const tex_index& index, tex_table_cursor& cursor, std::uint32_t i)
{
    tex_entry_view v;
    v.index = i;
    v.record = tex_table_record(cursor, i);
    if (i + 1 < index.count) v.in_file = tex_table_record(cursor, i + 1).offset - v.record.offset;
    v.payload_offset = std::uint64_t{v.record.offset} + tex_entry_header_size;
    v.payload_past_end = v.payload_offset + v.record.compressed_size > index.size;

    if (v.record.offset >= index.size) {
        v.state = tex_entry_state::past_end;
        return v;
    }
    std::array<std::uint8_t, tex_entry_header_size> block{};
    v.header_got = tex_pread(index.fd, block, v.record.offset);
    if (v.header_got < block.size()) {
        v.state = tex_entry_state::header_cut;
        return v;
    }
    v.header = tex_parse_entry_header(block);
    v.padding_zero = std::all_of(v.header.padding.begin(), v.header.padding.end(), [](std::uint8_t b) { return b == 0; });
    v.sizes_agree = v.record.compressed_size == v.header.rep_c_sz;
    v.types_agree = v.record.type_id == v.header.rep_t_id;
    place_entry(index, v);
    return v;
}

std::vector<tex_finding> tex_archive_findings(const tex_index& index, bool cut_at_limit)
{
    using k = tex_finding_kind;
    std::vector<tex_finding> out;
    if (cut_at_limit) out.push_back({k::archive_cut_at_limit, tex_max_archive_size});
    if (index.header_cut) out.push_back({k::archive_header_cut, index.size, tex_header_size});
    if (!index.padding_zero) out.push_back({k::header_padding});
    if (index.table_cut) {
        const std::uint64_t after_header = index.size > tex_header_size ? index.size - tex_header_size : 0;
        out.push_back({k::table_cut, index.count, index.header.file_count,
                       std::uint64_t{index.header.file_count} * tex_table_entry_size, after_header});
    }
    return out;
}

std::vector<tex_finding> tex_entry_findings(const tex_index& index, const tex_entry_view& v)
{
    using k = tex_finding_kind;
    std::vector<tex_finding> out;
    if (v.state == tex_entry_state::past_end) return {{k::entry_past_end, v.record.offset, index.size}};
    if (v.state == tex_entry_state::header_cut) return {{k::entry_header_cut, v.header_got, tex_entry_header_size}};
    const tex_entry_header& h = v.header;
    if (!v.padding_zero) out.push_back({k::entry_padding});
    if (!v.sizes_agree) out.push_back({k::sizes_differ, v.record.compressed_size, h.rep_c_sz});
    if (!v.types_agree) out.push_back({k::types_differ, v.record.type_id, h.rep_t_id});
    if (h.rep_t_id != 4 && h.rep_t_id != 6) out.push_back({k::unknown_type, h.rep_t_id});
    if (v.payload_past_end) {
        out.push_back({k::payload_past_end, v.record.compressed_size, v.payload_offset, index.size});
    } else if (v.covers) {
        out.push_back({k::runs_over_header, *v.covers, v.covered_offset});
    }
    if (v.repeat_of && v.repeat_size_differs) {
        out.push_back({k::repeat_other_size, *v.repeat_of, v.record.compressed_size, v.repeat_size});
    } else if (v.repeat_of) {
        out.push_back({k::repeat, *v.repeat_of});
    }
    return out;
}
