// The command lines of morvex_tex: the vocabulary of options, each
// subcommand's table and help, and the one scanner over them.
#include "app/tex_options.hpp"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "words/escape.hpp"

namespace {

constexpr std::array spellings = {
    tex_option_spelling{tex_opt::help, 'h', "help", false},
    tex_option_spelling{tex_opt::version, 0, "version", false},
    tex_option_spelling{tex_opt::json, 0, "json", false},
    tex_option_spelling{tex_opt::names, 0, "names", false},
    tex_option_spelling{tex_opt::names0, 0, "names0", false},
    tex_option_spelling{tex_opt::verbose, 'v', "verbose", false},
    tex_option_spelling{tex_opt::jobs, 'j', "jobs", true},
    tex_option_spelling{tex_opt::directory, 'C', "directory", true},
    tex_option_spelling{tex_opt::to_stdout, 'O', "to-stdout", false},
    tex_option_spelling{tex_opt::raw, 0, "raw", false},
    tex_option_spelling{tex_opt::format, 0, "format", true},
    tex_option_spelling{tex_opt::keep, 'k', "keep", false},
    tex_option_spelling{tex_opt::quiet, 'q', "quiet", false},
    tex_option_spelling{tex_opt::include, 'i', "include", true},
    tex_option_spelling{tex_opt::exclude, 'x', "exclude", true},
    tex_option_spelling{tex_opt::ignore_case, 0, "ignore-case", false},
    tex_option_spelling{tex_opt::output, 'o', "output", true},
    tex_option_spelling{tex_opt::size, 0, "size", true},
    tex_option_spelling{tex_opt::force, 'f', "force", false},
    tex_option_spelling{tex_opt::type, 't', "type", true},
    tex_option_spelling{tex_opt::dry_run, 'n', "dry-run", false},
    tex_option_spelling{tex_opt::level, 0, "level", true},
    tex_option_spelling{tex_opt::fast, 0, "fast", false},
    tex_option_spelling{tex_opt::best, 0, "best", false},
    tex_option_spelling{tex_opt::level_digit, 0, "", false, true},
};

// The vocabulary is looked up by its enum's value.
constexpr bool spellings_in_order()
{
    for (std::size_t k = 0; k < spellings.size(); ++k) {
        if (static_cast<std::size_t>(spellings[k].id) != k) return false;
    }
    return true;
}
static_assert(spellings_in_order());

// ---------------------------------------------------------------------------
// The tables.

constexpr std::array list_options = {tex_opt::help,    tex_opt::json,    tex_opt::names,       tex_opt::names0,
                                     tex_opt::verbose, tex_opt::include, tex_opt::exclude, tex_opt::ignore_case};
constexpr std::array list_exclusions = {
    tex_exclusion{tex_opt::json, tex_opt::names, nullptr},      tex_exclusion{tex_opt::json, tex_opt::names0, nullptr},
    tex_exclusion{tex_opt::names, tex_opt::names0, nullptr},    tex_exclusion{tex_opt::verbose, tex_opt::json, nullptr},
    tex_exclusion{tex_opt::verbose, tex_opt::names, nullptr},   tex_exclusion{tex_opt::verbose, tex_opt::names0, nullptr},
};
const char* const list_help =
    "usage: morvex_tex list [-v | --json | --names | --names0] [-i PATTERN] [-x PATTERN]\n"
    "                       [--ignore-case] ARCHIVE... [PATTERN...]\n"
    "One line per entry: index, type, width x height, payload size, stored name,\n"
    "and the problems found in brackets; several archives each under its name.\n"
    "With patterns, the entries from 1 on that extract would take, no others.\n"
    "  -v, --verbose  a header row, each entry's offset, and totals\n"
    "  --json         one JSON object (for several archives, {\"archives\": [...]})\n"
    "  --names        the stored names only, one a line, from entry 1 on\n"
    "  --names0       the same as they are stored, each ended by a NUL byte\n"
    "  -i PATTERN     a pattern, whatever it names       (--include)\n"
    "  -x PATTERN     leave out what it matches; again for more (--exclude)\n"
    "  --ignore-case  patterns match in any letter case\n"
    "ARCHIVE may be - for standard input. Exit 0 when all is well, 1 when a\n"
    "problem is marked or a pattern matched nothing, 2 on a usage error or an\n"
    "argument that is not a readable archive.\n";

constexpr std::array test_options = {tex_opt::help, tex_opt::json, tex_opt::jobs};
const char* const test_help =
    "usage: morvex_tex test [--json] [-j N] ARCHIVE...\n"
    "Checks every archive and decodes every entry without writing anything: one\n"
    "line per problem, then a summary line per archive; each entry's problems are\n"
    "what extract would say of it. ARCHIVE may be - for standard input.\n"
    "  --json     one JSON object {\"archives\": [...]}\n"
    "  -j N       decode on N threads (1 to 256)  (--jobs)\n"
    "Exit 0 when all is well, 1 when a problem was found, 2 on a usage error or an\n"
    "argument that is not a readable archive (with --json, its object says why).\n";

constexpr std::array extract_options = {tex_opt::help,   tex_opt::directory, tex_opt::to_stdout,   tex_opt::raw,
                                        tex_opt::format, tex_opt::keep,      tex_opt::quiet,       tex_opt::include,
                                        tex_opt::exclude, tex_opt::ignore_case, tex_opt::jobs};
constexpr std::array extract_exclusions = {
    tex_exclusion{tex_opt::raw, tex_opt::format, nullptr},
    tex_exclusion{tex_opt::to_stdout, tex_opt::directory, "-O writes no file"},
    tex_exclusion{tex_opt::to_stdout, tex_opt::keep, "-O writes no file"},
};
const char* const extract_help =
    "usage: morvex_tex extract [OPTION...] ARCHIVE... [PATTERN...]\n"
    "Writes every entry from 1 on, or those whose stored names match a PATTERN,\n"
    "beneath DIR. Operands after the first are archives when they name TEX\n"
    "archives (or are -, standard input), otherwise patterns: shell wildcards\n"
    "where * also matches /, or a folder ending in / for everything beneath it.\n"
    "Several archives go each beneath DIR/STEM/, STEM its name without .pak.\n"
    "  -C DIR          beneath DIR (default: the current folder; made if missing)\n"
    "  -O, --to-stdout the entries' bytes on standard output, in table order\n"
    "  --raw           payloads as stored    --format F  tga|png|bmp|pcx|webp\n"
    "  -k, --keep      never replace a file  -q          no line per entry\n"
    "  -i PATTERN      a pattern, whatever it names       (--include)\n"
    "  -x PATTERN      leave out what it matches; again for more (--exclude)\n"
    "  --ignore-case   patterns match in any letter case\n"
    "  -j N            decode on N threads (1 to 256)\n"
    "Short options bundle (-qk, -j4); long ones take --name=VALUE or --name VALUE.\n"
    "Exit 0 when every entry was extracted or skipped, 1 when one failed or a\n"
    "pattern matched nothing, 2 on a usage error or an argument that is no archive.\n";

constexpr std::array gallery_options = {tex_opt::help,  tex_opt::output, tex_opt::force,
                                        tex_opt::quiet, tex_opt::size,   tex_opt::jobs};
const char* const gallery_help =
    "usage: morvex_tex gallery [-o PAGE] [-f] [-q] [--size N] [-j N] ARCHIVE...\n"
    "Writes one HTML page per archive: a card for every entry with its picture,\n"
    "size, type, problems (as `test` words them) and the commands that extract it;\n"
    "a click on a picture shows it at up to its texture's size. The page is\n"
    "self-contained: it loads nothing and runs only its own small script.\n"
    "  -o PAGE    the page's name, for one archive (- for standard output;\n"
    "             default: the archive's name with .html, in the current folder);\n"
    "             missing folders of its path are made\n"
    "  -f         write over a file that is no HTML page (--force)\n"
    "  -q         say nothing once a page is written (--quiet)\n"
    "  --size N   pictures at most N pixels a side, 1 to 1024 (default 128)\n"
    "  -j N       decode on N threads (1 to 256)\n"
    "Exit 0 when no problem is shown, 1 when one is, 2 on a usage error or an\n"
    "argument that is not a readable archive.\n";

constexpr std::array diff_options = {tex_opt::help,    tex_opt::json,    tex_opt::quiet,      tex_opt::jobs,
                                     tex_opt::include, tex_opt::exclude, tex_opt::ignore_case};
constexpr std::array diff_exclusions = {tex_exclusion{tex_opt::json, tex_opt::quiet, nullptr}};
const char* const diff_help =
    "usage: morvex_tex diff [--json | -q] [-i PATTERN] [-x PATTERN] [--ignore-case] [-j N]\n"
    "                       A.pak B.pak [PATTERN...]\n"
    "Which textures two archives hold differently: entries only in A, only in B,\n"
    "renamed (the same bytes, type and size under another name), and those whose\n"
    "payloads differ, matched by stored name: \"same pixels, other bytes\", \"N of\n"
    "M pixels differ (largest channel difference D)\" (after \"type changed (T,\n"
    "now U)\" when the type did and the size didn't), or \"size or type changed\".\n"
    "Each entry is decoded once, on the workers. Patterns take entries as\n"
    "extract's do.\n"
    "  --json         one JSON object of every change\n"
    "  -q, --quiet    only whether they differ\n"
    "  -i PATTERN     a pattern (--include)   -x PATTERN  leave out (--exclude)\n"
    "  --ignore-case  patterns match in any letter case\n"
    "  -j N           decode on N threads (1 to 256)  (--jobs)\n"
    "Exit 0 when they are the same, 1 when they differ, 2 on trouble (a usage\n"
    "error, an argument that is not a readable archive).\n";
constexpr std::array top_options = {tex_opt::help, tex_opt::version};
const char* const top_help =
    "usage: morvex_tex COMMAND [OPTION...] ARGUMENT...\n"
    "   or: morvex_tex ARCHIVE...\n"
    "TEX texture archives, listed, tested, extracted and built.\n"
    "\n"
    "  list [-v | --json | --names | --names0] [-i PATTERN] [-x PATTERN]\n"
    "       [--ignore-case] ARCHIVE... [PATTERN...]\n"
    "                                     the entries, one a line (or JSON)\n"
    "  test [--json] [-j N] ARCHIVE...    check and decode every entry, write nothing\n"
    "  extract [-C DIR | -O] [--raw | --format tga|png|bmp|pcx|webp] [--keep] [-q]\n"
    "          [-i PATTERN] [-x PATTERN] [--ignore-case] [-j N] ARCHIVE... [PATTERN...]\n"
    "                                     write entries beneath DIR, or to standard output\n"
    "  diff [--json | -q] [-j N] A.pak B.pak [PATTERN...]\n"
    "                                     which textures two archives hold differently\n"
    "  gallery [-o PAGE] [--size N] [-j N] ARCHIVE...\n"
    "                                     one HTML page of every entry's thumbnail\n"
    "  create [--type 4|6] [-1..-9 | --level N | --best] [-j N] [-n] [-f] [-q]\n"
    "         OUT.pak IMAGE[=NAME]|FOLDER...                          build an archive\n"
    "  replace [-1..-9 | --level N | --best] [-j N] [-n] [-f] [-q] [-v]\n"
    "          IN.pak OUT.pak IMAGE[=NAME]...     put images back (OUT.pak may be IN.pak)\n"
    "  add [--type 4|6] [-1..-9 | --level N | --best] [-j N] [-n] [-q] [-v]\n"
    "      ARCHIVE IMAGE[=NAME]|FOLDER...        add images to an archive, in place\n"
    "  update [--type 4|6] [-1..-9 | --level N | --best] [-j N] [-n] [-q] [-v]\n"
    "         ARCHIVE IMAGE[=NAME]|FOLDER...     put back what changed, add what is new\n"
    "  delete [-x PATTERN] [--ignore-case] [-n] [-q] [-v] ARCHIVE PATTERN...\n"
    "                                     drop the entries the patterns take, in place\n"
    "  rename [-n] [-q] [-v] ARCHIVE OLD NEW      store an entry under a new name\n"
    "--best, of the commands that compress: the smallest archive, about ten times\n"
    "slower than the default level for about an eighth less.\n"
    "\n"
    "Archives alone, with no command (what dropping archives on the program gives):\n"
    "  ARCHIVE...                         extract each into the folder beside it\n"
    "                                     named after it: game.pak into game/, or\n"
    "                                     game-2/ when game is there and not empty\n"
    "\n"
    "`morvex_tex COMMAND --help` says more; `man morvex_tex` says all.\n"
    "Exit status: 0 all well, 1 a problem found or an entry failed, 2 usage or no archive.\n";

// The packer's, under its own name and as morvex_tex's commands that write
// archives. Listed in the order "did you mean" prefers.
constexpr std::array pack_options = {tex_opt::type,    tex_opt::level_digit, tex_opt::level,   tex_opt::fast,
                                     tex_opt::best,    tex_opt::jobs,        tex_opt::dry_run, tex_opt::force,
                                     tex_opt::quiet,   tex_opt::verbose,     tex_opt::exclude, tex_opt::ignore_case,
                                     tex_opt::help,    tex_opt::version};
// What both programs' help says after its usage lines.
constexpr const char* pack_help_body =
    "Build or edit a TEX texture archive (version 3) with PNG, TGA, BMP, PCX, JPEG or\n"
    "WebP images (JPEG and WebP stored as .png).\n"
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
    "  update   put each IMAGE, or each image beneath FOLDER (by its path inside it,\n"
    "           as create names it), into the entry replace would patch, when its\n"
    "           pixels differ; add, as add does, every image no entry takes. The way\n"
    "           back from `extract -C DIR`: update ARCHIVE DIR. When nothing differs,\n"
    "           ARCHIVE is left as it was.\n"
    "  delete   drop from ARCHIVE every entry a PATTERN takes and no -x PATTERN does\n"
    "           (shell wildcards where * matches / too; one ending in / takes a\n"
    "           folder); its first entry is never dropped. A PATTERN that takes\n"
    "           nothing is an error.\n"
    "  rename   store every entry of ARCHIVE named OLD under the name NEW, which no\n"
    "           entry may hold already.\n"
    "add, update, delete and rename change ARCHIVE in place, byte for byte but for what\n"
    "they change, and keep its owner and permissions (a link to it is followed);\n"
    "ARCHIVE - reads standard input and writes standard output. A damaged entry is\n"
    "kept as it is.\n"
    "\n"
    "Options:\n"
    "  -t, --type N   create: store images as type 6 (raw 32-bit pixels, the default)\n"
    "                 or type 4 (zlib-compressed, 4 bits a channel, each rounded to\n"
    "                 the nearest of its 16 levels)\n"
    "  -1 .. -9, --level N\n"
    "                 compress the type-4 payloads written at level N, from 1\n"
    "                 (fastest) to 12 (smallest); the default is 6\n"
    "      --fast     the same as -1\n"
    "      --best     the same as --level 12: the smallest archive, about ten times\n"
    "                 slower than the default for about an eighth less\n"
    "  -j, --jobs N   read, decode and compress images on N threads, 1 to 256\n"
    "                 (default: MORVEX_TEX_JOBS, or else the processors available);\n"
    "                 the archive is the same whatever N\n"
    "  -x, --exclude PATTERN\n"
    "                 delete: leave the entries PATTERN takes\n"
    "      --ignore-case\n"
    "                 delete: patterns match in any letter case\n"
    "  -n, --dry-run  print what would be written, changed or refused; write nothing\n"
    "  -f, --force    write OUT.pak over a TEX archive (create refuses one: add or\n"
    "                 update puts images into it), over a file that is not one, or\n"
    "                 under a name ending in an image extension\n"
    "  -q, --quiet    print no line per entry\n"
    "  -v, --verbose  also print the entries kept as they were (update: and those\n"
    "                 already holding their image), and the files\n"
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
const std::string pack_help = std::string("Usage: morvex_tex_pack [OPTION]... create OUT.pak IMAGE[=NAME]|FOLDER...\n"
                                          "  or:  morvex_tex_pack [OPTION]... replace IN.pak OUT.pak IMAGE[=NAME]...\n"
                                          "  or:  morvex_tex_pack [OPTION]... add ARCHIVE IMAGE[=NAME]|FOLDER...\n"
                                          "  or:  morvex_tex_pack [OPTION]... update ARCHIVE IMAGE[=NAME]|FOLDER...\n"
                                          "  or:  morvex_tex_pack [OPTION]... delete ARCHIVE PATTERN...\n"
                                          "  or:  morvex_tex_pack [OPTION]... rename ARCHIVE OLD NEW\n") +
                              pack_help_body + "Exit status: 0 on success, 1 on any error, 2 when OUT.pak is refused.\n";
const std::string pack_subcommand_help = std::string("Usage: morvex_tex create [OPTION]... OUT.pak IMAGE[=NAME]|FOLDER...\n"
                                                     "  or:  morvex_tex replace [OPTION]... IN.pak OUT.pak IMAGE[=NAME]...\n"
                                                     "  or:  morvex_tex add [OPTION]... ARCHIVE IMAGE[=NAME]|FOLDER...\n"
                                                     "  or:  morvex_tex update [OPTION]... ARCHIVE IMAGE[=NAME]|FOLDER...\n"
                                                     "  or:  morvex_tex delete [OPTION]... ARCHIVE PATTERN...\n"
                                                     "  or:  morvex_tex rename [OPTION]... ARCHIVE OLD NEW\n") +
                                         pack_help_body +
                                         "Exit status: 0 on success, 1 on any error, 2 on a usage error or when OUT.pak\n"
                                         "is refused.\n";
// Under its own name a usage error exits 1, as it always has; under
// morvex_tex 2, as in every other subcommand.
const tex_command pack_commands[] = {
    {"morvex_tex_pack", "", pack_options, {}, pack_help.c_str(), 1, tex_dialect::packer},
    {tex_cli_program, "create", pack_options, {}, pack_subcommand_help.c_str(), tex_exit_usage, tex_dialect::packer},
    {tex_cli_program, "replace", pack_options, {}, pack_subcommand_help.c_str(), tex_exit_usage, tex_dialect::packer},
    {tex_cli_program, "add", pack_options, {}, pack_subcommand_help.c_str(), tex_exit_usage, tex_dialect::packer},
    {tex_cli_program, "update", pack_options, {}, pack_subcommand_help.c_str(), tex_exit_usage, tex_dialect::packer},
    {tex_cli_program, "delete", pack_options, {}, pack_subcommand_help.c_str(), tex_exit_usage, tex_dialect::packer},
    {tex_cli_program, "rename", pack_options, {}, pack_subcommand_help.c_str(), tex_exit_usage, tex_dialect::packer},
};

constexpr std::array<std::string_view, 11> command_names = {"list",    "test",    "extract", "diff",   "gallery", "create",
                                                            "replace", "add",     "update",  "delete", "rename"};

// ---------------------------------------------------------------------------

const tex_option_spelling* find_option(const tex_command& command, char letter, std::string_view name)
{
    for (const tex_opt id : command.options) {
        const tex_option_spelling& s = tex_option_spelled(id);
        const bool digit = s.digit && letter >= '1' && letter <= '9';
        if (letter ? digit || s.letter == letter : *s.name && s.name == name) return &s;
    }
    return nullptr;
}

std::vector<std::string_view> long_names(const tex_command& command)
{
    std::vector<std::string_view> out;
    for (const tex_opt id : command.options) {
        if (*tex_option_spelled(id).name) out.emplace_back(tex_option_spelled(id).name);
    }
    return out;
}

// " (did you mean --NAME?)" for the long option nearest to `typed`, or "".
std::string long_hint(const tex_command& command, std::string_view typed)
{
    const std::vector<std::string_view> names = long_names(command);
    const std::string near = tex_cli_nearest(typed, names);
    return near.empty() ? "" : " (did you mean --" + near + "?)";
}

// The spelling of `id` as first given on the line.
const std::string& first_spelled(const tex_command_line& line, tex_opt id)
{
    return std::find_if(line.options.begin(), line.options.end(), [&](const tex_given& g) { return g.id == id; })->spelled;
}

std::size_t first_place(const tex_command_line& line, tex_opt id)
{
    return static_cast<std::size_t>(
        std::find_if(line.options.begin(), line.options.end(), [&](const tex_given& g) { return g.id == id; }) - line.options.begin());
}

void say_line(const tex_command& command, const char* format, va_list args)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", command.program);
    if (*command.name && command.dialect == tex_dialect::subcommand) std::fprintf(stderr, "%s: ", command.name);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

}  // namespace

