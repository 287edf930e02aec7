// The phrases every program but the extractor's report words findings in:
// morvex_tex's listings, JSON and pages, and the packer's messages.
#include "entries/entries.hpp"
#include "words/words.hpp"

#include <algorithm>
#include <cstring>

namespace {

using u64 = unsigned long long;

}  // namespace

std::string finding_text(const tex_finding& f)
{
    using k = tex_finding_kind;
    const auto u = [](std::uint64_t v) { return static_cast<unsigned>(v); };
    switch (f.kind) {
    case k::archive_cut_at_limit: return format_text("goes on past the %llu bytes an archive can address", static_cast<u64>(f.a));
    case k::archive_header_cut: return format_text("header cut short: %llu of %llu bytes", static_cast<u64>(f.a), static_cast<u64>(f.b));
    case k::header_padding: return "header padding not zero";
    case k::table_cut: return format_text("table cut short: %u of %s", u(f.a), counted(f.b, "record", "records").c_str());
    case k::entry_past_end: return format_text("header at 0x%08X lies past the end of the archive", u(f.a));
    case k::entry_header_cut: return format_text("header cut short: %llu of %llu bytes", static_cast<u64>(f.a), static_cast<u64>(f.b));
    case k::entry_padding: return "padding not zero";
    case k::sizes_differ: return format_text("table size %u differs from rep_c_sz %u", u(f.a), u(f.b));
    case k::types_differ: return format_text("table type %u differs from rep_t_id %u", u(f.a), u(f.b));
    case k::unknown_type: return format_text("unknown type %u", u(f.a));
    case k::payload_past_end: return "payload runs past the end of the archive";
    case k::runs_over_header: return format_text("payload runs over the header of entry %u", u(f.a));
    case k::inflation_spent:
        return format_text("its pixels need %llu inflated bytes, more than the %llu the archive's size leaves to inflate",
                           static_cast<u64>(f.a), static_cast<u64>(f.b));
    case k::repeat: return format_text("points at the header of entry %u", u(f.a));
    case k::repeat_other_size:
        return format_text("points at the header of entry %u with another payload size (%u, not %u)", u(f.a), u(f.b), u(f.c));
    case k::name_refused:
        return format_text("name refused: %s", name_problem_text(static_cast<name_problem>(f.a), false));
    case k::no_image_format: return "no image format for its name (it must end in " + image_format_list(".") + ")";
    case k::no_pixels: return format_text("no pixels: %u x %u", u(f.a), u(f.b));
    case k::too_many_pixels: return format_text("%u x %u pixels, more than the 16384 x 16384 converted", u(f.a), u(f.b));
    case k::too_few_to_inflate:
        return format_text("payload holds %s, too few to inflate to %u * %u * 2 (%llu)", counted(f.a, "byte", "bytes").c_str(),
                           u(f.b), u(f.c), static_cast<u64>(f.d));
    case k::payload_short:
        return format_text("payload holds %s, fewer than %u * %u * 4 (%llu)", counted(f.a, "byte", "bytes").c_str(), u(f.b),
                           u(f.c), static_cast<u64>(f.d));
    case k::payload_cut:
        return format_text("payload cut short: read %llu of %s", static_cast<u64>(f.a), counted(f.b, "byte", "bytes").c_str());
    case k::stream_damaged: return "damaged zlib stream (bad data, cut short, or a wrong check value)";
    case k::stream_too_long: return format_text("zlib stream inflates to more than %llu bytes", static_cast<u64>(f.a));
    case k::inflated_length:
        return format_text("zlib stream inflates to %s, not %u * %u * 2 (%llu): missing pixels are transparent",
                           counted(f.a, "byte", "bytes").c_str(), u(f.b), u(f.c), static_cast<u64>(f.d));
    case k::no_memory_payload: return format_text("not enough memory for its %llu payload bytes", static_cast<u64>(f.a));
    case k::no_memory_inflate: return format_text("not enough memory to inflate %llu bytes", static_cast<u64>(f.a));
    case k::no_memory_image: return format_text("not enough memory for a %u x %u image", u(f.a), u(f.b));
    case k::no_memory: return "not enough memory";
    case k::output_failed: {
        const auto stage = static_cast<output_stage>(f.a);
        const char* what = stage == output_stage::create ? "can't create it" : stage == output_stage::write ? "can't write it" : "can't put it in place";
        return format_text("%s: %s", what, std::strerror(f.error));
    }
    case k::output_exists: return "exists";
    }
    return "";
}

std::vector<std::string> finding_texts(const std::vector<tex_finding>& found)
{
    std::vector<std::string> out;
    out.reserve(found.size());
    for (const tex_finding& f : found) out.push_back(finding_text(f));
    return out;
}

const char* name_problem_text(name_problem problem, bool root_is_cwd)
{
    switch (problem) {
    case name_problem::none: return "";
    case name_problem::control_byte: return "it holds a control byte";
    case name_problem::absolute_path: return "it is an absolute path";
    case name_problem::dot_dot: return "it has a \"..\" component";
    case name_problem::link_outside:
        return root_is_cwd ? "its folder is a link that leads outside the current folder"
                           : "its folder is a link that leads outside the output folder";
    case name_problem::device_name: return "it is a device name on Windows";
    case name_problem::stream_name: return "it holds a \":\" (a stream name on Windows)";
    case name_problem::trailing_dot_or_space: return "a part of it ends in a dot or a space, which Windows drops";
    case name_problem::reserved_character: return "it holds a character Windows forbids in names (<>\"|?*)";
    }
    return "";
}
