// The two commands: `create` builds an archive from images, `replace` patches
// the entries of an existing one. Both load and check everything first, so an
// error writes nothing.
#include "pack/pack.hpp"

#include <cstdio>
#include <map>

#include "extract/extract.hpp"

namespace {

struct named_image {
    std::string path;
    std::string name;
    pack_image image;
};

// Checks every name, refuses two images stored under one name, and loads them.
int load_images(std::span<const std::string> paths, std::vector<named_image>& out)
{
    std::map<std::string, std::string> seen;
    for (const std::string& path : paths) {
        const std::string name = pack_entry_name(path);
        if (pack_check_entry_name(path, name) != 0) return -1;
        if (const auto [at, fresh] = seen.emplace(name, path); !fresh) {
            pack_error("%s and %s would both be stored as %s", at->second.c_str(), path.c_str(), name.c_str());
            return -1;
        }
    }
    if (start_image_library() != 0) {
        pack_error("the graphics library can't start");
        return -1;
    }
    out.reserve(paths.size());
    for (const std::string& path : paths) {
        named_image n{path, pack_entry_name(path), {}};
        if (pack_load_image(path, n.image) != 0) return -1;
        out.push_back(std::move(n));
    }
    return 0;
}

// The output must not replace one of the images it is made from.
int check_output_is_no_image(const std::string& out_path, std::span<const std::string> images)
{
    for (const std::string& path : images) {
        if (pack_same_file(path, out_path)) {
            pack_error("%s: the output must be another file than the images it is made from", out_path.c_str());
            return -1;
        }
    }
    return 0;
}

void report_entry(const pack_options& options, std::size_t index, const tex_writer_entry& e, const char* what)
{
    if (options.quiet) return;
    std::printf("entry %zu: %-32s type %u  %5u x %-5u %10zu bytes  %s\n", index,
                tex_printable_name(e.name).c_str(), e.type, e.width, e.height, e.payload.size(), what);
}

}  // namespace

int pack_create(const std::string& out_path, std::span<const std::string> images, const pack_options& options)
{
    if (check_output_is_no_image(out_path, images) != 0) return -1;
    std::vector<named_image> loaded;
    if (load_images(images, loaded) != 0) return -1;

    tex_writer_archive archive;
    // The extractor never writes an archive's first entry: an empty one
    // stands there so that every image comes back out.
    archive.entries.push_back(tex_placeholder_entry());
    report_entry(options, 0, archive.entries.back(), "placeholder");
    for (const named_image& n : loaded) {
        archive.entries.push_back(pack_image_entry(n.name, n.image, options.type));
        report_entry(options, archive.entries.size() - 1, archive.entries.back(), ("from " + n.path).c_str());
    }
    return pack_write_output(out_path, archive);
}

int pack_replace(const std::string& in_path, const std::string& out_path, std::span<const std::string> images,
                 const pack_options& options)
{
    if (pack_same_file(in_path, out_path)) {
        pack_error("%s: the output must be another file than the archive it patches", out_path.c_str());
        return -1;
    }
    if (check_output_is_no_image(out_path, images) != 0) return -1;
    pack_source source;
    if (pack_read_source(in_path, source) != 0) return -1;

    // Every image must name an entry after the first, which is kept as it is.
    for (const std::string& path : images) {
        const std::string name = pack_entry_name(path);
        bool found = false;
        for (std::size_t i = 1; i < source.entries.size() && !found; ++i) {
            found = tex_entry_name(source.entries[i].header) == name;
        }
        if (!found) {
            pack_error("%s: %s has no entry named %s%s", path.c_str(), in_path.c_str(),
                       tex_printable_name(name).c_str(),
                       !source.entries.empty() && tex_entry_name(source.entries[0].header) == name
                           ? " but its first, which is always kept"
                           : "");
            return -1;
        }
    }
    for (std::size_t i = 1; i < source.entries.size(); ++i) {
        const tex_entry_header& h = source.entries[i].header;
        const std::string name = tex_entry_name(h);
        for (const std::string& path : images) {
            if (pack_entry_name(path) == name && h.rep_t_id != 4 && h.rep_t_id != 6) {
                pack_error("%s: entry %zu of %s has type %u; only types 4 and 6 hold images", path.c_str(), i,
                           in_path.c_str(), h.rep_t_id);
                return -1;
            }
        }
    }
    std::vector<named_image> loaded;
    if (load_images(images, loaded) != 0) return -1;

    tex_writer_archive archive;
    archive.signature = source.header.signature;
    archive.second_word = source.header.second_word;
    for (std::size_t i = 0; i < source.entries.size(); ++i) {
        pack_source_entry& entry = source.entries[i];
        const std::string name = tex_entry_name(entry.header);
        const named_image* image = nullptr;
        for (const named_image& n : loaded) {
            if (i > 0 && n.name == name) image = &n;
        }
        if (image && pack_entry_holds(entry, image->image)) {
            archive.entries.push_back(pack_kept_entry(std::move(entry)));
            report_entry(options, i, archive.entries.back(), ("unchanged in " + image->path).c_str());
        } else if (image) {
            archive.entries.push_back(pack_image_entry(name, image->image, entry.header.rep_t_id));
            report_entry(options, i, archive.entries.back(), ("replaced from " + image->path).c_str());
        } else {
            archive.entries.push_back(pack_kept_entry(std::move(entry)));
            report_entry(options, i, archive.entries.back(), "kept");
        }
    }
    return pack_write_output(out_path, archive);
}
