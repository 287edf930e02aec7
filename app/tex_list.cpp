// morvex_tex list: the index as a table for people, as one JSON object for
// scripts, or as the bare names (for completion: --names0 gives them byte for
// byte, as no line of text can). The JSON pieces are shared with `test --json`.
#include "words/words.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"
#include "format/finding_names.hpp"
#include "entries/walk.hpp"

#include <algorithm>
#include <cstring>

namespace {

using u64 = unsigned long long;

const char* const list_usage =
    "usage: morvex_tex list [--json | --names | --names0] ARCHIVE...\n"
    "One line per entry: index, type, width x height, payload size, stored name,\n"
    "and the problems found in brackets; several archives each under its name.\n"
    "  --json    one JSON object (for several archives, {\"archives\": [...]})\n"
    "  --names   the stored names only, one a line, from entry 1 on\n"
    "  --names0  the same as they are stored, each ended by a NUL byte\n"
    "ARCHIVE may be - for standard input. Exit 0 when all is well, 1 when a\n"
    "problem is marked, 2 when an argument is not a readable archive.\n";

void json_list(std::FILE* out, const std::vector<std::string>& items)
{
    std::fputc('[', out);
    for (std::size_t k = 0; k < items.size(); ++k) {
        std::fprintf(out, "%s%s", k ? ", " : "", tex_json_string(items[k]).c_str());
    }
    std::fputc(']', out);
}

// "problems": [...], "problem_kinds": [...]
void json_problems(std::FILE* out, const std::vector<tex_finding>& problems)
{
    std::vector<std::string> kinds;
    for (const tex_finding& f : problems) kinds.emplace_back(tex_finding_name(f.kind));
    std::fputs("\"problems\": ", out);
    json_list(out, finding_texts(problems));
    std::fputs(", \"problem_kinds\": ", out);
    json_list(out, kinds);
}

unsigned digits(u64 n)
{
    unsigned d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

std::string joined(const std::vector<std::string>& problems)
{
    std::string out;
    for (const std::string& p : problems) out += (out.empty() ? "" : "; ") + p;
    return out;
}

// Columns as wide as their widest value, as `tar -tv` aligns them: the table
// is read once for the sizes (12 bytes a record), once more for the lines.
bool print_table(const tex_cli_archive& a)
{
    const std::vector<std::string> archive_problems = finding_texts(tex_archive_problems(a));
    bool any = !archive_problems.empty();
    const tex_index& index = a.index;
    for (const std::string& p : archive_problems) std::printf("archive: [%s]\n", p.c_str());
    tex_table_cursor cursor{&index, {}, 0, 0};
    entry_walk walk = entry_walk_start(index);
    std::uint32_t widest = 0;
    for (std::uint32_t i = 0; i < index.count; ++i) widest = std::max(widest, tex_table_record(cursor, i).compressed_size);
    const int index_w = static_cast<int>(digits(index.count ? index.count - 1 : 0));
    const int size_w = static_cast<int>(digits(widest));
    for (std::uint32_t i = 0; i < index.count && !std::ferror(stdout); ++i) {
        const tex_entry_view v = tex_read_entry(index, cursor, i);
        const bool read = v.state == tex_entry_state::ok;
        const std::string type = read ? std::to_string(v.header.rep_t_id) : "-";
        const std::string dims = read ? std::to_string(v.header.width) + "x" + std::to_string(v.header.height) : "-";
        const std::string name = read ? tex_printable_name(tex_entry_name(v.header)) : "-";
        const std::vector<std::string> problems = finding_texts(entry_findings(index, v, entry_options{}, walk));
        std::printf("%*u %3s %11s  %*u  %s", index_w, i, type.c_str(), dims.c_str(), size_w, v.record.compressed_size,
                    name.c_str());
        if (!problems.empty()) std::printf("  [%s]", tex_printable_name(joined(problems)).c_str());
        std::fputc('\n', stdout);
        any = any || !problems.empty();
    }
    return any;
}

// The stored names from entry 1 on, one a line, control bytes escaped (or,
// with `exact`, every byte as stored, each name ended by a NUL, which no name
// holds); true when an entry's header can't be read.
bool print_names(const tex_cli_archive& a, bool exact)
{
    bool any = false;
    tex_table_cursor cursor{&a.index, {}, 0, 0};
    for (std::uint32_t i = 1; i < a.index.count && !std::ferror(stdout); ++i) {
        const tex_entry_view v = tex_read_entry(a.index, cursor, i);
        if (v.state != tex_entry_state::ok) {
            any = true;
            continue;
        }
        const std::string name = tex_entry_name(v.header);
        if (exact) {
            std::fwrite(name.data(), 1, name.size() + 1, stdout);
        } else {
            std::printf("%s\n", tex_printable_name(name).c_str());
        }
    }
    return any;
}

// The archive as one JSON object (an item of a list when `in_list`); true
// when a problem is marked.
bool print_json(const tex_cli_archive& a, bool in_list)
{
    const std::vector<tex_finding> archive_problems = tex_archive_problems(a);
    bool any = !archive_problems.empty();
    tex_json_begin(stdout, a, archive_problems);
    tex_table_cursor cursor{&a.index, {}, 0, 0};
    entry_walk walk = entry_walk_start(a.index);
    for (std::uint32_t i = 0; i < a.index.count && !std::ferror(stdout); ++i) {
        const tex_entry_view v = tex_read_entry(a.index, cursor, i);
        const std::vector<tex_finding> problems = entry_findings(a.index, v, entry_options{}, walk);
        any = any || !problems.empty();
        tex_json_entry(stdout, v, problems);
    }
    if (in_list) {
        std::fputs("\n ]}", stdout);
    } else {
        tex_json_end(stdout);
    }
    return any;
}

}  // namespace

void tex_json_begin(std::FILE* out, const tex_cli_archive& a, const std::vector<tex_finding>& problems)
{
    const tex_index& index = a.index;
    const auto* sig = reinterpret_cast<const char*>(index.leading.data());
    std::fprintf(out, "{\"archive\": %s, \"size\": %llu, \"signature\": %s, \"version\": %u, ",
                 tex_json_string(a.path).c_str(), static_cast<u64>(index.size),
                 tex_json_string(std::string(sig, strnlen(sig, 3))).c_str(), index.leading[3]);
    std::fprintf(out, "\"file_count\": %u, \"second_word\": %u, \"header_padding_zero\": %s, ",
                 index.header.file_count, index.header.second_word, index.padding_zero ? "true" : "false");
    json_problems(out, problems);
    std::fputs(",\n \"entries\": [", out);
}

void tex_json_entry(std::FILE* out, const tex_entry_view& v, const std::vector<tex_finding>& problems)
{
    std::fprintf(out, "%s\n  {\"index\": %u, ", v.index ? "," : "", v.index);
    if (v.state == tex_entry_state::ok) {
        const tex_entry_header& h = v.header;
        std::fprintf(out, "\"name\": %s, \"type\": %u, ", tex_json_string(tex_entry_name(h)).c_str(), h.rep_t_id);
        std::fprintf(out, "\"table_type\": %u, \"width\": %u, \"height\": %u, ", v.record.type_id, h.width, h.height);
    } else {
        // No header to read: what it would hold is unknown, not zero.
        std::fprintf(out, "\"name\": null, \"type\": null, \"table_type\": %u, \"width\": null, \"height\": null, ",
                     v.record.type_id);
    }
    std::fprintf(out, "\"offset\": %u, \"size\": %u, ", v.record.offset, v.record.compressed_size);
    if (v.state == tex_entry_state::ok) {
        std::fprintf(out, "\"rep_c_sz\": %u, ", v.header.rep_c_sz);
    } else {
        std::fputs("\"rep_c_sz\": null, ", out);
    }
    std::fprintf(out, "\"in_file\": %u, \"padding_zero\": %s, ", v.in_file,
                 v.state != tex_entry_state::ok ? "null" : v.padding_zero ? "true" : "false");
    json_problems(out, problems);
    std::fputc('}', out);
}

void tex_json_end(std::FILE* out)
{
    std::fputs("\n ]}\n", out);
}

void tex_json_unreadable(std::FILE* out, const tex_cli_archive& a)
{
    std::fprintf(out, "{\"archive\": %s, \"readable\": false, \"problems\": [%s], \"problem_kinds\": [%s],\n \"entries\": []}",
                 tex_json_string(a.path).c_str(), tex_json_string(a.failure).c_str(), tex_json_string(a.failure_kind).c_str());
}

int tex_list_main(int argc, char** argv)
{
    tex_cli_args args{argc, argv};
    enum { table, json, names, names0 } form = table;
    for (std::string o; !(o = tex_cli_next_option(args)).empty();) {
        if (o == "--help" || o == "-h") {
            std::fputs(list_usage, stdout);
            return tex_exit_ok;
        }
        const bool known = o == "--json" || o == "--names" || o == "--names0";
        if (known && tex_cli_flag(args, o)) {
            form = o == "--json" ? json : o == "--names" ? names : names0;
        } else {
            if (!known) tex_cli_error("list: unknown option %s", tex_printable_name(args.argument).c_str());
            return tex_cli_usage_error(list_usage);
        }
    }
    if (args.operands.empty()) {
        tex_cli_error("list: no archive named");
        return tex_cli_usage_error(list_usage);
    }
    const bool several = args.operands.size() > 1;
    bool any = false, unreadable = false;
    if (form == json && several) std::fputs("{\"archives\": [", stdout);
    for (std::size_t k = 0; k < args.operands.size() && !std::ferror(stdout); ++k) {
        tex_cli_archive a;
        const bool read = tex_cli_open(args.operands[k], a) == 0;
        unreadable = unreadable || !read;
        if (form == json && several) std::fputs(k ? ",\n" : "", stdout);
        if (!read) {
            // In JSON every archive named has its object; elsewhere the error said it.
            if (form == json && several) tex_json_unreadable(stdout, a);
            continue;
        }
        if (form == table && several) std::printf("%s%s:\n", k ? "\n" : "", tex_printable_name(a.path).c_str());
        if (form == table) any = print_table(a) || any;
        if (form == json) any = print_json(a, several) || any;
        if (form == names || form == names0) any = print_names(a, form == names0) || any;
    }
    if (form == json && several) std::fputs("]}\n", stdout);
    if (!tex_cli_flush_output("list")) return tex_exit_problem;
    return unreadable ? tex_exit_usage : any ? tex_exit_problem : tex_exit_ok;
}
