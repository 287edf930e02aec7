// The extractor's front end: banner, command line, opening and recognising the
// archive, and the report that walks it.
#pragma once

#include <cstdint>
#include <span>

#include "entries/entries.hpp"

// What each program's main does: the system's start-up (app_start), then
// `run`, whose status is the process's (its low 8 bits, as POSIX systems keep
// them: -1 is 255). An exception `run` lets out (memory ran out) is said as
// "PROGRAM: why" on standard error and gives `failed`.
int app_main(int argc, char** argv, const char* program, int failed, int (*run)(int, char**));

// Runs the extractor as the process would; returns the exit status (0, or -1
// when the usage line is printed or the archive can't be opened).
int extractor_main(int argc, char** argv);

// The report of a recognised archive, from "decoding as TEX" on: the header,
// the table, every entry with its checks and extraction beneath `root`, and
// the progress bar. `ordered` is false when the index couldn't be held.
void report_archive(const tex_index& index, bool ordered, const output_root& root, bool raw);

// Prints nothing when every byte is zero; otherwise the title and a hex dump.
void report_padding(std::span<const std::uint8_t> run, const char* title);

// The packer's command line, as morvex_tex_pack (morvex_tex's create and
// replace go through tex_pack_main); returns the exit status.
int pack_main(int argc, char** argv);
