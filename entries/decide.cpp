// The entry decision: what becomes of one entry of the index under a walk's
// options. Every program that walks an archive asks it, so that what `test`
// says of an entry is what `extract` and the extractor do with it.
#include "entries/entries.hpp"
#include "entries/walk.hpp"

#include <algorithm>

namespace {

using k = tex_finding_kind;

entry_plan refuse(tex_finding why)
{
    entry_plan plan;
    plan.step = entry_step::refuse;
    plan.why = why;
    return plan;
}

// The name an entry is written under: the stored one, or with its extension
// (after the last dot of its last component) that of a forced format.
std::string output_name_for(const std::string& name, image_format format)
{
    const image_format_row* row = image_format_row_of(format);
    if (!row) return name;
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_ext ? name.substr(0, dot) : name) + "." + row->name;
}

void fill_request(const tex_index& index, const tex_entry_view& v, extract_request& r)
{
    r.archive_fd = index.fd;
    r.archive_size = index.size;
    r.payload_offset = v.payload_offset;
    r.payload_len = v.record.compressed_size;
    r.width = v.header.width;
    r.height = v.header.height;
    r.type = v.header.rep_t_id;
    r.name = tex_entry_name(v.header);
    r.output_name = r.name;
}

}  // namespace

std::uint64_t inflate_room(const extract_request& r)
{
    const std::uint64_t pixels = std::uint64_t{r.width} * r.height;
    const std::uint64_t most = r.payload_len * max_inflate_ratio + max_inflate_slack;
    return std::min({pixels * 6, most & ~std::uint64_t{1}, r.inflate_limit & ~std::uint64_t{1}});
}

namespace {

// Charges the walk's budgets for decoding (or copying) the request's entry:
// its payload to the overlap budget when it runs over another entry's
// header, the most its stream may inflate to to the inflation budget. A
// stream whose pixels still fit what is left gets that much room. False,
// with the reason, when either budget can't take it; nothing is charged then.
bool charge(entry_walk& walk, const tex_entry_view& v, extract_request& r, tex_finding& why)
{
    const bool overlaps = v.covers && !v.payload_past_end;
    if (overlaps && r.payload_len > walk.overlap_left) {
        why = {k::runs_over_header, *v.covers, v.covered_offset};
        return false;
    }
    std::uint64_t room = 0;
    if (r.type == 4 && !r.raw) {
        const std::uint64_t expected = std::uint64_t{r.width} * r.height * 2;
        room = inflate_room(r);
        // A stream that can't fill its pixels is refused by the job before
        // it inflates anything: nothing to charge.
        if (expected > r.payload_len * max_inflate_ratio + max_inflate_slack) room = 0;
        if (room > walk.inflate_left) {
            if (expected > walk.inflate_left) {
                why = {k::inflation_spent, expected, walk.inflate_left};
                return false;
            }
            room = walk.inflate_left & ~std::uint64_t{1};
            r.inflate_limit = room;
        }
    }
    if (overlaps) walk.overlap_left -= r.payload_len;
    walk.inflate_left -= room;
    return true;
}

}  // namespace

bool pixels_request(const tex_index& index, const tex_entry_view& v, entry_walk& walk, extract_request& out,
                    tex_finding* why)
{
    tex_finding reason{};
    const auto no = [&](const tex_finding& f) {
        if (why) *why = f;
        return false;
    };
    if (v.state == tex_entry_state::past_end) return no({k::entry_past_end, v.record.offset, index.size});
    if (v.state == tex_entry_state::header_cut) return no({k::entry_header_cut, v.header_got, tex_entry_header_size});
    const tex_entry_header& h = v.header;
    if (h.rep_t_id != 4 && h.rep_t_id != 6) return no({k::unknown_type, h.rep_t_id});
    if (v.payload_past_end) return no({k::payload_past_end, v.record.compressed_size, v.payload_offset, index.size});
    if (h.width == 0 || h.height == 0) return no({k::no_pixels, h.width, h.height});
    if (std::uint64_t{h.width} * h.height > max_image_pixels) return no({k::too_many_pixels, h.width, h.height});
    out = extract_request{};
    fill_request(index, v, out);
    out.decode_only = true;
    return charge(walk, v, out, reason) || no(reason);
}

