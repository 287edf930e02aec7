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
};

// Walks every record of `index` in table order. Each task is read and
// decided here; a task that runs is the decision's request (or, for a page,
// the pixels of an entry refused for its name alone, or of the first entry);
// `prepare`, on the calling thread, may still change that (a file already
// there under --keep, a run stopped). The job runs beneath `root`; `finish`
// gets each task in table order, its findings complete.
void walk_entries(const tex_index& index, const output_root& root, const walk_options& options,
                  const std::function<void(entry_task&)>& prepare, const std::function<void(entry_task&)>& finish);

// What the index and the decision say of one entry without decoding it (a
// listing): the index's findings and the decision's reason for a refusal.
std::vector<tex_finding> entry_findings(const tex_index& index, const tex_entry_view& v, const entry_options& options,
                                        entry_walk& walk);
