// The packer's command line, for morvex_tex_pack and for morvex_tex's create,
// replace, add, delete and rename: options and operands make a pack/ request, and the result is
// said in the packer's lines (app/pack_words.cpp) with its exit status.
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
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// Exit statuses: a refused OUT.pak is 2, as a usage error.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_refused = 2;

// Who speaks: the program whose name messages start with, and, under
// morvex_tex, the subcommand, which follows the program's name in hints;
// there usage errors exit 2, as in every other subcommand of it.
struct speaker {
    const char* program;
    bool subcommand;
    std::string command;
};

void say(const speaker& who, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(const speaker& who, const char* format, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", who.program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// What both programs' help says after its usage lines.
constexpr const char* help_body =
    "Build or edit a TEX texture archive (version 3) with PNG, TGA, BMP or PCX images.\n"
    "\n"
    "  create   write OUT.pak with one entry per IMAGE, stored under the image's file\n"
    "           name, or under NAME (at most 32 bytes); a FOLDER gives every image\n"
    "           beneath it, named by its path inside FOLDER, in sorted order. An\n"
    "           empty placeholder entry (type 6, 0 x 0) comes first, since the\n"
    "           extractor never writes an archive's first entry.\n"
    "  replace  write OUT.pak as a copy of IN.pak in which the entry stored under each\n"
    "           IMAGE's path (with its folders, or fewer of them: g/s.tga patches an\n"
    "           entry stored as g/s.tga, else one stored as s.tga), or under NAME, holds\n"
    "           that image, in the entry's own type; where no entry has that name, the\n"
    "           one under the same path and stem (s.png patches s.tga). Every other entry, the first one\n"
    "           and the header are kept byte for byte, and so is an entry whose image is\n"
    "           unchanged. An IMAGE that names no entry is an error. OUT.pak may be\n"
    "           IN.pak itself, to put the images back in place.\n"
    "  add      add to ARCHIVE, after its entries, one entry per IMAGE or per image\n"
    "           beneath FOLDER, named as create names them; a name ARCHIVE holds\n"
    "           already is refused (replace puts an image into its entry).\n"
    "  delete   drop from ARCHIVE every entry a PATTERN takes and no -x PATTERN does\n"
    "           (shell wildcards where * matches / too; one ending in / takes a\n"
    "           folder); its first entry is never dropped. A PATTERN that takes\n"
    "           nothing is an error.\n"
    "  rename   store every entry of ARCHIVE named OLD under the name NEW, which no\n"
    "           entry may hold already.\n"
    "add, delete and rename change ARCHIVE in place, byte for byte but for what\n"
    "they change, and keep its owner and permissions (a link to it is followed);\n"
    "ARCHIVE - reads standard input and writes standard output. Nothing is decoded:\n"
    "a damaged entry is kept as it is.\n"
    "\n"
    "Options:\n"
    "  -t, --type N   create: store images as type 6 (raw 32-bit pixels, the default)\n"
    "                 or type 4 (zlib-compressed, 4 bits a channel, each rounded to\n"
    "                 the nearest of its 16 levels)\n"
    "  -1 .. -9, --level N\n"
    "                 compress the type-4 payloads written at level N, from 1\n"
    "                 (fastest) to 12 (smallest); the default is 6\n"
    "      --fast     the same as -1\n"
    "      --best     the same as --level 12\n"
    "  -j, --jobs N   read, decode and compress images on N threads, 1 to 256\n"
    "                 (default: MORVEX_TEX_JOBS, or else the processors available);\n"
    "                 the archive is the same whatever N\n"
    "  -x, --exclude PATTERN\n"
    "                 delete: leave the entries PATTERN takes\n"
    "      --ignore-case\n"
    "                 delete: patterns match in any letter case\n"
    "  -n, --dry-run  print what would be written, changed or refused; write nothing\n"
    "  -f, --force    write OUT.pak over a file that is not a TEX archive, or under\n"
    "                 a name ending in an image extension\n"
    "  -q, --quiet    print no line per entry\n"
    "  -v, --verbose  also print the entries kept as they were, and the files\n"
    "                 beneath a FOLDER that are skipped\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "  --             end of options\n"
    "\n"
    "Images whose file carries no alpha (24-bit BMP and PCX, for instance) are stored\n"
    "fully opaque; put back unchanged, they leave their entry as it was. OUT.pak is\n"
    "written as an unnamed file beside its name and put in place only when complete:\n"
    "an error or an interruption leaves nothing (an archive edited in place stays as\n"
    "it was). OUT.pak may be a new name, a TEX\n"
    "archive or a link (replaced, not followed); a device, FIFO or socket, or - for\n"
    "standard output, is written through. Each thread holds one image at a time;\n"
    "payloads waiting for their turn to be written take at most 32 MiB.\n";

void print_help(const speaker& who)
{
    if (who.subcommand) {
        std::fputs("Usage: morvex_tex create [OPTION]... OUT.pak IMAGE[=NAME]|FOLDER...\n"
                   "  or:  morvex_tex replace [OPTION]... IN.pak OUT.pak IMAGE[=NAME]...\n"
                   "  or:  morvex_tex add [OPTION]... ARCHIVE IMAGE[=NAME]|FOLDER...\n"
                   "  or:  morvex_tex delete [OPTION]... ARCHIVE PATTERN...\n"
                   "  or:  morvex_tex rename [OPTION]... ARCHIVE OLD NEW\n",
                   stdout);
        std::fputs(help_body, stdout);
        std::fputs("Exit status: 0 on success, 1 on any error, 2 on a usage error or when OUT.pak\n"
                   "is refused.\n",
                   stdout);
        return;
    }
    std::fputs("Usage: morvex_tex_pack [OPTION]... create OUT.pak IMAGE[=NAME]|FOLDER...\n"
               "  or:  morvex_tex_pack [OPTION]... replace IN.pak OUT.pak IMAGE[=NAME]...\n"
               "  or:  morvex_tex_pack [OPTION]... add ARCHIVE IMAGE[=NAME]|FOLDER...\n"
               "  or:  morvex_tex_pack [OPTION]... delete ARCHIVE PATTERN...\n"
               "  or:  morvex_tex_pack [OPTION]... rename ARCHIVE OLD NEW\n",
               stdout);
    std::fputs(help_body, stdout);
    std::fputs("Exit status: 0 on success, 1 on any error, 2 when OUT.pak is refused.\n", stdout);
}

std::string try_help_text(const speaker& who)
{
    std::string text = "Try '";
    text += who.program;
    if (who.subcommand) text += ' ' + (who.command.empty() ? std::string("COMMAND") : who.command);
    return text + " --help' for more information.";
}

int usage_error(const speaker& who)
{
    return who.subcommand ? exit_refused : exit_failed;
}

struct command_line {
    pack_request request;
    bool quiet = false;
    bool verbose = false;
    bool type_given = false;
    bool jobs_given = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> operands;
};

int invalid(const speaker& who, const char* what, std::string_view value, const char* range)
{
    say(who, "invalid %s '%s': %s\n%s", what, tex_printable_name(std::string(value)).c_str(), range,
        try_help_text(who).c_str());
    return -1;
}

// What each option does: the option as spelled on the command line, its value
// (empty for those that take none).
using option_action = int (*)(const speaker&, std::string_view spelled, std::string_view value, command_line&);

int set_type(const speaker& who, std::string_view, std::string_view value, command_line& cl)
{
    if (value != "4" && value != "6") return invalid(who, "type", value, "4 or 6");
    cl.request.type = static_cast<std::uint8_t>(value[0] - '0');
    cl.type_given = true;
    return 0;
}

int set_level(const speaker& who, std::string_view, std::string_view value, command_line& cl)
{
    const long n = tex_cli_count(std::string(value), pack_level_best);
    if (n < 0) return invalid(who, "level", value, "1 to 12");
    cl.request.level = static_cast<int>(n);
    return 0;
}

int set_jobs(const speaker& who, std::string_view, std::string_view value, command_line& cl)
{
    const long n = tex_cli_count(std::string(value), max_workers);
    if (n < 0) return invalid(who, "number of threads", value, "1 to 256");
    cl.request.workers = static_cast<unsigned>(n);
    cl.jobs_given = true;
    return 0;
}

// -1 .. -9: the level its digit says.
int set_digit_level(const speaker&, std::string_view spelled, std::string_view, command_line& cl)
{
    cl.request.level = spelled.back() - '0';
    return 0;
}

int set_fast(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.request.level = pack_level_fastest;
    return 0;
}

int set_best(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.request.level = pack_level_best;
    return 0;
}

int set_dry_run(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.request.dry_run = true;
    return 0;
}

int set_force(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.request.force = true;
    return 0;
}

int set_quiet(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.quiet = true;
    return 0;
}

int set_verbose(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.verbose = true;
    return 0;
}

int set_exclude(const speaker&, std::string_view, std::string_view value, command_line& cl)
{
    cl.request.excluded.emplace_back(value);
    return 0;
}

int set_ignore_case(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.request.ignore_case = true;
    return 0;
}

int set_help(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.help = true;
    return 0;
}

int set_version(const speaker&, std::string_view, std::string_view, command_line& cl)
{
    cl.version = true;
    return 0;
}

struct option_spec {
    char short_name;        // -x; 0: none
    const char* long_name;  // --name; nullptr: none
    bool takes_value;       // -x V, -xV, --name V, --name=V
    option_action apply;
};

constexpr option_spec options[] = {
    {'t', "type", true, set_type},
    {'1', nullptr, false, set_digit_level},
    {'2', nullptr, false, set_digit_level},
    {'3', nullptr, false, set_digit_level},
    {'4', nullptr, false, set_digit_level},
    {'5', nullptr, false, set_digit_level},
    {'6', nullptr, false, set_digit_level},
    {'7', nullptr, false, set_digit_level},
    {'8', nullptr, false, set_digit_level},
    {'9', nullptr, false, set_digit_level},
    {0, "level", true, set_level},
    {0, "fast", false, set_fast},
    {0, "best", false, set_best},
    {'j', "jobs", true, set_jobs},
    {'n', "dry-run", false, set_dry_run},
    {'f', "force", false, set_force},
    {'q', "quiet", false, set_quiet},
    {'v', "verbose", false, set_verbose},
    {'x', "exclude", true, set_exclude},
    {0, "ignore-case", false, set_ignore_case},
    {'h', "help", false, set_help},
    {0, "version", false, set_version},
};

const option_spec* short_option(char letter)
{
    for (const option_spec& o : options) {
        if (o.short_name == letter) return &o;
    }
    return nullptr;
}

const option_spec* long_option(std::string_view name)
{
    for (const option_spec& o : options) {
        if (o.long_name && name == o.long_name) return &o;
    }
    return nullptr;
}

// "unknown option '--levl'", with the nearest long option when one is near.
int unknown_option(const speaker& who, std::string_view spelled)
{
    std::string hint;
    if (spelled.starts_with("--")) {
        std::vector<std::string_view> names;
        for (const option_spec& o : options) {
            if (o.long_name) names.emplace_back(o.long_name);
        }
        const std::string_view typed = spelled.substr(2, spelled.find('=') == std::string_view::npos ? std::string_view::npos
                                                                                                    : spelled.find('=') - 2);
        if (const std::string nearest = tex_cli_nearest(typed, names); !nearest.empty()) {
            hint = " (did you mean --" + nearest + "?)";
        }
    }
    say(who, "unknown option '%s'%s\n%s", tex_printable_name(std::string(spelled)).c_str(), hint.c_str(),
        try_help_text(who).c_str());
    return -1;
}

int needs_value(const speaker& who, std::string_view spelled)
{
    say(who, "option '%s' needs a value\n%s", tex_printable_name(std::string(spelled)).c_str(), try_help_text(who).c_str());
    return -1;
}

// Options anywhere before "--", operands among them. Short options bundle
// ("-qn", "-q9"), a value glued to its letter or apart ("-j4", "-j 4", "-qj4");
// long ones take "--name=value" or "--name value".
int parse(const speaker& who, int argc, char** argv, command_line& cl)
{
    bool options_done = false;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            cl.operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg.starts_with("--")) {
            const std::size_t eq = arg.find('=');
            const std::string_view name = arg.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
            const option_spec* o = long_option(name);
            if (!o || (!o->takes_value && eq != std::string_view::npos)) return unknown_option(who, arg);
            std::string_view value;
            if (o->takes_value) {
                if (eq != std::string_view::npos) {
                    value = arg.substr(eq + 1);
                } else if (k + 1 < argc) {
                    value = argv[++k];
                } else {
                    return needs_value(who, arg);
                }
            }
            if (o->apply(who, arg, value, cl) != 0) return -1;
            continue;
        }
        for (std::size_t at = 1; at < arg.size(); ++at) {
            const option_spec* o = short_option(arg[at]);
            if (!o) return unknown_option(who, arg);
            const std::string spelled = std::string("-") + arg[at];
            if (!o->takes_value) {
                if (o->apply(who, spelled, "", cl) != 0) return -1;
                continue;
            }
            std::string_view value = arg.substr(at + 1);
            if (value.empty()) {
                if (k + 1 >= argc) return needs_value(who, spelled);
                value = argv[++k];
            }
            if (o->apply(who, spelled, value, cl) != 0) return -1;
            break;
        }
    }
    return 0;
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
int present(const speaker& who, bool replace, const command_line& cl, pack_result& result, int rc)
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
            if (cl.quiet || (result.entries[listed].fate == pack_fate::kept && !cl.verbose)) continue;
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
        say(who, "%s", pack_note_text(n).c_str());
    }
    if (rc != 0) {
        if (replace) list_up_to(result.entries.size());
        if (printed && !request.dry_run) say(who, "%s not written", output.c_str());
        for (const pack_note& n : result.notes) {
            if (pack_note_refuses_like_usage(n)) return exit_refused;
        }
        return exit_failed;
    }
    list_up_to(result.entries.size());
    if (request.dry_run) {
        if (replaced) say(who, "%s", pack_note_text(*replaced).c_str());
        if (!cl.quiet) {
            const bool images = request.patterns.empty() && request.old_name.empty();
            const unsigned n = result.images_refused;
            std::fprintf(lines, "dry run: %s not written; %u %s\n", output.c_str(), n,
                         images ? (n == 1 ? "image refused" : "images refused") : (n == 1 ? "problem" : "problems"));
        }
        return result.images_refused == 0 ? exit_ok : exit_failed;
    }
    if (std::fflush(lines) != 0 || std::ferror(lines)) {
        say(who, "can't write to standard output: %s not written", output.c_str());
        return exit_failed;
    }
    if (pack_place(result) != 0) {
        say(who, "%s", pack_note_text(result.notes.back()).c_str());
        return exit_failed;
    }
    if (replaced) say(who, "%s", pack_note_text(*replaced).c_str());
    return exit_ok;
}

