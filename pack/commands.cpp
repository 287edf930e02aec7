// The two commands: `create` builds an archive from images, `replace` patches
// the entries of an existing one. Both load and check everything first, so an
// error writes nothing; with --dry-run they go on past a refusal, to say
// everything that would be refused, and write nothing either way.
#include "pack/pack.hpp"

#include <cstdio>
#include <map>

#include <sys/stat.h>

#include "extract/extract.hpp"

namespace {

struct named_image {
    pack_image_arg arg;
    std::string name;  // the stored name it is written or matched under
    pack_image image;
    bool loaded = false;
};

// The file's own extension picks the format a signature doesn't; a file named
// without one borrows its stored name's.
int load(named_image& n)
{
    const std::string& path = n.arg.path;
    if (image_format_for(pack_entry_name(path)) != image_format::none) return pack_load_image(path, n.image);
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (pack_read_image_file(path, bytes, reason) != 0 || pack_decode_image(bytes, n.name, n.image, reason) != 0) {
        pack_error("%s: %s", tex_printable_name(path).c_str(), reason.c_str());
        return -1;
    }
    return 0;
}

// Loads every image not refused yet; counts the refusals. Stops at the first
// one unless this is a dry run.
int load_images(std::vector<named_image>& images, const pack_options& options, int& refusals)
{
    for (named_image& n : images) {
        if (!n.name.empty()) {
            n.loaded = load(n) == 0;
            if (!n.loaded) ++refusals;
        }
        if (refusals > 0 && !options.dry_run) return -1;
    }
    return 0;
}

// The output must not replace one of the images it is made from.
int check_output_is_no_image(const std::string& out_path, std::span<const std::string> images)
{
    for (const std::string& operand : images) {
        if (pack_same_file(pack_parse_image_arg(operand).path, out_path)) {
            pack_error("%s: the output must be another file than the images it is made from", out_path.c_str());
            return -1;
        }
    }
    return 0;
}

void report_entry(const pack_options& options, std::size_t index, const tex_writer_entry& e, const std::string& what)
{
    if (options.quiet) return;
    std::printf("entry %zu: %-32s type %u  %5u x %-5u %10zu bytes  %s%s\n", index,
                tex_printable_name(e.name).c_str(), e.type, e.width, e.height, e.payload.size(),
                options.dry_run ? "would be " : "", what.c_str());
}

int finish(const std::string& out_path, const tex_writer_archive& archive, const pack_options& options,
           int refusals)
{
    if (options.dry_run) {
        if (!options.quiet) {
            std::printf("dry run: %s not written; %d image%s refused\n", out_path.c_str(), refusals,
                        refusals == 1 ? "" : "s");
        }
        return refusals == 0 ? 0 : -1;
    }
    // The lines about the entries go out before the archive is written, so
    // that standard output failing stops the run with nothing written.
    if (std::fflush(stdout) != 0) {
        pack_error("can't write to standard output: %s not written", out_path.c_str());
        return -1;
    }
    return pack_write_output(out_path, archive);
}

// Refuses two images stored or matched under one name.
int check_unique(std::vector<named_image>& images, const pack_options& options, int& refusals)
{
    std::map<std::string, std::string> seen;
    for (named_image& n : images) {
        if (n.name.empty()) continue;
        if (const auto [at, fresh] = seen.emplace(n.name, n.arg.path); !fresh) {
            pack_error("%s and %s would both be stored as %s", at->second.c_str(), n.arg.path.c_str(),
                       tex_printable_name(n.name).c_str());
            n.name.clear();
            ++refusals;
            if (!options.dry_run) return -1;
        }
    }
    return 0;
}

// The entries of the archive, after the first, stored under `name`.
bool names_an_entry(const pack_source& source, const std::string& name)
{
    for (std::size_t i = 1; i < source.entries.size(); ++i) {
        if (tex_entry_name(source.entries[i].header) == name) return true;
    }
    return false;
}

// Finds the entry name each image patches; checks that its entries hold images.
int match_entries(const pack_source& source, const std::string& in_path, std::vector<named_image>& images,
                  const pack_options& options, int& refusals)
{
    for (named_image& n : images) {
        const std::vector<std::string> candidates =
            n.arg.name.empty() ? pack_candidate_names(n.arg.path) : std::vector<std::string>{n.arg.name};
        for (const std::string& c : candidates) {
            if (n.name.empty() && names_an_entry(source, c)) n.name = c;
        }
        const std::string shown = candidates.empty() ? n.arg.path : candidates.back();
        if (n.name.empty()) {
            pack_error("%s: %s has no entry named %s%s", n.arg.path.c_str(), in_path.c_str(),
                       tex_printable_name(shown).c_str(),
                       !source.entries.empty() && tex_entry_name(source.entries[0].header) == shown
                           ? " but its first, which is always kept"
                           : "");
            ++refusals;
        }
        for (std::size_t i = 1; i < source.entries.size() && !n.name.empty(); ++i) {
            const tex_entry_header& h = source.entries[i].header;
            if (tex_entry_name(h) == n.name && h.rep_t_id != 4 && h.rep_t_id != 6) {
                pack_error("%s: entry %zu of %s has type %u; only types 4 and 6 hold images", n.arg.path.c_str(), i,
                           in_path.c_str(), h.rep_t_id);
                n.name.clear();
                ++refusals;
            }
        }
        if (refusals > 0 && !options.dry_run) return -1;
    }
    return 0;
}

void warn_about_replacement(std::size_t i, const pack_source_entry& entry, const named_image& n)
{
    const tex_entry_header& h = entry.header;
    if (!n.image.has_alpha && pack_entry_has_alpha(entry)) {
        pack_error("warning: %s: the file carries no alpha; entry %zu had some and is stored fully opaque",
                   n.arg.path.c_str(), i);
    }
    if (h.width != n.image.width || h.height != n.image.height) {
        pack_error("warning: %s: %u x %u pixels replace the %u x %u of entry %zu", n.arg.path.c_str(),
                   n.image.width, n.image.height, h.width, h.height, i);
    }
}

}  // namespace

