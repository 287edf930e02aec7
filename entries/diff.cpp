// Comparing two archives entry by entry (entries/diff.hpp): the entries each
// side's filter and decision take, matched by name, renames paired by their
// bytes, and the pairs that differ decoded and compared on the workers.
#include "entries/diff.hpp"

#include <algorithm>
#include <compare>
#include <cstring>
#include <memory>
#include <tuple>

#include <libdeflate.h>

namespace {

// The entries of an archive that the filter takes, those with a header to
// name them, in table order, and why those that can't be decoded can't.
struct side {
    const tex_index& index;
    std::vector<diff_entry> entries;
    std::vector<tex_finding> findings;

    // Why an entry's pixels can't be decoded.
    tex_finding why(const diff_entry& e) const
    {
        switch (e.no_pixels) {
        case diff_entry::reason::repeat: return {tex_finding_kind::repeat, e.why};
        case diff_entry::reason::listed: return findings[e.why];
        case diff_entry::reason::none: break;
        }
        return {};
    }

    // What decoding an entry asks of the entry job.
    extract_request request(const diff_entry& e) const
    {
        extract_request r;
        r.archive_fd = index.fd;
        r.archive_size = index.size;
        r.payload_offset = e.payload_offset;
        r.payload_len = e.payload_size;
        r.width = e.width;
        r.height = e.height;
        r.type = e.type;
        r.name = std::string(e.name());
        r.output_name = r.name;
        r.inflate_limit = e.inflate_limit;
        r.decode_only = true;
        r.keep_image = true;
        return r;
    }
};

// The run's budgets charged as a page charges them.
side entries_of(const tex_index& index, name_filter* filter)
{
    side out{index, {}, {}};
    tex_table_cursor cursor{&index, {}, 0, 0};
    entry_walk budgets = entry_walk_start(index);
    entry_options options;
    options.write = false;
    options.decode_refused_names = true;
    if (filter && (!filter->include.empty() || !filter->exclude.empty())) options.filter = filter;
    for (std::uint32_t i = 0; i < index.count; ++i) {
        const tex_entry_view v = tex_read_entry(index, cursor, i);
        if (v.state != tex_entry_state::ok) continue;
        diff_entry e;
        e.index = i;
        const std::string name = tex_entry_name(v.header);
        // The first entry is never extracted, so the decision doesn't filter it.
        if (i == 0 && options.filter && !name_selected(*filter, name)) continue;
        const entry_plan plan = decide_entry(index, v, options, budgets);
        if (plan.step == entry_step::skip) continue;
        e.name_size = static_cast<std::uint8_t>(std::min(name.size(), e.name_bytes.size()));
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
                e.no_pixels = diff_entry::reason::listed;
                e.why = static_cast<std::uint32_t>(out.findings.size());
                out.findings.push_back(why);
            }
        } else if (plan.step == entry_step::repeat) {
            // Another record of an entry already met: decoded as that one is.
            if (!pixels_request(index, v, budgets, request)) {
                e.no_pixels = diff_entry::reason::repeat;
                e.why = plan.repeat_of;
            }
        } else {
            e.no_pixels = diff_entry::reason::listed;
            e.why = static_cast<std::uint32_t>(out.findings.size());
            out.findings.push_back(plan.over_budget ? *plan.over_budget : plan.why);
        }
        if (e.decodable()) e.inflate_limit = request.inflate_limit;
        out.entries.push_back(e);
    }
    return out;
}

// A line of the comparison, kept small: a hostile archive may hold millions
// of records, every one compared.
struct row {
    const diff_entry* a = nullptr;
    const diff_entry* b = nullptr;
    std::uint64_t differing = 0, pixels = 0;
    std::unique_ptr<std::vector<tex_finding>> why;  // undecoded: what stopped the decoding
    diff_change what = diff_change::none;
    std::uint8_t largest = 0;
};

