// The command line of morvex_tex_pack.
#include "app/escape.hpp"
#include "app/app.hpp"
#include "pack/pack.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string_view>


namespace {

constexpr const char* usage_text =
    "Usage: morvex_tex_pack [OPTION]... create OUT.pak IMAGE[=NAME]|FOLDER...\n"
    "  or:  morvex_tex_pack [OPTION]... replace IN.pak OUT.pak IMAGE[=NAME]...\n"
    "Build or patch a TEX texture archive (version 3) from PNG, TGA, BMP or PCX images.\n"
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
    "           unchanged. An IMAGE that names no entry is an error. IN.pak is never\n"
    "           changed.\n"
    "\n"
    "Options:\n"
    "  -t, --type N   create: store images as type 6 (raw 32-bit pixels, the default)\n"
    "                 or type 4 (zlib-compressed, 4 bits a channel, each rounded to\n"
    "                 the nearest of its 16 levels)\n"
    "  -n, --dry-run  print what would be kept, replaced or refused; write nothing\n"
    "  -f, --force    write OUT.pak over a file that is not a TEX archive, or under\n"
    "                 a name ending in an image extension\n"
    "  -q, --quiet    print no line per entry\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "  --             end of options\n"
    "\n"
    "Images whose file carries no alpha (24-bit BMP and PCX, for instance) are stored\n"
    "fully opaque; put back unchanged, they leave their entry as it was. OUT.pak is\n"
    "written as an unnamed file beside its name and put in place only when complete:\n"
    "an error or an interruption leaves nothing. OUT.pak may be a new name, a TEX\n"
    "archive or a link (replaced, not followed); a device, FIFO or socket, or - for\n"
    "standard output, is written through. One image is in memory at a time.\n"
    "Exit status: 0 on success, 1 on any error, 2 when OUT.pak is refused.\n";

// Run as a subcommand of morvex_tex, the command's name follows the
// program's in help and hints, and usage errors exit 2 as in every other
// subcommand of it.
bool companion()
{
    return std::string_view(pack_program) != "morvex_tex_pack";
}

// The subcommand morvex_tex runs (its argv[1]), for the hints.
std::string companion_command;

std::string try_help_text()
{
    std::string text = "Try '";
    text += pack_program;
    if (companion()) {
        text += ' ';
        text += companion_command.empty() ? "COMMAND" : companion_command.c_str();
    }
    text += " --help' for more information.";
    return text;
}

int usage_error()
{
    return companion() ? pack_exit_refused : pack_exit_failed;
}

// The help of morvex_tex create and replace: the packer's, under that name.
std::string companion_help()
{
    std::string text = usage_text;
    for (const std::string c : {"create", "replace"}) {
        const std::string theirs = "morvex_tex_pack [OPTION]... " + c;
        if (const std::size_t at = text.find(theirs); at != std::string::npos) {
            std::string mine = pack_program;
            mine += ' ';
            mine += c;
            mine += " [OPTION]...";
            text.replace(at, theirs.size(), mine);
        }
    }
    for (std::size_t at; (at = text.find("morvex_tex_pack")) != std::string::npos;) text.replace(at, 15, pack_program);
    const std::string status = "Exit status: 0 on success, 1 on any error, 2 when OUT.pak is refused.";
    if (const std::size_t at = text.find(status); at != std::string::npos) {
        text.replace(at, status.size(), "Exit status: 0 on success, 1 on any error, 2 on a usage error or when OUT.pak\nis refused.");
    }
    return text;
}

struct command_line {
    pack_options options;
    bool type_given = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> operands;
};

int parse_type(std::string_view value, command_line& cl)
{
    if (value != "4" && value != "6") {
        pack_error("invalid type '%s': 4 or 6\n%s", tex_printable_name(std::string(value)).c_str(), try_help_text().c_str());
        return -1;
    }
    cl.options.type = static_cast<std::uint8_t>(value[0] - '0');
    cl.type_given = true;
    return 0;
}

int parse(int argc, char** argv, command_line& cl)
{
    bool options_done = false;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            cl.operands.emplace_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-n" || arg == "--dry-run") {
            cl.options.dry_run = true;
        } else if (arg == "-f" || arg == "--force") {
            cl.options.force = true;
        } else if (arg == "-q" || arg == "--quiet") {
            cl.options.quiet = true;
        } else if (arg == "-h" || arg == "--help") {
            cl.help = true;
        } else if (arg == "--version") {
            cl.version = true;
        } else if (arg == "-t" || arg == "--type") {
            if (k + 1 >= argc) {
                pack_error("option '%s' needs a value\n%s", tex_printable_name(argv[k]).c_str(), try_help_text().c_str());
                return -1;
            }
            if (parse_type(argv[++k], cl) != 0) return -1;
        } else if (arg.starts_with("--type=")) {
            if (parse_type(arg.substr(7), cl) != 0) return -1;
        } else if (arg.starts_with("-t")) {
            if (parse_type(arg.substr(2), cl) != 0) return -1;
        } else {
            pack_error("unknown option '%s'\n%s", tex_printable_name(argv[k]).c_str(), try_help_text().c_str());
            return -1;
        }
    }
    return 0;
}

// The exit status of the command.
int run(const command_line& cl)
{
    if (cl.operands.empty()) {
        pack_error("no command: create or replace\n%s", try_help_text().c_str());
        return usage_error();
    }
    const std::string& command = cl.operands[0];
    const std::span<const std::string> rest = std::span(cl.operands).subspan(1);
    if (command == "create") {
        if (rest.size() < 2) {
            pack_error("create needs OUT.pak and at least one IMAGE\n%s", try_help_text().c_str());
            return usage_error();
        }
        return pack_create(rest[0], rest.subspan(1), cl.options);
    }
    if (command == "replace") {
        if (cl.type_given) {
            pack_error("--type is for create: replace keeps each entry's own type");
            return usage_error();
        }
        if (rest.size() < 3) {
            pack_error("replace needs IN.pak, OUT.pak and at least one IMAGE\n%s", try_help_text().c_str());
            return usage_error();
        }
        return pack_replace(rest[0], rest[1], rest.subspan(2), cl.options);
    }
    pack_error("unknown command '%s': create or replace\n%s", tex_printable_name(command).c_str(), try_help_text().c_str());
    return usage_error();
}

}  // namespace

int pack_main(int argc, char** argv)
{
    if (companion() && argc > 1) companion_command = argv[1];
    command_line cl;
    if (parse(argc, argv, cl) != 0) return usage_error();
    if (cl.help) {
        std::fputs(companion() ? companion_help().c_str() : usage_text, stdout);
        return 0;
    }
    if (cl.version) {
        std::printf("%s %s\n", pack_program, pack_version);
        return 0;
    }
    try {
        const int rc = run(cl);
        if (std::fflush(stdout) != 0) return pack_exit_failed;
        return rc;
    } catch (const std::bad_alloc&) {
        pack_error("out of memory");
    } catch (const std::exception& e) {
        pack_error("%s", e.what());
    }
    return 1;
}
