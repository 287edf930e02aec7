// The one table of the finding kinds' stable names. A switch with no default,
// so that a kind added to the enumeration without a name breaks the build
// (-Wswitch is on, and an error under MORVEX_WERROR).
#include "format/finding_names.hpp"

const char* tex_finding_name(tex_finding_kind kind)
{
    using k = tex_finding_kind;
    switch (kind) {
    case k::archive_cut_at_limit: return "archive_cut_at_limit";
    case k::archive_header_cut: return "archive_header_cut";
    case k::header_padding: return "header_padding";
    case k::table_cut: return "table_cut";
    case k::entry_past_end: return "entry_past_end";
    case k::entry_header_cut: return "entry_header_cut";
    case k::entry_padding: return "entry_padding";
    case k::sizes_differ: return "sizes_differ";
    case k::types_differ: return "types_differ";
    case k::unknown_type: return "unknown_type";
    case k::payload_past_end: return "payload_past_end";
    case k::runs_over_header: return "runs_over_header";
    case k::inflation_spent: return "inflation_spent";
    case k::repeat: return "repeat";
    case k::repeat_other_size: return "repeat_other_size";
    case k::name_refused: return "name_refused";
    case k::no_image_format: return "no_image_format";
    case k::no_pixels: return "no_pixels";
    case k::too_many_pixels: return "too_many_pixels";
    case k::too_few_to_inflate: return "too_few_to_inflate";
    case k::payload_short: return "payload_short";
    case k::payload_cut: return "payload_cut";
    case k::stream_damaged: return "stream_damaged";
    case k::stream_too_long: return "stream_too_long";
    case k::inflated_length: return "inflated_length";
    case k::no_memory_payload: return "no_memory_payload";
    case k::no_memory_inflate: return "no_memory_inflate";
    case k::no_memory_image: return "no_memory_image";
    case k::no_memory: return "no_memory";
    case k::output_failed: return "output_failed";
    case k::output_exists: return "output_exists";
    }
    return "";
}

bool tex_finding_kind_named(std::string_view name, tex_finding_kind& out)
{
    for (std::size_t k = 0; k < tex_finding_kind_count; ++k) {
        const auto kind = static_cast<tex_finding_kind>(k);
        if (name == tex_finding_name(kind)) {
            out = kind;
            return true;
        }
    }
    return false;
}
