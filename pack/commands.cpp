// The two commands: `create` builds an archive from images, `replace` patches
// the entries of an existing one. Images are decoded, converted and written
// one at a time into the output layer's file, which is put in place only
// when the whole archive is in it: an error leaves nothing. With --dry-run
// they go on past a refusal, to say everything that would be refused, and
// write nothing either way.
#include "pack/pack.hpp"
#include "app/escape.hpp"
#include "app/words.hpp"
#include "files/input.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>


namespace {

struct named_image {
    pack_image_arg arg;
    std::string name;  // the stored name it is written or matched under; empty when refused
};

std::string shown(const std::string& text)
{
    return tex_printable_name(text);
}

// The file's own extension picks the format a signature doesn't; a file named
// without one borrows its stored name's.
int load(const named_image& n, pack_image& out)
{
    const std::string& path = n.arg.path;
    std::vector<std::uint8_t> bytes;
    std::string reason;
    const std::string& format_name = image_format_for(pack_entry_name(path)) != image_format::none ? path : n.name;
    if (pack_read_image_file(path, bytes, reason) != 0 || pack_decode_image(bytes, format_name, out, reason) != 0) {
        pack_error("%s: %s", shown(path).c_str(), reason.c_str());
        return -1;
    }
    return 0;
}

// The output must not replace one of the images it is made from, whatever
// path leads to it: checked once every folder is expanded, forced or not.
int check_output_is_no_image(const std::string& out_path, const std::vector<named_image>& images)
{
    for (const named_image& n : images) {
        if (same_file(n.arg.path, out_path)) {
            pack_error("%s: the output must be another file than the images it is made from", shown(out_path).c_str());
            return -1;
        }
    }
    return 0;
}

// What the run reads, by identity: the output layer refuses to write over
// any of them when it opens the output, should one appear there meanwhile.
std::vector<file_identity> inputs_of(const std::vector<named_image>& images, const std::string& archive = "")
{
    std::vector<file_identity> out;
    file_identity id;
    for (const named_image& n : images) {
        if (file_identity_of(n.arg.path, id) == 0) out.push_back(id);
    }
    if (!archive.empty() && archive != "-" && file_identity_of(archive, id) == 0) out.push_back(id);
    return out;
}

// Refuses, before anything is written, the files that can't be images: missing,
// not regular, too large.
int check_files(std::vector<named_image>& images, const pack_options& options, int& refusals)
{
    for (named_image& n : images) {
        std::string reason;
        if (n.name.empty() || pack_check_image_file(n.arg.path, reason) == 0) continue;
        pack_error("%s: %s", shown(n.arg.path).c_str(), reason.c_str());
        n.name.clear();
        ++refusals;
        if (!options.dry_run) return -1;
    }
    return 0;
}

// Refuses two images stored or matched under one name.
int check_unique(std::vector<named_image>& images, const pack_options& options, int& refusals)
{
    std::map<std::string, std::string> seen;
    for (named_image& n : images) {
        if (n.name.empty()) continue;
        if (const auto [at, fresh] = seen.emplace(n.name, n.arg.path); !fresh) {
            pack_error("%s and %s would both be stored as %s", shown(at->second).c_str(), shown(n.arg.path).c_str(),
                       shown(n.name).c_str());
            n.name.clear();
            ++refusals;
            if (!options.dry_run) return -1;
        }
    }
    return 0;
}

// The archive being written: where its bytes go and where its lines go.
struct archive_out {
    archive_out(const pack_options& o, std::string p) : options(o), path(std::move(p)) {}
    const pack_options& options;
    std::string path;
    std::FILE* lines = stdout;  // standard error when the archive itself goes to standard output
    path_output target;
    std::vector<file_identity> inputs;  // never written over
    tex_archive_sink sink;
    bool printed = false;       // an entry's line has gone out
    // Lines kept until the archive is complete (create: one an operand), so
    // that a refusal part way prints only itself.
    bool hold_lines = false;
    std::string held;
};

// Opens the output for `count` entries (on a dry run, nothing). An exit
// status when it can't.
int begin_output(archive_out& out, std::uint32_t count)
{
    if (out.path == "-") out.lines = stderr;
    if (out.options.dry_run) return tex_sink_begin(out.sink, -1, count) == 0 ? pack_exit_ok : pack_exit_failed;
    path_refusal why = path_refusal::none;
    const std::string printable = shown(out.path);
    output_policy policy;
    policy.kind = output_kind::archive;
    policy.force = out.options.force;
    policy.inputs = out.inputs;
    if (output_begin_path(out.path, policy, out.target, why) != 0) {
        switch (why) {
        case path_refusal::none:
            pack_error("%s: can't create it: %s", printable.c_str(), std::strerror(errno));
            return pack_exit_failed;
        case path_refusal::input:
            pack_error("%s: the output must be another file than the files it is made from", printable.c_str());
            return pack_exit_failed;
        case path_refusal::other_kind:
            pack_error("%s: exists and is not a TEX archive: not replaced (--force replaces it)", printable.c_str());
            break;
        case path_refusal::image_name:
            pack_error("%s: named like an image: no archive is written there (--force writes it)", printable.c_str());
            break;
        case path_refusal::folder:
            pack_error("%s: is a folder", printable.c_str());
            break;
        case path_refusal::terminal:
            pack_error("%s: standard output is a terminal: no archive is written there", printable.c_str());
            break;
        }
        return pack_exit_refused;
    }
    if (tex_sink_begin(out.sink, out.target.file.fd, count) != 0) {
        pack_error("%s: %u entries are more than a TEX archive can address", printable.c_str(), count);
        return pack_exit_failed;
    }
    return pack_exit_ok;
}

void report_entry(archive_out& out, std::uint32_t index, const std::string& name, std::uint8_t type, std::uint16_t width,
                  std::uint16_t height, std::uint64_t size, const std::string& what)
{
    if (out.options.quiet) return;
    char line[256];
    std::snprintf(line, sizeof line, "entry %u: %-32s type %u  %5u x %-5u %10llu bytes  %s", index, shown(name).c_str(),
                  type, width, height, static_cast<unsigned long long>(size), out.options.dry_run ? "would be " : "");
    const std::string text = line + shown(what) + "\n";
    if (out.hold_lines) {
        out.held += text;
        return;
    }
    std::fputs(text.c_str(), out.lines);
    out.printed = true;
}

// Adds an entry; says why when it can't. 0 or -1.
int add_entry(archive_out& out, std::span<const std::uint8_t, tex_entry_header_size> header,
              const std::function<int(tex_payload_out&)>& payload)
{
    if (tex_sink_add(out.sink, header, payload) == 0) return 0;
    const int error = errno;
    if (error == EFBIG) {
        pack_error("%s: the entries add up to more than a TEX archive can address", shown(out.path).c_str());
    } else {
        pack_error("%s: can't write it: %s", shown(out.path).c_str(), std::strerror(error));
    }
    return -1;
}

// A run that stops part way: its lines were not the last word.
int abandon(archive_out& out)
{
    if (out.printed && !out.options.dry_run) pack_error("%s not written", shown(out.path).c_str());
    return pack_exit_failed;
}

int finish(archive_out& out, int refusals, std::array<std::uint8_t, 3> signature, std::uint32_t second_word)
{
    const std::string printable = shown(out.path);
    std::fputs(out.held.c_str(), out.lines);
    if (out.options.dry_run) {
        if (!out.options.quiet) {
            std::fprintf(out.lines, "dry run: %s not written; %d image%s refused\n", printable.c_str(), refusals,
                         refusals == 1 ? "" : "s");
        }
        return refusals == 0 ? pack_exit_ok : pack_exit_failed;
    }
    // The lines about the entries go out before the archive is put in place,
    // so that standard output failing stops the run with nothing written.
    if (std::fflush(out.lines) != 0 || std::ferror(out.lines)) {
        pack_error("can't write to standard output: %s not written", printable.c_str());
        return pack_exit_failed;
    }
    if (tex_sink_finish(out.sink, signature, second_word) != 0 || output_commit_path(out.target) != 0) {
        pack_error("%s: can't write it: %s", printable.c_str(), std::strerror(errno));
        return pack_exit_failed;
    }
    return pack_exit_ok;
}

// ---------------------------------------------------------------------------
// replace

// A name's stem: without its extension, when that is an image format's; ""
// when it has none.
std::string image_stem(const std::string& name)
{
    return image_format_for(name) == image_format::none ? "" : name.substr(0, name.rfind('.'));
}

// Finds the entry name each image patches: the one stored under its path
// with the most of its folders, or where none is, the one under that path and
// stem (sky.png patches sky.tga); two of one stem are refused, naming both.
// Checks that its entries hold images. The archive's names are read once,
// whatever the number of images.
int match_entries(const pack_source& source, std::vector<named_image>& images, const pack_options& options,
                  int& refusals)
{
    std::vector<std::vector<std::string>> candidates(images.size());
    std::set<std::string> wanted, wanted_stems;
    for (std::size_t k = 0; k < images.size(); ++k) {
        const named_image& n = images[k];
        candidates[k] = n.arg.name.empty() ? pack_candidate_names(n.arg.path) : std::vector<std::string>{n.arg.name};
        for (const std::string& c : candidates[k]) {
            wanted.insert(c);
            if (n.arg.name.empty() && !image_stem(c).empty()) wanted_stems.insert(image_stem(c));
        }
    }
    // Each name met: the entries from 1 on that hold it, with their types;
    // each stem met: the names that have it.
    std::map<std::string, std::vector<std::pair<std::uint32_t, unsigned>>> found;
    std::map<std::string, std::set<std::string>> by_stem;
    std::string first;
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < source.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(source.index, cursor, i);
        const std::string name = tex_entry_name(v.header);
        if (i == 0) {
            first = name;
            continue;
        }
        const std::string stem = image_stem(name);
        const bool by_its_stem = !stem.empty() && wanted_stems.count(stem);
        if (by_its_stem) by_stem[stem].insert(name);
        if (wanted.count(name) || by_its_stem) found[name].emplace_back(i, v.header.rep_t_id);
    }
    const std::string in = shown(source.path);
    for (std::size_t k = 0; k < images.size(); ++k) {
        named_image& n = images[k];
        for (const std::string& c : candidates[k]) {
            if (n.name.empty() && wanted.count(c) && found.count(c)) n.name = c;
        }
        bool ambiguous = false;
        for (const std::string& c : candidates[k]) {
            if (!n.name.empty() || ambiguous || !n.arg.name.empty()) break;
            const auto names = by_stem.find(image_stem(c));
            if (names == by_stem.end()) continue;
            if (names->second.size() == 1) {
                n.name = *names->second.begin();
            } else {
                pack_error("%s: %s has entries %s and %s of the same stem: name one with IMAGE=NAME",
                           shown(n.arg.path).c_str(), in.c_str(), shown(*names->second.begin()).c_str(),
                           shown(*std::next(names->second.begin())).c_str());
                ambiguous = true;
                ++refusals;
            }
        }
        const std::string wished = candidates[k].empty() ? n.arg.path : candidates[k].back();
        if (n.name.empty() && !ambiguous) {
            pack_error("%s: %s has no entry named %s%s", shown(n.arg.path).c_str(), in.c_str(), shown(wished).c_str(),
                       source.index.count > 0 && first == wished ? " but its first, which is always kept" : "");
            ++refusals;
        }
        for (const auto& [i, type] : n.name.empty() ? std::vector<std::pair<std::uint32_t, unsigned>>{} : found[n.name]) {
            if (type != 4 && type != 6 && !n.name.empty()) {
                pack_error("%s: entry %u of %s has type %u; only types 4 and 6 hold images", shown(n.arg.path).c_str(),
                           i, in.c_str(), type);
                n.name.clear();
                ++refusals;
            }
        }
        if (refusals > 0 && !options.dry_run) return -1;
    }
    return 0;
}

