// What morvex_tex's subcommands share: opening, the findings in words, JSON
// strings and the command-line scanner.
#include "files/input.hpp"
#include "words/words.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

#include "app/platform.hpp"

namespace {

using u64 = unsigned long long;


}  // namespace

void tex_cli_error(const char* fmt, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", tex_cli_program);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

int tex_cli_open(const std::string& path, tex_cli_archive& out)
{
    out.path = path;
    const std::string shown = tex_printable_name(path);
    const auto fail = [&](const char* kind, std::string why) {
        tex_cli_error("%s: %s", shown.c_str(), why.c_str());
        out.failure = std::move(why);
        out.failure_kind = kind;
        return -1;
    };
    const int rc = path == "-" ? tex_open_stream(0, out.file) : tex_open_archive(path.c_str(), out.file);
    if (rc != 0) return fail("unreadable", std::strerror(errno));
    out.ordered = tex_open_index(out.file.fd, out.file.size, out.index) == 0;
    if (!out.index.recognised) return fail("not_an_archive", "not a TEX version 3 archive");
    if (!out.ordered) {
        return fail("table_order_too_large", format_text("can't hold the order of %u table records in memory", out.index.count));
    }
    return 0;
}

bool tex_cli_names_an_archive(const std::string& path)
{
    std::array<std::uint8_t, tex_leading_size> leading{};
    return app_read_file_start(path, leading) == static_cast<long>(leading.size()) && tex_recognised(leading);
}

tex_cli_operands tex_cli_sort_operands(const std::vector<std::string>& operands)
{
    tex_cli_operands out;
    for (std::size_t k = 0; k < operands.size(); ++k) {
        const bool archive = k == 0 || operands[k] == "-" || tex_cli_names_an_archive(operands[k]);
        (archive ? out.archives : out.patterns).push_back(operands[k]);
    }
    return out;
}

namespace {

// True when `path` can't be an archive: nothing is there, or a folder, or a
// regular file that doesn't begin as one.
bool cannot_be_archive(const std::string& path)
{
    if (path == "-") return false;
    switch (app_path_kind_of(path)) {
    case app_path_kind::missing:
    case app_path_kind::folder: return true;
    case app_path_kind::regular: return !tex_cli_names_an_archive(path);
    case app_path_kind::other: break;
    }
    return false;
}

}  // namespace

int tex_cli_check_order(const std::vector<std::string>& archives, const char* synopsis)
{
    if (archives.size() < 2 || !cannot_be_archive(archives[0])) return 0;
    // Every later one was sorted as an archive: "-", or a file that begins
    // as one; only the file is known to be one.
    const auto later = std::find_if(archives.begin() + 1, archives.end(), [](const std::string& a) { return a != "-"; });
    if (later == archives.end()) return 0;
    tex_cli_error("%s is no archive, but %s is: archives come first (%s)", tex_printable_name(archives[0]).c_str(),
                  tex_printable_name(*later).c_str(), synopsis);
    return -1;
}

void tex_cli_note_case(const tex_index& index, const name_filter& filter, std::vector<tex_case_hint>& hints)
{
    hints.resize(filter.include.size());
    if (filter.ignore_case) return;
    std::vector<std::size_t> open;
    for (std::size_t k = 0; k < filter.include.size(); ++k) {
        if (k >= filter.used.size() || !filter.used[k]) open.push_back(k);
    }
    if (open.empty()) return;
    name_filter folded;
    folded.ignore_case = true;
    tex_table_cursor cursor{&index, {}, 0, 0};
    for (std::uint32_t i = 1; i < index.count; ++i) {
        const tex_entry_view v = tex_read_entry(index, cursor, i);
        if (v.state != tex_entry_state::ok) continue;
        const std::string name = tex_entry_name(v.header);
        for (const std::size_t k : open) {
            folded.include.assign(1, filter.include[k]);
            if (!name_selected(folded, name)) continue;
            if (hints[k].count++ == 0) hints[k].first = name;
        }
    }
}

bool tex_cli_say_unmatched(const name_filter& filter, const std::vector<tex_case_hint>& hints, const std::string& archive)
{
    bool any = false;
    const std::string where = archive.empty() ? "" : tex_printable_name(archive) + ": ";
    for (std::size_t k = 0; k < filter.include.size(); ++k) {
        if (k < filter.used.size() && filter.used[k]) continue;
        any = true;
        std::string hint;
        if (k < hints.size() && hints[k].count > 0) {
            hint = "; with --ignore-case it matches " + tex_printable_name(hints[k].first);
            if (hints[k].count > 1) hint += format_text(" and %llu more", static_cast<unsigned long long>(hints[k].count - 1));
        }
        tex_cli_error("%sno entry matches %s%s", where.c_str(), tex_printable_name(filter.include[k]).c_str(), hint.c_str());
    }
    return any;
}

std::vector<std::string> tex_cli_stems(const std::vector<std::string>& archives)
{
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const std::string& path : archives) {
        std::string folder, stem = "stdin";
        if (path != "-") split_user_path(path, folder, stem);
        std::string lower = stem;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.size() > 4 && lower.ends_with(".pak")) stem.resize(stem.size() - 4);
        if (stem.empty() || stem == "." || stem == "..") stem = "archive";
        std::string unique = stem;
        for (int k = 2; !seen.insert(app_name_key(unique)).second; ++k) unique = stem + "-" + std::to_string(k);
        out.push_back(unique);
    }
    return out;
}