entry_walk entry_walk_start(const tex_index& index)
{
    entry_walk walk;
    walk.overlap_left = index.size;
    walk.inflate_left = index.size > UINT64_MAX / max_inflate_ratio ? UINT64_MAX : index.size * max_inflate_ratio;
    return walk;
}

entry_plan decide_entry(const tex_index& index, const tex_entry_view& v, const entry_options& options, entry_walk& walk)
{
    // The archive's first entry is never extracted.
    if (v.index == 0) return {};
    if (options.filter) {
        const bool taken = v.state == tex_entry_state::ok ? name_selected(*options.filter, tex_entry_name(v.header))
                                                           : options.filter->include.empty();
        if (!taken) {
            entry_plan plan;
            plan.step = entry_step::skip;
            return plan;
        }
    }
    if (v.state == tex_entry_state::past_end) return refuse({k::entry_past_end, v.record.offset, index.size});
    if (v.state == tex_entry_state::header_cut) return refuse({k::entry_header_cut, v.header_got, tex_entry_header_size});
    const tex_entry_header& h = v.header;
    if (h.rep_t_id != 4 && h.rep_t_id != 6) return refuse({k::unknown_type, h.rep_t_id});
    if (v.repeat_of && v.repeat_size_differs) {
        return refuse({k::repeat_other_size, *v.repeat_of, v.record.compressed_size, v.repeat_size});
    }
    if (v.repeat_of) {
        entry_plan plan;
        plan.step = entry_step::repeat;
        plan.repeat_of = *v.repeat_of;
        return plan;
    }
    // A payload that takes bytes other entries take too runs within the
    // budget, whatever else becomes of it.
    if (v.covers && !v.payload_past_end && v.record.compressed_size > walk.overlap_left) {
        return refuse({k::runs_over_header, *v.covers, v.covered_offset});
    }

    entry_plan plan;
    plan.step = entry_step::run;
    extract_request& r = plan.request;
    fill_request(index, v, r);
    r.output_name = options.raw ? r.name : output_name_for(r.name, options.format);
    r.raw = options.raw;
    r.decode_only = !options.write;
    r.keep = options.keep;

    // The checks that need neither the payload nor the output, in the order
    // the extractor has always made them.
    // Refused for its name alone: a page still decodes the pixels, and pays
    // for them as for any other entry's.
    const auto for_the_name = [&](tex_finding why) {
        entry_plan refused = refuse(why);
        refused.request = plan.request;
        refused.request.raw = false;
        refused.request.decode_only = true;
        if (options.decode_refused_names && !v.payload_past_end && r.width > 0 && r.height > 0 &&
            std::uint64_t{r.width} * r.height <= max_image_pixels) {
            tex_finding over{};
            refused.decodable = charge(walk, v, refused.request, over);
            if (!refused.decodable) refused.over_budget = over;
        }
        return refused;
    };
    if (const name_problem p = options.to_stream ? name_problem::none : output_name_problem(r.output_name);
        p != name_problem::none) {
        return for_the_name({k::name_refused, static_cast<std::uint64_t>(p)});
    }
    if (v.payload_past_end) return refuse({k::payload_past_end, r.payload_len, r.payload_offset, index.size});
    if (!r.raw) {
        // A stored name chooses among the formats entries are named in; --format among those written.
        const image_use use = options.format == image_format::none ? image_use::store : image_use::write;
        if (image_format_for(r.output_name, use) == image_format::none) return for_the_name({k::no_image_format});
        if (r.width == 0 || r.height == 0) return refuse({k::no_pixels, r.width, r.height});
        if (std::uint64_t{r.width} * r.height > max_image_pixels) return refuse({k::too_many_pixels, r.width, r.height});
    }
    tex_finding why{};
    if (!charge(walk, v, r, why)) return refuse(why);
    return plan;
}
