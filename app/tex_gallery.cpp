// morvex_tex gallery: one self-contained HTML page per archive, a card per
// entry with its thumbnail, facts and problems. Entries go through the same
// entry decision, job and workers as `test`, which also makes each thumbnail;
// the page is written through the output layer.
#include "files/input.hpp"
#include "images/thumbnail.hpp"
#include "words/words.hpp"
#include "words/escape.hpp"
#include "app/tex_cli.hpp"
#include "app/tex_options.hpp"
#include "entries/walk.hpp"

#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "app/gallery_page.hpp"
#include "app/platform.hpp"

namespace {

constexpr unsigned default_side = 128;

struct gallery_options {
    std::string page;  // -o
    unsigned side = default_side;
    bool force = false;  // write over a file that is no page, or under an image's name
    bool quiet = false;  // no line once a page is written
    bool jobs_given = false;
    std::string jobs;
    std::vector<std::string> archives;
};

// A shell word for a text, to copy from the page: inside single quotes, each
// quote closed, escaped and opened again; or, when the text holds a byte the
// page shows as \xNN (a control, a bidi mark, a byte of no character), in
// $'...' with those bytes as \xNN, so that the shell gets the real bytes.
std::string shell_word(const std::string& text)
{
    bool plain = true;
    for (std::size_t at = 0; at < text.size() && plain;) {
        std::uint32_t cp = 0;
        const std::size_t n = tex_utf8_char(text, at, cp);
        plain = n > 0 && !tex_hidden_char(cp);
        at += n;
    }
    if (plain) {
        std::string out = "'";
        for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }
    std::string out = "$'";
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t n = tex_utf8_char(text, at, cp);
        if (n > 0 && !tex_hidden_char(cp)) {
            if (cp == '\'' || cp == '\\') out += '\\';
            out.append(text, at, n);
            at += n;
        } else {
            const std::size_t bytes = n > 0 ? n : 1;
            for (std::size_t k = at; k < at + bytes; ++k) {
                out += format_text("\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(text[k])));
            }
            at += bytes;
        }
    }
    return out + "'";
}

// The pattern that matches exactly this name: its wildcard characters
// escaped, and a last "/" (which would take the whole folder) bracketed.
std::string exact_pattern(const std::string& name)
{
    std::string out;
    for (const char c : name) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
        out += c;
    }
    if (!out.empty() && out.back() == '/') out.replace(out.size() - 1, 1, "[/]");
    return out;
}

struct gallery_walk {
    const tex_cli_archive& archive;
    const gallery_options& options;
    gallery_sink& sink;
    std::uint64_t problems = 0;
    std::string folder;  // where the card's PNG command extracts to
};

// Why an entry shows no pixels, when the walk didn't decode it.
std::string why_not_decoded(const entry_task& task)
{
    const entry_plan& plan = task.plan;
    if (plan.step == entry_step::none) return "no pixels to show";
    if (plan.step == entry_step::repeat) return "shown at entry " + std::to_string(plan.repeat_of);
    return "not decoded: " + finding_text(plan.over_budget ? *plan.over_budget : plan.why);
}

void finish(gallery_walk& w, entry_task& task)
{
    const tex_entry_view& v = task.view;
    gallery_card card;
    card.index = v.index;
    card.first = v.index == 0;
    card.header_read = v.state == tex_entry_state::ok;
    card.payload_size = v.record.compressed_size;
    if (card.header_read) {
        card.name = tex_entry_name(v.header);
        card.width = v.header.width;
        card.height = v.header.height;
        card.type = v.header.rep_t_id;
    } else {
        card.type = v.record.type_id;
    }
    std::string not_decoded;
    if (!task.run) {
        not_decoded = why_not_decoded(task);
    } else {
        const extract_thumbnail& t = task.outcome.thumbnail;
        if (task.outcome.result != 0) {
            std::string why;
            for (const tex_finding& f : task.outcome.findings) {
                if (!tex_finding_is_warning(f)) why += (why.empty() ? "" : "; ") + finding_text(f);
            }
            not_decoded = "not decoded: " + (why.empty() ? std::string("can't be decoded") : why);
        } else if (t.file.empty()) {
            not_decoded = std::string("no thumbnail: ") + std::strerror(t.error);
        } else {
            card.transparent = t.transparent ? 1 : 0;
            card.thumbnail = t.file;
            card.thumbnail_mime = t.mime;
            card.thumbnail_width = t.width;
            card.thumbnail_height = t.height;
        }
    }
    card.no_thumbnail_reason = not_decoded;
    card.problems = finding_texts(task.findings);
    w.problems += card.problems.size();
    if (v.index > 0 && card.header_read) {
        // An archive whose path begins with "-" comes after "--", the
        // pattern before it. The PNG goes beneath a folder named after the
        // archive, as extract names each archive's folder.
        const std::string pattern = shell_word(exact_pattern(card.name));
        const bool dashed = w.archive.path.starts_with("-") && w.archive.path != "-";
        const std::string archive = shell_word(w.archive.path);
        const std::string tail = dashed ? " -i " + pattern + " -- " + archive : " " + archive + " -i " + pattern;
        card.extract_command = "morvex_tex extract" + tail;
        card.extract_png_command = "morvex_tex extract -C " + shell_word(w.folder) + " --format png" + tail;
    }
    gallery_card_write(w.sink, card);
}

