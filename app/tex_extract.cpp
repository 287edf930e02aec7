// morvex_tex extract: the entries the extractor would write (1 and up), or
// those whose stored names match a pattern, beneath a folder, through the
// same entry job and output layer as the extractor.
#include "app/tex_cli.hpp"

#include <cerrno>
#include <cstring>
#include <deque>

#include "app/platform.hpp"

namespace {

const char* const extract_usage =
    "usage: morvex_tex extract [-C DIR] [--raw | --format tga|png|bmp|pcx] [--keep] [-q] [-j N]\n"
    "                          ARCHIVE [PATTERN...]\n"
    "Writes every entry from 1 on, or those whose stored names match a PATTERN\n"
    "(shell wildcards), beneath DIR (default: the current folder; created if missing).\n"
    "  --raw       payloads as stored          --format F  every image as F\n"
    "  --keep      never replace a file        -q          no line per entry\n"
    "  -j N        decode on N threads\n";

struct extract_options {
    std::string dir = ".";
    bool raw = false;
    std::string format;  // "" keeps the stored name's format
    bool keep = false;
    bool quiet = false;
    bool jobs_given = false;
    std::string jobs;
    std::string archive;
    std::vector<std::string> patterns;
};

enum class verdict { ignored, run, failed, skipped, repeat, stopped };

struct entry_note {
    verdict what = verdict::ignored;
    std::string name;       // printable stored name
    std::string output;     // printable output name
    std::string reason;     // failed / skipped / repeat
};

// A bar of 40 cells on standard error, redrawn in place; only on a terminal.
struct progress_bar {
    bool shown = false;
    std::uint32_t total = 0;
    void clear() const
    {
        if (shown) std::fputs("\r\033[K", stderr);
    }
    void draw(std::uint32_t done) const
    {
        if (!shown || total == 0) return;
        const auto cells = static_cast<unsigned>(std::uint64_t{40} * done / total);
        std::string bar(cells, '#');
        bar.resize(40, ' ');
        std::fprintf(stderr, "\r[%s] %u/%u", bar.c_str(), done, total);
        std::fflush(stderr);
    }
};

struct extract_walk {
    const tex_cli_archive& archive;
    const extract_options& options;
    const output_root& root;
    entry_options request;
    tex_table_cursor cursor;
    entry_walk decisions;
    std::deque<entry_note> notes;
    std::vector<bool> pattern_used;
    progress_bar bar;
    std::uint64_t extracted = 0, failed = 0, skipped = 0, warned = 0, not_done = 0;
    // Set when the output's file system can take no more (full, over quota,
    // read-only): nothing more is placed, and it is said once.
    int stopped_by = 0;
};

bool selected(extract_walk& w, const std::string& name)
{
    if (w.options.patterns.empty()) return true;
    bool any = false;
    for (std::size_t k = 0; k < w.options.patterns.size(); ++k) {
        if (app_wildcard_match(w.options.patterns[k].c_str(), name.c_str())) {
            w.pattern_used[k] = true;
            any = true;
        }
    }
    return any;
}

// The reasons an entry failed, its warnings left out.
std::string joined(const std::vector<tex_finding>& found)
{
    std::string out;
    for (const tex_finding& f : found) {
        if (!tex_finding_is_warning(f)) out += (out.empty() ? "" : "; ") + finding_text(f);
    }
    return out.empty() ? "can't be extracted" : out;
}

// Decides in table order what becomes of entry i; the job runs on a worker.
void prepare(extract_walk& w, std::uint32_t i, entry_task& task)
{
    const tex_entry_view v = tex_read_entry(w.archive.index, w.cursor, i);
    entry_note note;
    const bool read = v.state == tex_entry_state::ok;
    const std::string stored = read ? tex_entry_name(v.header) : "";
    note.name = read ? tex_printable_name(stored) : "-";
    if (i == 0 || (read ? !selected(w, stored) : !w.options.patterns.empty())) {
        w.notes.push_back(std::move(note));
        return;
    }
    entry_plan plan = decide_entry(w.archive.index, v, w.request, w.decisions);
    switch (plan.step) {
    case entry_step::none:
        break;
    case entry_step::refuse:
        note.what = verdict::failed;
        note.reason = finding_text(plan.why);
        break;
    case entry_step::repeat:
        note.what = verdict::repeat;
        note.reason = "entry " + std::to_string(plan.repeat_of);
        break;
    case entry_step::run:
        note.output = tex_printable_name(plan.request.output_name);
        if (w.stopped_by) {
            note.what = verdict::stopped;
        } else if (w.options.keep && output_exists(w.root, plan.request.output_name)) {
            // Taken already: no need to decode it only to find that out.
            note.what = verdict::skipped;
            note.reason = "exists";
        } else {
            note.what = verdict::run;
            task.request = std::move(plan.request);
            task.run = true;
        }
        break;
    }
    w.notes.push_back(std::move(note));
}

// An output failure that stops everything after it: said once, with the folder.
bool stops_the_run(extract_walk& w, const std::vector<tex_finding>& found)
{
    for (const tex_finding& f : found) {
        if (f.kind == tex_finding_kind::output_failed && output_error_is_final(f.error)) {
            w.stopped_by = f.error;
            tex_cli_error("%s: %s: nothing more is extracted", tex_printable_name(w.options.dir).c_str(),
                          std::strerror(f.error));
            return true;
        }
    }
    return false;
}

void finish(extract_walk& w, entry_task& task)
{
    entry_note note = std::move(w.notes.front());
    w.notes.pop_front();
    if (note.what == verdict::run && w.stopped_by) {
        note.what = verdict::stopped;  // its file is dropped with the task
    } else if (note.what == verdict::run) {
        extract_place(task.request, task.outcome);
        if (task.outcome.skipped) {
            note.what = verdict::skipped;
            note.reason = "exists";
        } else if (task.outcome.result != 0) {
            note.what = stops_the_run(w, task.outcome.findings) ? verdict::stopped : verdict::failed;
            note.reason = joined(task.outcome.findings);
        }
    }
    const std::string path = tex_printable_name(w.archive.path);
    w.bar.clear();
    switch (note.what) {
    case verdict::ignored:
        break;
    case verdict::run:
        ++w.extracted;
        if (!w.options.quiet) std::printf("extracted %s\n", note.output.c_str());
        for (const tex_finding& f : task.outcome.findings) {
            if (!tex_finding_is_warning(f)) continue;
            ++w.warned;
            tex_cli_error("%s: entry %u (%s): %s", path.c_str(), task.index, note.name.c_str(),
                          tex_printable_name(finding_text(f)).c_str());
        }
        break;
    case verdict::skipped:
        ++w.skipped;
        if (!w.options.quiet) std::printf("skipped %s: %s\n", note.output.c_str(), note.reason.c_str());
        break;
    case verdict::repeat:
        if (!w.options.quiet) std::printf("same as %s: %s\n", note.reason.c_str(), note.name.c_str());
        break;
    case verdict::failed:
        ++w.failed;
        tex_cli_error("%s: entry %u (%s): %s", path.c_str(), task.index, note.name.c_str(),
                      tex_printable_name(note.reason).c_str());
        break;
    case verdict::stopped:
        ++w.not_done;
        break;
    }
    std::fflush(stdout);
    w.bar.draw(task.index + 1);
}

int parse_options(int argc, char** argv, extract_options& o)
{
    tex_cli_args args{argc, argv};
    for (std::string opt; !(opt = tex_cli_next_option(args)).empty();) {
        std::string value;
        if (opt == "--help" || opt == "-h") {
            std::fputs(extract_usage, stdout);
            return 1;
        }
        if (opt == "-C" || opt == "--directory") {
            if (!tex_cli_value(args, opt, value)) return -1;
            o.dir = value;
        } else if (opt == "--format") {
            if (!tex_cli_value(args, opt, value)) return -1;
            if (value != "tga" && value != "png" && value != "bmp" && value != "pcx") {
                tex_cli_error("extract: --format takes tga, png, bmp or pcx");
                return -1;
            }
            o.format = value;
        } else if (opt == "-j" || opt == "--jobs") {
            if (!tex_cli_value(args, opt, o.jobs)) return -1;
            o.jobs_given = true;
        } else if (opt == "--raw" || opt == "--keep" || opt == "-k" || opt == "-q" || opt == "--quiet") {
            if (!tex_cli_flag(args, opt)) return -1;
            (opt == "--raw" ? o.raw : opt == "-q" || opt == "--quiet" ? o.quiet : o.keep) = true;
        } else {
            tex_cli_error("extract: unknown option %s", tex_printable_name(args.argument).c_str());
            return -1;
        }
    }
    if (o.raw && !o.format.empty()) {
        tex_cli_error("extract: --raw and --format exclude each other");
        return -1;
    }
    if (args.operands.empty()) {
        tex_cli_error("extract: no archive named");
        return -1;
    }
    o.archive = args.operands[0];
    o.patterns.assign(args.operands.begin() + 1, args.operands.end());
    return 0;
}

}  // namespace