// Reads both payloads a piece at a time; true when they hold the same bytes.
bool same_payloads(const side& sa, const diff_entry& x, const side& sb, const diff_entry& y)
{
    if (x.payload_size != y.payload_size || !x.payload_whole || !y.payload_whole) return false;
    constexpr std::size_t piece = 1 << 16;
    std::vector<std::uint8_t> left(piece), right(piece);
    for (std::uint64_t done = 0; done < x.payload_size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, x.payload_size - done));
        if (tex_pread(sa.index.fd, std::span(left.data(), n), x.payload_offset + done) != n ||
            tex_pread(sb.index.fd, std::span(right.data(), n), y.payload_offset + done) != n ||
            std::memcmp(left.data(), right.data(), n) != 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// Decodes one side's pixels (the entry job, decoding only). Null, with why,
// when they can't be had.
std::unique_ptr<extract_outcome> decoded(const side& s, const diff_entry& e, std::vector<tex_finding>& why)
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

bool known_type(std::uint8_t type)
{
    return type == 4 || type == 6;
}

// What a job finds of a pair of the same width and height, and of the same
// type or of the two known ones.
void compare(const side& a, const side& b, row& r)
{
    const bool same_type = r.a->type == r.b->type;
    if (same_type && same_payloads(a, *r.a, b, *r.b)) {
        r.what = diff_change::none;
        return;
    }
    std::vector<tex_finding> why;
    const std::unique_ptr<extract_outcome> left = decoded(a, *r.a, why);
    const std::unique_ptr<extract_outcome> right = left ? decoded(b, *r.b, why) : nullptr;
    if (!left || !right) {
        r.what = diff_change::undecoded;
        r.why = std::make_unique<std::vector<tex_finding>>(std::move(why));
        return;
    }
    const image32& x = left->image;
    const image32& y = right->image;
    r.pixels = std::uint64_t{x.width} * x.height;
    for (std::size_t k = 0; k < r.pixels; ++k) {
        const std::uint32_t p = x.pixels[k], q = y.pixels[k];
        if (p == q) continue;
        ++r.differing;
        for (unsigned shift = 0; shift < 32; shift += 8) {
            const int d = static_cast<int>((p >> shift) & 0xFF) - static_cast<int>((q >> shift) & 0xFF);
            r.largest = std::max(r.largest, static_cast<std::uint8_t>(d < 0 ? -d : d));
        }
    }
    if (r.differing) {
        r.what = diff_change::pixels;
    } else {
        r.what = same_type ? diff_change::same_pixels : diff_change::type;
    }
}

// ---------------------------------------------------------------------------
// Renames.

// An entry's type and size, which a rename keeps, in one number:
// type (8 bits), width and height (16 each) and payload size (32 bits)
// don't fit in 64, so the payload size goes beside them.
struct shape {
    std::uint64_t look = 0;          // type, width, height
    std::uint32_t payload_size = 0;
    auto operator<=>(const shape&) const = default;
};
shape shape_of(const diff_entry& e)
{
    return {std::uint64_t{e.type} << 32 | std::uint64_t{e.width} << 16 | e.height, e.payload_size};
}

// Candidates a rename tries, at most: payloads whose checksums agree but
// whose bytes don't are made on purpose, and each try reads both; and the
// candidates it looks at, taken ones too.
constexpr unsigned rename_tries = 4;
constexpr unsigned rename_looks = 64;

// The payloads' checksums (CRC-32 and Adler-32 together), read a piece at a
// time. Every side reads at most twice the archive's size: in a well-formed
// archive payloads don't overlap, and those the decision lets run over other
// headers it bounds by the archive's size too; past that, no more renames
// are looked for.
struct fingerprints {
    const side& s;
    std::uint64_t left;
    std::vector<std::uint8_t> piece = std::vector<std::uint8_t>(1 << 16);

    explicit fingerprints(const side& of) : s(of), left(2 * of.index.size) {}

    // False when the payload can't be read or the budget is spent.
    bool of(const diff_entry& e, std::uint64_t& out)
    {
        if (!e.payload_whole || e.payload_size > left) return false;
        left -= e.payload_size;
        std::uint32_t crc = 0, adler = 1;
        for (std::uint64_t done = 0; done < e.payload_size;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), e.payload_size - done));
            if (tex_pread(s.index.fd, std::span(piece.data(), n), e.payload_offset + done) != n) return false;
            crc = libdeflate_crc32(crc, piece.data(), n);
            adler = libdeflate_adler32(adler, piece.data(), n);
            done += n;
        }
        out = std::uint64_t{crc} << 32 | adler;
        return true;
    }
};