// Says why a page can't be written where it was asked for.
void refuse_page(const std::string& shown, path_refusal why)
{
    switch (why) {
    case path_refusal::none: break;
    case path_refusal::other_kind:
        tex_cli_error("%s: exists and is not an HTML page: not replaced (--force replaces it)", shown.c_str());
        break;
    case path_refusal::image_name:
        tex_cli_error("%s: named like an image: no page is written there (--force writes it)", shown.c_str());
        break;
    case path_refusal::folder: tex_cli_error("%s: is a folder", shown.c_str()); break;
    case path_refusal::terminal:
        tex_cli_error("%s: standard output is a terminal: no page is written there", shown.c_str());
        break;
    case path_refusal::input: tex_cli_error("%s: is one of the archives read: not written over", shown.c_str()); break;
    }
}

// Begins the page under the policy of every named output; where its folder
// is missing, makes it (and those of its path that are missing) as extract
// makes -C's, then begins again.
int begin_page(const std::string& page, const output_policy& policy, path_output& out, path_refusal& why)
{
    if (output_begin_path(page, policy, out, why) == 0) return 0;
    if (why != path_refusal::none || errno != ENOENT || page == "-") return -1;
    std::string folder, name;
    split_user_path(page, folder, name);
    // A name the policy refuses whatever is there makes no folder first.
    if (!policy.force && image_format_for(name) != image_format::none) {
        why = path_refusal::image_name;
        return -1;
    }
    output_root made;
    if (folder == ".") return -1;
    if (output_open_root(folder.c_str(), true, made) != 0) return -1;
    output_close_root(made);
    out = path_output{};
    return output_begin_path(page, policy, out, why);
}

// The page of one archive, through the output layer under the policy of
// every named output: put in place only when complete. The number of
// problems shown; -1 when the page couldn't be written (said), -2 when it
// was refused.
long long write_page(const tex_cli_archive& a, const gallery_options& o, const std::string& page,
                     const std::vector<file_identity>& inputs, unsigned workers)
{
    const std::string shown = tex_printable_name(page);
    output_policy policy;
    policy.kind = output_kind::page;
    policy.force = o.force;
    policy.inputs = inputs;
    path_output out;
    path_refusal why = path_refusal::none;
    if (begin_page(page, policy, out, why) != 0) {
        if (why != path_refusal::none) {
            refuse_page(shown, why);
            return -2;
        }
        tex_cli_error("%s: %s", shown.c_str(), std::strerror(errno));
        return -1;
    }
    // A stream of its own over the file, which the sink writes from its start.
    unique_fd copy(dup(out.file.fd));
    std::FILE* stream = copy.get() >= 0 ? fdopen(copy.get(), "wb") : nullptr;
    if (stream) copy.release();  // the stream closes it
    if (!stream) {
        tex_cli_error("%s: %s", shown.c_str(), std::strerror(errno));
        return -1;
    }
    gallery_sink sink;
    sink.file = stream;
    gallery_archive_info info;
    info.name = a.path;
    info.size = a.index.size;
    info.count = a.index.count;
    info.problems = finding_texts(tex_archive_problems(a));
    info.problem_count = info.problems.size();
    info.thumbnail_side = o.side;
    gallery_begin(sink, info);
    gallery_walk w{a, o, sink, info.problems.size(), tex_cli_stems({a.path}).front()};
    if (w.folder.starts_with("-")) w.folder = "./" + w.folder;
    walk_options options;
    options.entries.write = false;
    options.entries.decode_refused_names = true;
    options.show_first = true;
    options.thumbnail_side = o.side;
    options.workers = workers;
    const output_root nowhere;  // entries are decoded, never written
    walk_entries(a.index, nowhere, options, nullptr, [&](entry_task& task) { finish(w, task); });
    const int ended = gallery_end(sink, w.problems);
    const int error = errno;
    const bool closed = std::fclose(stream) == 0;
    if (ended != 0 || !closed || output_commit_path(out) != 0) {
        tex_cli_error("%s: can't write it: %s", shown.c_str(), std::strerror(ended != 0 ? error : errno));
        return -1;
    }
    if (!o.quiet) {
        // A page is read by people: "no problems" rather than a 0.
        const auto count = [](std::uint64_t n, const char* one, const char* many) {
            return n == 0 ? std::string("no ") + many : counted(n, one, many);
        };
        std::fprintf(stderr, "wrote %s (%s, %s)\n", page == "-" ? "the page to standard output" : shown.c_str(),
                     count(a.index.count, "entry", "entries").c_str(), count(w.problems, "problem", "problems").c_str());
    }
    return static_cast<long long>(w.problems);
}

