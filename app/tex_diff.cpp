// morvex_tex diff: which textures two archives hold differently, as the
// library's comparison (entries/diff.hpp) finds it, in lines or JSON. Exit 0
// when they are the same, 1 when they differ, 2 on trouble, as diff and cmp
// end.
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "entries/diff.hpp"
#include "words/escape.hpp"
#include "words/words.hpp"

#include <string>

namespace {

using u64 = unsigned long long;

// What the command line asks.
struct diff_request {
    bool json = false;
    bool quiet = false;
    unsigned workers = 1;
    name_filter filter;
};

std::string dims(const diff_entry& e)
{
    return format_text("%u x %u type %u", e.width, e.height, e.type);
}

std::string printable(const diff_entry& e)
{
    return tex_printable_name(std::string(e.name()));
}

// A row's line of text.
std::string text_of(const diff_row& r, const std::string& a_path, const std::string& b_path)
{
    const std::string name = printable(r.a ? *r.a : *r.b);
    // A type that changed while the size didn't: its pixels were compared too.
    const std::string type_changed =
        r.a && r.b && r.a->type != r.b->type ? format_text("type changed (%u, now %u), ", r.a->type, r.b->type) : "";
    switch (r.what) {
    case diff_change::none: return "";
    case diff_change::only_in_a: return "only in " + a_path + ": " + name;
    case diff_change::only_in_b: return "only in " + b_path + ": " + name;
    case diff_change::renamed: return name + ": renamed to " + printable(*r.b);
    case diff_change::size_or_type: return name + ": size or type changed (" + dims(*r.a) + ", now " + dims(*r.b) + ")";
    case diff_change::same_pixels: return name + ": same pixels, other bytes";
    case diff_change::type: return name + ": " + type_changed + "same pixels";
    case diff_change::pixels:
        return format_text("%s: %s%llu of %llu pixels differ (largest channel difference %u)", name.c_str(),
                           type_changed.c_str(), static_cast<u64>(r.differing), static_cast<u64>(r.pixels),
                           unsigned{r.largest});
    case diff_change::undecoded: {
        std::string why;
        for (const std::string& p : finding_texts(r.why)) why += (why.empty() ? "" : "; ") + p;
        return name + ": other bytes; the pixels can't be compared: " + tex_printable_name(why);
    }
    }
    return "";
}

void json_side(std::FILE* out, const char* key, const diff_entry* e)
{
    if (!e) {
        std::fprintf(out, ", \"%s\": null", key);
        return;
    }
    std::fprintf(out, ", \"%s\": {\"index\": %u, \"type\": %u, \"width\": %u, \"height\": %u, \"size\": %u}", key,
                 e->index, e->type, e->width, e->height, e->payload_size);
}

void json_row(std::FILE* out, const diff_row& r, bool first)
{
    std::fprintf(out, "%s\n  {\"name\": %s, \"change\": \"%s\"", first ? "" : ",",
                 tex_json_string(std::string((r.a ? r.a : r.b)->name())).c_str(), diff_change_name(r.what));
    json_side(out, "a", r.a);
    json_side(out, "b", r.b);
    if (r.what == diff_change::pixels || r.what == diff_change::same_pixels || r.what == diff_change::type) {
        std::fprintf(out, ", \"pixels\": %llu, \"pixels_differ\": %llu, \"largest_difference\": %u",
                     static_cast<u64>(r.pixels), static_cast<u64>(r.differing), unsigned{r.largest});
    }
    if (r.what == diff_change::renamed) {
        std::fprintf(out, ", \"a_name\": %s, \"b_name\": %s", tex_json_string(std::string(r.a->name())).c_str(),
                     tex_json_string(std::string(r.b->name())).c_str());
    }
    if (r.what == diff_change::undecoded) {
        std::fputs(", \"problems\": [", out);
        const std::vector<std::string> texts = finding_texts(r.why);
        for (std::size_t k = 0; k < texts.size(); ++k) std::fprintf(out, "%s%s", k ? ", " : "", tex_json_string(texts[k]).c_str());
        std::fputs("]", out);
    }
    std::fputc('}', out);
}

// Compares the two archives, saying each difference as it is found in A's
// table order, then what only B holds. True when they differ.
bool compare_archives(const tex_cli_archive& a, const tex_cli_archive& b, diff_request& o)
{
    const std::string a_path = tex_printable_name(a.path), b_path = tex_printable_name(b.path);
    bool first = true;
    if (o.json) {
        std::fprintf(stdout, "{\"a\": %s, \"b\": %s, \"changes\": [", tex_json_string(a.path).c_str(),
                     tex_json_string(b.path).c_str());
    }
    diff_options run;
    run.workers = o.workers;
    run.filter = &o.filter;
    const diff_counts counts = diff_archives(a.index, b.index, run, [&](const diff_row& r) {
        if (o.json) {
            json_row(stdout, r, first);
            first = false;
        } else if (!o.quiet) {
            std::printf("%s\n", text_of(r, a_path, b_path).c_str());
        }
    });
    const bool differ = counts.differ();
    if (o.json) {
        std::printf("\n ], \"same\": %s, \"changed\": %llu, \"only_in_a\": %llu, \"only_in_b\": %llu}\n",
                    differ ? "false" : "true", static_cast<u64>(counts.changed), static_cast<u64>(counts.only_in_a),
                    static_cast<u64>(counts.only_in_b));
    } else if (differ && o.quiet) {
        std::printf("%s and %s differ\n", a_path.c_str(), b_path.c_str());
    } else if (differ) {
        std::printf("%s and %s differ: %llu changed, %llu only in %s, %llu only in %s\n", a_path.c_str(), b_path.c_str(),
                    static_cast<u64>(counts.changed), static_cast<u64>(counts.only_in_a), a_path.c_str(),
                    static_cast<u64>(counts.only_in_b), b_path.c_str());
    }
    return differ;
}

}  // namespace

int tex_diff_main(int argc, char** argv)
{
    const tex_command& diff = tex_diff_command;
    tex_command_line line;
    if (int status = 0; !tex_cli_read(diff, argc, argv, line, status)) return status;
    diff_request o;
    o.json = line.has(tex_opt::json);
    o.quiet = line.has(tex_opt::quiet);
    const int workers = tex_cli_workers("diff", line.value(tex_opt::jobs), line.has(tex_opt::jobs), false);
    if (workers < 0) return tex_cli_try_help(diff);
    o.workers = static_cast<unsigned>(workers);
    if (line.operands.size() < 2) return tex_cli_usage(diff, "two archives to compare, then patterns");
    o.filter.include.assign(line.operands.begin() + 2, line.operands.end());
    for (const std::string& p : line.values(tex_opt::include)) o.filter.include.push_back(p);
    o.filter.exclude = line.values(tex_opt::exclude);
    o.filter.ignore_case = line.has(tex_opt::ignore_case);
    if (line.operands[0] == "-" && line.operands[1] == "-") return tex_cli_usage(diff, "standard input can be read once");
    tex_cli_archive a, b;
    if (tex_cli_open(line.operands[0], a) != 0 || tex_cli_open(line.operands[1], b) != 0) return tex_exit_usage;
    const bool differ = compare_archives(a, b, o);
    if (!tex_cli_flush_output("diff")) return tex_exit_usage;
    return differ ? tex_exit_problem : tex_exit_ok;
}
