// The packer's command line, for morvex_tex_pack and for morvex_tex's create,
// replace, add, delete and rename: the line, read by the table and scanner of
// app/tex_options.cpp, makes a pack/ request, and the result is said in the
// packer's lines (words/pack_words.cpp) with its exit status.
#include "app/app.hpp"
#include "app/platform.hpp"
#include "words/escape.hpp"
#include "app/pack_cli.hpp"
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "words/pack_words.hpp"
#include "files/input.hpp"
#include "morvex/version.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace {

// Exit statuses: a refused OUT.pak is 2, as a usage error; a usage error is
// the command's own (tex_pack_command).
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_refused = 2;

// A command line read by the packer's table (who speaks is the command's
// program), and the request it makes.
struct command_line {
    tex_command_line line;
    pack_request request;
    bool quiet = false;
    bool verbose = false;
    bool update = false;  // entries that hold their image already are listed only with -v
};

// The number an option gives: the type, the level, the threads; -1 for a
// value that gives none.
long number(const tex_given& given)
{
    switch (given.id) {
    case tex_opt::type: return given.value == "4" || given.value == "6" ? given.value[0] - '0' : -1;
    case tex_opt::level: return tex_cli_count(given.value, pack_level_best);
    case tex_opt::level_digit: return given.value[0] - '0';
    case tex_opt::fast: return pack_level_fastest;
    case tex_opt::best: return pack_level_best;
    case tex_opt::jobs: return tex_cli_count(given.value, max_workers);
    default: return 0;
    }
}

// Refuses a value that gives no number as soon as it is read, as in
// "invalid type '5': 4 or 6".
bool check_value(const tex_command& who, const tex_given& given)
{
    if (number(given) >= 0) return true;
    const bool type = given.id == tex_opt::type, level = given.id == tex_opt::level;
    tex_cli_usage(who, "invalid %s '%s': %s", type ? "type" : level ? "level" : "number of threads",
                  tex_printable_name(given.value).c_str(), type ? "4 or 6" : level ? "1 to 12" : "1 to 256");
    return false;
}

// The request the options make, in the order given: the last level wins.
void take_options(command_line& cl)
{
    pack_request& request = cl.request;
    for (const tex_given& given : cl.line.options) {
        switch (given.id) {
        case tex_opt::type: request.type = static_cast<std::uint8_t>(number(given)); break;
        case tex_opt::level:
        case tex_opt::level_digit:
        case tex_opt::fast:
        case tex_opt::best: request.level = static_cast<int>(number(given)); break;
        case tex_opt::jobs: request.workers = static_cast<unsigned>(number(given)); break;
        case tex_opt::dry_run: request.dry_run = true; break;
        case tex_opt::force: request.force = true; break;
        case tex_opt::exclude: request.excluded.push_back(given.value); break;
        case tex_opt::ignore_case: request.ignore_case = true; break;
        default: break;
        }
    }
    cl.quiet = cl.line.has(tex_opt::quiet);
    cl.verbose = cl.line.has(tex_opt::verbose);
}

// IMAGE=NAME splits at the last '=', unless the whole operand names an
// existing file (so that files whose names hold '=' still work).
pack_image_arg image_arg(const std::string& operand)
{
    const std::size_t eq = operand.rfind('=');
    if (eq == std::string::npos || pack_path_exists(operand)) return {operand, ""};
    return {operand.substr(0, eq), operand.substr(eq + 1)};
}