int tex_extract_main(int argc, char** argv)
{
    extract_options o;
    if (const int rc = parse_options(argc, argv, o); rc != 0) {
        if (rc < 0) std::fputs(extract_usage, stderr);
        return rc < 0 ? tex_exit_usage : tex_exit_ok;
    }
    const int workers = tex_cli_workers("extract", o.jobs, o.jobs_given, o.raw);
    if (workers < 0) {
        std::fputs(extract_usage, stderr);
        return tex_exit_usage;
    }
    tex_cli_archive a;
    if (tex_cli_open(o.archive.c_str(), a) != 0) return tex_exit_usage;
    output_root root;
    if (output_open_root(o.dir.c_str(), true, root) != 0) {
        tex_cli_error("%s: %s", tex_printable_name(o.dir).c_str(), std::strerror(errno));
        return tex_exit_usage;
    }
    extract_walk w{a, o, root, {}, {&a.index, {}, 0, 0}, entry_walk_start(a.index), {},
                   std::vector<bool>(o.patterns.size()), {}};
    w.request.raw = o.raw;
    w.request.format = o.format.empty() ? image_format::none : image_format_for("." + o.format);
    w.request.keep = o.keep;
    w.bar.shown = app_is_terminal(2);
    w.bar.total = a.index.count;
    run_entry_tasks(
        root, a.index.count, static_cast<unsigned>(workers), [&](std::uint32_t i, entry_task& task) { prepare(w, i, task); },
        [&](entry_task& task) { finish(w, task); });
    output_close_root(root);
    w.bar.clear();
    bool unmatched = false;
    for (std::size_t k = 0; k < o.patterns.size(); ++k) {
        if (!w.pattern_used[k]) {
            tex_cli_error("%s: no entry matches %s", tex_printable_name(a.path).c_str(),
                          tex_printable_name(o.patterns[k]).c_str());
            unmatched = true;
        }
    }
    std::printf("%llu extracted, %llu failed, %llu skipped", static_cast<unsigned long long>(w.extracted),
                static_cast<unsigned long long>(w.failed), static_cast<unsigned long long>(w.skipped));
    if (w.not_done) std::printf(", %llu not extracted", static_cast<unsigned long long>(w.not_done));
    std::printf("\n");
    if (!tex_cli_flush_output("extract")) return tex_exit_problem;
    return w.failed || w.warned || w.not_done || unmatched ? tex_exit_problem : tex_exit_ok;
}
