// Entry point of morvex_tex: list, test and extract on the archive index, and
// the commands that write archives handed to the packer.
#include <cstdio>
#include <cstring>
#include <string>

#include "words/escape.hpp"
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "app/app.hpp"
#include "app/pack_cli.hpp"
#include "app/platform.hpp"

namespace {

// The subcommand named argv[1], given argv from there on; -1 when there is none of that name.
int dispatch(const std::string& command, int argc, char** argv)
{
    if (command == "list") return tex_list_main(argc - 1, argv + 1);
    if (command == "test") return tex_test_main(argc - 1, argv + 1);
    if (command == "extract") return tex_extract_main(argc - 1, argv + 1);
    if (command == "gallery") return tex_gallery_main(argc - 1, argv + 1);
    if (command == "diff") return tex_diff_main(argc - 1, argv + 1);
    // The packer's command line reads its subcommand from argv[1], as under
    // its own name, and speaks as this program.
    if (command == "create" || command == "replace" || command == "add" || command == "update" || command == "delete" ||
        command == "rename") {
        return tex_pack_main(argc, argv);
    }
    return -1;
}

// " (did you mean WORD?)" for the nearest known word, or `otherwise`.
std::string hint(std::string_view typed, std::span<const std::string_view> known, const char* prefix, const char* otherwise)
{
    const std::string near = tex_cli_nearest(typed, known);
    return near.empty() ? otherwise : std::string(" (did you mean ") + prefix + near + "?)";
}

// The end of a run that Explorer started (app_console_is_own): what it said
// stays on the screen until Enter closes the window.
int held(int status)
{
    if (!app_console_is_own()) return status;
    std::fflush(stdout);
    std::fputs("Press Enter to close this window.", stderr);
    std::fflush(stderr);
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
    return status;
}

int run(int argc, char** argv)
{
    const tex_command& top = tex_top_command;
    if (argc < 2) {
        return held(tex_cli_usage(top, "no command: list, test, extract, diff, gallery, create, replace, add, update, delete or rename"));
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        // "help COMMAND" is "COMMAND --help".
        if (command == "help" && argc > 2) {
            char help_option[] = "--help";
            char* asked[] = {argv[0], argv[2], help_option, nullptr};
            const int rc = dispatch(argv[2], 3, asked);
            if (rc >= 0) return rc;
            return tex_cli_usage(top, "no command %s%s", tex_printable_name(argv[2]).c_str(),
                                 hint(argv[2], tex_command_names, "", "").c_str());
        }
        std::fputs(top.help, stdout);
        return tex_exit_ok;
    }
    if (command == "--version") {
        std::printf("%s %s\n", tex_cli_program, tex_cli_version);
        return tex_exit_ok;
    }
    if (command.size() > 1 && command[0] == '-') {
        // An option before the command: the program's own, misspelt, or a
        // subcommand's in the wrong place.
        const std::size_t from = command.starts_with("--") ? 2 : 1, eq = command.find('=');
        const std::string name = command.substr(from, eq == std::string::npos ? std::string::npos : eq - from);
        static constexpr std::string_view own[] = {"help", "version"};
        return tex_cli_usage(top, "unknown option %s%s", tex_printable_name(command).c_str(),
                             hint(name, own, "--", " (options go after the command)").c_str());
    }
    const int rc = dispatch(command, argc, argv);
    if (rc >= 0) return rc;
    // No command but archives: what dropping them on the program gives.
    if (const int dropped = tex_drop_main(argc, argv); dropped >= 0) return held(dropped);
    return held(tex_cli_usage(top, "unknown command %s%s", tex_printable_name(command).c_str(),
                              hint(command, tex_command_names, "", "").c_str()));
}

}  // namespace

int main(int argc, char** argv)
{
    return app_main(argc, argv, tex_cli_program, tex_exit_problem, run);
}
