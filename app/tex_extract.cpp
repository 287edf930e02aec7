// morvex_tex extract: the entries the extractor would write (1 and up), or
// those whose stored names a filter takes, beneath a folder or on standard
// output, through the same entry decision, entry job and output layer as the
// extractor.
#include "words/words.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "entries/walk.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "app/platform.hpp"

namespace {

struct extract_options {
    std::string dir = ".";
    bool dir_given = false;
    bool raw = false;
    std::string format;  // "" keeps the stored name's format
    bool keep = false;
    bool quiet = false;
    bool to_stdout = false;
    bool jobs_given = false;
    std::string jobs;
    std::vector<std::string> archives;
    name_filter filter;
};

// What every archive of the run adds up to.
struct totals {
    std::uint64_t extracted = 0, failed = 0, skipped = 0, warned = 0, not_done = 0;
    // Files that replaced one an earlier entry wrote in the same run: names
    // such as "x.tga" and "./x.tga" are one path (a damaged or foreign
    // archive may hold both; "x.tga" and "x.bmp" are with --format png).
    // Counted apart from `extracted`; the status stays as it was, as every
    // file the run wrote is whole.
    std::uint64_t replaced = 0;
    // Set when the output's file system can take no more (full, over quota,
    // read-only): nothing more is placed, and it is said once.
    int stopped_by = 0;
};

struct extract_walk {
    const tex_cli_archive& archive;
    extract_options& options;
    const output_root& root;
    std::string folder;         // where this archive's entries go, as said to the user
    std::FILE* lines;           // the line per entry: standard error when the bytes go to standard output
    tex_progress bar;
    totals& sum;
    std::map<std::string, std::uint32_t> written = {};  // each file placed beneath the folder: its entry
};

// The reasons an entry failed, its warnings left out.
std::string joined(const std::vector<tex_finding>& found)
{
    std::string out;
    for (const tex_finding& f : found) {
        if (!tex_finding_is_warning(f)) out += (out.empty() ? "" : "; ") + finding_text(f);
    }
    return out.empty() ? "can't be extracted" : out;
}

void finish(extract_walk& w, entry_task& task)
{
    const tex_entry_view& v = task.view;
    const entry_plan& plan = task.plan;
    if (task.verdict == entry_verdict::none) return;
    const std::string name = v.state == tex_entry_state::ok ? tex_printable_name(tex_entry_name(v.header)) : "-";
    const std::string output = tex_printable_name(plan.request.output_name);
    const std::string path = tex_printable_name(w.archive.path);
    w.bar.clear();
    const bool say = !w.options.quiet;
    switch (task.verdict) {
    case entry_verdict::none: break;
    case entry_verdict::failed:
        ++w.sum.failed;
        tex_cli_error("%s: entry %u (%s): %s", path.c_str(), task.index, name.c_str(),
                      tex_printable_name(plan.step == entry_step::refuse ? finding_text(plan.why)
                                                                         : joined(task.outcome.findings))
                          .c_str());
        break;
    case entry_verdict::same_as:
        if (say) std::fprintf(w.lines, "same as entry %u: %s\n", plan.repeat_of, name.c_str());
        break;
    case entry_verdict::not_done:
        ++w.sum.not_done;  // its file, if any, is dropped with the task
        if (task.stopped_by) {
            // Said once, with the folder; bytes bound for standard output
            // wait in the temporary folder.
            const std::string where = w.options.to_stdout ? tex_temporary_folder() : w.folder;
            tex_cli_error("%s: %s: nothing more is extracted", tex_printable_name(where).c_str(),
                          std::strerror(task.stopped_by));
        }
        break;
    case entry_verdict::skipped:
        ++w.sum.skipped;
        if (say) std::fprintf(w.lines, "skipped %s: exists\n", output.c_str());
        break;
    case entry_verdict::done:
        if (const auto [at, fresh] = w.written.emplace(output_name_key(plan.request.output_name), task.index);
            !fresh && !w.options.to_stdout) {
            ++w.sum.replaced;
            tex_cli_error("%s: entry %u (%s): its file %s replaced entry %u's, written earlier", path.c_str(), task.index,
                          name.c_str(), tex_printable_name(at->first).c_str(), at->second);
            at->second = task.index;
        } else {
            ++w.sum.extracted;
            if (say) std::fprintf(w.lines, "extracted %s\n", output.c_str());
        }
        for (const tex_finding& f : task.outcome.findings) {
            if (!tex_finding_is_warning(f)) continue;
            ++w.sum.warned;
            tex_cli_error("%s: entry %u (%s): %s", path.c_str(), task.index, name.c_str(),
                          tex_printable_name(finding_text(f)).c_str());
        }
        break;
    }
    std::fflush(w.lines);
    w.bar.step(name);
}

// The entries the walk will take: known before it starts only for the
// progress bar, which is drawn on a terminal alone.
std::uint32_t count_taken(extract_walk& w)
{
    name_filter filter = w.options.filter;  // counting marks no pattern as used
    tex_table_cursor cursor{&w.archive.index, {}, 0, 0};
    std::uint32_t n = 0;
    for (std::uint32_t i = 1; i < w.archive.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(w.archive.index, cursor, i);
        if (v.state != tex_entry_state::ok ? filter.include.empty() : name_selected(filter, tex_entry_name(v.header))) ++n;
    }
    return n;
}

void extract_archive(const tex_cli_archive& a, extract_options& o, const output_root& root, const std::string& folder,
                     unsigned workers, totals& sum)
{
    extract_walk w{a, o, root, folder, o.to_stdout ? stderr : stdout, {}, sum};
    walk_options options;
    options.entries.raw = o.raw;
    options.entries.format = o.format.empty() ? image_format::none : image_format_named(o.format)->format;
    options.entries.keep = o.keep;
    options.entries.to_stream = o.to_stdout;
    options.entries.filter = &o.filter;
    options.workers = workers;
    options.place = true;
    options.stopped_by = sum.stopped_by;
    if (app_is_terminal(2)) w.bar.start(count_taken(w));
    sum.stopped_by = walk_entries(a.index, root, options, nullptr, [&](entry_task& task) { finish(w, task); }).stopped_by;
    w.bar.clear();
}

// The command line read into `o`: 0, or -1 after a usage error said.
int read_options(const tex_command_line& line, extract_options& o)
{
    const tex_command& extract = tex_extract_command;
    if (line.has(tex_opt::directory)) {
        o.dir = line.value(tex_opt::directory);
        o.dir_given = true;
    }
    if (line.has(tex_opt::format)) {
        // In any letter case, as the extensions it names are met: PNG, Tga.
        const image_format_row* row = image_format_named(line.value(tex_opt::format));
        if (!row || !image_format_serves(*row, image_use::write)) {
            tex_cli_usage(extract, "--format takes %s", image_format_list(image_use::write).c_str());
            return -1;
        }
        o.format = row->name;
    }
    o.jobs_given = line.has(tex_opt::jobs);
    o.jobs = line.value(tex_opt::jobs);
    o.raw = line.has(tex_opt::raw);
    o.keep = line.has(tex_opt::keep);
    o.quiet = line.has(tex_opt::quiet);
    o.to_stdout = line.has(tex_opt::to_stdout);
    o.filter.ignore_case = line.has(tex_opt::ignore_case);
    o.filter.exclude = line.values(tex_opt::exclude);
    if (line.operands.empty()) {
        tex_cli_usage(extract, "no archive named");
        return -1;
    }
    tex_cli_operands sorted = tex_cli_sort_operands(line.operands);
    o.archives = std::move(sorted.archives);
    o.filter.include = std::move(sorted.patterns);
    for (std::string& p : line.values(tex_opt::include)) o.filter.include.push_back(std::move(p));
    if (std::count(o.archives.begin(), o.archives.end(), "-") > 1) {
        tex_cli_usage(extract, "standard input can be read once");
        return -1;
    }
    return tex_cli_check_order(o.archives, "extract ARCHIVE... [PATTERN...]");
}

}  // namespace

