// The walker every presentation runs over an archive, and the name filter
// its decision applies.
#include "entries/walk.hpp"

#include <algorithm>
#include <cctype>

bool name_selected(name_filter& filter, const std::string& name)
{
    const auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const auto matches = [&](const std::string& pattern) {
        if (!pattern.empty() && pattern.back() == '/') {
            // A folder: everything beneath it.
            return filter.ignore_case ? lower(name).starts_with(lower(pattern)) : name.starts_with(pattern);
        }
        return wildcard_match(pattern.c_str(), name.c_str(), filter.ignore_case);
    };
    filter.used.resize(filter.include.size());
    bool taken = filter.include.empty();
    for (std::size_t k = 0; k < filter.include.size(); ++k) {
        if (matches(filter.include[k])) {
            filter.used[k] = true;
            taken = true;
        }
    }
    for (const std::string& pattern : filter.exclude) taken = taken && !matches(pattern);
    return taken;
}

void add_findings(std::vector<tex_finding>& into, const std::vector<tex_finding>& more)
{
    for (const tex_finding& f : more) {
        const bool known = std::any_of(into.begin(), into.end(), [&](const tex_finding& g) { return g.kind == f.kind; });
        if (!known) into.push_back(f);
    }
}

std::vector<tex_finding> entry_findings(const tex_index& index, const tex_entry_view& v, const entry_options& options,
                                        entry_walk& walk)
{
    std::vector<tex_finding> found = tex_entry_findings(index, v);
    const entry_plan plan = decide_entry(index, v, options, walk);
    if (plan.step == entry_step::refuse) add_findings(found, {plan.why});
    if (plan.over_budget) add_findings(found, {*plan.over_budget});
    return found;
}

namespace {

// A task read and decided: its request is the decision's (or, for a page, the
// pixels of an entry refused for its name alone, or of the first entry).
void read_and_decide(const tex_index& index, const walk_options& options, tex_table_cursor& cursor, entry_walk& budgets,
                     std::uint32_t i, entry_task& task)
{
    task.view = tex_read_entry(index, cursor, i);
    task.plan = decide_entry(index, task.view, options.entries, budgets);
    const entry_plan& plan = task.plan;
    task.findings = tex_entry_findings(index, task.view);
    if (plan.step == entry_step::refuse) add_findings(task.findings, {plan.why});
    if (plan.over_budget) add_findings(task.findings, {*plan.over_budget});
    if (plan.step == entry_step::run || (plan.step == entry_step::refuse && plan.decodable)) {
        task.request = plan.request;
        task.run = true;
    } else if (plan.step == entry_step::none && options.show_first) {
        task.run = pixels_request(index, task.view, budgets, task.request);
    }
    if (task.run) task.request.thumbnail_side = options.thumbnail_side;
}

}  // namespace

namespace {

// The verdict of a task whose job (if any) is done, its output placed when
// the walk places outputs.
entry_verdict verdict_of(entry_task& task, const walk_options& options, walk_result& result)
{
    const entry_plan& plan = task.plan;
    if (task.verdict != entry_verdict::none) return task.verdict;  // decided before it ran
    switch (plan.step) {
    case entry_step::none:
    case entry_step::skip: return entry_verdict::none;
    case entry_step::refuse: return entry_verdict::failed;
    case entry_step::repeat: return entry_verdict::same_as;
    case entry_step::run: break;
    }
    if (!task.run) return entry_verdict::none;
    // An output written before the walk stopped for want of room: dropped.
    if (options.place && result.stopped_by) return entry_verdict::not_done;
    if (options.place) {
        extract_place(task.request, task.outcome);
        add_findings(task.findings, task.outcome.findings);
    }
    if (task.outcome.skipped) return entry_verdict::skipped;
    if (task.outcome.result == 0) return entry_verdict::done;
    for (const tex_finding& f : task.outcome.findings) {
        if (options.place && f.kind == tex_finding_kind::output_failed && output_error_is_final(f.error)) {
            result.stopped_by = task.stopped_by = f.error;
            return entry_verdict::not_done;
        }
    }
    return entry_verdict::failed;
}

}  // namespace

walk_result walk_entries(const tex_index& index, const output_root& root, const walk_options& options,
                         const std::function<void(entry_task&)>& prepare, const std::function<void(entry_task&)>& finish)
{
    tex_table_cursor cursor{&index, {}, 0, 0};
    entry_walk budgets = entry_walk_start(index);
    walk_result result;
    result.stopped_by = options.stopped_by;
    result.stopped = run_entry_tasks(
        root, index.count, options.workers, options.stop,
        [&](std::uint32_t i, entry_task& task) {
            read_and_decide(index, options, cursor, budgets, i, task);
            if (options.place && task.run && task.plan.step == entry_step::run) {
                // Nothing more once the disk is full, and under keep nothing
                // decoded only to find its name taken.
                if (result.stopped_by) {
                    task.run = false;
                    task.verdict = entry_verdict::not_done;
                } else if (options.entries.keep && output_exists(root, task.request.output_name)) {
                    task.run = false;
                    task.verdict = entry_verdict::skipped;
                }
            }
            if (prepare) prepare(task);
        },
        [&](entry_task& task) {
            if (task.run) add_findings(task.findings, task.outcome.findings);
            task.verdict = verdict_of(task, options, result);
            finish(task);
        });
    return result;
}

bool walk_entry_jobs(const tex_index& index, const walk_options& options, std::uint64_t memory_budget,
                     const std::function<ordered_job(entry_task&)>& prepare,
                     const std::function<std::uint64_t(entry_task&)>& job,
                     const std::function<void(entry_task&)>& finish)
{
    tex_table_cursor cursor{&index, {}, 0, 0};
    entry_walk budgets = entry_walk_start(index);
    ordered_slots<entry_task> tasks;
    ordered_options how;
    how.workers = options.workers;
    how.memory_budget = memory_budget;
    how.results_kept = true;
    how.stop = options.stop;
    return run_ordered_jobs(
        index.count, how,
        [&](std::uint32_t i) {
            entry_task& task = tasks[i];
            task = entry_task{};
            task.index = i;
            read_and_decide(index, options, cursor, budgets, i, task);
            return prepare(task);
        },
        [&](std::uint32_t i) { return job(tasks[i]); },
        [&](std::uint32_t i) {
            entry_task& task = tasks[i];
            if (task.run) add_findings(task.findings, task.outcome.findings);
            finish(task);
            task = entry_task{};
        });
}