// The operands of create, with every FOLDER among them given as the images
// beneath it (PNG, TGA, BMP and PCX files, by their extension), named by
// their paths inside it, in sorted order so that the archive is the same on
// every run. -1 after saying why a folder can't be read.
int expand_folders(std::span<const std::string> operands, std::vector<named_image>& out)
{
    namespace fs = std::filesystem;
    for (const std::string& operand : operands) {
        const pack_image_arg arg = pack_parse_image_arg(operand);
        std::error_code ec;
        if (!arg.name.empty() || !fs::is_directory(pack_path(arg.path), ec)) {
            out.push_back({arg, {}});
            continue;
        }
        std::vector<std::pair<std::string, std::string>> found;  // (name, path)
        for (fs::recursive_directory_iterator it(pack_path(arg.path), ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code file_ec;
            if (!it->is_regular_file(file_ec) || image_format_for(pack_utf8(it->path().filename())) == image_format::none) continue;
            found.emplace_back(pack_utf8_generic(fs::relative(it->path(), pack_path(arg.path), file_ec)), pack_utf8(it->path()));
        }
        if (ec) {
            pack_error("%s: %s", shown(arg.path).c_str(), ec.message().c_str());
            return -1;
        }
        if (found.empty()) {
            pack_error("%s: no PNG, TGA, BMP or PCX image beneath it", shown(arg.path).c_str());
            return -1;
        }
        std::sort(found.begin(), found.end());
        for (auto& [name, path] : found) out.push_back({{std::move(path), std::move(name)}, {}});
    }
    return 0;
}

void warn_about_replacement(const pack_source& source, const tex_entry_view& v, const named_image& n,
                            const pack_image& image)
{
    const tex_entry_header& h = v.header;
    if (!image.has_alpha && pack_entry_has_alpha(source, v)) {
        pack_error("warning: %s: the file carries no alpha; entry %u had some and is stored fully opaque",
                   shown(n.arg.path).c_str(), v.index);
    }
    if (h.width != image.width || h.height != image.height) {
        pack_error("warning: %s: %u x %u pixels replace the %u x %u of entry %u", shown(n.arg.path).c_str(), image.width,
                   image.height, h.width, h.height, v.index);
    }
}

// The entry's 80 bytes as stored.
std::array<std::uint8_t, tex_entry_header_size> stored_header(const pack_source& source, const tex_entry_view& v)
{
    std::array<std::uint8_t, tex_entry_header_size> block{};
    tex_pread(source.index.fd, block, v.record.offset);
    return block;
}

int keep_entry(archive_out& out, const pack_source& source, const tex_entry_view& v, const std::string& what)
{
    const auto block = stored_header(source, v);
    if (add_entry(out, block, [&](tex_payload_out& p) {
            return pack_copy_payload(p, source.index.fd, v.payload_offset, v.record.compressed_size);
        }) != 0) {
        return -1;
    }
    const tex_entry_header& h = v.header;
    report_entry(out, v.index, tex_entry_name(h), h.rep_t_id, h.width, h.height, v.record.compressed_size, what);
    return 0;
}

// One entry of the archive written: its image put in, or kept as it is.
int replace_entry(archive_out& out, const pack_source& source, const tex_entry_view& v, const named_image* n,
                  int& refusals)
{
    if (!n) return keep_entry(out, source, v, "kept");
    pack_image image;
    if (load(*n, image) != 0) {
        ++refusals;
        return out.options.dry_run ? keep_entry(out, source, v, "kept") : -1;
    }
    if (pack_entry_holds(source, v, image)) return keep_entry(out, source, v, "unchanged in " + n->arg.path);
    warn_about_replacement(source, v, *n, image);
    const tex_entry_header& h = v.header;
    const std::string name = tex_entry_name(h);
    std::uint64_t size = 0;
    const auto block = tex_entry_header_block(name, image.width, image.height, h.rep_t_id);
    if (add_entry(out, block, [&](tex_payload_out& p) {
            const int rc = pack_write_image(p, image, h.rep_t_id);
            size = p.written;
            return rc;
        }) != 0) {
        return -1;
    }
    report_entry(out, v.index, name, h.rep_t_id, image.width, image.height, size, "replaced from " + n->arg.path);
    return 0;
}

}  // namespace

