// morvex_tex diff: which textures two archives hold differently. Entries are
// matched by their stored names (the n-th of a name in one with the n-th in
// the other); a matched pair whose payloads differ is decoded, each side once,
// on the workers, and its pixels compared. Exit 0 when they are the same, 1
// when they differ, 2 on trouble, as diff and cmp end.
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "entries/ordered.hpp"
#include "entries/walk.hpp"
#include "words/escape.hpp"
#include "words/words.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string_view>

namespace {

using u64 = unsigned long long;

// One entry of one side, as the walk and the decision saw it, kept small:
// a hostile archive may hold millions of records, every one compared. What
// decoding it takes is made again from these when its turn comes.
struct side_entry {
    std::uint64_t payload_offset = 0;
    std::uint64_t inflate_limit = UINT64_MAX;  // the run's budget for its stream, as charged
    std::uint32_t index = 0;
    std::uint32_t payload_size = 0;
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

// The entries of an archive that the filter takes, those with a header to
// name them, in table order, and why those that can't be decoded can't.
struct side {
    const tex_cli_archive& archive;
    std::vector<side_entry> entries;
    std::vector<tex_finding> findings;

    // Why an entry's pixels can't be decoded.
    tex_finding why(const side_entry& e) const
    {
        switch (e.no_pixels) {
        case side_entry::reason::repeat: return {tex_finding_kind::repeat, e.why};
        case side_entry::reason::listed: return findings[e.why];
        case side_entry::reason::none: break;
        }
        return {};
    }