void tex_progress::start(std::uint32_t entries)
{
    shown = app_is_terminal(2);
    total = entries;
    done = 0;
}

void tex_progress::step(const std::string& name)
{
    ++done;
    if (!shown || total == 0) return;
    const unsigned width = app_terminal_columns(2);
    const unsigned columns = width > 0 ? width : 80;
    // "[####    ] 12/40  30%  name": the counts first, the bar in what is left
    // of the line, the name cut to fit; never the last column, so the line
    // doesn't wrap.
    const std::string counts = format_text(" %u/%u %3u%% ", done, total, static_cast<unsigned>(std::uint64_t{done} * 100 / total));
    const unsigned room = columns > counts.size() + 1 ? columns - static_cast<unsigned>(counts.size()) - 1 : 0;
    const unsigned bar_cells = room >= 12 ? std::min(40u, room / 2 - 2) : 0;
    std::string line;
    if (bar_cells > 0) {
        const auto filled = static_cast<unsigned>(std::uint64_t{bar_cells} * done / total);
        line += '[';
        line.append(filled, '#');
        line.append(bar_cells - filled, ' ');
        line += ']';
    }
    line += counts;
    const std::size_t name_room = columns > line.size() + 1 ? columns - line.size() - 1 : 0;
    std::string cut = name.substr(0, name_room);
    // Not in the middle of a UTF-8 sequence.
    while (!cut.empty() && cut.size() < name.size() && (static_cast<unsigned char>(name[cut.size()]) & 0xC0) == 0x80) cut.pop_back();
    line += cut;
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
}

void tex_progress::clear() const
{
    if (shown && total > 0) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

std::vector<tex_finding> tex_archive_problems(const tex_cli_archive& archive)
{
    return tex_archive_findings(archive.index, archive.file.cut_at_limit);
}

int tex_cli_workers(const char* command, const std::string& value, bool given, bool raw)
{
    if (given) {
        const long n = tex_cli_count(value, max_workers);
        if (n > 0) return static_cast<int>(n);
        tex_cli_error("%s: -j takes a number from 1 to %u, not %s", command, max_workers, tex_printable_name(value).c_str());
        return -1;
    }
    if (extract_workers_setting() < 0) {
        tex_cli_error("%s: MORVEX_TEX_JOBS takes a number from 1 to %u, not %s", command, max_workers,
                      tex_printable_name(std::getenv("MORVEX_TEX_JOBS")).c_str());
        return -1;
    }
    return static_cast<int>(extract_workers(raw));
}

bool tex_cli_flush_output(const char* command)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    const int error = errno ? errno : EIO;
    tex_cli_error("%s: can't write to standard output: %s", command, std::strerror(error));
    return false;
}

long tex_cli_count(const std::string& text, long max)
{
    if (text.empty() || text.size() > 9) return -1;
    long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= max ? n : -1;
}