const tex_command tex_list_command{tex_cli_program, "list", list_options, list_exclusions, list_help};
const tex_command tex_test_command{tex_cli_program, "test", test_options, {}, test_help};
const tex_command tex_extract_command{tex_cli_program, "extract", extract_options, extract_exclusions, extract_help};
const tex_command tex_diff_command{tex_cli_program, "diff", diff_options, diff_exclusions, diff_help};
const tex_command tex_gallery_command{tex_cli_program, "gallery", gallery_options, {}, gallery_help};
const tex_command tex_top_command{tex_cli_program, "", top_options, {}, top_help};
const std::span<const std::string_view> tex_command_names = command_names;

const tex_command* tex_pack_command(std::string_view name)
{
    for (const tex_command& c : pack_commands) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

const tex_option_spelling& tex_option_spelled(tex_opt id)
{
    return spellings[static_cast<std::size_t>(id)];
}

bool tex_command_line::has(tex_opt id) const
{
    return std::any_of(options.begin(), options.end(), [&](const tex_given& g) { return g.id == id; });
}

std::string tex_command_line::value(tex_opt id) const
{
    std::string out;
    for (const tex_given& g : options) {
        if (g.id == id) out = g.value;
    }
    return out;
}

std::vector<std::string> tex_command_line::values(tex_opt id) const
{
    std::vector<std::string> out;
    for (const tex_given& g : options) {
        if (g.id == id) out.push_back(g.value);
    }
    return out;
}

int tex_cli_usage(const tex_command& command, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    say_line(command, format, args);
    va_end(args);
    return tex_cli_try_help(command);
}

void tex_cli_say(const tex_command& command, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    say_line(command, format, args);
    va_end(args);
}

int tex_cli_try_help(const tex_command& command)
{
    std::fprintf(stderr, "Try '%s%s%s --help' for more information.\n", command.program, *command.name ? " " : "", command.name);
    return command.usage_exit;
}

bool tex_cli_read(const tex_command& command, int argc, char** argv, tex_command_line& out, int& status)
{
    const tex_parsed parsed = tex_cli_parse(command, argc, argv, out);
    status = parsed == tex_parsed::helped ? 0 : command.usage_exit;
    return parsed == tex_parsed::ok;
}

tex_parsed tex_cli_parse(const tex_command& command, int argc, char** argv, tex_command_line& out, const tex_option_check& check)
{
    const bool packer = command.dialect == tex_dialect::packer;
    const auto refuse = [&](const std::string& message) {
        tex_cli_usage(command, "%s", message.c_str());
        return tex_parsed::refused;
    };
    // The packer quotes what it names.
    const auto shown = [&](const std::string& what) { return packer ? "'" + what + "'" : what; };
    // Takes the option's value: the rest of the argument, or the next one.
    const auto take_value = [&](int& k, const std::string& rest, bool glued, tex_given& given) {
        if (glued) {
            given.value = rest;
        } else if (k + 1 < argc) {
            given.value = argv[++k];
        } else {
            return false;
        }
        return true;
    };
    bool only_operands = false;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (only_operands || a.size() < 2 || a[0] != '-') {
            out.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            only_operands = true;
            continue;
        }
        std::vector<tex_given> found;
        if (a[1] == '-') {
            const std::size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const tex_option_spelling* o = find_option(command, 0, name);
            const bool glued = eq != std::string::npos, flag_given_value = o && !o->takes_value && glued;
            if (!o || (packer && flag_given_value)) {
                return refuse("unknown option " + shown(tex_printable_name(packer ? a : a.substr(0, eq))) + long_hint(command, name));
            }
            tex_given given{o->id, "--" + name, ""};
            if (flag_given_value) return refuse("option --" + name + " takes no value");
            if (o->takes_value && !take_value(k, glued ? a.substr(eq + 1) : "", glued, given)) {
                return refuse("option " + shown(given.spelled) + " needs a value");
            }
            found.push_back(std::move(given));
        } else {
            // Letters bundled: each a flag, up to one that takes a value,
            // which is the rest of the argument or else the next one.
            for (std::size_t at = 1; at < a.size(); ++at) {
                const tex_option_spelling* o = find_option(command, a[at], "");
                if (!o && packer) return refuse("unknown option " + shown(tex_printable_name(a)));
                if (!o && at == 1) {
                    // "-json": a long option with one dash, maybe.
                    return refuse("unknown option " + tex_printable_name(a) + long_hint(command, a.substr(1)));
                }
                const std::string letter = tex_printable_name(std::string(1, a[at]));
                if (!o) return refuse("unknown option -" + letter + " in " + tex_printable_name(a));
                tex_given given{o->id, "-" + letter, o->digit ? letter : ""};
                if (o->takes_value) {
                    if (!take_value(k, a.substr(at + 1), at + 1 < a.size(), given)) {
                        return refuse("option " + shown(given.spelled) + " needs a value");
                    }
                    found.push_back(std::move(given));
                    break;
                }
                found.push_back(std::move(given));
            }
        }
        for (tex_given& given : found) {
            if (given.id == tex_opt::help && !packer) {
                std::fputs(command.help, stdout);
                return tex_parsed::helped;
            }
            if (check && !check(given)) return tex_parsed::refused;
            out.options.push_back(std::move(given));
        }
    }
    for (const tex_exclusion& x : command.exclusions) {
        if (!out.has(x.a) || !out.has(x.b)) continue;
        // Named in the order given.
        const bool a_first = first_place(out, x.a) < first_place(out, x.b);
        std::string message = first_spelled(out, a_first ? x.a : x.b) + " and " + first_spelled(out, a_first ? x.b : x.a) +
                              " exclude each other";
        if (x.why) message += std::string(": ") + x.why;
        return refuse(message);
    }
    return tex_parsed::ok;
}

namespace {

// Optimal string alignment distance: insertions, deletions, changes and
// swaps of two neighbours, one each.
std::size_t distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string tex_cli_nearest(std::string_view typed, std::span<const std::string_view> known)
{
    // Nothing typed, or so long that comparing costs: no guess.
    if (typed.empty() || typed.size() > 64) return "";
    const std::size_t allowed = typed.size() <= 4 ? 1 : typed.size() <= 8 ? 2 : 3;
    std::string_view best;
    std::size_t best_distance = allowed + 1;
    for (const std::string_view word : known) {
        const std::size_t d = distance(typed, word);
        if (d < best_distance) {
            best = word;
            best_distance = d;
        }
    }
    if (!best.empty()) return std::string(best);
    // The start of exactly one word ("--dir" for --directory).
    std::string_view only;
    for (const std::string_view word : known) {
        if (typed.size() >= 2 && word.starts_with(typed)) {
            if (!only.empty()) return "";
            only = word;
        }
    }
    return std::string(only);
}
