// The command lines of morvex_tex and its subcommands, read in one place:
// one vocabulary of options (the same letter means the same thing in every
// subcommand), a table per subcommand of those it takes and of those that
// exclude each other, and one scanner over them.
//
// The syntax is the one people bring from other tools: options anywhere
// before "--", operands among them; short options bundled ("-qk") and their
// values glued or apart ("-j4", "-j 4", "-Cout"); long ones as "--name=value"
// or "--name value"; a value taken whole even when it begins with '-'
// ("-x -old.tga"); "-" an operand. Every usage error is one line and a hint
// of --help, never the whole help; an unknown command or long option is
// answered with the nearest known one.
//
// The packer (morvex_tex_pack, and morvex_tex's create, replace, add, delete
// and rename) reads its line with the same vocabulary and scanner, in its own
// words and with its own exit statuses (tex_dialect::packer).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/tex_cli.hpp"

// Every option of every subcommand.
enum class tex_opt : std::uint8_t {
    help, version,
    json, names, names0, verbose,                  // what list prints
    jobs,                                          // -j N
    directory, to_stdout, raw, format, keep,       // where and how extract writes
    quiet,
    include, exclude, ignore_case,                 // the name filter
    output, size, force,                           // gallery (force: the packer too)
    type, dry_run,                                 // the packer
    level, fast, best, level_digit,                // its level: --level N, --fast, --best, -1 .. -9
};

// Its spellings: a letter (0: none) and a long name (without "--"; "":
// none). A `digit` option is spelt by every digit from 1 to 9, and that digit
// is its value ("-9", bundled too: "-q9").
struct tex_option_spelling {
    tex_opt id;
    char letter;
    const char* name;
    bool takes_value;
    bool digit = false;
};
const tex_option_spelling& tex_option_spelled(tex_opt id);

// Two options that can't be given together, and why (may be null).
struct tex_exclusion {
    tex_opt a, b;
    const char* why;
};

// How the scanner speaks for a command and when it answers -h.
// subcommand: "PROGRAM: COMMAND: unknown option -z in -qz", "option -j needs
// a value"; the help printed as soon as -h is read.
// packer: "PROGRAM: unknown option '-qz'" (the whole argument, quoted; the
// nearest long option after one spelt with "--"), "option '-j' needs a
// value", a flag given "=value" an unknown option; -h read as any other
// option, for the caller to answer once the whole line has been read, so
// that a usage error anywhere on it comes first.
enum class tex_dialect : std::uint8_t { subcommand, packer };

// What a subcommand takes.
struct tex_command {
    const char* program;   // who speaks: "morvex_tex"
    const char* name;      // "list"; "" for the program's own options
    std::span<const tex_opt> options;
    std::span<const tex_exclusion> exclusions;
    const char* help;      // printed on standard output for -h/--help
    int usage_exit = tex_exit_usage;  // the exit status of a usage error
    tex_dialect dialect = tex_dialect::subcommand;
};

// morvex_tex's own commands.
extern const tex_command tex_list_command;
extern const tex_command tex_test_command;
extern const tex_command tex_extract_command;
extern const tex_command tex_diff_command;
extern const tex_command tex_gallery_command;
extern const tex_command tex_top_command;  // morvex_tex's own -h/--help and --version

// The packer's line: morvex_tex_pack's for "" (its usage errors exit 1),
// or morvex_tex's create, replace, add, delete or rename (they exit 2); null
// for another name. Its help is for the caller to print.
const tex_command* tex_pack_command(std::string_view name);

// Every subcommand's name, for "did you mean" (the dispatch is tex_main.cpp's).
extern const std::span<const std::string_view> tex_command_names;

// One option as given: its spelling on the line ("-j", "--jobs") and value.
struct tex_given {
    tex_opt id;
    std::string spelled;
    std::string value;
};

// A command line read: the options in order, and the operands.
struct tex_command_line {
    std::vector<tex_given> options;
    std::vector<std::string> operands;

    bool has(tex_opt id) const;
    // The value of its last occurrence ("" when not given), or of each.
    std::string value(tex_opt id) const;
    std::vector<std::string> values(tex_opt id) const;
};

// What tex_cli_parse did.
enum class tex_parsed { ok, helped, refused };

// Looks at each option as it is read, before the next one: false, after
// saying why (tex_cli_usage), refuses the line there.
using tex_option_check = std::function<bool(const tex_given&)>;

// Reads argv (argv[0] is the command's own name) by the command's table.
// -h/--help prints the help and gives `helped` (but in the packer's
// dialect); a usage error is said (one line and the hint, see tex_cli_usage)
// and gives `refused`.
tex_parsed tex_cli_parse(const tex_command& command, int argc, char** argv, tex_command_line& out,
                         const tex_option_check& check = nullptr);

// A subcommand's line read: true to go on; false when the call ends here,
// its help printed (`status` 0) or a usage error said (the command's
// usage_exit).
bool tex_cli_read(const tex_command& command, int argc, char** argv, tex_command_line& out, int& status);

// Says a usage error: "PROGRAM: COMMAND: message" ("PROGRAM: message" in the
// packer's dialect), then "Try 'PROGRAM COMMAND --help' for more
// information.", on standard error. Returns the command's usage_exit.
int tex_cli_usage(const tex_command& command, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Only the hint, after a line already said.
int tex_cli_try_help(const tex_command& command);
// Only the line, as tex_cli_usage begins it: for what is no usage error.
void tex_cli_say(const tex_command& command, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The known word nearest to `typed`: one letter off for short words (a
// letter added, dropped, changed or two swapped), two or three for longer
// ones, or the only one that `typed` begins; "" when none is near.
std::string tex_cli_nearest(std::string_view typed, std::span<const std::string_view> known);
