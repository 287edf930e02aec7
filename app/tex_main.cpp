// Entry point of morvex_tex: list, test and extract on the archive index, and
// create and replace handed to the packer.
#include <cstdio>
#include <cstring>

#include "words/escape.hpp"
#include "app/platform.hpp"
#include "app/tex_cli.hpp"
#include "app/app.hpp"
#include "app/pack_cli.hpp"

namespace {

const char* const main_usage =
    "usage: morvex_tex COMMAND [OPTION...] ARGUMENT...\n"
    "TEX texture archives, listed, tested, extracted and built.\n"
    "\n"
    "  list [--json | --names] ARCHIVE... the entries, one a line (or JSON)\n"
    "  test [--json] ARCHIVE...           check and decode every entry, write nothing\n"
    "  extract [-C DIR | -O] [--raw | --format tga|png|bmp|pcx] [--keep] [-q]\n"
    "          [-i PATTERN] [-x PATTERN] [--ignore-case] [-j N] ARCHIVE... [PATTERN...]\n"
    "                                     write entries beneath DIR, or to standard output\n"
    "  gallery [-o PAGE] [--size N] [-j N] ARCHIVE...\n"
    "                                     one HTML page of every entry's thumbnail\n"
    "  create [--type 4|6] [-q] OUT.pak IMAGE|FOLDER... build an archive\n"
    "  replace [-q] IN.pak OUT.pak IMAGE...             put images back\n"
    "\n"
    "`morvex_tex COMMAND --help` says more; `man morvex_tex` says all.\n"
    "Exit status: 0 all well, 1 a problem found or an entry failed, 2 usage or no archive.\n";

}  // namespace

int main(int argc, char** argv)
{
    app_start(argc, argv);
    if (argc < 2) {
        std::fputs(main_usage, stderr);
        return tex_exit_usage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0 || std::strcmp(command, "help") == 0) {
        std::fputs(main_usage, stdout);
        return tex_exit_ok;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("%s %s\n", tex_cli_program, tex_cli_version);
        return tex_exit_ok;
    }
    if (std::strcmp(command, "list") == 0) return tex_list_main(argc - 1, argv + 1);
    if (std::strcmp(command, "test") == 0) return tex_test_main(argc - 1, argv + 1);
    if (std::strcmp(command, "extract") == 0) return tex_extract_main(argc - 1, argv + 1);
    if (std::strcmp(command, "gallery") == 0) return tex_gallery_main(argc - 1, argv + 1);
    // The packer's command line reads its subcommand from argv[1], as under
    // its own name, and speaks as this program.
    if (std::strcmp(command, "create") == 0 || std::strcmp(command, "replace") == 0) return tex_pack_main(argc, argv);
    tex_cli_error("unknown command %s (try --help)", tex_printable_name(command).c_str());
    return tex_exit_usage;
}