// A row only in B that a rename may take, sorted by shape and checksum, then
// in B's table order. Kept in one vector: a hostile pair of archives may hold
// millions of them.
struct candidate {
    shape of;
    std::uint64_t sum = 0;
    std::size_t row = 0;
    std::size_t first_free = 0;  // at a group's first: where its untaken ones begin
    bool operator<(const candidate& o) const { return std::tie(of, sum, row) < std::tie(o.of, o.sum, o.row); }
};

// Pairs each row only in A, in table order, with the first row only in B of
// the same type, size and bytes that no earlier one took: the pair becomes
// one rename at A's place, and B's row goes. False when stopped.
bool pair_renames(const side& sa, const side& sb, std::vector<row>& rows, std::size_t b_rows_from,
                  const std::function<bool()>& stop)
{
    std::vector<shape> in_a;
    for (std::size_t k = 0; k < b_rows_from; ++k) {
        if (rows[k].what == diff_change::only_in_a && rows[k].a->payload_whole) in_a.push_back(shape_of(*rows[k].a));
    }
    if (in_a.empty()) return true;
    std::sort(in_a.begin(), in_a.end());
    fingerprints fa(sa), fb(sb);
    std::vector<candidate> in_b;
    for (std::size_t k = b_rows_from; k < rows.size(); ++k) {
        const shape of = shape_of(*rows[k].b);
        if (!std::binary_search(in_a.begin(), in_a.end(), of)) continue;
        if (stop && stop()) return false;
        std::uint64_t sum = 0;
        if (fb.of(*rows[k].b, sum)) in_b.push_back({of, sum, k, 0});
    }
    in_a = {};
    std::sort(in_b.begin(), in_b.end());
    for (std::size_t n = 0; n < in_b.size(); ++n) in_b[n].first_free = n;
    for (std::size_t k = 0; k < b_rows_from; ++k) {
        row& r = rows[k];
        if (r.what != diff_change::only_in_a) continue;
        if (stop && stop()) return false;
        candidate key{shape_of(*r.a), 0, 0, 0};
        if (!fa.of(*r.a, key.sum)) continue;
        const auto group = std::lower_bound(in_b.begin(), in_b.end(), key);
        if (group == in_b.end() || group->of != key.of || group->sum != key.sum) continue;
        const auto same_group = [&](std::size_t n) { return n < in_b.size() && in_b[n].of == key.of && in_b[n].sum == key.sum; };
        std::size_t& first_free = group->first_free;
        while (same_group(first_free) && !rows[in_b[first_free].row].b) ++first_free;
        unsigned tries = 0;
        for (std::size_t n = first_free; same_group(n) && tries < rename_tries && n - first_free < rename_looks; ++n) {
            row& other = rows[in_b[n].row];
            if (!other.b) continue;
            ++tries;
            if (!same_payloads(sa, *r.a, sb, *other.b)) continue;
            r.b = other.b;
            r.what = diff_change::renamed;
            other.what = diff_change::none;
            other.b = nullptr;
            break;
        }
    }
    rows.erase(std::remove_if(rows.begin() + static_cast<std::ptrdiff_t>(b_rows_from), rows.end(),
                              [](const row& r) { return r.b == nullptr; }),
               rows.end());
    return true;
}