pack_image_arg pack_parse_image_arg(const std::string& operand)
{
    const std::size_t eq = operand.rfind('=');
    struct stat st {};
    if (eq == std::string::npos || stat(operand.c_str(), &st) == 0) return {operand, ""};
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
    if (check_output_is_no_image(out_path, operands) != 0) return -1;
    int refusals = 0;
    std::vector<named_image> images;
    for (const std::string& operand : operands) {
        named_image n{pack_parse_image_arg(operand), {}, {}, false};
        const std::string name = n.arg.name.empty() ? pack_entry_name(n.arg.path) : n.arg.name;
        if (pack_check_entry_name(n.arg.path, name) == 0) {
            n.name = name;
        } else {
            ++refusals;
            if (!options.dry_run) return -1;
        }
        images.push_back(std::move(n));
    }
    if (check_unique(images, options, refusals) != 0 || load_images(images, options, refusals) != 0) return -1;

    tex_writer_archive archive;
    // The extractor never writes an archive's first entry: an empty one
    // stands there so that every image comes back out.
    archive.entries.push_back(tex_placeholder_entry());
    report_entry(options, 0, archive.entries.back(), "placeholder");
    for (const named_image& n : images) {
        if (!n.loaded) continue;
        archive.entries.push_back(pack_image_entry(n.name, n.image, options.type));
        report_entry(options, archive.entries.size() - 1, archive.entries.back(), "from " + n.arg.path);
    }
    return finish(out_path, archive, options, refusals);
}

int pack_replace(const std::string& in_path, const std::string& out_path, std::span<const std::string> operands,
                 const pack_options& options)
{
    if (pack_same_file(in_path, out_path)) {
        pack_error("%s: the output must be another file than the archive it patches", out_path.c_str());
        return -1;
    }
    if (check_output_is_no_image(out_path, operands) != 0) return -1;
    pack_source source;
    if (pack_read_source(in_path, source) != 0) return -1;

    int refusals = 0;
    std::vector<named_image> images;
    for (const std::string& operand : operands) images.push_back({pack_parse_image_arg(operand), {}, {}, false});
    if (match_entries(source, in_path, images, options, refusals) != 0 ||
        check_unique(images, options, refusals) != 0 || load_images(images, options, refusals) != 0) {
        return -1;
    }

    tex_writer_archive archive;
    archive.signature = source.header.signature;
    archive.second_word = source.header.second_word;
    for (std::size_t i = 0; i < source.entries.size(); ++i) {
        pack_source_entry& entry = source.entries[i];
        const std::string name = tex_entry_name(entry.header);
        const named_image* image = nullptr;
        for (const named_image& n : images) {
            if (i > 0 && n.loaded && n.name == name) image = &n;
        }
        if (image && pack_entry_holds(entry, image->image)) {
            archive.entries.push_back(pack_kept_entry(std::move(entry)));
            report_entry(options, i, archive.entries.back(), "unchanged in " + image->arg.path);
        } else if (image) {
            warn_about_replacement(i, entry, *image);
            archive.entries.push_back(pack_image_entry(name, image->image, entry.header.rep_t_id));
            report_entry(options, i, archive.entries.back(), "replaced from " + image->arg.path);
        } else {
            archive.entries.push_back(pack_kept_entry(std::move(entry)));
            report_entry(options, i, archive.entries.back(), "kept");
        }
    }
    return finish(out_path, archive, options, refusals);
}
