// Testing and extracting a whole archive: the walks of `morvex_tex test` and
// `morvex_tex extract` for one archive, with what they print handed to the
// caller as values instead.
#include "api/internal.hpp"

#include <cerrno>
#include <cctype>
#include <memory>

#include "entries/walk.hpp"
#include "words/words.hpp"

namespace {

using k = tex_finding_kind;

int workers_for(std::uint32_t jobs, bool raw, morvex_tex_error* error, unsigned& out)
{
    if (jobs > MORVEX_TEX_MAX_JOBS) return api::fail_argument(error, format_text("jobs are 1 to %u, not %u", max_workers, jobs));
    out = jobs ? jobs : extract_workers(raw);
    return 0;
}

morvex_tex_string name_of(const tex_entry_view& v, std::string& keep)
{
    if (v.state != tex_entry_state::ok) return {nullptr, 0};
    keep = tex_entry_name(v.header);
    return api::view_of(keep);
}


// ---------------------------------------------------------------------------
// Extracting.

// The library's verdict of the walker's.
std::uint32_t verdict_number(entry_verdict verdict)
{
    switch (verdict) {
    case entry_verdict::none:
    case entry_verdict::done: break;
    case entry_verdict::failed: return MORVEX_TEX_FAILED;
    case entry_verdict::skipped: return MORVEX_TEX_SKIPPED;
    case entry_verdict::same_as: return MORVEX_TEX_SAME_AS;
    case entry_verdict::not_done: return MORVEX_TEX_NOT_EXTRACTED;
    }
    return MORVEX_TEX_EXTRACTED;
}

struct extract_walk {
    morvex_tex_extract_result& sum;
    morvex_tex_outcome_fn each;
    void* context;
};

void finish(extract_walk& w, entry_task& task)
{
    const entry_plan& plan = task.plan;
    if (task.verdict == entry_verdict::none) return;
    const std::uint32_t verdict = verdict_number(task.verdict);
    std::vector<tex_finding> found;
    switch (task.verdict) {
    case entry_verdict::none: break;
    case entry_verdict::done:
        found = task.outcome.findings;
        ++w.sum.extracted;
        for (const tex_finding& f : found) w.sum.warned += tex_finding_is_warning(f) ? 1 : 0;
        break;
    case entry_verdict::failed:
        ++w.sum.failed;
        found = plan.step == entry_step::refuse ? std::vector<tex_finding>{plan.why} : task.outcome.findings;
        break;
    case entry_verdict::skipped:
        ++w.sum.skipped;
        found = task.outcome.findings;
        found.push_back({k::output_exists});
        break;
    case entry_verdict::same_as: ++w.sum.same; break;
    case entry_verdict::not_done:
        ++w.sum.not_extracted;
        if (task.stopped_by) w.sum.stopped_by = task.stopped_by;
        found = task.outcome.findings;
        break;
    }
    if (!w.each) return;
    std::string name;
    const std::vector<morvex_tex_finding> out_found = api::to_api(found);
    const std::string output = plan.step == entry_step::run ? plan.request.output_name : std::string();
    morvex_tex_outcome out{};
    out.size = sizeof out;
    out.index = task.index;
    out.verdict = verdict;
    out.same_as = plan.step == entry_step::repeat ? plan.repeat_of : 0;
    out.name = name_of(task.view, name);
    out.output = output.empty() ? morvex_tex_string{nullptr, 0} : api::view_of(output);
    out.findings = out_found.data();
    out.finding_count = out_found.size();
    w.each(w.context, &out);
}

}  // namespace

