// The name the packer's messages start with (pack/pack.hpp), for the pack
// objects the library holds: the programs define it in app/pack_cli.cpp,
// whose object a program links instead of this one. Alone in its file so
// that a link takes one or the other, never both. The library itself never
// has the packer print.
#include "pack/pack.hpp"

const char* pack_program = "morvex_tex";