    // What decoding an entry asks of the entry job.
    extract_request request(const side_entry& e) const
    {
        extract_request r;
        r.archive_fd = archive.index.fd;
        r.archive_size = archive.index.size;
        r.payload_offset = e.payload_offset;
        r.payload_len = e.payload_size;
        r.width = e.width;
        r.height = e.height;
        r.type = e.type;
        r.name = e.name();
        r.output_name = r.name;
        r.inflate_limit = e.inflate_limit;
        r.decode_only = true;
        r.keep_image = true;
        return r;
    }
};

// The run's budgets charged as a page charges them.
side entries_of(const tex_cli_archive& a, name_filter& filter)
{
    const tex_index& index = a.index;
    side out{a, {}, {}};
    tex_table_cursor cursor{&index, {}, 0, 0};
    entry_walk budgets = entry_walk_start(index);
    entry_options options;
    options.write = false;
    options.decode_refused_names = true;
    if (!filter.include.empty() || !filter.exclude.empty()) options.filter = &filter;
    for (std::uint32_t i = 0; i < index.count; ++i) {
        const tex_entry_view v = tex_read_entry(index, cursor, i);
        if (v.state != tex_entry_state::ok) continue;
        side_entry e;
        e.index = i;
        const std::string name = tex_entry_name(v.header);
        // The first entry is never extracted, so the decision doesn't filter it.
        if (i == 0 && options.filter && !name_selected(filter, name)) continue;
        const entry_plan plan = decide_entry(index, v, options, budgets);
        if (plan.step == entry_step::skip) continue;
        e.name_size = static_cast<std::uint8_t>(std::min(name.size(), tex_name_size));
        std::copy_n(name.begin(), e.name_size, e.name_bytes.begin());
        e.type = v.header.rep_t_id;
        e.width = v.header.width;
        e.height = v.header.height;
        e.payload_offset = v.payload_offset;
        e.payload_size = v.record.compressed_size;
        e.payload_whole = !v.payload_past_end;
        extract_request request;
        if (plan.step == entry_step::run || (plan.step == entry_step::refuse && plan.decodable)) {
            request = plan.request;
        } else if (plan.step == entry_step::none) {
            tex_finding why{};
            if (!pixels_request(index, v, budgets, request, &why)) {
                e.no_pixels = side_entry::reason::listed;
                e.why = static_cast<std::uint32_t>(out.findings.size());
                out.findings.push_back(why);
            }
        } else if (plan.step == entry_step::repeat) {
            // Another record of an entry already met: decoded as that one is.
            if (!pixels_request(index, v, budgets, request)) {
                e.no_pixels = side_entry::reason::repeat;
                e.why = plan.repeat_of;
            }
        } else {
            e.no_pixels = side_entry::reason::listed;
            e.why = static_cast<std::uint32_t>(out.findings.size());
            out.findings.push_back(plan.over_budget ? *plan.over_budget : plan.why);
        }
        if (e.decodable()) e.inflate_limit = request.inflate_limit;
        out.entries.push_back(e);
    }
    return out;
}

enum class change : std::uint8_t {
    none,          // the same texture
    only_in_a,
    only_in_b,
    size_or_type,  // width, height or type differ: no pixels to compare one by one
    same_pixels,   // other bytes, the same pixels
    pixels,        // pixels differ
    undecoded,     // other bytes; the pixels of one side can't be decoded
};

const char* change_name(change c)
{
    switch (c) {
    case change::none: return "none";
    case change::only_in_a: return "only_in_a";
    case change::only_in_b: return "only_in_b";
    case change::size_or_type: return "size_or_type";
    case change::same_pixels: return "same_pixels";
    case change::pixels: return "pixels";
    case change::undecoded: return "undecoded";
    }
    return "";
}

// A line of the comparison, in A's table order (then B's own entries).
struct row {
    const side_entry* a = nullptr;
    const side_entry* b = nullptr;
    std::uint64_t differing = 0, pixels = 0;
    std::unique_ptr<std::vector<tex_finding>> why;  // undecoded: what stopped the decoding
    change what = change::none;
    std::uint8_t largest = 0;                        // the largest difference of one channel
};

// True when both payloads hold the same bytes, read a piece at a time.
bool same_payloads(const side& sa, const side_entry& x, const side& sb, const side_entry& y)
{
    const tex_cli_archive& a = sa.archive;
    const tex_cli_archive& b = sb.archive;
    if (x.payload_size != y.payload_size || !x.payload_whole || !y.payload_whole) return false;
    constexpr std::size_t piece = 1 << 16;
    std::vector<std::uint8_t> left(piece), right(piece);
    for (std::uint64_t done = 0; done < x.payload_size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, x.payload_size - done));
        if (tex_pread(a.index.fd, std::span(left.data(), n), x.payload_offset + done) != n ||
            tex_pread(b.index.fd, std::span(right.data(), n), y.payload_offset + done) != n ||
            std::memcmp(left.data(), right.data(), n) != 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// Decodes one side's pixels (the entry job, decoding only). Null, with why,
// when they can't be had.
std::unique_ptr<extract_outcome> decoded(const side& s, const side_entry& e, std::vector<tex_finding>& why)
{
    if (!e.decodable()) {
        why.push_back(s.why(e));
        return nullptr;
    }
    auto out = std::make_unique<extract_outcome>();
    entry_task task;
    task.request = s.request(e);
    task.run = true;
    run_entry_job(output_root{}, task);
    if (task.outcome.result != 0 || !task.outcome.image.pixels) {
        for (const tex_finding& f : task.outcome.findings) {
            if (!tex_finding_is_warning(f)) why.push_back(f);
        }
        if (why.empty()) why.push_back({tex_finding_kind::no_memory});
        return nullptr;
    }
    *out = std::move(task.outcome);
    return out;
}

// What a job finds of a pair whose width, height and type agree.
void compare(const side& a, const side& b, row& r)
{
    if (same_payloads(a, *r.a, b, *r.b)) {
        r.what = change::none;
        return;
    }
    std::vector<tex_finding> why;
    const std::unique_ptr<extract_outcome> left = decoded(a, *r.a, why);
    const std::unique_ptr<extract_outcome> right = left ? decoded(b, *r.b, why) : nullptr;
    if (!left || !right) {
        r.what = change::undecoded;
        r.why = std::make_unique<std::vector<tex_finding>>(std::move(why));
        return;
    }
    const image32& x = left->image;
    const image32& y = right->image;
    r.pixels = std::uint64_t{x.width} * x.height;
    for (std::uint64_t k = 0; k < r.pixels; ++k) {
        const std::uint32_t p = x.pixels[k], q = y.pixels[k];
        if (p == q) continue;
        ++r.differing;
        for (unsigned shift = 0; shift < 32; shift += 8) {
            const int d = static_cast<int>((p >> shift) & 0xFF) - static_cast<int>((q >> shift) & 0xFF);
            r.largest = std::max(r.largest, static_cast<std::uint8_t>(d < 0 ? -d : d));
        }
    }
    r.what = r.differing ? change::pixels : change::same_pixels;
}

struct diff_options {
    bool json = false;
    bool quiet = false;
    unsigned workers = 1;
    name_filter filter;
};

std::string dims(const side_entry& e)
{
    return format_text("%u x %u type %u", e.width, e.height, e.type);
}

// A row's line of text.
std::string text_of(const row& r, const std::string& a_path, const std::string& b_path)
{
    const std::string name = tex_printable_name(std::string((r.a ? r.a : r.b)->name()));
    switch (r.what) {
    case change::none: return "";
    case change::only_in_a: return "only in " + a_path + ": " + name;
    case change::only_in_b: return "only in " + b_path + ": " + name;
    case change::size_or_type: return name + ": size or type changed (" + dims(*r.a) + ", now " + dims(*r.b) + ")";
    case change::same_pixels: return name + ": same pixels, other bytes";
    case change::pixels:
        return format_text("%s: %llu of %llu pixels differ (largest channel difference %u)", name.c_str(),
                           static_cast<u64>(r.differing), static_cast<u64>(r.pixels), unsigned{r.largest});
    case change::undecoded: {
        std::string why;
        for (const std::string& p : finding_texts(*r.why)) why += (why.empty() ? "" : "; ") + p;
        return name + ": other bytes; the pixels can't be compared: " + tex_printable_name(why);
    }
    }
    return "";
}

void json_side(std::FILE* out, const char* key, const side_entry* e)
{
    if (!e) {
        std::fprintf(out, ", \"%s\": null", key);
        return;
    }
    std::fprintf(out, ", \"%s\": {\"index\": %u, \"type\": %u, \"width\": %u, \"height\": %u, \"size\": %u}", key,
                 e->index, e->type, e->width, e->height, e->payload_size);
}

void json_row(std::FILE* out, const row& r, bool first)
{
    std::fprintf(out, "%s\n  {\"name\": %s, \"change\": \"%s\"", first ? "" : ",",
                 tex_json_string(std::string((r.a ? r.a : r.b)->name())).c_str(), change_name(r.what));
    json_side(out, "a", r.a);
    json_side(out, "b", r.b);
    if (r.what == change::pixels || r.what == change::same_pixels) {
        std::fprintf(out, ", \"pixels\": %llu, \"pixels_differ\": %llu, \"largest_difference\": %u",
                     static_cast<u64>(r.pixels), static_cast<u64>(r.differing), unsigned{r.largest});
    }
    if (r.what == change::undecoded) {
        std::fputs(", \"problems\": [", out);
        const std::vector<std::string> texts = finding_texts(*r.why);
        for (std::size_t k = 0; k < texts.size(); ++k) std::fprintf(out, "%s%s", k ? ", " : "", tex_json_string(texts[k]).c_str());
        std::fputs("]", out);
    }
    std::fputc('}', out);
}

// Compares the two archives, saying each difference as it is found in A's
// table order, then what only B holds. True when they differ.
bool compare_archives(const tex_cli_archive& a, const tex_cli_archive& b, diff_options& o)
{
    const side sa = entries_of(a, o.filter);
    const side sb = entries_of(b, o.filter);
    const std::vector<side_entry>& left = sa.entries;
    const std::vector<side_entry>& right = sb.entries;
    // B's entries of each name, in table order: the n-th of a name in A is
    // matched with the n-th in B.
    std::map<std::string_view, std::deque<const side_entry*>> in_b;
    for (const side_entry& e : right) in_b[e.name()].push_back(&e);
    std::vector<row> rows(left.size());
    for (std::size_t k = 0; k < left.size(); ++k) {
        rows[k].a = &left[k];
        auto& queue = in_b[left[k].name()];
        if (queue.empty()) {
            rows[k].what = change::only_in_a;
        } else {
            rows[k].b = queue.front();
            queue.pop_front();
        }
    }
    for (const side_entry& e : right) {
        auto& queue = in_b[e.name()];
        if (!queue.empty() && queue.front() == &e) {
            queue.pop_front();
            row r;
            r.b = &e;
            r.what = change::only_in_b;
            rows.push_back(std::move(r));
        }
    }
    in_b.clear();
    const std::string a_path = tex_printable_name(a.path), b_path = tex_printable_name(b.path);
    std::uint64_t changed = 0, only_a = 0, only_b = 0;
    bool first = true;
    if (o.json) {
        std::fprintf(stdout, "{\"a\": %s, \"b\": %s, \"changes\": [", tex_json_string(a.path).c_str(),
                     tex_json_string(b.path).c_str());
    }
    ordered_options run;
    run.workers = o.workers;
    run_ordered_jobs(
        static_cast<std::uint32_t>(rows.size()), run,
        [&](std::uint32_t k) {
            row& r = rows[k];
            if (!r.a || !r.b) return ordered_job{};
            if (r.a->type != r.b->type || r.a->width != r.b->width || r.a->height != r.b->height) {
                r.what = change::size_or_type;
                return ordered_job{};
            }
            const std::uint64_t memory = (r.a->decodable() ? entry_job_memory(sa.request(*r.a)) : 0) +
                                         (r.b->decodable() ? entry_job_memory(sb.request(*r.b)) : 0);
            return ordered_job{true, memory};
        },
        [&](std::uint32_t k) -> std::uint64_t {
            compare(sa, sb, rows[k]);
            return 0;
        },
        [&](std::uint32_t k) {
            const row& r = rows[k];
            if (r.what == change::none) return;
            if (r.what == change::only_in_a) {
                ++only_a;
            } else if (r.what == change::only_in_b) {
                ++only_b;
            } else {
                ++changed;
            }
            if (o.json) {
                json_row(stdout, r, first);
                first = false;
            } else if (!o.quiet) {
                std::printf("%s\n", text_of(r, a_path, b_path).c_str());
            }
        });
    const bool differ = changed + only_a + only_b > 0;
    if (o.json) {
        std::printf("\n ], \"same\": %s, \"changed\": %llu, \"only_in_a\": %llu, \"only_in_b\": %llu}\n",
                    differ ? "false" : "true", static_cast<u64>(changed), static_cast<u64>(only_a), static_cast<u64>(only_b));
    } else if (differ && o.quiet) {
        std::printf("%s and %s differ\n", a_path.c_str(), b_path.c_str());
    } else if (differ) {
        std::printf("%s and %s differ: %llu changed, %llu only in %s, %llu only in %s\n", a_path.c_str(), b_path.c_str(),
                    static_cast<u64>(changed), static_cast<u64>(only_a), a_path.c_str(), static_cast<u64>(only_b),
                    b_path.c_str());
    }
    return differ;
}

}  // namespace

int tex_diff_main(int argc, char** argv)
{
    const tex_command& diff = tex_diff_command;
    tex_command_line line;
    if (int status = 0; !tex_cli_read(diff, argc, argv, line, status)) return status;
    diff_options o;
    o.json = line.has(tex_opt::json);
    o.quiet = line.has(tex_opt::quiet);
    const int workers = tex_cli_workers("diff", line.value(tex_opt::jobs), line.has(tex_opt::jobs), false);
    if (workers < 0) return tex_cli_try_help(diff);
    o.workers = static_cast<unsigned>(workers);
    if (line.operands.size() < 2) return tex_cli_usage(diff, "two archives to compare, then patterns");
    o.filter.include.assign(line.operands.begin() + 2, line.operands.end());
    for (const std::string& p : line.values(tex_opt::include)) o.filter.include.push_back(p);
    o.filter.exclude = line.values(tex_opt::exclude);
    o.filter.ignore_case = line.has(tex_opt::ignore_case);
    if (line.operands[0] == "-" && line.operands[1] == "-") return tex_cli_usage(diff, "standard input can be read once");
    tex_cli_archive a, b;
    if (tex_cli_open(line.operands[0], a) != 0 || tex_cli_open(line.operands[1], b) != 0) return tex_exit_usage;
    const bool differ = compare_archives(a, b, o);
    if (!tex_cli_flush_output("diff")) return tex_exit_usage;
    return differ ? tex_exit_problem : tex_exit_ok;
}