extern "C" {

MORVEX_TEX_API int morvex_tex_test(const morvex_tex_archive* archive, const morvex_tex_test_options* options,
                                   morvex_tex_test_result* result, morvex_tex_report_fn each, void* context,
                                   morvex_tex_error* error)
{
    if (!archive || !api::known_or_absent(options) || !api::known(result)) {
        return api::fail_argument(error, "no archive, or options or a result of no known size");
    }
    const morvex_tex_test_options o = api::options_or_defaults(options);
    return api::guarded(error, [&] {
        unsigned workers = 1;
        if (workers_for(o.jobs, false, error, workers) != 0) return -1;
        const tex_index& index = archive->index;
        morvex_tex_test_result sum{};
        sum.entries = index.count;
        sum.problems = tex_archive_findings(index, archive->file.cut_at_limit).size();
        walk_options walk;
        walk.entries.write = false;
        walk.workers = workers;
        walk.stop = api::stop_hook(o.stop, o.stop_context);
        const output_root nowhere;
        sum.stopped = walk_entries(index, nowhere, walk, nullptr, [&](entry_task& task) {
            if (task.run && task.outcome.result == 0) ++sum.decoded;
            sum.problems += task.findings.size();
            if (!each) return;
            std::string name;
            const std::vector<morvex_tex_finding> out = api::to_api(task.findings);
            const morvex_tex_entry_report report{sizeof(morvex_tex_entry_report), task.index, name_of(task.view, name),
                                                 out.data(), out.size()};
            each(context, &report);
        }).stopped;
        api::copy_out(result, sum);
        return sum.stopped ? api::fail(error, MORVEX_TEX_ERROR_STOPPED, 0, "stopped") : api::succeed(error);
    });
}

MORVEX_TEX_API int morvex_tex_extract(const morvex_tex_archive* archive, const morvex_tex_extract_options* options,
                                      morvex_tex_extract_result* result, morvex_tex_outcome_fn each, void* context,
                                      morvex_tex_error* error)
{
    if (!archive || !api::known_or_absent(options) || !api::known(result)) {
        return api::fail_argument(error, "no archive, or options or a result of no known size");
    }
    const morvex_tex_extract_options o = api::options_or_defaults(options);
    constexpr std::uint32_t flags = MORVEX_TEX_EXTRACT_RAW | MORVEX_TEX_EXTRACT_KEEP | MORVEX_TEX_EXTRACT_IGNORE_CASE;
    if ((o.flags & ~flags) != 0) return api::fail_argument(error, format_text("flags %#x are not known", o.flags & ~flags));
    return api::guarded(error, [&] {
        const bool raw = (o.flags & MORVEX_TEX_EXTRACT_RAW) != 0;
        image_format format = image_format::none;
        if (!api::format_of(o.format, format)) return api::fail_argument(error, format_text("no format %u", o.format));
        if (raw && format != image_format::none) return api::fail_argument(error, "raw and a format exclude each other");
        unsigned workers = 1;
        if (workers_for(o.jobs, raw, error, workers) != 0) return -1;
        name_filter filter;
        filter.ignore_case = (o.flags & MORVEX_TEX_EXTRACT_IGNORE_CASE) != 0;
        if (api::patterns_of(o.include, o.include_count, filter.include, error) != 0 ||
            api::patterns_of(o.exclude, o.exclude_count, filter.exclude, error) != 0) {
            return -1;
        }
        filter.used.assign(filter.include.size(), false);
        std::string folder = ".";
        if (o.folder.data && (!api::text_of(o.folder.data, o.folder.size, folder) || folder.empty())) {
            return api::fail_argument(error, "a folder is bytes without NUL");
        }
        output_root root;
        if (output_open_root(folder.c_str(), true, root) != 0) return api::fail_errno(error, errno, folder);
        const std::unique_ptr<output_root, void (*)(output_root*)> closer(&root, [](output_root* r) { output_close_root(*r); });
        morvex_tex_extract_result sum{};
        extract_walk w{sum, each, context};
        walk_options walk;
        walk.entries.raw = raw;
        walk.entries.format = format;
        walk.entries.keep = (o.flags & MORVEX_TEX_EXTRACT_KEEP) != 0;
        walk.entries.filter = &filter;
        walk.workers = workers;
        walk.place = true;
        walk.stop = api::stop_hook(o.stop, o.stop_context);
        sum.stopped = walk_entries(archive->index, root, walk, nullptr, [&](entry_task& task) { finish(w, task); }).stopped;
        for (std::size_t n = 0; n < filter.include.size(); ++n) {
            sum.unmatched += filter.used[n] ? 0 : 1;
            if (o.include_matched) o.include_matched[n] = filter.used[n] ? 1 : 0;
        }
        api::copy_out(result, sum);
        return sum.stopped ? api::fail(error, MORVEX_TEX_ERROR_STOPPED, 0, "stopped") : api::succeed(error);
    });
}

}  // extern "C"
