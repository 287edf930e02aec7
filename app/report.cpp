// The extractor's report: the archive index printed in its fixed words, each
// entry handed to the entry job, its messages and verdict printed in table
// order, and the progress bar.
#include "app/app.hpp"
#include "entries/walk.hpp"

#include <cstdio>
#include <map>

#include "entries/entries.hpp"
#include "words/words.hpp"
#include "words/escape.hpp"

namespace {

constexpr unsigned progress_width = 67;

using u64 = unsigned long long;

// Nothing when every byte is zero; otherwise the title and a dump of the
// whole run, 16 bytes a row.
void padding_dump(std::span<const std::uint8_t> run, const char* title, std::string& out)
{
    bool all_zero = true;
    for (std::uint8_t b : run) all_zero = all_zero && b == 0;
    if (all_zero) return;
    out += title;
    for (std::size_t j = 0; j < run.size(); ++j) {
        if (j % 16 == 0) {
            add_line(out, "\n%02zX :", j);
        } else if (j % 8 == 0) {
            out += " -";
        }
        add_line(out, " %02X", run[j]);
    }
    out += "\n";
}

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

// The entry's block and checks; false when its header can't be read.
bool entry_block(const tex_index& index, const tex_entry_view& v, std::string& out)
{
    add_line(out, "\nfile %u @ offset 0x%08X (%u)\n", v.index, v.record.offset, v.record.offset);
    add_line(out, "file datas size... compressed = 0x%08X (%u), in_file = 0x%08X (%d)\n", v.record.compressed_size,
             v.record.compressed_size, v.in_file, static_cast<std::int32_t>(v.in_file));
    if (v.state == tex_entry_state::past_end) {
        add_line(out, "ERROR : entry %u lies past the end of the archive (offset 0x%08X, archive %llu bytes)\n",
                 v.index, v.record.offset, static_cast<u64>(index.size));
        return false;
    }
    if (v.state == tex_entry_state::header_cut) {
        add_line(out, "ERROR : entry %u header cut short: the archive holds %zu of its %zu bytes\n", v.index,
                 v.header_got, tex_entry_header_size);
        return false;
    }
    const tex_entry_header& h = v.header;
    add_line(out, "   filename : %s\n", tex_printable_name(tex_entry_name(h)).c_str());
    add_line(out, "   width    : %u\n", h.width);
    add_line(out, "   height   : %u\n", h.height);
    add_line(out, "   rep_t_id : 0x%02X (%u)\n", h.rep_t_id, h.rep_t_id);
    add_line(out, "   rep_c_sz : 0x%08X (%u)\n", h.rep_c_sz, h.rep_c_sz);
    add_line(out, "   (skip 39 bytes of padding)\n");
    padding_dump(h.padding, "ERROR : 39 bytes aren't all for padding", out);
    if (!v.sizes_agree) add_line(out, "ERROR : 2 compressed sizes not the same\n");
    if (!v.types_agree) add_line(out, "ERROR : 2 type_ids not the same\n");
    return true;
}

// The report's words for a finding of an entry's extraction: the fixed
// lines, each ending in "\n". A damaged or over-long stream has no line of
// its own; the verdict says it all.
void finding_lines(const tex_finding& f, std::uint32_t index, const std::string& name, std::string& out)
{
    using k = tex_finding_kind;
    const char* shown = name.c_str();
    const auto u = [](std::uint64_t v) { return static_cast<unsigned>(v); };
    switch (f.kind) {
    case k::name_refused:
        add_line(out, "ERROR : refusing to write %s: %s\n", shown, name_problem_text(static_cast<name_problem>(f.a), true));
        break;
    case k::payload_past_end:
        add_line(out, "ERROR : payload of %s runs past the end of the archive (%u bytes at 0x%08llX, archive %llu bytes)\n",
                 shown, u(f.a), static_cast<u64>(f.b), static_cast<u64>(f.c));
        break;
    case k::no_image_format:
        add_line(out, "ERROR : no image format for %s (names must end in %s)\n", shown, image_format_list(".").c_str());
        break;
    case k::no_pixels:
    case k::no_memory_image:
        add_line(out, "can't create bitmap of %u * %u pixels 32bpp\n", u(f.a), u(f.b));
        break;
    case k::too_many_pixels:
        add_line(out, "ERROR : %s is %u * %u pixels, more than the 16384 * 16384 this tool converts\n", shown, u(f.a),
                 u(f.b));
        break;
    case k::output_failed:
        add_line(out, "ERROR, can't create %s for output\n", shown);
        break;
    case k::no_memory_payload:
        add_line(out, "can't allocate %llu bytes for SRC buffer of %s\n", static_cast<u64>(f.a), shown);
        break;
    case k::no_memory_inflate:
        add_line(out, "can't allocate %llu bytes for DST buffer of %s\n", static_cast<u64>(f.a), shown);
        break;
    case k::payload_cut:
        add_line(out, "ERROR : payload of %s cut short: read %llu of its %llu bytes\n", shown, static_cast<u64>(f.a),
                 static_cast<u64>(f.b));
        break;
    case k::too_few_to_inflate:
        add_line(out, "ERROR : payload of %s holds %u bytes, too few to inflate to %u * %u * 2 (%llu)\n", shown, u(f.a),
                 u(f.b), u(f.c), static_cast<u64>(f.d));
        break;
    case k::payload_short:
        add_line(out, "ERROR : payload of %s holds %u bytes, fewer than %u * %u * 4 (%llu)\n", shown, u(f.a), u(f.b),
                 u(f.c), static_cast<u64>(f.d));
        break;
    case k::inflated_length:
        add_line(out, "ERROR : out_len != width * height * 2\n");
        add_line(out, "        %llu     != %u * %u * 2 (%llu)\n", static_cast<u64>(f.a), u(f.b), u(f.c),
                 static_cast<u64>(f.d));
        break;
    case k::no_memory:
        add_line(out, "ERROR : not enough memory to extract %s\n", shown);
        break;
    case k::repeat_other_size:
        add_line(out, "ERROR : entry %u points at the header of entry %u with another payload size (%u bytes, not %u)\n",
                 index, u(f.a), u(f.b), u(f.c));
        break;
    case k::runs_over_header:
        add_line(out, "ERROR : payload of %s runs over the header of entry %u (offset 0x%08X)\n", shown, u(f.a), u(f.b));
        break;
    case k::inflation_spent:
        add_line(out, "ERROR : payload of %s would inflate to more than the archive's size allows (%llu bytes left)\n",
                 shown, static_cast<u64>(f.b));
        break;
    case k::unknown_type:
        add_line(out, "ERROR : unknown type\n");
        break;
    default:  // found by the index and printed in the entry's block, or no line of its own
        break;
    }
}

// How an entry's extraction ended, kept for the records that point at the
// same entry later on.
struct outcome_text {
    int result = -1;
    std::string lines;
};

struct walk {
    const tex_index& index;
    std::map<std::uint32_t, outcome_text> repeated;  // by the entry's first record
    unsigned dots = 0;
};

void finish_entry(walk& w, entry_task& task)
{
    const tex_entry_view& v = task.view;
    const entry_plan& plan = task.plan;
    std::string block;
    const bool read = entry_block(w.index, v, block);
    const std::string name = read ? tex_printable_name(tex_entry_name(v.header)) : std::string();
    // An unreadable header was told in the block, an unknown type gets its
    // own line: neither has a verdict.
    const bool verdict = plan.step == entry_step::repeat || plan.step == entry_step::run ||
                         (plan.step == entry_step::refuse && read && plan.why.kind != tex_finding_kind::unknown_type);
    outcome_text t;
    if (plan.step == entry_step::refuse) finding_lines(plan.why, task.index, name, verdict ? t.lines : block);
    std::fputs(block.c_str(), stdout);
    if (verdict) {
        const bool keep = read && v.repeated_later;
        if (plan.step == entry_step::repeat) {
            const auto kept = w.repeated.find(plan.repeat_of);
            if (kept != w.repeated.end()) t = kept->second;
            if (!keep && kept != w.repeated.end()) w.repeated.erase(kept);
        } else {
            if (plan.step == entry_step::run) {
                extract_place(task.request, task.outcome);
                t.result = task.outcome.result;
                for (const tex_finding& f : task.outcome.findings) finding_lines(f, task.index, name, t.lines);
            }
            if (keep) w.repeated[task.index] = t;
        }
        std::fputs(t.lines.c_str(), stdout);
        if (t.result == 0) {
            std::printf("extraction of %s ok\n", name.c_str());
        } else {
            std::printf("ERROR : extraction of %s was impossible\n", name.c_str());
        }
    }
    std::fflush(stdout);
    advance_progress(w.dots, task.index, w.index.count);
}

}  // namespace

void report_padding(std::span<const std::uint8_t> run, const char* title)
{
    std::string out;
    padding_dump(run, title, out);
    std::fputs(out.c_str(), stdout);
}

void report_archive(const tex_index& index, bool ordered, const output_root& root, bool raw)
{
    print_header(index);
    if (!ordered) {
        std::printf("can't allocate %llu bytes for %u type_ids\n", static_cast<u64>(index.count) * 8, index.count);
        return;
    }
    walk w{index, {}, 0};
    tex_table_cursor cursor{&index, {}, 0, 0};
    print_table(index, cursor);

    std::fputs("progress : ", stderr);
    std::fflush(stderr);
    walk_options options;
    options.entries.raw = raw;
    options.workers = extract_workers(raw);
    walk_entries(index, root, options, nullptr, [&](entry_task& task) { finish_entry(w, task); });
    std::fputs("ok\n", stderr);
    std::fflush(stderr);
}