// The threads when -j didn't say: MORVEX_TEX_JOBS, else the processors. -1
// after saying that MORVEX_TEX_JOBS holds no number of them.
int default_workers(const speaker& who, command_line& cl)
{
    if (cl.jobs_given) return 0;
    if (extract_workers_setting() < 0) {
        say(who, "MORVEX_TEX_JOBS takes a number from 1 to %u, not %s\n%s", max_workers,
            tex_printable_name(std::getenv("MORVEX_TEX_JOBS")).c_str(), try_help_text(who).c_str());
        return -1;
    }
    cl.request.workers = extract_workers();
    return 0;
}

// The exit status of the command.
int run(const speaker& who, command_line& cl)
{
    if (cl.operands.empty()) {
        say(who, "no command: create, replace, add, delete or rename\n%s", try_help_text(who).c_str());
        return usage_error(who);
    }
    const std::string& command = cl.operands[0];
    const std::span<const std::string> rest = std::span(cl.operands).subspan(1);
    pack_request& request = cl.request;
    pack_result result;
    if (command != "delete" && (!request.excluded.empty() || request.ignore_case)) {
        say(who, "%s is for delete\n%s", request.excluded.empty() ? "--ignore-case" : "--exclude", try_help_text(who).c_str());
        return usage_error(who);
    }
    if ((command == "delete" || command == "rename") && cl.type_given) {
        say(who, "--type is for create and add: %s writes no image\n%s", command.c_str(), try_help_text(who).c_str());
        return usage_error(who);
    }
    // The editing commands write the archive they read: in place, or from
    // standard input to standard output. One that waits for another edit of
    // the archive says so, on a terminal.
    struct waiting_for {
        const speaker& who;
        const pack_request& request;
    } waiting{who, request};
    if (app_is_terminal(2)) {
        request.waiting_context = &waiting;
        request.waiting = [](void* context) {
            const auto& w = *static_cast<const waiting_for*>(context);
            say(w.who, "%s: waiting for another edit of it to finish", tex_printable_name(w.request.source).c_str());
        };
    }
    if (command == "add") {
        if (rest.size() < 2) {
            say(who, "add needs ARCHIVE and at least one IMAGE\n%s", try_help_text(who).c_str());
            return usage_error(who);
        }
        request.source = request.output = rest[0];
        for (const std::string& operand : rest.subspan(1)) request.images.push_back(image_arg(operand));
        if (default_workers(who, cl) != 0) return usage_error(who);
        const int rc = pack_add(request, result);
        return present(who, true, cl, result, rc);
    }
    if (command == "delete") {
        if (rest.size() < 2) {
            say(who, "delete needs ARCHIVE and at least one PATTERN\n%s", try_help_text(who).c_str());
            return usage_error(who);
        }
        request.source = request.output = rest[0];
        request.patterns.assign(rest.begin() + 1, rest.end());
        const int rc = pack_delete(request, result);
        return present(who, true, cl, result, rc);
    }
    if (command == "rename") {
        if (rest.size() != 3) {
            say(who, "rename needs ARCHIVE, OLD and NEW\n%s", try_help_text(who).c_str());
            return usage_error(who);
        }
        request.source = request.output = rest[0];
        request.old_name = rest[1];
        request.new_name = rest[2];
        const int rc = pack_rename(request, result);
        return present(who, true, cl, result, rc);
    }
    if (command == "create") {
        if (rest.size() < 2) {
            say(who, "create needs OUT.pak and at least one IMAGE\n%s", try_help_text(who).c_str());
            return usage_error(who);
        }
        request.output = rest[0];
        for (const std::string& operand : rest.subspan(1)) request.images.push_back(image_arg(operand));
        if (default_workers(who, cl) != 0) return usage_error(who);
        const int rc = pack_create(request, result);
        return present(who, false, cl, result, rc);
    }
    if (command == "replace") {
        if (cl.type_given) {
            say(who, "--type is for create: replace keeps each entry's own type");
            return usage_error(who);
        }
        if (rest.size() < 3) {
            say(who, "replace needs IN.pak, OUT.pak and at least one IMAGE\n%s", try_help_text(who).c_str());
            return usage_error(who);
        }
        request.source = rest[0];
        request.output = rest[1];
        for (const std::string& operand : rest.subspan(2)) request.images.push_back(image_arg(operand));
        if (default_workers(who, cl) != 0) return usage_error(who);
        const int rc = pack_replace(request, result);
        return present(who, true, cl, result, rc);
    }
    say(who, "unknown command '%s': create, replace, add, delete or rename\n%s", tex_printable_name(command).c_str(),
        try_help_text(who).c_str());
    return usage_error(who);
}

int pack_cli_main(const speaker& who, int argc, char** argv)
{
    command_line cl;
    if (parse(who, argc, argv, cl) != 0) return usage_error(who);
    if (cl.help) {
        print_help(who);
        return exit_ok;
    }
    if (cl.version) {
        std::printf("%s %s\n", who.program, morvex_version);
        return exit_ok;
    }
    try {
        const int rc = run(who, cl);
        if (std::fflush(stdout) != 0) return exit_failed;
        return rc;
    } catch (const std::bad_alloc&) {
        say(who, "out of memory");
    } catch (const std::exception& e) {
        say(who, "%s", e.what());
    }
    return exit_failed;
}

}  // namespace

int pack_main(int argc, char** argv)
{
    return pack_cli_main({"morvex_tex_pack", false, ""}, argc, argv);
}

int tex_pack_main(int argc, char** argv)
{
    return pack_cli_main({"morvex_tex", true, argc > 1 ? argv[1] : ""}, argc, argv);
}
