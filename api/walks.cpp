// Testing and extracting a whole archive: the walks of `morvex_tex test` and
// `morvex_tex extract` for one archive, with what they print handed to the
// caller as values instead.
#include "api/internal.hpp"

#include <cerrno>
#include <cctype>
#include <deque>
#include <memory>

#include "app/platform.hpp"
#include "app/words.hpp"

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
// The name filter of `morvex_tex extract`.

struct name_filter {
    std::vector<std::string> include, exclude;
    bool ignore_case = false;
    std::vector<bool> used;
};

bool selected(name_filter& filter, const std::string& name)
{
    const auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const auto matches = [&](const std::string& pattern) {
        if (!pattern.empty() && pattern.back() == '/') {
            return filter.ignore_case ? lower(name).starts_with(lower(pattern)) : name.starts_with(pattern);
        }
        return app_wildcard_match(pattern.c_str(), name.c_str(), filter.ignore_case);
    };
    bool taken = filter.include.empty();
    for (std::size_t n = 0; n < filter.include.size(); ++n) {
        if (matches(filter.include[n])) {
            filter.used[n] = true;
            taken = true;
        }
    }
    for (const std::string& pattern : filter.exclude) taken = taken && !matches(pattern);
    return taken;
}

int patterns_of(const morvex_tex_string* from, std::size_t count, std::vector<std::string>& out, morvex_tex_error* error)
{
    if (count > 0 && !from) return api::fail_argument(error, "patterns counted but not given");
    for (std::size_t n = 0; n < count; ++n) {
        std::string p;
        if (!api::text_of(from[n].data, from[n].size, p)) return api::fail_argument(error, "a pattern is bytes without NUL");
        out.push_back(std::move(p));
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Extracting.

struct note {
    std::uint32_t verdict = 0;  // 0: not taken
    std::uint32_t same_as = 0;
    std::string name, output;
    bool named = false;
    std::vector<tex_finding> found;
};

struct extract_walk {
    const morvex_tex_archive& archive;
    const output_root& root;
    name_filter& filter;
    entry_options request;
    tex_table_cursor cursor;
    entry_walk decisions;
    std::deque<note> notes;
    morvex_tex_extract_result& sum;
    morvex_tex_outcome_fn each;
    void* context;
};

void prepare(extract_walk& w, std::uint32_t i, entry_task& task)
{
    const tex_index& index = w.archive.index;
    const tex_entry_view v = tex_read_entry(index, w.cursor, i);
    note n;
    n.named = v.state == tex_entry_state::ok;
    if (n.named) n.name = tex_entry_name(v.header);
    const bool taken = i > 0 && (n.named ? selected(w.filter, n.name) : w.filter.include.empty());
    if (!taken) {
        w.notes.push_back(std::move(n));
        return;
    }
    entry_plan plan = decide_entry(index, v, w.request, w.decisions);
    switch (plan.step) {
    case entry_step::none:
        break;
    case entry_step::refuse:
        n.verdict = MORVEX_TEX_FAILED;
        n.found.push_back(plan.why);
        break;
    case entry_step::repeat:
        n.verdict = MORVEX_TEX_SAME_AS;
        n.same_as = plan.repeat_of;
        break;
    case entry_step::run:
        n.output = plan.request.output_name;
        if (w.sum.stopped_by) {
            n.verdict = MORVEX_TEX_NOT_EXTRACTED;
        } else if (w.request.keep && output_exists(w.root, plan.request.output_name)) {
            n.verdict = MORVEX_TEX_SKIPPED;
            n.found.push_back({k::output_exists});
        } else {
            n.verdict = MORVEX_TEX_EXTRACTED;
            task.request = std::move(plan.request);
            task.run = true;
        }
        break;
    }
    w.notes.push_back(std::move(n));
}

void finish(extract_walk& w, entry_task& task)
{
    note n = std::move(w.notes.front());
    w.notes.pop_front();
    if (n.verdict == 0) return;
    if (n.verdict == MORVEX_TEX_EXTRACTED && w.sum.stopped_by) {
        n.verdict = MORVEX_TEX_NOT_EXTRACTED;
    } else if (n.verdict == MORVEX_TEX_EXTRACTED) {
        extract_place(task.request, task.outcome);
        n.found = task.outcome.findings;
        if (task.outcome.skipped) {
            n.verdict = MORVEX_TEX_SKIPPED;
            n.found.push_back({k::output_exists});
        } else if (task.outcome.result != 0) {
            n.verdict = MORVEX_TEX_FAILED;
            for (const tex_finding& f : n.found) {
                if (f.kind == k::output_failed && output_error_is_final(f.error)) {
                    w.sum.stopped_by = f.error;
                    n.verdict = MORVEX_TEX_NOT_EXTRACTED;
                    break;
                }
            }
        }
    }
    switch (n.verdict) {
    case MORVEX_TEX_EXTRACTED:
        ++w.sum.extracted;
        for (const tex_finding& f : n.found) w.sum.warned += tex_finding_is_warning(f) ? 1 : 0;
        break;
    case MORVEX_TEX_FAILED: ++w.sum.failed; break;
    case MORVEX_TEX_SKIPPED: ++w.sum.skipped; break;
    case MORVEX_TEX_SAME_AS: ++w.sum.same; break;
    default: ++w.sum.not_extracted; break;
    }
    if (!w.each) return;
    const std::vector<morvex_tex_finding> found = api::to_api(n.found);
    morvex_tex_outcome out{};
    out.size = sizeof out;
    out.index = task.index;
    out.verdict = n.verdict;
    out.same_as = n.same_as;
    out.name = n.named ? api::view_of(n.name) : morvex_tex_string{nullptr, 0};
    out.output = n.output.empty() ? morvex_tex_string{nullptr, 0} : api::view_of(n.output);
    out.findings = found.data();
    out.finding_count = found.size();
    w.each(w.context, &out);
}

}  // namespace

extern "C" {

MORVEX_TEX_API int morvex_tex_test(const morvex_tex_archive* archive, const morvex_tex_test_options* options,
                                   morvex_tex_test_result* result, morvex_tex_report_fn each, void* context,
                                   morvex_tex_error* error)
{
    if (!archive || (options && options->size < sizeof(morvex_tex_test_options)) || !api::size_ok(result)) {
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
        tex_table_cursor cursor{&index, {}, 0, 0};
        entry_walk walk = entry_walk_start(index);
        entry_options decode;
        decode.write = false;
        std::deque<std::pair<tex_entry_view, std::vector<tex_finding>>> prepared;
        const output_root nowhere;
        run_entry_tasks(
            nowhere, index.count, workers,
            [&](std::uint32_t i, entry_task& task) {
                const tex_entry_view v = tex_read_entry(index, cursor, i);
                std::vector<tex_finding> found = tex_entry_findings(index, v);
                entry_plan plan = decide_entry(index, v, decode, walk);
                if (plan.step == entry_step::refuse) add_findings(found, {plan.why});
                if (plan.step == entry_step::run) {
                    task.request = std::move(plan.request);
                    task.run = true;
                }
                prepared.emplace_back(v, std::move(found));
            },
            [&](entry_task& task) {
                auto [v, found] = std::move(prepared.front());
                prepared.pop_front();
                if (task.run) {
                    add_findings(found, task.outcome.findings);
                    if (task.outcome.result == 0) ++sum.decoded;
                }
                sum.problems += found.size();
                if (!each) return;
                std::string name;
                const std::vector<morvex_tex_finding> out = api::to_api(found);
                const morvex_tex_entry_report report{sizeof(morvex_tex_entry_report), v.index, name_of(v, name),
                                                     out.data(), out.size()};
                each(context, &report);
            });
        api::copy_out(result, sum);
        return api::succeed(error);
    });
}

MORVEX_TEX_API int morvex_tex_extract(const morvex_tex_archive* archive, const morvex_tex_extract_options* options,
                                      morvex_tex_extract_result* result, morvex_tex_outcome_fn each, void* context,
                                      morvex_tex_error* error)
{
    if (!archive || (options && options->size < sizeof(morvex_tex_extract_options)) || !api::size_ok(result)) {
        return api::fail_argument(error, "no archive, or options or a result of no known size");
    }
    const morvex_tex_extract_options o = api::options_or_defaults(options);
    return api::guarded(error, [&] {
        const bool raw = (o.flags & MORVEX_TEX_EXTRACT_RAW) != 0;
        image_format format = image_format::none;
        if (!api::format_of(o.format, format)) return api::fail_argument(error, format_text("no format %u", o.format));
        if (raw && format != image_format::none) return api::fail_argument(error, "raw and a format exclude each other");
        unsigned workers = 1;
        if (workers_for(o.jobs, raw, error, workers) != 0) return -1;
        name_filter filter;
        filter.ignore_case = (o.flags & MORVEX_TEX_EXTRACT_IGNORE_CASE) != 0;
        if (patterns_of(o.include, o.include_count, filter.include, error) != 0 ||
            patterns_of(o.exclude, o.exclude_count, filter.exclude, error) != 0) {
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
        extract_walk w{*archive, root, filter, {}, {&archive->index, {}, 0, 0}, entry_walk_start(archive->index),
                       {}, sum, each, context};
        w.request.raw = raw;
        w.request.format = format;
        w.request.keep = (o.flags & MORVEX_TEX_EXTRACT_KEEP) != 0;
        run_entry_tasks(
            root, archive->index.count, workers, [&](std::uint32_t i, entry_task& task) { prepare(w, i, task); },
            [&](entry_task& task) { finish(w, task); });
        for (std::size_t n = 0; n < filter.include.size(); ++n) {
            sum.unmatched += filter.used[n] ? 0 : 1;
            if (o.include_matched) o.include_matched[n] = filter.used[n] ? 1 : 0;
        }
        api::copy_out(result, sum);
        return api::succeed(error);
    });
}

}  // extern "C"
