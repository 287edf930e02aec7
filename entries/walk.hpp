// Walks: the entries a walk takes by their stored names, and the one walker
// every presentation runs over an archive: each record read, decided and (when
// there is something to decode or write) handed to the entry job on the
// workers, then given back in table order with everything known of it, so
// that no presentation keeps notes of its own in step with the workers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "entries/entries.hpp"
#include "entries/ordered.hpp"

// True when `name` matches the shell wildcard `pattern`: `*`, `?`, bracket
// expressions and backslash escapes, with no special treatment of `/` or of a
// leading dot (fnmatch with no flags, or FNM_CASEFOLD with `ignore_case`:
// ASCII letters match either case).
bool wildcard_match(const char* pattern, const char* name, bool ignore_case = false);


// Which entries a walk takes, by their stored names: those that match an
// include pattern (all, when there is none) and no exclude pattern. A
// pattern is a shell wildcard (where * also matches /); one that ends in /
// takes everything beneath that folder. An entry whose header can't be read
// has no name: taken only when there is no include pattern.
struct name_filter {
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    bool ignore_case = false;
    std::vector<bool> used;  // each include pattern: it matched an entry
};
bool name_selected(name_filter& filter, const std::string& name);

// What a walk asks.
struct walk_options {
    entry_options entries;    // what the decision is asked of every entry
    unsigned workers = 1;     // threads that run jobs (1: the calling thread)
    bool show_first = false;  // the first entry's pixels are decoded too, for a page
    unsigned thumbnail_side = 0;  // jobs also make thumbnails this size (0: none)
    // Extracting: each output is put in place when its task is finished, an
    // entry whose name is taken is skipped before it runs under `keep`, and
    // once an output fails for want of room (a full disk, a quota, a
    // read-only file system) no later entry runs.
    bool place = false;
    int stopped_by = 0;  // ... an earlier walk's failure that left no room: nothing of this one runs
    // Asked on the calling thread before each entry: true ends the walk
    // there. Outputs already placed stay, each whole; jobs under way finish.
    std::function<bool()> stop;
};

// How a walk ended.
struct walk_result {
    bool stopped = false;  // `stop` ended it early
    int stopped_by = 0;    // the errno of the output failure after which nothing more ran (with `place`)
};

// Walks every record of `index` in table order. Each task is read and
// decided here; a task that runs is the decision's request (or, for a page,
// the pixels of an entry refused for its name alone, or of the first entry);
// `prepare`, on the calling thread, may still change that. The job runs
// beneath `root`; `finish` gets each task in table order, its findings
// complete and its verdict given.
walk_result walk_entries(const tex_index& index, const output_root& root, const walk_options& options,
                  const std::function<void(entry_task&)>& prepare, const std::function<void(entry_task&)>& finish);

// A walk whose jobs are the caller's own, for a caller that does more on the
// workers than the entry job (the packer's replace reads, compares and
// compresses its images there). Each task is read and decided as above; then
// `prepare` says whether a job runs for it and what that may take, `job` runs
// on a worker (calling run_entry_job where it wants the entry job, whose
// request `task.run` says the decision made) and returns the bytes the task
// keeps until `finish`, which gets each task in table order. Results are kept
// within `memory_budget` (ordered_options::results_kept). True when
// `options.stop` ended the walk early.
bool walk_entry_jobs(const tex_index& index, const walk_options& options, std::uint64_t memory_budget,
                     const std::function<ordered_job(entry_task&)>& prepare,
                     const std::function<std::uint64_t(entry_task&)>& job,
                     const std::function<void(entry_task&)>& finish);

// The entry job of a task beneath `root`; running out of memory fails the
// entry (a no_memory finding), not the run.
void run_entry_job(const output_root& root, entry_task& task);

// What the entry job of a request takes at its peak, as the workers' memory
// budget counts it.
std::uint64_t entry_job_memory(const extract_request& request);

// What the index and the decision say of one entry without decoding it (a
// listing): the index's findings and the decision's reason for a refusal.
std::vector<tex_finding> entry_findings(const tex_index& index, const tex_entry_view& v, const entry_options& options,
                                        entry_walk& walk);