// Says the result: its notes on standard error and its entries' lines (on
// standard error too when the archive goes to standard output), in the order
// they came up; create holds its lines until the archive is complete, so
// that a refusal part way prints only itself. Then puts the archive in place,
// once the lines are out: standard output failing leaves nothing written.
// The exit status.
int present(const tex_command& who, bool replace, const command_line& cl, pack_result& result, int rc)
{
    const pack_request& request = cl.request;
    std::FILE* lines = request.output == "-" ? stderr : stdout;
    const std::string output = tex_printable_name(request.output);
    bool printed = false;
    std::size_t listed = 0;
    unsigned width = 1;
    for (const pack_entry& e : result.entries) width = std::max(width, static_cast<unsigned>(std::to_string(e.index).size()));
    const auto list_up_to = [&](std::size_t end) {
        for (; listed < end && listed < result.entries.size(); ++listed) {
            // An edit shows what it changed; what it kept as it was, on asking.
            const pack_fate fate = result.entries[listed].fate;
            if (cl.quiet || ((fate == pack_fate::kept || (cl.update && fate == pack_fate::unchanged)) && !cl.verbose)) continue;
            std::fputs(pack_entry_line(result.entries[listed], request.dry_run, width).c_str(), lines);
            printed = true;
        }
    };
    const pack_note* replaced = nullptr;  // said once the archive is in place
    for (const pack_note& n : result.notes) {
        if (replace) list_up_to(n.after);
        if (n.kind == pack_note_kind::archive_replaced) {
            replaced = &n;
            continue;
        }
        if (n.kind == pack_note_kind::file_skipped && !cl.verbose) continue;
        tex_cli_say(who, "%s", pack_note_text(n).c_str());
    }
    if (rc != 0) {
        if (replace) list_up_to(result.entries.size());
        if (printed && !request.dry_run) tex_cli_say(who, "%s not written", output.c_str());
        for (const pack_note& n : result.notes) {
            if (pack_note_refuses_like_usage(n)) return exit_refused;
        }
        return exit_failed;
    }
    list_up_to(result.entries.size());
    if (request.dry_run) {
        if (replaced) tex_cli_say(who, "%s", pack_note_text(*replaced).c_str());
        if (!cl.quiet) {
            const bool images = request.patterns.empty() && request.old_name.empty();
            const unsigned n = result.images_refused;
            std::fprintf(lines, "dry run: %s not written; %u %s\n", output.c_str(), n,
                         images ? (n == 1 ? "image refused" : "images refused") : (n == 1 ? "problem" : "problems"));
        }
        return result.images_refused == 0 ? exit_ok : exit_failed;
    }
    if (std::fflush(lines) != 0 || std::ferror(lines)) {
        tex_cli_say(who, "can't write to standard output: %s not written", output.c_str());
        return exit_failed;
    }
    if (pack_place(result) != 0) {
        tex_cli_say(who, "%s", pack_note_text(result.notes.back()).c_str());
        return exit_failed;
    }
    if (replaced) tex_cli_say(who, "%s", pack_note_text(*replaced).c_str());
    return exit_ok;
}

// Operands given in the wrong order (`add x.png game.pak`): where the
// archive goes is none, and an image's place names one. Refused before
// anything is read or written: exit 2, as a refused OUT.pak. create's images
// are no archive wherever it goes.
int check_order(const tex_command& who, const std::string& command, const std::string& first,
                std::span<const std::string> images, const char* synopsis)
{
    const auto archive = std::find_if(images.begin(), images.end(),
                                      [](const std::string& s) { return s != "-" && tex_cli_names_an_archive(s); });
    if (archive == images.end()) return 0;
    const std::string shown = tex_printable_name(*archive);
    if (command == "create") {
        tex_cli_say(who, "%s is a TEX archive, not an image: create builds a new archive from images (%s); add or update "
                    "puts images into one", shown.c_str(), synopsis);
        return -1;
    }
    if (app_path_kind_of(first) != app_path_kind::regular || tex_cli_names_an_archive(first)) return 0;
    tex_cli_say(who, "%s is no archive, but %s is: the archive comes first (%s)", tex_printable_name(first).c_str(),
                shown.c_str(), synopsis);
    return -1;
}

// The threads when -j didn't say: MORVEX_TEX_JOBS, else the processors. -1
// after saying that MORVEX_TEX_JOBS holds no number of them.
int default_workers(const tex_command& who, command_line& cl)
{
    if (cl.line.has(tex_opt::jobs)) return 0;
    if (extract_workers_setting() < 0) {
        tex_cli_usage(who, "MORVEX_TEX_JOBS takes a number from 1 to %u, not %s", max_workers,
                      tex_printable_name(std::getenv("MORVEX_TEX_JOBS")).c_str());
        return -1;
    }
    cl.request.workers = extract_workers();
    return 0;
}

