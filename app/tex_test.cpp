// morvex_tex test: every check of the index, and every entry the extractor
// would write decoded fully through the entry job, writing nothing. Each
// entry gets the verdict extract would give it, with the same reason.
#include "words/words.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "entries/walk.hpp"


namespace {

struct test_walk {
    const tex_cli_archive& archive;
    bool json;
    std::uint64_t problems = 0;
    std::uint64_t decoded = 0;
};

void report(test_walk& w, const tex_entry_view& v, const std::vector<tex_finding>& problems)
{
    w.problems += problems.size();
    if (w.json) {
        tex_json_entry(stdout, v, problems, v.index == 0);
        return;
    }
    const std::string path = tex_printable_name(w.archive.path);
    const std::string name = v.state == tex_entry_state::ok ? tex_printable_name(tex_entry_name(v.header)) : "-";
    for (const std::string& p : finding_texts(problems)) {
        std::printf("%s: entry %u (%s): %s\n", path.c_str(), v.index, name.c_str(), tex_printable_name(p).c_str());
    }
}

// 0 when the archive and every entry are sound, otherwise tex_exit_problem.
int test_archive(const tex_cli_archive& a, bool json, unsigned workers)
{
    test_walk w{a, json};
    const std::vector<tex_finding> archive_problems = tex_archive_problems(a);
    w.problems = archive_problems.size();
    if (json) {
        tex_json_begin(stdout, a, archive_problems);
    } else {
        for (const std::string& p : finding_texts(archive_problems)) {
            std::printf("%s: %s\n", tex_printable_name(a.path).c_str(), tex_printable_name(p).c_str());
        }
    }
    walk_options options;
    options.entries.write = false;
    options.workers = workers;
    const output_root nowhere;  // nothing is written
    walk_entries(a.index, nowhere, options, nullptr, [&](entry_task& task) {
        if (task.run && task.outcome.result == 0) ++w.decoded;
        report(w, task.view, task.findings);
    });
    if (json) {
        tex_json_end(stdout);
    } else {
        std::printf("%s: %s, %llu decoded, %s\n", tex_printable_name(a.path).c_str(),
                    counted(a.index.count, "entry", "entries").c_str(), static_cast<unsigned long long>(w.decoded),
                    counted(w.problems, "problem", "problems").c_str());
    }
    return w.problems ? tex_exit_problem : tex_exit_ok;
}

}  // namespace

int tex_test_main(int argc, char** argv)
{
    tex_command_line line;
    if (int status = 0; !tex_cli_read(tex_test_command, argc, argv, line, status)) return status;
    const bool json = line.has(tex_opt::json);
    const int workers = tex_cli_workers("test", line.value(tex_opt::jobs), line.has(tex_opt::jobs), false);
    if (workers < 0) return tex_cli_try_help(tex_test_command);
    if (line.operands.empty()) return tex_cli_usage(tex_test_command, "no archive named");
    const std::vector<std::string>& archives = line.operands;
    int status = tex_exit_ok;
    bool first = true;
    if (json) std::fputs("{\"archives\": [", stdout);
    for (const std::string& path : archives) {
        tex_cli_archive a;
        const bool read = tex_cli_open(path, a) == 0;
        if (json && !first) std::fputs(",\n", stdout);
        first = false;
        if (!read) {
            // Every archive named has its object, an unreadable one too.
            if (json) tex_json_unreadable(stdout, a);
            status = tex_exit_usage;
            continue;
        }
        if (test_archive(a, json, static_cast<unsigned>(workers)) != tex_exit_ok && status == tex_exit_ok) {
            status = tex_exit_problem;
        }
        if (std::ferror(stdout)) break;
    }
    if (json) std::fputs("]}\n", stdout);
    if (!tex_cli_flush_output("test")) return tex_exit_problem;
    return status;
}