int tex_extract_main(int argc, char** argv)
{
    tex_command_line line;
    if (int status = 0; !tex_cli_read(tex_extract_command, argc, argv, line, status)) return status;
    extract_options o;
    if (read_options(line, o) != 0) return tex_exit_usage;
    const int workers = tex_cli_workers("extract", o.jobs, o.jobs_given, o.raw);
    if (workers < 0) return tex_cli_try_help(tex_extract_command);
    if (o.to_stdout && app_is_terminal(1)) {
        return tex_cli_usage(tex_extract_command, "standard output is a terminal: no image is written there");
    }
    const bool several = o.archives.size() > 1;
    const std::vector<std::string> stems = tex_cli_stems(o.archives);
    totals sum;
    bool unreadable = false;
    // DIR is the user's to name, links and all; with several archives each
    // STEM folder is made or opened beneath it as any output's folder is.
    output_root top;
    std::vector<tex_case_hint> hints;
    for (std::size_t k = 0; k < o.archives.size(); ++k) {
        tex_cli_archive a;
        if (tex_cli_open(o.archives[k], a) != 0) {
            // The one archive can't be read: that ends the call, its line the last.
            if (!several) return tex_exit_usage;
            unreadable = true;
            continue;
        }
        output_root root;
        const std::string folder = several ? (o.dir == "." ? stems[k] : o.dir + "/" + stems[k]) : o.dir;
        if (o.to_stdout) {
            output_open_stream_root(1, root);
        } else if (top.fd < 0 && output_open_root(o.dir.c_str(), true, top) != 0) {
            // Made before anything is written: nothing is, then.
            tex_cli_error("%s: %s", tex_printable_name(o.dir).c_str(), std::strerror(errno));
            return tex_exit_usage;
        } else if (several && output_open_folder(top, stems[k], root) != 0) {
            const int error = errno;
            if (error == EXDEV) {
                tex_cli_error("%s: is a link that leads outside %s: not followed", tex_printable_name(folder).c_str(),
                              o.dir == "." ? "the current folder" : "the output folder");
            } else {
                tex_cli_error("%s: %s", tex_printable_name(folder).c_str(), std::strerror(error));
            }
            unreadable = true;
            continue;
        }
        extract_archive(a, o, several || o.to_stdout ? root : top, folder, static_cast<unsigned>(workers), sum);
        output_close_root(root);
        tex_cli_note_case(a.index, o.filter, hints);
    }
    output_close_root(top);
    const bool unmatched = tex_cli_say_unmatched(o.filter, hints, several ? "" : o.archives[0]);
    std::FILE* summary = o.to_stdout ? stderr : stdout;
    std::fprintf(summary, "%llu extracted, %llu failed, %llu skipped", static_cast<unsigned long long>(sum.extracted),
                 static_cast<unsigned long long>(sum.failed), static_cast<unsigned long long>(sum.skipped));
    if (sum.not_done) std::fprintf(summary, ", %llu not extracted", static_cast<unsigned long long>(sum.not_done));
    if (sum.replaced) {
        std::fprintf(summary, ", %llu replaced an earlier entry's file", static_cast<unsigned long long>(sum.replaced));
    }
    std::fprintf(summary, "\n");
    if (!tex_cli_flush_output("extract")) return tex_exit_problem;
    if (unreadable) return tex_exit_usage;
    return sum.failed || sum.warned || sum.not_done || unmatched ? tex_exit_problem : tex_exit_ok;
}
