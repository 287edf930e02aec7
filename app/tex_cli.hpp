// morvex_tex, the companion command: what its subcommands share. Opening an
// archive with its messages, the findings of the index worded once for every
// presentation, option parsing, and JSON strings.
//
// Subcommands print their results on standard output and every error on
// standard error as "morvex_tex: ..."; each returns the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "extract/extract.hpp"
#include "morvex/version.hpp"
#include "tex/tex.hpp"

inline constexpr const char* tex_cli_program = "morvex_tex";
inline constexpr const char* tex_cli_version = morvex_version;

// Exit statuses of every subcommand.
inline constexpr int tex_exit_ok = 0;
inline constexpr int tex_exit_problem = 1;   // a problem was found, or an entry failed
inline constexpr int tex_exit_usage = 2;     // the command line is wrong, or an argument is no archive

int tex_list_main(int argc, char** argv);     // argv[0] is "list"
int tex_test_main(int argc, char** argv);     // argv[0] is "test"
int tex_extract_main(int argc, char** argv);  // argv[0] is "extract"

// "morvex_tex: " and the message, on standard error.
void tex_cli_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An archive opened and indexed for a subcommand.
struct tex_cli_archive {
    std::string path;
    tex_archive_file file;
    tex_index index;
    bool ordered = false;  // the index holds the records' order (it always should)
};

// Opens and indexes `path`; on failure says why (not readable, not a TEX
// version 3 archive) and returns -1: the caller exits with tex_exit_usage.
int tex_cli_open(const char* path, tex_cli_archive& out);

// What is wrong with the archive as a whole: none when it is well formed.
std::vector<std::string> tex_archive_problems(const tex_cli_archive& archive);

// What is wrong with one entry without decoding it: the index's findings
// and, for an entry extract would refuse, the reason (a name it can't
// write, a format it can't make, ...).
std::vector<tex_finding> tex_entry_problems(const tex_index& index, const tex_entry_view& v, entry_walk& walk);

// The workers for -j's value, or when none was given, MORVEX_TEX_JOBS or the
// default for the mode. -1 after saying what is wrong (a usage error).
int tex_cli_workers(const char* command, const std::string& value, bool given, bool raw);

// Flushes standard output; false, after saying so on standard error, when
// what was written to it could not all be written.
bool tex_cli_flush_output(const char* command);

// "s" inside JSON quotes: valid UTF-8 as is, '"', '\' and control bytes
// escaped, and every byte that is not part of valid UTF-8 as \u00XX.
std::string tex_json_string(const std::string& s);

// The JSON object of one archive, written in pieces so that a table of
// millions of entries is never held: begin, every entry in order, end.
void tex_json_begin(std::FILE* out, const tex_cli_archive& archive, const std::vector<std::string>& problems);
void tex_json_entry(std::FILE* out, const tex_entry_view& v, const std::vector<std::string>& problems);
void tex_json_end(std::FILE* out);

// Command-line scanning: options anywhere before "--", the rest operands.
struct tex_cli_args {
    tex_cli_args(int count, char** values) : argc(count), argv(values) {}
    int argc;
    char** argv;
    int at = 1;                       // the next argument
    bool only_operands = false;       // "--" was seen
    bool has_value = false;           // the last option carried its value ("--x=v", "-jN")
    std::string argument;             // the whole argument the last option came from
    std::string value;
    std::vector<std::string> operands;
};

// The next option ("-x", "--name" or "--name=value"), or "" when the
// arguments are used up (operands are collected on the way).
std::string tex_cli_next_option(tex_cli_args& args);

// The option's value: after "=", or the next argument. False when missing.
bool tex_cli_value(tex_cli_args& args, const std::string& option, std::string& value);

// Rejects a value glued to an option that takes none ("-qx"). False then.
bool tex_cli_flag(const tex_cli_args& args, const std::string& option);

// A decimal number from 1 to `max`, or -1.
long tex_cli_count(const std::string& text, long max);
