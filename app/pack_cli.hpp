// The packer's command line and words: morvex_tex_pack (pack_main, in
// app.hpp) and morvex_tex's create and replace, both over pack/'s requests.
#pragma once

#include <string>

#include "pack/pack.hpp"

// morvex_tex create|replace ...: argv[1] is the command. The exit status.
int tex_pack_main(int argc, char** argv);

// ---------------------------------------------------------------------------
// The phrase book (app/pack_words.cpp): a result's notes and entries as the
// packer's lines say them.

// A note as its message says it, without the program's name: "x.png: No such
// file or directory", "warning: ...".
std::string pack_note_text(const pack_note& note);

// An entry's line, with its newline: "entry 1: sky.tga   type 6 ...  from sky.tga".
std::string pack_entry_line(const pack_entry& entry, bool dry_run);

// True when the note refuses the output the way a usage error is refused
// (exit status 2): a file that is no archive, an image's name, a folder, a
// terminal.
bool pack_note_refuses_like_usage(const pack_note& note);
