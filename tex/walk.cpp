// The archive walk: reads the header and the entry table, reports and checks
// every entry, hands entries to the extractors and draws the progress bar.
//
// Every count, offset and size comes from the file and is checked against the
// archive's real size before it sizes a table, a read or a loop: a damaged
// archive is reported line by line and walked as far as it holds together.
#include "tex/tex.hpp"

#include <memory>
#include <new>

namespace {

constexpr unsigned progress_width = 67;

using u64 = unsigned long long;

// One table of `count` words, zero-filled; empty on allocation failure.
std::unique_ptr<std::uint32_t[]> take_table(std::uint32_t count)
{
    return std::unique_ptr<std::uint32_t[]>(new (std::nothrow) std::uint32_t[count ? count : 1]());
}

struct entry_tables {
    std::unique_ptr<std::uint32_t[]> type_ids;
    std::unique_ptr<std::uint32_t[]> offsets;
    std::unique_ptr<std::uint32_t[]> compressed_sizes;
};

// Reads and reports the rest of the header; returns the number of table
// records the walk may read (the file count, cut to what the archive holds).
std::uint32_t read_header(const tex_archive& archive)
{
    std::array<std::uint8_t, tex_header_size> block{};
    const std::size_t got =
        tex_read_block(archive.file, std::span(block).subspan(tex_leading_size));
    const tex_header header = tex_parse_header(block);

    std::printf("decoding as TEX\n");
    if (got < tex_header_size - tex_leading_size) {
        std::printf("ERROR : header cut short: the archive holds %llu of its %zu bytes\n",
                    static_cast<u64>(archive.size), tex_header_size);
    }
    std::printf("nb files : 0x%08X = %u\n", header.file_count, header.file_count);
    std::printf("unknown  : 0x%08X = %u\n", header.second_word, header.second_word);
    std::printf("(skip 244 bytes of padding)\n");
    report_padding(header.padding, "ERROR : 244 bytes aren't all for padding");

    const std::uint64_t after_header = archive.size > tex_header_size ? archive.size - tex_header_size : 0;
    const std::uint64_t present = after_header / tex_table_entry_size;
    if (header.file_count > present) {
        std::printf("ERROR : table of %u entries needs %llu bytes, the archive holds %llu after its "
                    "header: only %llu entries are read\n",
                    header.file_count, static_cast<u64>(header.file_count) * tex_table_entry_size,
                    static_cast<u64>(after_header), static_cast<u64>(present));
        return static_cast<std::uint32_t>(present);
    }
    return header.file_count;
}

// Takes the three tables; prints the failure and returns false if one can't be had.
bool take_tables(entry_tables& t, std::uint32_t count)
{
    const u64 bytes = static_cast<u64>(count) * 4;
    t.type_ids = take_table(count);
    if (!t.type_ids) {
        std::printf("can't allocate %llu bytes for %u type_ids\n", bytes, count);
        return false;
    }
    t.offsets = take_table(count);
    if (!t.offsets) {
        std::printf("can't allocate %llu bytes for %u offsets\n", bytes, count);
        return false;
    }
    t.compressed_sizes = take_table(count);
    if (!t.compressed_sizes) {
        std::printf("can't allocate %llu bytes for %u compressed sizes\n", bytes, count);
        return false;
    }
    return true;
}

void read_table(const tex_archive& archive, entry_tables& t, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::uint8_t, tex_table_entry_size> block{};
        tex_read_block(archive.file, block);
        const tex_table_entry e = tex_parse_table_entry(block);
        std::printf("\nfile %u\n", i);
        std::printf("   type id         : %u\n", e.type_id);
        std::printf("   offset          : 0x%08X = %u\n", e.offset, e.offset);
        std::printf("   compressed size : 0x%08X = %u\n", e.compressed_size, e.compressed_size);
        std::fflush(stdout);
        t.type_ids[i] = e.type_id;
        t.offsets[i] = e.offset;
        t.compressed_sizes[i] = e.compressed_size;
    }
}

