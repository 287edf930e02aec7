// The packer's results in words: every note of a create or replace and every
// entry's line, as the packer's programs print them and the library's errors
// carry them.
#pragma once

#include <string>

#include "pack/pack.hpp"

// A note as its message says it, without the program's name: "x.png: No such
// file or directory", "warning: ...".
std::string pack_note_text(const pack_note& note);

// An entry's line, with its newline: "entry 1: sky.tga   type 6 ...  from sky.tga".
std::string pack_entry_line(const pack_entry& entry, bool dry_run, unsigned index_width = 1);

// True when the note refuses the output the way a usage error is refused
// (exit status 2): a file that is no archive, an image's name, a folder, a
// terminal.
bool pack_note_refuses_like_usage(const pack_note& note);