// The rows of the comparison: A's entries in table order, each with the
// n-th entry of its name in B, then what only B holds, in B's table order.
std::vector<row> matched(const side& sa, const side& sb, std::size_t& b_rows_from)
{
    // B's entries by name, those of one name in table order, and at the first
    // of each name how many of them A took: 12 bytes an entry.
    std::vector<const diff_entry*> by_name(sb.entries.size());
    for (std::size_t k = 0; k < by_name.size(); ++k) by_name[k] = &sb.entries[k];
    const auto name_less = [](const diff_entry* x, const diff_entry* y) { return x->name() < y->name(); };
    std::stable_sort(by_name.begin(), by_name.end(), name_less);
    std::vector<std::uint32_t> taken(by_name.size());
    std::vector<row> rows(sa.entries.size());
    for (std::size_t k = 0; k < sa.entries.size(); ++k) {
        const diff_entry& e = sa.entries[k];
        rows[k].a = &e;
        const auto first = std::lower_bound(by_name.begin(), by_name.end(), &e, name_less);
        const auto g = static_cast<std::size_t>(first - by_name.begin());
        const std::size_t next = g + (g < taken.size() ? taken[g] : 0);
        if (next < by_name.size() && by_name[next]->name() == e.name()) {
            rows[k].b = by_name[next];
            ++taken[g];
        } else {
            rows[k].what = diff_change::only_in_a;
        }
    }
    b_rows_from = rows.size();
    for (std::size_t g = 0; g < by_name.size();) {
        std::size_t end = g + 1;
        while (end < by_name.size() && by_name[end]->name() == by_name[g]->name()) ++end;
        for (std::size_t n = g + taken[g]; n < end; ++n) {
            row r;
            r.b = by_name[n];
            r.what = diff_change::only_in_b;
            rows.push_back(std::move(r));
        }
        g = end;
    }
    std::sort(rows.begin() + static_cast<std::ptrdiff_t>(b_rows_from), rows.end(),
              [](const row& x, const row& y) { return x.b->index < y.b->index; });
    return rows;
}

}  // namespace

const char* diff_change_name(diff_change c)
{
    switch (c) {
    case diff_change::none: return "none";
    case diff_change::only_in_a: return "only_in_a";
    case diff_change::only_in_b: return "only_in_b";
    case diff_change::size_or_type: return "size_or_type";
    case diff_change::same_pixels: return "same_pixels";
    case diff_change::pixels: return "pixels";
    case diff_change::undecoded: return "undecoded";
    case diff_change::renamed: return "renamed";
    case diff_change::type: return "type";
    }
    return "";
}

diff_counts diff_archives(const tex_index& a, const tex_index& b, const diff_options& options,
                          const std::function<void(const diff_row&)>& each)
{
    const side sa = entries_of(a, options.filter);
    const side sb = entries_of(b, options.filter);
    std::size_t b_rows_from = 0;
    std::vector<row> rows = matched(sa, sb, b_rows_from);
    diff_counts counts;
    if (!pair_renames(sa, sb, rows, b_rows_from, options.stop)) {
        counts.stopped = true;
        return counts;
    }
    ordered_options run;
    run.workers = options.workers;
    run.stop = options.stop;
    counts.stopped = run_ordered_jobs(
        static_cast<std::uint32_t>(rows.size()), run,
        [&](std::uint32_t k) {
            row& r = rows[k];
            if (!r.a || !r.b || r.what == diff_change::renamed) return ordered_job{};
            const bool comparable = r.a->type == r.b->type || (known_type(r.a->type) && known_type(r.b->type));
            if (r.a->width != r.b->width || r.a->height != r.b->height || !comparable) {
                r.what = diff_change::size_or_type;
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
            row& r = rows[k];
            if (r.what == diff_change::none) return;
            if (r.what == diff_change::only_in_a) {
                ++counts.only_in_a;
            } else if (r.what == diff_change::only_in_b) {
                ++counts.only_in_b;
            } else {
                ++counts.changed;
                if (r.what == diff_change::renamed) ++counts.renamed;
            }
            diff_row out;
            out.a = r.a;
            out.b = r.b;
            out.differing = r.differing;
            out.pixels = r.pixels;
            if (r.why) out.why = std::move(*r.why);
            out.what = r.what;
            out.largest = r.largest;
            r.why.reset();
            each(out);
        });
    return counts;
}