pack_image_arg pack_parse_image_arg(const std::string& operand)
{
    const std::size_t eq = operand.rfind('=');
    if (eq == std::string::npos || pack_path_exists(operand)) return {operand, ""};
    return {operand.substr(0, eq), operand.substr(eq + 1)};
}

std::vector<std::string> pack_candidate_names(const std::string& path)
{
    std::string p = path;
    while (p.starts_with("./")) p.erase(0, 2);
    std::vector<std::string> out;
    for (std::size_t from = 0;;) {
        if (from < p.size() && p[from] != '/') out.push_back(p.substr(from));
        const std::size_t slash = p.find('/', from);
        if (slash == std::string::npos) break;
        from = slash + 1;
    }
    return out;
}

int pack_create(const std::string& out_path, std::span<const std::string> operands, const pack_options& options)
{
    int refusals = 0;
    std::vector<named_image> images;
    if (expand_folders(operands, images) != 0 || check_output_is_no_image(out_path, images) != 0) {
        return pack_exit_failed;
    }
    for (named_image& n : images) {
        const std::string name = n.arg.name.empty() ? pack_entry_name(n.arg.path) : n.arg.name;
        if (pack_check_entry_name(n.arg.path, name) == 0) {
            n.name = name;
        } else {
            ++refusals;
            if (!options.dry_run) return pack_exit_failed;
        }
    }
    if (check_unique(images, options, refusals) != 0 || check_files(images, options, refusals) != 0) {
        return pack_exit_failed;
    }

    std::uint32_t count = 1;
    for (const named_image& n : images) count += n.name.empty() ? 0 : 1;
    archive_out out{options, out_path};
    out.inputs = inputs_of(images);
    out.hold_lines = true;
    if (const int rc = begin_output(out, count); rc != pack_exit_ok) return rc;
    // The extractor never writes an archive's first entry: an empty one
    // stands there so that every image comes back out.
    const auto placeholder = tex_entry_header_block("", 0, 0, 6);
    if (add_entry(out, placeholder, [](tex_payload_out&) { return 0; }) != 0) return abandon(out);
    report_entry(out, 0, "", 6, 0, 0, 0, "placeholder");
    for (const named_image& n : images) {
        if (n.name.empty()) continue;
        pack_image image;
        if (load(n, image) != 0) {
            ++refusals;
            if (!options.dry_run) return abandon(out);
            continue;
        }
        std::uint64_t size = 0;
        const auto block = tex_entry_header_block(n.name, image.width, image.height, options.type);
        if (add_entry(out, block, [&](tex_payload_out& p) {
                const int rc = pack_write_image(p, image, options.type);
                size = p.written;
                return rc;
            }) != 0) {
            return abandon(out);
        }
        report_entry(out, out.sink.added - 1, n.name, options.type, image.width, image.height, size,
                     "from " + n.arg.path);
    }
    // A dry run's refused images left their places empty.
    out.sink.count = out.sink.added;
    return finish(out, refusals, {'T', 'E', 'X'}, 0);
}

