// morvex_tex list: the index as a table for people, as one JSON object for
// scripts, or as the bare names (for completion: --names0 gives them byte for
// byte, as no line of text can). The JSON pieces are shared with `test --json`.
#include "words/words.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"
#include "format/finding_names.hpp"
#include "app/tex_options.hpp"
#include "entries/walk.hpp"

#include <algorithm>
#include <cstring>

namespace {

using u64 = unsigned long long;

// What to list, and how.
struct list_options {
    enum { table, verbose, json, names, names0 } form = table;
    name_filter filter;
    bool filtered = false;  // a pattern was given: only what it takes is listed
};

// Without patterns every record is listed; with them, the entries from 1
// on that the filter takes, as extract would.
bool listed(list_options& o, const tex_entry_view& v)
{
    if (!o.filtered) return true;
    if (v.index == 0) return false;
    return v.state == tex_entry_state::ok ? name_selected(o.filter, tex_entry_name(v.header)) : o.filter.include.empty();
}

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

// One entry's columns as the table shows them.
struct row {
    std::string type, image, name;
    std::vector<std::string> problems;
};

row row_of(const tex_cli_archive& a, const tex_entry_view& v, entry_walk& walk)
{
    const bool read = v.state == tex_entry_state::ok;
    row r;
    r.type = read ? std::to_string(v.header.rep_t_id) : "-";
    r.image = read ? std::to_string(v.header.width) + "x" + std::to_string(v.header.height) : "-";
    r.name = read ? tex_printable_name(tex_entry_name(v.header)) : "-";
    r.problems = finding_texts(entry_findings(a.index, v, entry_options{}, walk));
    return r;
}

// The name and the problems in brackets, and the line's end.
void print_name(const row& r)
{
    std::fputs(r.name.c_str(), stdout);
    if (!r.problems.empty()) std::printf("  [%s]", tex_printable_name(joined(r.problems)).c_str());
    std::fputc('\n', stdout);
}

// Columns as wide as their widest value, as `tar -tv` aligns them: the table
// is read once for the sizes (12 bytes a record), once more for the lines.
// With `verbose`, a header row, each entry's offset, and the totals beneath
// a rule, as `unzip -l` ends. True when a problem is marked.
bool print_table(const tex_cli_archive& a, list_options& o, bool verbose)
{
    const std::vector<std::string> archive_problems = finding_texts(tex_archive_problems(a));
    u64 problems = archive_problems.size();
    const tex_index& index = a.index;
    for (const std::string& p : archive_problems) std::printf("archive: [%s]\n", p.c_str());
    tex_table_cursor cursor{&index, {}, 0, 0};
    entry_walk walk = entry_walk_start(index);
    std::uint32_t widest = 0, furthest = 0;
    u64 all_stored = 0;
    for (std::uint32_t i = 0; i < index.count; ++i) {
        const tex_table_entry record = tex_table_record(cursor, i);
        widest = std::max(widest, record.compressed_size);
        furthest = std::max(furthest, record.offset);
        all_stored += record.compressed_size;
    }
    int index_w = static_cast<int>(digits(index.count ? index.count - 1 : 0));
    int size_w = static_cast<int>(digits(widest));
    const int type_w = 4, image_w = 11;
    int offset_w = 0;
    const auto rule = [&] {
        std::printf("%s  %s  %s  %s  %s  ----\n", std::string(static_cast<std::size_t>(index_w), '-').c_str(),
                    std::string(type_w, '-').c_str(), std::string(image_w, '-').c_str(),
                    std::string(static_cast<std::size_t>(size_w), '-').c_str(),
                    std::string(static_cast<std::size_t>(offset_w), '-').c_str());
    };
    if (verbose) {
        index_w = std::max(index_w, 5);
        size_w = std::max(static_cast<int>(digits(all_stored)), 6);
        offset_w = std::max(static_cast<int>(digits(furthest)), 6);
        std::printf("%*s  %*s  %*s  %*s  %*s  Name\n", index_w, "Index", type_w, "Type", image_w, "Image", size_w, "Stored",
                    offset_w, "Offset");
        rule();
    }
    u64 shown = 0, stored = 0;
    for (std::uint32_t i = 0; i < index.count && !std::ferror(stdout); ++i) {
        const tex_entry_view v = tex_read_entry(index, cursor, i);
        if (!listed(o, v)) continue;
        const row r = row_of(a, v, walk);
        ++shown;
        stored += v.record.compressed_size;
        problems += r.problems.size();
        if (verbose) {
            std::printf("%*u  %*s  %*s  %*u  %*u  ", index_w, i, type_w, r.type.c_str(), image_w, r.image.c_str(), size_w,
                        v.record.compressed_size, offset_w, v.record.offset);
        } else {
            std::printf("%*u %3s %11s  %*u  ", index_w, i, r.type.c_str(), r.image.c_str(), size_w, v.record.compressed_size);
        }
        print_name(r);
    }
    if (verbose) {
        rule();
        std::string total = o.filtered ? format_text("%llu of %s", shown, counted(index.count, "entry", "entries").c_str())
                                       : counted(shown, "entry", "entries");
        if (problems) total += ", " + counted(problems, "problem", "problems");
        std::printf("%*s  %*s  %*s  %*llu  %*s  %s\n", index_w, "", type_w, "", image_w, "", size_w, stored, offset_w, "",
                    total.c_str());
    }
    return problems > 0;
}

// The stored names from entry 1 on, one a line, control bytes escaped (or,
// with `exact`, every byte as stored, each name ended by a NUL, which no name
// holds); true when an entry's header can't be read.
bool print_names(const tex_cli_archive& a, list_options& o, bool exact)
{
    bool any = false;
    tex_table_cursor cursor{&a.index, {}, 0, 0};
    for (std::uint32_t i = 1; i < a.index.count && !std::ferror(stdout); ++i) {
        const tex_entry_view v = tex_read_entry(a.index, cursor, i);
        if (!listed(o, v)) continue;
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
bool print_json(const tex_cli_archive& a, list_options& o, bool in_list)
{
    const std::vector<tex_finding> archive_problems = tex_archive_problems(a);
    bool any = !archive_problems.empty();
    tex_json_begin(stdout, a, archive_problems);
    tex_table_cursor cursor{&a.index, {}, 0, 0};
    entry_walk walk = entry_walk_start(a.index);
    bool first = true;
    for (std::uint32_t i = 0; i < a.index.count && !std::ferror(stdout); ++i) {
        const tex_entry_view v = tex_read_entry(a.index, cursor, i);
        if (!listed(o, v)) continue;
        const std::vector<tex_finding> problems = entry_findings(a.index, v, entry_options{}, walk);
        any = any || !problems.empty();
        tex_json_entry(stdout, v, problems, first);
        first = false;
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
    std::fprintf(out, "{\"archive\": %s, \"readable\": true, \"size\": %llu, \"signature\": %s, \"version\": %u, ",
                 tex_json_string(a.path).c_str(), static_cast<u64>(index.size),
                 tex_json_string(std::string(sig, strnlen(sig, 3))).c_str(), index.leading[3]);
    std::fprintf(out, "\"file_count\": %u, \"second_word\": %u, \"header_padding_zero\": %s, ",
                 index.header.file_count, index.header.second_word, index.padding_zero ? "true" : "false");
    json_problems(out, problems);
    std::fputs(",\n \"entries\": [", out);
}

void tex_json_entry(std::FILE* out, const tex_entry_view& v, const std::vector<tex_finding>& problems, bool first)
{
    std::fprintf(out, "%s\n  {\"index\": %u, ", first ? "" : ",", v.index);
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
    // Every key a readable archive's object has, so that a script may ask
    // any of them; what only reading the archive tells is null.
    std::fprintf(out,
                 "{\"archive\": %s, \"readable\": false, \"size\": null, \"signature\": null, \"version\": null, "
                 "\"file_count\": null, \"second_word\": null, \"header_padding_zero\": null, "
                 "\"problems\": [%s], \"problem_kinds\": [%s],\n \"entries\": []}",
                 tex_json_string(a.path).c_str(), tex_json_string(a.failure).c_str(), tex_json_string(a.failure_kind).c_str());
}

namespace {

// The options read into what to list; -1 after a usage error said.
int list_setup(const tex_command_line& line, list_options& o, std::vector<std::string>& archives)
{
    if (line.has(tex_opt::verbose)) o.form = list_options::verbose;
    if (line.has(tex_opt::json)) o.form = list_options::json;
    if (line.has(tex_opt::names)) o.form = list_options::names;
    if (line.has(tex_opt::names0)) o.form = list_options::names0;
    if (line.operands.empty()) {
        tex_cli_usage(tex_list_command, "no archive named");
        return -1;
    }
    tex_cli_operands sorted = tex_cli_sort_operands(line.operands);
    archives = std::move(sorted.archives);
    o.filter.include = std::move(sorted.patterns);
    for (std::string& p : line.values(tex_opt::include)) o.filter.include.push_back(std::move(p));
    o.filter.exclude = line.values(tex_opt::exclude);
    o.filter.ignore_case = line.has(tex_opt::ignore_case);
    o.filtered = !o.filter.include.empty() || !o.filter.exclude.empty();
    if (std::count(archives.begin(), archives.end(), "-") > 1) {
        tex_cli_usage(tex_list_command, "standard input can be read once");
        return -1;
    }
    return tex_cli_check_order(archives, "list ARCHIVE... [PATTERN...]");
}

}  // namespace

int tex_list_main(int argc, char** argv)
{
    tex_command_line line;
    if (int status = 0; !tex_cli_read(tex_list_command, argc, argv, line, status)) return status;
    list_options o;
    std::vector<std::string> archives;
    if (list_setup(line, o, archives) != 0) return tex_exit_usage;
    const bool json = o.form == list_options::json;
    const bool several = archives.size() > 1;
    bool any = false, unreadable = false;
    std::vector<tex_case_hint> hints;
    if (json && several) std::fputs("{\"archives\": [", stdout);
    for (std::size_t k = 0; k < archives.size() && !std::ferror(stdout); ++k) {
        tex_cli_archive a;
        const bool read = tex_cli_open(archives[k], a) == 0;
        unreadable = unreadable || !read;
        if (json && several) std::fputs(k ? ",\n" : "", stdout);
        if (!read) {
            // In JSON every archive named has its object; elsewhere the error said it.
            if (json) tex_json_unreadable(stdout, a);
            if (several) continue;
            // The one archive can't be read: that ends the call, no pattern said unmatched.
            if (json) std::fputc('\n', stdout);
            return tex_cli_flush_output("list") ? tex_exit_usage : tex_exit_problem;
        }
        const bool table = o.form == list_options::table || o.form == list_options::verbose;
        if (table && several) std::printf("%s%s:\n", k ? "\n" : "", tex_printable_name(a.path).c_str());
        switch (o.form) {
        case list_options::table:
        case list_options::verbose: any = print_table(a, o, o.form == list_options::verbose) || any; break;
        case list_options::json: any = print_json(a, o, several) || any; break;
        case list_options::names:
        case list_options::names0: any = print_names(a, o, o.form == list_options::names0) || any; break;
        }
        tex_cli_note_case(a.index, o.filter, hints);
    }
    if (json && several) std::fputs("]}\n", stdout);
    if (!tex_cli_flush_output("list")) return tex_exit_problem;
    const bool unmatched = tex_cli_say_unmatched(o.filter, hints, several ? "" : archives[0]);
    return unreadable ? tex_exit_usage : any || unmatched ? tex_exit_problem : tex_exit_ok;
}
