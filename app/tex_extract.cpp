// morvex_tex extract: the entries the extractor would write (1 and up), or
// those whose stored names match a pattern, beneath a folder, through the
// same entry job and output layer as the extractor.
#include "app/tex_cli.hpp"

#include <cerrno>
#include <cstring>
#include <deque>
#include <set>

#include <fcntl.h>
#include <fnmatch.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

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
    unsigned workers = 0;
    std::string archive;
    std::vector<std::string> patterns;
};

enum class verdict { ignored, run, failed, skipped, repeat };

struct entry_note {
    verdict what = verdict::ignored;
    std::string name;       // printable stored name
    std::string output;     // printable output name
    std::string reason;     // failed / skipped / repeat
};

// The stored name with its extension (after the last dot of its last
// component) replaced by `ext`, or `ext` appended when it has none.
std::string with_extension(const std::string& name, const std::string& ext)
{
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has_ext ? name.substr(0, dot) : name) + "." + ext;
}

// A name present beneath the root, whatever it is (a dangling link too). The
// kernel resolves it beneath the root, so that a folder link leading out
// can't make a file outside count: such a name is left to the job to refuse.
bool exists_beneath(const output_root& root, const std::string& name)
{
    if (root.fd < 0) return false;
    open_how how{};
    how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, root.fd, name.c_str(), &how, sizeof how);
    if (fd >= 0) {
        close(static_cast<int>(fd));
        return true;
    }
    if (errno != ENOSYS) return false;
    struct stat st{};
    return fstatat(root.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

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
    tex_table_cursor cursor;
    std::deque<entry_note> notes;
    std::set<std::string> chosen;          // outputs this run writes, for --keep
    std::vector<bool> pattern_used;
    progress_bar bar;
    std::uint64_t extracted = 0, failed = 0, skipped = 0;
};

bool selected(extract_walk& w, const std::string& name)
{
    if (w.options.patterns.empty()) return true;
    bool any = false;
    for (std::size_t k = 0; k < w.options.patterns.size(); ++k) {
        if (fnmatch(w.options.patterns[k].c_str(), name.c_str(), 0) == 0) {
            w.pattern_used[k] = true;
            any = true;
        }
    }
    return any;
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
    if (tex_entry_runs(v)) {
        extract_request r = tex_entry_request(w.archive.index, v);
        r.raw = w.options.raw;
        if (!w.options.format.empty()) r.output_name = with_extension(r.name, w.options.format);
        note.output = tex_printable_name(r.output_name);
        const bool usable = output_name_problem(r.output_name) == nullptr;
        if (w.options.keep && usable && (w.chosen.count(r.output_name) || exists_beneath(w.root, r.output_name))) {
            note.what = verdict::skipped;
            note.reason = "exists";
        } else {
            note.what = verdict::run;
            w.chosen.insert(r.output_name);
            task.request = std::move(r);
            task.run = true;
        }
    } else if (v.repeat_of && !v.repeat_size_differs) {
        note.what = verdict::repeat;
        note.reason = "entry " + std::to_string(*v.repeat_of);
    } else {
        note.what = verdict::failed;
        const std::vector<std::string> problems = tex_entry_problems(v);
        for (const std::string& p : problems) note.reason += (note.reason.empty() ? "" : "; ") + p;
        if (note.reason.empty()) note.reason = "can't be extracted";
    }
    w.notes.push_back(std::move(note));
}

void finish(extract_walk& w, entry_task& task)
{
    entry_note note = std::move(w.notes.front());
    w.notes.pop_front();
    if (note.what == verdict::run) {
        extract_place(task.request, task.outcome);
        if (task.outcome.result == 0) {
            ++w.extracted;
        } else {
            note.what = verdict::failed;
            const std::vector<std::string> problems = tex_job_problems(task.outcome.lines);
            note.reason = problems.empty() ? "can't be extracted" : problems.front();
            for (std::size_t k = 1; k < problems.size(); ++k) note.reason += "; " + problems[k];
        }
    }
    const std::string path = tex_printable_name(w.archive.path);
    w.bar.clear();
    switch (note.what) {
    case verdict::ignored:
        break;
    case verdict::run:
        if (!w.options.quiet) std::printf("extracted %s\n", note.output.c_str());
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
    }
    std::fflush(stdout);
    w.bar.draw(task.index + 1);
}

int parse_options(int argc, char** argv, extract_options& o)
{
    tex_cli_args args{argc, argv};
    o.workers = 0;  // not given: the default for the mode, once known
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
            if (!tex_cli_value(args, opt, value)) return -1;
            const long n = tex_cli_count(value, 256);
            if (n < 0) {
                tex_cli_error("extract: -j takes a number from 1 to 256");
                return -1;
            }
            o.workers = static_cast<unsigned>(n);
        } else if (opt == "--raw" || opt == "--keep" || opt == "-k" || opt == "-q" || opt == "--quiet") {
            if (!tex_cli_flag(args, opt)) return -1;
            (opt == "--raw" ? o.raw : opt == "-q" || opt == "--quiet" ? o.quiet : o.keep) = true;
        } else {
            tex_cli_error("extract: unknown option %s", opt.c_str());
            return -1;
        }
    }
    if (o.raw && !o.format.empty()) {
        tex_cli_error("extract: --raw and --format exclude each other");
        return -1;
    }
    if (o.workers == 0) o.workers = extract_workers(o.raw);
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
    tex_cli_archive a;
    if (tex_cli_open(o.archive.c_str(), a) != 0) return tex_exit_usage;
    output_root root;
    if (output_open_root(o.dir.c_str(), true, root) != 0) {
        tex_cli_error("%s: %s", tex_printable_name(o.dir).c_str(), std::strerror(errno));
        return tex_exit_usage;
    }
    extract_walk w{a, o, root, {&a.index, {}, 0, 0}, {}, {}, std::vector<bool>(o.patterns.size()), {}, 0, 0, 0};
    w.bar.shown = isatty(2) != 0;
    w.bar.total = a.index.count;
    run_entry_tasks(
        root, a.index.count, o.workers, [&](std::uint32_t i, entry_task& task) { prepare(w, i, task); },
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
    std::printf("%llu extracted, %llu failed, %llu skipped\n", static_cast<unsigned long long>(w.extracted),
                static_cast<unsigned long long>(w.failed), static_cast<unsigned long long>(w.skipped));
    return w.failed || unmatched ? tex_exit_problem : tex_exit_ok;
}
