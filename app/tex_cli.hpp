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

#include "entries/entries.hpp"
#include "entries/walk.hpp"
#include "morvex/version.hpp"

inline constexpr const char* tex_cli_program = "morvex_tex";
inline constexpr const char* tex_cli_version = morvex_version;

// Exit statuses of every subcommand.
inline constexpr int tex_exit_ok = 0;
inline constexpr int tex_exit_problem = 1;   // a problem was found, or an entry failed
inline constexpr int tex_exit_usage = 2;     // the command line is wrong, or an argument is no archive

int tex_list_main(int argc, char** argv);     // argv[0] is "list"
int tex_test_main(int argc, char** argv);     // argv[0] is "test"
int tex_extract_main(int argc, char** argv);  // argv[0] is "extract"
int tex_gallery_main(int argc, char** argv);  // argv[0] is "gallery"
int tex_diff_main(int argc, char** argv);     // argv[0] is "diff"
// Archives alone on the line (argv[0] is the program): each extracted into
// the folder beside it named after its stem (game.pak: game/, or game-2/,
// game-3/ ... when game is there and not an empty folder), as `extract -C
// FOLDER ARCHIVE` does. -1, having done nothing, when an argument is no
// archive's file.
int tex_drop_main(int argc, char** argv);

// "morvex_tex: " and the message, on standard error.
void tex_cli_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An archive opened and indexed for a subcommand.
struct tex_cli_archive {
    std::string path;
    tex_archive_file file;
    tex_index index;
    bool ordered = false;  // the index holds the records' order (it always should)
    std::string failure;   // why it could not be opened or read as an archive
    const char* failure_kind = "";  // ... as a stable name: unreadable, not_an_archive, table_order_too_large
};

// Opens and indexes `path` ("-": standard input, read through); on failure
// says why (not readable, not a TEX version 3 archive), keeps the reason in
// out.failure, and returns -1: the caller exits with tex_exit_usage.
int tex_cli_open(const std::string& path, tex_cli_archive& out);

// The operands of list, extract and gallery, sorted. The first is an
// archive; each later one is an archive too when it is "-" or names a
// regular file that begins as a TEX version 3 archive does, and otherwise a
// pattern of entry names (so `extract game.pak 'ui/*'` and `extract *.pak`
// both mean what they say). -i/--include gives a pattern whatever it names.
struct tex_cli_operands {
    std::vector<std::string> archives;
    std::vector<std::string> patterns;
};
tex_cli_operands tex_cli_sort_operands(const std::vector<std::string>& operands);
// True for a regular file that begins with an archive's signature and
// version, as opening one checks.
bool tex_cli_names_an_archive(const std::string& path);

// Arguments in the wrong order: when the first archive can't be one (there
// is nothing of that name, or a folder, or a file that doesn't begin as an
// archive does) while a later operand names one, says so in one line
// ("sky.tga is no archive, but demo.pak is: archives come first (SYNOPSIS)")
// and returns -1, before anything is read or written. A FIFO or a device
// may be one: only reading it tells, so it passes.
int tex_cli_check_order(const std::vector<std::string>& archives, const char* synopsis);

// A name for each archive, for what is made of each when there are several
// (extract's folders, gallery's pages): its file name without ".pak" (any
// letter case), "stdin" for "-"; a stem met again numbered -2, -3, ...
// (on Windows, met again in any letter case, as its file systems see names)
std::vector<std::string> tex_cli_stems(const std::vector<std::string>& archives);

// A progress bar on standard error while it is a terminal, redrawn in place
// to the terminal's width: the entries done of the total, a percentage and
// the entry in hand. Off a terminal it draws nothing.
struct tex_progress {
    bool shown = false;
    std::uint32_t total = 0;
    std::uint32_t done = 0;
    void start(std::uint32_t entries);
    void step(const std::string& name);  // one more done; `name` printable
    void clear() const;
};

// What is wrong with the archive as a whole: none when it is well formed.
std::vector<tex_finding> tex_archive_problems(const tex_cli_archive& archive);

// The workers for -j's value, or when none was given, MORVEX_TEX_JOBS or the
// default for the mode. -1 after saying what is wrong (a usage error).
int tex_cli_workers(const char* command, const std::string& value, bool given, bool raw);

// Flushes standard output; false, after saying so on standard error, when
// what was written to it could not all be written.
bool tex_cli_flush_output(const char* command);

// The JSON object of one archive, written in pieces so that a table of
// millions of entries is never held: begin, every entry in order, end.
// Problems go out as "problems" (the phrases) and "problem_kinds" (their
// stable names, in the same order).
void tex_json_begin(std::FILE* out, const tex_cli_archive& archive, const std::vector<tex_finding>& problems);
// `first`: the first entry written into "entries" (with patterns, not always entry 0).
void tex_json_entry(std::FILE* out, const tex_entry_view& v, const std::vector<tex_finding>& problems, bool first);
void tex_json_end(std::FILE* out);

// The object of an archive that could not be read: every key of a readable
// one's, "readable": false, what only reading tells null, the reason among
// its problems, no entries.
void tex_json_unreadable(std::FILE* out, const tex_cli_archive& archive);

// What a pattern that took no entry would take in another letter case: the
// first such name of the archives walked, and how many. Filled archive by
// archive, for the hint of --ignore-case.
struct tex_case_hint {
    std::string first;
    std::uint64_t count = 0;
};
// For each include pattern of `filter` that has taken nothing so far, the
// names from entry 1 on that it matches in any letter case (none when the
// filter already ignores case).
void tex_cli_note_case(const tex_index& index, const name_filter& filter, std::vector<tex_case_hint>& hints);
// "no entry matches P" for each include pattern that took nothing (after
// "ARCHIVE: " when `archive` is not empty), with what --ignore-case would
// take. True when one took nothing.
bool tex_cli_say_unmatched(const name_filter& filter, const std::vector<tex_case_hint>& hints, const std::string& archive);

// A decimal number from 1 to `max`, or -1.
long tex_cli_count(const std::string& text, long max);