// The exit status of the command.
int run(const tex_command& who, command_line& cl)
{
    if (cl.line.operands.empty()) return tex_cli_usage(who, "no command: create, replace, add, update, delete or rename");
    const std::string& command = cl.line.operands[0];
    const std::span<const std::string> rest = std::span(cl.line.operands).subspan(1);
    pack_request& request = cl.request;
    pack_result result;
    if (command != "delete" && (!request.excluded.empty() || request.ignore_case)) return tex_cli_usage(who, "%s is for delete", request.excluded.empty() ? "--ignore-case" : "--exclude");
    if ((command == "delete" || command == "rename") && cl.line.has(tex_opt::type)) return tex_cli_usage(who, "--type is for create, add and update: %s writes no image", command.c_str());
    // The editing commands write the archive they read: in place, or from
    // standard input to standard output. One that waits for another edit of
    // the archive says so, on a terminal.
    struct waiting_for {
        const tex_command& who;
        const pack_request& request;
    } waiting{who, request};
    if (app_is_terminal(2)) {
        request.waiting_context = &waiting;
        request.waiting = [](void* context) {
            const auto& w = *static_cast<const waiting_for*>(context);
            tex_cli_say(w.who, "%s: waiting for another edit of it to finish", tex_printable_name(w.request.source).c_str());
        };
    }
    if (command == "add" || command == "update") {
        const bool add = command == "add";
        if (rest.size() < 2) return tex_cli_usage(who, "%s needs ARCHIVE and at least one IMAGE", command.c_str());
        if (check_order(who, command, rest[0], rest.subspan(1),
                        add ? "add ARCHIVE IMAGE[=NAME]|FOLDER..." : "update ARCHIVE IMAGE[=NAME]|FOLDER...") != 0) {
            return exit_refused;
        }
        request.source = request.output = rest[0];
        for (const std::string& operand : rest.subspan(1)) request.images.push_back(image_arg(operand));
        if (default_workers(who, cl) != 0) return who.usage_exit;
        cl.update = !add;
        const int rc = add ? pack_add(request, result) : pack_update(request, result);
        return present(who, true, cl, result, rc);
    }
    if (command == "delete") {
        if (rest.size() < 2) return tex_cli_usage(who, "delete needs ARCHIVE and at least one PATTERN");
        request.source = request.output = rest[0];
        request.patterns.assign(rest.begin() + 1, rest.end());
        const int rc = pack_delete(request, result);
        return present(who, true, cl, result, rc);
    }
    if (command == "rename") {
        if (rest.size() != 3) return tex_cli_usage(who, "rename needs ARCHIVE, OLD and NEW");
        request.source = request.output = rest[0];
        request.old_name = rest[1];
        request.new_name = rest[2];
        const int rc = pack_rename(request, result);
        return present(who, true, cl, result, rc);
    }
    if (command == "create") {
        if (rest.size() < 2) return tex_cli_usage(who, "create needs OUT.pak and at least one IMAGE");
        if (check_order(who, command, rest[0], rest.subspan(1), "create OUT.pak IMAGE[=NAME]|FOLDER...") != 0) return exit_refused;
        request.output = rest[0];
        for (const std::string& operand : rest.subspan(1)) request.images.push_back(image_arg(operand));
        if (default_workers(who, cl) != 0) return who.usage_exit;
        const int rc = pack_create(request, result);
        return present(who, false, cl, result, rc);
    }
    if (command == "replace") {
        if (cl.line.has(tex_opt::type)) {
            tex_cli_say(who, "--type is for create: replace keeps each entry's own type");
            return who.usage_exit;
        }
        if (rest.size() < 3) return tex_cli_usage(who, "replace needs IN.pak, OUT.pak and at least one IMAGE");
        if (check_order(who, command, rest[0], rest.subspan(1), "replace IN.pak OUT.pak IMAGE[=NAME]...") != 0) return exit_refused;
        request.source = rest[0];
        request.output = rest[1];
        for (const std::string& operand : rest.subspan(2)) request.images.push_back(image_arg(operand));
        if (default_workers(who, cl) != 0) return who.usage_exit;
        const int rc = pack_replace(request, result);
        return present(who, true, cl, result, rc);
    }
    return tex_cli_usage(who, "unknown command '%s': create, replace, add, update, delete or rename", tex_printable_name(command).c_str());
}

int pack_cli_main(const tex_command& who, int argc, char** argv)
{
    command_line cl;
    const auto check = [&](const tex_given& given) { return check_value(who, given); };
    if (tex_cli_parse(who, argc, argv, cl.line, check) != tex_parsed::ok) return who.usage_exit;
    if (cl.line.has(tex_opt::help)) {
        std::fputs(who.help, stdout);
        return exit_ok;
    }
    if (cl.line.has(tex_opt::version)) {
        std::printf("%s %s\n", who.program, morvex_version);
        return exit_ok;
    }
    take_options(cl);
    const int rc = run(who, cl);
    if (std::fflush(stdout) != 0) return exit_failed;
    return rc;
}

}  // namespace

int pack_main(int argc, char** argv)
{
    return pack_cli_main(*tex_pack_command(""), argc, argv);
}

int tex_pack_main(int argc, char** argv)
{
    // tex_main.cpp hands over only the packer's five commands.
    return pack_cli_main(*tex_pack_command(argv[1]), argc, argv);
}
