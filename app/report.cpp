// The extractor's report: the archive index printed in its fixed words, each
// entry handed to the entry job, its messages and verdict printed in table
// order, and the progress bar.
#include "app/app.hpp"

#include <cstdio>
#include <map>

#include "extract/extract.hpp"

namespace {

constexpr unsigned progress_width = 67;

using u64 = unsigned long long;

void print_header(const tex_index& index)
{
    std::printf("decoding as TEX\n");
    if (index.header_cut) {
        std::printf("ERROR : header cut short: the archive holds %llu of its %zu bytes\n",
                    static_cast<u64>(index.size), tex_header_size);
    }
    const tex_header& h = index.header;
    std::printf("nb files : 0x%08X = %u\n", h.file_count, h.file_count);
    std::printf("unknown  : 0x%08X = %u\n", h.second_word, h.second_word);
    std::printf("(skip 244 bytes of padding)\n");
    report_padding(h.padding, "ERROR : 244 bytes aren't all for padding");
    if (index.table_cut) {
        const std::uint64_t after_header = index.size > tex_header_size ? index.size - tex_header_size : 0;
        std::printf("ERROR : table of %u entries needs %llu bytes, the archive holds %llu after its "
                    "header: only %u entries are read\n",
                    h.file_count, static_cast<u64>(h.file_count) * tex_table_entry_size,
                    static_cast<u64>(after_header), index.count);
    }
}

void print_table(const tex_index& index, tex_table_cursor& cursor)
{
    for (std::uint32_t i = 0; i < index.count; ++i) {
        const tex_table_entry e = tex_table_record(cursor, i);
        std::printf("\nfile %u\n", i);
        std::printf("   type id         : %u\n", e.type_id);
        std::printf("   offset          : 0x%08X = %u\n", e.offset, e.offset);
        std::printf("   compressed size : 0x%08X = %u\n", e.compressed_size, e.compressed_size);
        std::fflush(stdout);
    }
}

// Prints the entry's block and checks; false when its header can't be read.
bool print_entry(const tex_index& index, const tex_entry_view& v)
{
    std::printf("\nfile %u @ offset 0x%08X (%u)\n", v.index, v.record.offset, v.record.offset);
    std::printf("file datas size... compressed = 0x%08X (%u), in_file = 0x%08X (%d)\n", v.record.compressed_size,
                v.record.compressed_size, v.in_file, static_cast<std::int32_t>(v.in_file));
    if (v.state == tex_entry_state::past_end) {
        std::printf("ERROR : entry %u lies past the end of the archive (offset 0x%08X, archive %llu bytes)\n",
                    v.index, v.record.offset, static_cast<u64>(index.size));
        std::fflush(stdout);
        return false;
    }
    if (v.state == tex_entry_state::header_cut) {
        std::printf("ERROR : entry %u header cut short: the archive holds %zu of its %zu bytes\n", v.index,
                    v.header_got, tex_entry_header_size);
        std::fflush(stdout);
        return false;
    }
    const tex_entry_header& h = v.header;
    std::printf("   filename : %s\n", tex_printable_name(tex_entry_name(h)).c_str());
    std::printf("   width    : %u\n", h.width);
    std::printf("   height   : %u\n", h.height);
    std::printf("   rep_t_id : 0x%02X (%u)\n", h.rep_t_id, h.rep_t_id);
    std::printf("   rep_c_sz : 0x%08X (%u)\n", h.rep_c_sz, h.rep_c_sz);
    std::printf("   (skip 39 bytes of padding)\n");
    report_padding(h.padding, "ERROR : 39 bytes aren't all for padding");
    if (!v.sizes_agree) std::printf("ERROR : 2 compressed sizes not the same\n");
    if (!v.types_agree) std::printf("ERROR : 2 type_ids not the same\n");
    std::fflush(stdout);
    return true;
}

// What an entry's extraction said and how it ended, kept for the records
// that point at the same entry later on.
struct outcome_text {
    int result = -1;
    std::string lines;
};

struct walk {
    const tex_index& index;
    const output_root& root;
    bool raw;
    tex_table_cursor cursor{&index, {}, 0, 0};
    std::map<std::uint32_t, outcome_text> repeated;  // by the entry's first record
    unsigned dots = 0;
};

outcome_text extract_one(walk& w, const tex_entry_view& v, const std::string& name)
{
    outcome_text t;
    // A payload past the end is reported as such by the job.
    if (v.covers && !v.payload_past_end) {
        add_line(t.lines, "ERROR : payload of %s runs over the header of entry %u (offset 0x%08X)\n",
                 tex_printable_name(name).c_str(), *v.covers, v.covered_offset);
        return t;
    }
    extract_request r;
    r.archive_fd = w.index.fd;
    r.archive_size = w.index.size;
    r.payload_offset = v.payload_offset;
    r.payload_len = v.record.compressed_size;
    r.width = v.header.width;
    r.height = v.header.height;
    r.type = v.header.rep_t_id;
    r.name = name;
    r.output_name = name;
    r.raw = w.raw;
    extract_outcome o;
    extract_entry(w.root, r, o);
    extract_place(r, o);
    t.result = o.result;
    t.lines = std::move(o.lines);
    return t;
}

void run_extraction(walk& w, const tex_entry_view& v)
{
    const std::string name = tex_entry_name(v.header);
    if (v.header.rep_t_id != 4 && v.header.rep_t_id != 6) {
        std::printf("ERROR : unknown type\n");
        return;
    }
    outcome_text t;
    if (v.repeat_of && v.repeat_size_differs) {
        add_line(t.lines, "ERROR : entry %u points at the header of entry %u with another payload size (%u bytes, not %u)\n",
                 v.index, *v.repeat_of, v.record.compressed_size, v.repeat_size);
    } else if (const auto kept = v.repeat_of ? w.repeated.find(*v.repeat_of) : w.repeated.end();
               kept != w.repeated.end()) {
        // The same entry again: the same outcome, without doing the work twice.
        t = kept->second;
        if (!v.repeated_later) w.repeated.erase(kept);
    } else {
        t = extract_one(w, v, name);
        if (v.repeated_later) w.repeated[v.index] = t;
    }
    std::fputs(t.lines.c_str(), stdout);
    const std::string shown = tex_printable_name(name);
    if (t.result == 0) {
        std::printf("extraction of %s ok\n", shown.c_str());
    } else {
        std::printf("ERROR : extraction of %s was impossible\n", shown.c_str());
    }
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

void report_archive(const tex_index& index, bool ordered, const output_root& root, bool raw)
{
    print_header(index);
    if (!ordered) {
        std::printf("can't allocate %llu bytes for %u type_ids\n", static_cast<u64>(index.count) * 8, index.count);
        return;
    }
    walk w{index, root, raw, {&index, {}, 0, 0}, {}, 0};
    print_table(index, w.cursor);

    std::fputs("progress : ", stderr);
    std::fflush(stderr);
    for (std::uint32_t i = 0; i < index.count; ++i) {
        const tex_entry_view v = tex_read_entry(index, w.cursor, i);
        if (print_entry(index, v) && i >= 1) run_extraction(w, v);
        std::fflush(stdout);
        advance_progress(w.dots, i, index.count);
    }
    std::fputs("ok\n", stderr);
    std::fflush(stderr);
}
