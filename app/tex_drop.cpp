// morvex_tex ARCHIVE...: archives and nothing else on the line, as when they
// are dropped on the program. Each is extracted beside itself, into a folder
// named after it, by the extract command itself.
#include "files/input.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

// How far STEM-2, STEM-3, ... are tried: past that, something is wrong with
// the folder that no other name would mend.
constexpr unsigned max_folder_number = 10000;

// True when `path` can take an archive's entries: nothing is there, or an
// empty folder.
bool free_for_entries(const std::filesystem::path& path)
{
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::symlink_status(path, ec);
    if (st.type() == std::filesystem::file_type::not_found) return true;
    if (ec || st.type() != std::filesystem::file_type::directory) return false;
    return std::filesystem::is_empty(path, ec) && !ec;
}

// The folder beside `archive` named after its stem (game.pak: game), or
// game-2, game-3, ... when that one holds something or is no folder; "" when
// none is free.
std::string folder_beside(const std::string& archive)
{
    // The archive's path as given up to its file name, so that the folder is
    // spelt as the user spelt the archive, separators and all.
    const std::filesystem::path path = pack_path(archive);
    const std::string file = pack_utf8(path.filename()), stem = pack_utf8(path.stem());
    const std::string beside = archive.substr(0, archive.size() - std::min(file.size(), archive.size()));
    for (unsigned n = 1; n <= max_folder_number; ++n) {
        char number[16] = "";
        if (n > 1) std::snprintf(number, sizeof number, "-%u", n);
        const std::string folder = beside + stem + number;
        if (free_for_entries(pack_path(folder))) return folder;
    }
    return "";
}

// The drop is only archives: options, "-" and anything that is no archive
// leave the line to the usual usage error.
bool only_archives(int argc, char** argv)
{
    for (int k = 1; k < argc; ++k) {
        const std::string operand = argv[k];
        if (operand.empty() || operand[0] == '-' || !tex_cli_names_an_archive(operand)) return false;
    }
    return argc > 1;
}

}  // namespace

int tex_drop_main(int argc, char** argv)
{
    if (!only_archives(argc, argv)) return -1;
    int status = tex_exit_ok;
    for (int k = 1; k < argc; ++k) {
        const std::string archive = argv[k];
        std::string folder = folder_beside(archive);
        if (folder.empty()) {
            tex_cli_error("%s: no free folder beside it to extract into", tex_printable_name(archive).c_str());
            status = std::max(status, tex_exit_usage);
            continue;
        }
        // The extract command's own line, as typed: the same folder rules,
        // lines and summary.
        std::string command = "extract", directory = "-C", end = "--";
        char* line[] = {command.data(), directory.data(), folder.data(), end.data(), argv[k], nullptr};
        status = std::max(status, tex_extract_main(5, line));
    }
    return status;
}