void run_extractor(const tex_archive& archive, const tex_extractors& extractors, const tex_entry_header& h,
                   std::uint32_t payload_len)
{
    const std::string name = tex_entry_name(h);
    tex_extractor extract = nullptr;
    if (h.rep_t_id == 6) extract = extractors.type6;
    if (h.rep_t_id == 4) extract = extractors.type4;
    if (!extract) {
        std::printf("ERROR : unknown type\n");
        return;
    }
    const std::string shown = tex_printable_name(name);
    if (extract(archive, payload_len, h.width, h.height, name) == 0) {
        std::printf("extraction of %s ok\n", shown.c_str());
    } else {
        std::printf("ERROR : extraction of %s was impossible\n", shown.c_str());
    }
}

void visit_entry(const tex_archive& archive, const tex_extractors& extractors, const entry_tables& t,
                 std::uint32_t i, std::uint32_t count)
{
    const std::uint32_t offset = t.offsets[i];
    const int sought = tex_seek(archive.file, offset);
    std::printf("\nfile %u @ offset 0x%08X (%u)\n", i, offset, offset);

    const std::uint32_t in_file = i + 1 < count ? t.offsets[i + 1] - offset : 0;
    std::printf("file datas size... compressed = 0x%08X (%u), in_file = 0x%08X (%d)\n", t.compressed_sizes[i],
                t.compressed_sizes[i], in_file, static_cast<std::int32_t>(in_file));

    if (sought != 0 || offset >= archive.size) {
        std::printf("ERROR : entry %u lies past the end of the archive (offset 0x%08X, archive %llu bytes)\n", i,
                    offset, static_cast<u64>(archive.size));
        std::fflush(stdout);
        return;
    }
    std::array<std::uint8_t, tex_entry_header_size> block{};
    const std::size_t got = tex_read_block(archive.file, block);
    if (got < block.size()) {
        std::printf("ERROR : entry %u header cut short: the archive holds %zu of its %zu bytes\n", i, got,
                    tex_entry_header_size);
        std::fflush(stdout);
        return;
    }
    const tex_entry_header h = tex_parse_entry_header(block);
    std::printf("   filename : %s\n", tex_printable_name(tex_entry_name(h)).c_str());
    std::printf("   width    : %u\n", h.width);
    std::printf("   height   : %u\n", h.height);
    std::printf("   rep_t_id : 0x%02X (%u)\n", h.rep_t_id, h.rep_t_id);
    std::printf("   rep_c_sz : 0x%08X (%u)\n", h.rep_c_sz, h.rep_c_sz);
    std::printf("   (skip 39 bytes of padding)\n");
    report_padding(h.padding, "ERROR : 39 bytes aren't all for padding");
    if (t.compressed_sizes[i] != h.rep_c_sz) std::printf("ERROR : 2 compressed sizes not the same\n");
    if (t.type_ids[i] != h.rep_t_id) std::printf("ERROR : 2 type_ids not the same\n");
    std::fflush(stdout);

    if (i >= 1) run_extractor(archive, extractors, h, t.compressed_sizes[i]);
}

// The bar reaches floor(67 * i / count) dots after entry i, so it ends one
// step short of full; 64-bit so that huge counts can't wrap the product.
void advance_progress(unsigned& dots, std::uint32_t i, std::uint32_t count)
{
    const auto target = static_cast<unsigned>(static_cast<std::uint64_t>(progress_width) * i / count);
    while (dots < target) {
        std::fputs(".", stderr);
        std::fflush(stderr);
        ++dots;
    }
}

}  // namespace

void report_padding(std::span<const std::uint8_t> run, const char* title)
{
    bool all_zero = true;
    for (std::uint8_t b : run) all_zero = all_zero && b == 0;
    if (all_zero) return;
    std::fputs(title, stdout);
    for (std::size_t j = 0; j < run.size(); ++j) {
        if (j % 16 == 0) {
            std::printf("\n%02zX :", j);
        } else if (j % 8 == 0) {
            std::printf(" -");
        }
        std::printf(" %02X", run[j]);
    }
    std::printf("\n");
}

void tex_decode(const tex_archive& archive, const tex_extractors& extractors)
{
    const std::uint32_t count = read_header(archive);
    entry_tables tables;
    if (!take_tables(tables, count)) return;
    read_table(archive, tables, count);

    std::fputs("progress : ", stderr);
    std::fflush(stderr);
    unsigned dots = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        visit_entry(archive, extractors, tables, i, count);
        advance_progress(dots, i, count);
    }
    std::fputs("ok\n", stderr);
    std::fflush(stderr);
}
