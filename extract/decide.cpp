// The entry decision: what becomes of one entry of the index under a walk's
// options. Every program that walks an archive asks it, so that what `test`
// says of an entry is what `extract` and the extractor do with it.
#include "extract/extract.hpp"

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
    const char* ext = format == image_format::tga   ? "tga"
                      : format == image_format::png ? "png"
                      : format == image_format::bmp ? "bmp"
                      : format == image_format::pcx ? "pcx"
                                                    : nullptr;
    if (!ext) return name;
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_ext ? name.substr(0, dot) : name) + "." + ext;
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

bool pixels_request(const tex_index& index, const tex_entry_view& v, extract_request& out)
{
    if (v.state != tex_entry_state::ok || v.payload_past_end) return false;
    const tex_entry_header& h = v.header;
    if ((h.rep_t_id != 4 && h.rep_t_id != 6) || h.width == 0 || h.height == 0 ||
        std::uint64_t{h.width} * h.height > max_image_pixels) {
        return false;
    }
    out = extract_request{};
    fill_request(index, v, out);
    out.decode_only = true;
    return true;
}

entry_walk entry_walk_start(const tex_index& index)
{
    return entry_walk{index.size};
}

entry_plan decide_entry(const tex_index& index, const tex_entry_view& v, const entry_options& options, entry_walk& walk)
{
    // The archive's first entry is never extracted.
    if (v.index == 0) return {};
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
    // A payload that takes bytes other entries take too runs within the budget.
    const bool overlaps = v.covers && !v.payload_past_end;
    if (overlaps && v.record.compressed_size > walk.overlap_left) {
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
    // Refused for its name alone: the pixels could still be decoded.
    const auto for_the_name = [&](tex_finding why) {
        entry_plan refused = refuse(why);
        refused.request = plan.request;
        refused.decodable = !v.payload_past_end && !r.raw && r.width > 0 && r.height > 0 &&
                            std::uint64_t{r.width} * r.height <= max_image_pixels;
        return refused;
    };
    if (const name_problem p = options.to_stream ? name_problem::none : output_name_problem(r.output_name);
        p != name_problem::none) {
        return for_the_name({k::name_refused, static_cast<std::uint64_t>(p)});
    }
    if (v.payload_past_end) return refuse({k::payload_past_end, r.payload_len, r.payload_offset, index.size});
    if (!r.raw) {
        if (image_format_for(r.output_name) == image_format::none) return for_the_name({k::no_image_format});
        if (r.width == 0 || r.height == 0) return refuse({k::no_pixels, r.width, r.height});
        if (std::uint64_t{r.width} * r.height > max_image_pixels) return refuse({k::too_many_pixels, r.width, r.height});
    }
    if (overlaps) walk.overlap_left -= r.payload_len;
    return plan;
}