// What the run reads: no page may be written over one of them.
std::vector<file_identity> inputs_of(const std::vector<std::string>& archives)
{
    std::vector<file_identity> out;
    for (const std::string& path : archives) {
        file_identity id;
        if ((path == "-" ? file_identity_of_fd(0, id) : file_identity_of(path, id)) == 0) out.push_back(id);
    }
    return out;
}

// The default page of each archive: its stem with ".html", in the current folder.
std::vector<std::string> default_pages(const std::vector<std::string>& archives)
{
    std::vector<std::string> out = tex_cli_stems(archives);
    for (std::string& page : out) page += ".html";
    return out;
}

// The options read by the command's table; -1 after a usage error is said.
int options_of(const tex_command_line& line, gallery_options& o)
{
    const tex_command& gallery = tex_gallery_command;
    o.force = line.has(tex_opt::force);
    o.quiet = line.has(tex_opt::quiet);
    o.jobs_given = line.has(tex_opt::jobs);
    o.jobs = line.value(tex_opt::jobs);
    if (line.has(tex_opt::size)) {
        const std::string value = line.value(tex_opt::size);
        const long side = tex_cli_count(value, gallery_max_side);
        if (side < 1) {
            tex_cli_usage(gallery, "--size takes a number from 1 to %u, not %s", gallery_max_side,
                          tex_printable_name(value).c_str());
            return -1;
        }
        o.side = static_cast<unsigned>(side);
    }
    o.archives = line.operands;
    if (o.archives.empty()) {
        tex_cli_usage(gallery, "no archive named");
        return -1;
    }
    if (line.has(tex_opt::output)) {
        o.page = line.value(tex_opt::output);
        if (o.archives.size() > 1) {
            tex_cli_usage(gallery, "-o names the page of one archive");
            return -1;
        }
        if (o.page.empty()) {
            tex_cli_usage(gallery, "-o needs a page name");
            return -1;
        }
    }
    return 0;
}

}  // namespace

int tex_gallery_main(int argc, char** argv)
{
    tex_command_line line;
    if (int status = 0; !tex_cli_read(tex_gallery_command, argc, argv, line, status)) return status;
    gallery_options o;
    if (options_of(line, o) != 0) return tex_exit_usage;
    const int workers = tex_cli_workers("gallery", o.jobs, o.jobs_given, false);
    if (workers < 0) return tex_cli_try_help(tex_gallery_command);
    const std::vector<std::string> pages = o.page.empty() ? default_pages(o.archives) : std::vector<std::string>{o.page};
    const std::vector<file_identity> inputs = inputs_of(o.archives);
    int status = tex_exit_ok;
    for (std::size_t k = 0; k < o.archives.size(); ++k) {
        tex_cli_archive a;
        if (tex_cli_open(o.archives[k], a) != 0) {
            status = tex_exit_usage;
            continue;
        }
        const long long problems = write_page(a, o, pages[k], inputs, static_cast<unsigned>(workers));
        if (problems == -2) {
            status = tex_exit_usage;
        } else if (problems != 0 && status == tex_exit_ok) {
            status = tex_exit_problem;
        }
    }
    return status;
}