int pack_replace(const std::string& in_path, const std::string& out_path, std::span<const std::string> operands,
                 const pack_options& options)
{
    if (same_file(in_path, out_path)) {
        pack_error("%s: the output must be another file than the archive it patches", shown(out_path).c_str());
        return pack_exit_failed;
    }
    int refusals = 0;
    std::vector<named_image> images;
    for (const std::string& operand : operands) images.push_back({pack_parse_image_arg(operand), {}});
    if (check_output_is_no_image(out_path, images) != 0) return pack_exit_failed;
    pack_source source;
    if (pack_open_source(in_path, source) != 0) return pack_exit_failed;

    if (match_entries(source, images, options, refusals) != 0 || check_unique(images, options, refusals) != 0 ||
        check_files(images, options, refusals) != 0) {
        return pack_exit_failed;
    }
    std::map<std::string, const named_image*> by_name;
    for (const named_image& n : images) {
        if (!n.name.empty()) by_name[n.name] = &n;
    }

    archive_out out{options, out_path};
    out.inputs = inputs_of(images, in_path);
    if (const int rc = begin_output(out, source.index.count); rc != pack_exit_ok) return rc;
    // Entries are written in table order on this thread; the ones kept as
    // they are go through the entry job first, decoding only, so that those
    // nothing could extract are said. One at a time: one image in memory.
    const std::string in = shown(in_path);
    entry_options decode;
    decode.write = false;
    entry_walk decisions = entry_walk_start(source.index);
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    std::deque<std::pair<tex_entry_view, entry_plan>> prepared;
    bool failed = false;
    const output_root nowhere;
    run_entry_tasks(
        nowhere, source.index.count, 1,
        [&](std::uint32_t i, entry_task& task) {
            const tex_entry_view v = tex_read_entry(source.index, cursor, i);
            entry_plan plan = decide_entry(source.index, v, decode, decisions);
            const auto image = by_name.find(tex_entry_name(v.header));
            if (plan.step == entry_step::run && (i == 0 || image == by_name.end())) {
                task.request = plan.request;
                task.run = !failed;
            }
            prepared.emplace_back(v, std::move(plan));
        },
        [&](entry_task& task) {
            const auto [v, plan] = std::move(prepared.front());
            prepared.pop_front();
            if (failed) return;
            const auto image = by_name.find(tex_entry_name(v.header));
            const named_image* n = v.index > 0 && image != by_name.end() ? image->second : nullptr;
            if (replace_entry(out, source, v, n, refusals) != 0) {
                failed = true;
                return;
            }
            std::vector<tex_finding> why;
            if (plan.step == entry_step::refuse) why.push_back(plan.why);
            if (task.run && task.outcome.result != 0) why = task.outcome.findings;
            if (!n && !why.empty()) {
                std::string reasons;
                for (const std::string& r : finding_texts(why)) reasons += (reasons.empty() ? "" : "; ") + r;
                pack_error("warning: %s: entry %u (%s) kept as stored, though it can't be extracted: %s", in.c_str(),
                           v.index, shown(tex_entry_name(v.header)).c_str(), reasons.c_str());
            }
        });
    if (failed) return abandon(out);
    return finish(out, refusals, source.index.header.signature, source.index.header.second_word);
}
