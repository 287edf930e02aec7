// Comparing two archives: the comparison of `morvex_tex diff`
// (entries/diff.hpp), its changes handed to the caller as values.
#include "api/internal.hpp"

#include "entries/diff.hpp"
#include "words/words.hpp"

namespace {

// The ABI's stable number of a change. A switch without a default: a new
// kind without its number breaks the build.
std::uint32_t change_number(diff_change c)
{
    switch (c) {
    case diff_change::none: break;
    case diff_change::only_in_a: return MORVEX_TEX_CHANGE_ONLY_IN_A;
    case diff_change::only_in_b: return MORVEX_TEX_CHANGE_ONLY_IN_B;
    case diff_change::size_or_type: return MORVEX_TEX_CHANGE_SIZE_OR_TYPE;
    case diff_change::same_pixels: return MORVEX_TEX_CHANGE_SAME_PIXELS;
    case diff_change::pixels: return MORVEX_TEX_CHANGE_PIXELS;
    case diff_change::undecoded: return MORVEX_TEX_CHANGE_UNDECODED;
    case diff_change::renamed: return MORVEX_TEX_CHANGE_RENAMED;
    case diff_change::type: return MORVEX_TEX_CHANGE_TYPE;
    }
    return 0;
}

morvex_tex_diff_entry side_of(const diff_entry* e)
{
    morvex_tex_diff_entry out{};
    if (!e) return out;
    out.index = e->index;
    out.type = e->type;
    out.width = e->width;
    out.height = e->height;
    out.payload_size = e->payload_size;
    out.name = {e->name_bytes.data(), e->name_size};
    return out;
}

}  // namespace

extern "C" {

MORVEX_TEX_API const char* morvex_tex_change_name(uint32_t kind)
{
    for (std::uint8_t n = 1; n <= static_cast<std::uint8_t>(diff_change::type); ++n) {
        const auto c = static_cast<diff_change>(n);
        if (change_number(c) == kind) return diff_change_name(c);
    }
    return nullptr;
}

MORVEX_TEX_API int morvex_tex_diff(const morvex_tex_archive* a, const morvex_tex_archive* b,
                                   const morvex_tex_diff_options* options, morvex_tex_diff_result* result,
                                   morvex_tex_change_fn each, void* context, morvex_tex_error* error)
{
    if (!a || !b || !api::known_or_absent(options) || !api::known(result)) {
        return api::fail_argument(error, "no archives, or options or a result of no known size");
    }
    const morvex_tex_diff_options o = api::options_or_defaults(options);
    constexpr std::uint32_t flags = MORVEX_TEX_DIFF_IGNORE_CASE;
    if ((o.flags & ~flags) != 0) return api::fail_argument(error, format_text("flags %#x are not known", o.flags & ~flags));
    if (o.jobs > MORVEX_TEX_MAX_JOBS) return api::fail_argument(error, format_text("jobs are 1 to %u, not %u", max_workers, o.jobs));
    return api::guarded(error, [&] {
        name_filter filter;
        filter.ignore_case = (o.flags & MORVEX_TEX_DIFF_IGNORE_CASE) != 0;
        if (api::patterns_of(o.include, o.include_count, filter.include, error) != 0 ||
            api::patterns_of(o.exclude, o.exclude_count, filter.exclude, error) != 0) {
            return -1;
        }
        diff_options run;
        run.workers = o.jobs ? o.jobs : extract_workers(false);
        run.filter = &filter;
        run.stop = api::stop_hook(o.stop, o.stop_context);
        const diff_counts counts = diff_archives(a->index, b->index, run, [&](const diff_row& r) {
            if (!each) return;
            const std::vector<morvex_tex_finding> found = api::to_api(r.why);
            morvex_tex_change out{};
            out.size = sizeof out;
            out.kind = change_number(r.what);
            out.a = side_of(r.a);
            out.b = side_of(r.b);
            out.pixels = r.pixels;
            out.pixels_differ = r.differing;
            out.largest_difference = r.largest;
            out.finding_count = static_cast<std::uint32_t>(found.size());
            out.findings = found.empty() ? nullptr : found.data();
            each(context, &out);
        });
        morvex_tex_diff_result sum{};
        sum.stopped = counts.stopped ? 1 : 0;
        sum.changed = counts.changed;
        sum.only_in_a = counts.only_in_a;
        sum.only_in_b = counts.only_in_b;
        sum.renamed = counts.renamed;
        api::copy_out(result, sum);
        return counts.stopped ? api::fail(error, MORVEX_TEX_ERROR_STOPPED, 0, "stopped") : api::succeed(error);
    });
}

}  // extern "C"
