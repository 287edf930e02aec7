// The packer's command line and words: morvex_tex_pack (pack_main, in
// app.hpp) and morvex_tex's create, replace, add, delete and rename, both
// over pack/'s requests.
#pragma once

#include <string>

#include "pack/pack.hpp"

// morvex_tex create|replace|add|delete|rename ...: argv[1] is the command.
// The exit status.
int tex_pack_main(int argc, char** argv);
