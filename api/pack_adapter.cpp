// The packer's two commands as requests, carried out with pack/'s building
// blocks and the output layer (why here, and for how long: pack_adapter.hpp).
// The checks, their order and their words are the packer's.
#include "api/pack_adapter.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "api/internal.hpp"
#include "app/words.hpp"
#include "pack/pack.hpp"

namespace {

int refuse(pack_failure& f, std::uint32_t kind, int error, std::string message, std::optional<std::size_t> image = {})
{
    f.kind = kind;
    f.error = error;
    f.message = std::move(message);
    f.image = image;
    return -1;
}

int system_failure(pack_failure& f, const std::string& what)
{
    const int error = errno ? errno : EIO;
    return refuse(f, error == ENOMEM ? MORVEX_TEX_ERROR_NO_MEMORY : MORVEX_TEX_ERROR_SYSTEM, error,
                  what + ": " + std::strerror(error));
}

// How an image is named in messages: its path, or its place among the images.
std::string shown(const pack_request& r, std::size_t n)
{
    return r.images[n].path.empty() ? format_text("image %zu", n) : r.images[n].path;
}

// pack_check_entry_name's checks, its refusal returned instead of printed.
int check_name(const std::string& who, const std::string& name, pack_failure& f, std::size_t n)
{
    std::string why;
    if (name.empty()) {
        why = who + ": no file name to store it under";
    } else if (name.size() > tex_name_size) {
        why = format_text("%s: its name is %zu bytes long; an entry's name holds at most 32", who.c_str(), name.size());
    } else if (const name_problem p = output_name_problem(name); p != name_problem::none) {
        why = who + ": can't be stored as " + name + ": " + name_problem_text(p, false);
    } else if (image_format_for(name) == image_format::none) {
        why = who + ": unknown image format (the name must end in .png, .tga, .bmp or .pcx)";
    }
    return why.empty() ? 0 : refuse(f, MORVEX_TEX_ERROR_NAME, 0, why, n);
}

// The image's pixels: its file read by the packer's decoders (the file's own
// extension picks the format a signature doesn't; a file without one borrows
// its stored name's), or the caller's RGBA8 pixels with their alpha.
int load(const pack_request& r, std::size_t n, const std::string& stored, pack_image& out, pack_failure& f)
{
    const pack_request_image& img = r.images[n];
    std::string reason;
    if (img.path.empty()) {
        const morvex_tex_pixels& p = *img.pixels;
        if (pack_start_image(p.width, p.height, out, reason) != 0) {
            return refuse(f, MORVEX_TEX_ERROR_IMAGE, 0, shown(r, n) + ": " + reason, n);
        }
        for (std::uint32_t y = 0; y < p.height; ++y) {
            for (std::uint32_t x = 0; x < p.width; ++x) {
                out.argb[std::size_t{y} * p.width + x] = api::argb_of(p.rgba + std::size_t{y} * p.stride + 4 * std::size_t{x});
            }
        }
        out.has_alpha = true;
        return 0;
    }
    std::vector<std::uint8_t> bytes;
    const std::string& format_name = image_format_for(pack_entry_name(img.path)) != image_format::none ? img.path : stored;
    if (pack_read_image_file(img.path, bytes, reason) != 0 || pack_decode_image(bytes, format_name, out, reason) != 0) {
        return refuse(f, MORVEX_TEX_ERROR_IMAGE, 0, img.path + ": " + reason, n);
    }
    return 0;
}

// Before anything is written: image files that can't be images, two images
// under one name, an output that is one of the images. Their identities,
// which the output must never be, in `inputs`.
int check_images(const pack_request& r, const std::vector<std::string>& names, std::vector<file_identity>& inputs,
                 pack_failure& f)
{
    std::map<std::string, std::size_t> seen;
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (const auto [at, fresh] = seen.emplace(names[n], n); !fresh) {
            return refuse(f, MORVEX_TEX_ERROR_NAME, 0,
                          shown(r, at->second) + " and " + shown(r, n) + " would both be stored as " + names[n], n);
        }
    }
    for (std::size_t n = 0; n < r.images.size(); ++n) {
        const std::string& path = r.images[n].path;
        if (path.empty()) continue;
        if (same_file(path, r.out_path)) {
            return refuse(f, MORVEX_TEX_ERROR_REFUSED, 0,
                          r.out_path + ": the output must be another file than the images it is made from", n);
        }
        std::string reason;
        if (pack_check_image_file(path, reason) != 0) return refuse(f, MORVEX_TEX_ERROR_IMAGE, 0, path + ": " + reason, n);
        if (file_identity id; file_identity_of(path, id) == 0) inputs.push_back(id);
    }
    return 0;
}

struct archive_out {
    path_output target;
    tex_archive_sink sink;
};

int begin(const pack_request& r, std::vector<file_identity> inputs, std::uint32_t count, archive_out& out, pack_failure& f)
{
    output_policy policy;
    policy.kind = output_kind::archive;
    policy.force = r.force;
    policy.inputs = std::move(inputs);
    path_refusal why = path_refusal::none;
    errno = 0;
    if (output_begin_path(r.out_path, policy, out.target, why) != 0) {
        const std::string& p = r.out_path;
        switch (why) {
        case path_refusal::none: return system_failure(f, p + ": can't create it");
        case path_refusal::input:
            return refuse(f, MORVEX_TEX_ERROR_REFUSED, 0, p + ": the output must be another file than the files it is made from");
        case path_refusal::other_kind:
            return refuse(f, MORVEX_TEX_ERROR_REFUSED, 0, p + ": exists and is not a TEX archive: not replaced (forcing replaces it)");
        case path_refusal::image_name:
            return refuse(f, MORVEX_TEX_ERROR_REFUSED, 0, p + ": named like an image: no archive is written there (forcing writes it)");
        case path_refusal::folder: return refuse(f, MORVEX_TEX_ERROR_REFUSED, EISDIR, p + ": is a folder");
        case path_refusal::terminal:
            return refuse(f, MORVEX_TEX_ERROR_REFUSED, 0, p + ": standard output is a terminal: no archive is written there");
        }
    }
    if (tex_sink_begin(out.sink, out.target.file.fd, count) != 0) {
        return refuse(f, MORVEX_TEX_ERROR_SYSTEM, EFBIG,
                      format_text("%s: %u entries are more than a TEX archive can address", r.out_path.c_str(), count));
    }
    return 0;
}

int add(archive_out& out, const pack_request& r, std::span<const std::uint8_t, tex_entry_header_size> header,
        const std::function<int(tex_payload_out&)>& payload, pack_failure& f)
{
    errno = 0;
    if (tex_sink_add(out.sink, header, payload) == 0) return 0;
    if (errno == EFBIG) {
        return refuse(f, MORVEX_TEX_ERROR_SYSTEM, EFBIG, r.out_path + ": the entries add up to more than a TEX archive can address");
    }
    return system_failure(f, r.out_path + ": can't write it");
}

int finish(archive_out& out, const pack_request& r, std::array<std::uint8_t, 3> signature, std::uint32_t second_word,
           pack_failure& f)
{
    errno = 0;
    if (tex_sink_finish(out.sink, signature, second_word) != 0 || output_commit_path(out.target) != 0) {
        return system_failure(f, r.out_path + ": can't write it");
    }
    return 0;
}

int write_image_entry(archive_out& out, const pack_request& r, const std::string& name, const pack_image& image,
                      std::uint8_t type, std::uint64_t& size, pack_failure& f)
{
    const auto block = tex_entry_header_block(name, image.width, image.height, type);
    return add(out, r, block, [&](tex_payload_out& p) {
        const int rc = pack_write_image(p, image, type);
        size = p.written;
        return rc;
    }, f);
}

// ---------------------------------------------------------------------------
// replace

std::string image_stem(const std::string& name)
{
    return image_format_for(name) == image_format::none ? "" : name.substr(0, name.rfind('.'));
}

// pack_open_source's checks: the first problem that keeps an entry from
// being copied as it is (anything but an unknown type) refuses the archive.
int open_source(const pack_request& r, pack_source& src, pack_failure& f)
{
    src.path = r.in_path;
    errno = 0;
    if (tex_open_archive(r.in_path.c_str(), src.file) != 0) return system_failure(f, r.in_path);
    if (tex_open_index(src.file.fd, src.file.size, src.index) != 0) {
        return refuse(f, MORVEX_TEX_ERROR_NO_MEMORY, ENOMEM,
                      format_text("%s: can't hold the order of its %u table records in memory", r.in_path.c_str(), src.index.count));
    }
    if (!src.index.recognised) return refuse(f, MORVEX_TEX_ERROR_NOT_ARCHIVE, 0, r.in_path + ": not a TEX version 3 archive");
    const auto damaged = [&](const std::string& where, const tex_finding& found) {
        f.finding = found;
        return refuse(f, MORVEX_TEX_ERROR_DAMAGED, 0,
                      r.in_path + ": " + where + finding_text(found) + ": it can't be kept byte for byte");
    };
    for (const tex_finding& found : tex_archive_findings(src.index, src.file.cut_at_limit)) return damaged("", found);
    tex_table_cursor cursor{&src.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < src.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(src.index, cursor, i);
        for (const tex_finding& found : tex_entry_findings(src.index, v)) {
            if (found.kind == tex_finding_kind::unknown_type) continue;
            const std::string name = v.state == tex_entry_state::ok ? tex_entry_name(v.header) : "-";
            return damaged(format_text("entry %u (%s): ", i, name.c_str()), found);
        }
    }
    return 0;
}

// The entry each image patches: the name given, or the one stored under its
// path with the most of its folders, or where none is, the only one of that
// path and stem (sky.png patches sky.tga). Entries from 1 on, of type 4 or 6.
int match_entries(const pack_request& r, const pack_source& src, std::vector<std::string>& names, pack_failure& f)
{
    std::map<std::string, std::vector<std::pair<std::uint32_t, unsigned>>> found;  // name: (entry, type)
    std::map<std::string, std::set<std::string>> by_stem;
    std::string first;
    tex_table_cursor cursor{&src.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < src.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(src.index, cursor, i);
        const std::string name = tex_entry_name(v.header);
        if (i == 0) {
            first = name;
            continue;
        }
        found[name].emplace_back(i, v.header.rep_t_id);
        if (const std::string stem = image_stem(name); !stem.empty()) by_stem[stem].insert(name);
    }
    for (std::size_t n = 0; n < r.images.size(); ++n) {
        const pack_request_image& img = r.images[n];
        if (img.name.empty() && img.path.empty()) {
            return refuse(f, MORVEX_TEX_ERROR_NAME, 0, shown(r, n) + ": pixels need the name of the entry they patch", n);
        }
        const std::vector<std::string> candidates = img.name.empty() ? pack_candidate_names(img.path) : std::vector{img.name};
        std::string& chosen = names[n];
        for (const std::string& c : candidates) {
            if (chosen.empty() && found.count(c)) chosen = c;
        }
        for (const std::string& c : candidates) {
            if (!chosen.empty() || !img.name.empty()) break;
            const auto same_stem = by_stem.find(image_stem(c));
            if (image_stem(c).empty() || same_stem == by_stem.end()) continue;
            if (same_stem->second.size() > 1) {
                return refuse(f, MORVEX_TEX_ERROR_NAME, 0,
                              shown(r, n) + ": " + r.in_path + " has entries " + *same_stem->second.begin() + " and " +
                                  *std::next(same_stem->second.begin()) + " of the same stem: name the one it patches",
                              n);
            }
            chosen = *same_stem->second.begin();
        }
        if (chosen.empty()) {
            const std::string wished = candidates.empty() ? img.path : candidates.back();
            return refuse(f, MORVEX_TEX_ERROR_NAME, 0,
                          shown(r, n) + ": " + r.in_path + " has no entry named " + wished +
                              (src.index.count > 0 && first == wished ? " but its first, which is always kept" : ""),
                          n);
        }
        for (const auto& [i, type] : found[chosen]) {
            if (type != 4 && type != 6) {
                return refuse(f, MORVEX_TEX_ERROR_NAME, 0,
                              format_text("%s: entry %u of %s has type %u; only types 4 and 6 hold images",
                                          shown(r, n).c_str(), i, r.in_path.c_str(), type),
                              n);
            }
        }
    }
    return 0;
}

// The entry as stored: its 80 bytes and its payload, copied.
int keep_entry(archive_out& out, const pack_request& r, const pack_source& src, const tex_entry_view& v, pack_failure& f)
{
    std::array<std::uint8_t, tex_entry_header_size> block{};
    tex_pread(src.index.fd, block, v.record.offset);
    return add(out, r, block, [&](tex_payload_out& p) {
        return pack_copy_payload(p, src.index.fd, v.payload_offset, v.record.compressed_size);
    }, f);
}

}  // namespace

int pack_request_create(const pack_request& r, const pack_report_fn& report, pack_failure& f)
{
    std::vector<std::string> names(r.images.size());
    for (std::size_t n = 0; n < r.images.size(); ++n) {
        const pack_request_image& img = r.images[n];
        names[n] = !img.name.empty() ? img.name : img.path.empty() ? "" : pack_entry_name(img.path);
        if (check_name(shown(r, n), names[n], f, n) != 0) return -1;
    }
    std::vector<file_identity> inputs;
    if (check_images(r, names, inputs, f) != 0) return -1;
    archive_out out;
    if (begin(r, std::move(inputs), static_cast<std::uint32_t>(r.images.size() + 1), out, f) != 0) return -1;
    // The extractor never writes an archive's first entry: an empty one
    // stands there so that every image comes back out.
    const auto placeholder = tex_entry_header_block("", 0, 0, 6);
    if (add(out, r, placeholder, [](tex_payload_out&) { return 0; }, f) != 0) return -1;
    if (report) report({0, MORVEX_TEX_PACK_PLACEHOLDER, 6, 0, 0, 0, 0, 0, ""});
    for (std::size_t n = 0; n < r.images.size(); ++n) {
        pack_image image;
        std::uint64_t size = 0;
        if (load(r, n, names[n], image, f) != 0 || write_image_entry(out, r, names[n], image, r.type, size, f) != 0) return -1;
        if (report) {
            report({out.sink.added - 1, MORVEX_TEX_PACK_ADDED, r.type, image.width, image.height, size, 0,
                    static_cast<std::uint32_t>(n), names[n]});
        }
    }
    return finish(out, r, {'T', 'E', 'X'}, 0, f);
}

int pack_request_replace(const pack_request& r, const pack_report_fn& report, pack_failure& f)
{
    if (same_file(r.in_path, r.out_path)) {
        return refuse(f, MORVEX_TEX_ERROR_REFUSED, 0, r.out_path + ": the output must be another file than the archive it patches");
    }
    pack_source src;
    if (open_source(r, src, f) != 0) return -1;
    std::vector<std::string> names(r.images.size());
    if (match_entries(r, src, names, f) != 0) return -1;
    std::vector<file_identity> inputs;
    if (check_images(r, names, inputs, f) != 0) return -1;
    if (file_identity id; file_identity_of(r.in_path, id) == 0) inputs.push_back(id);
    std::map<std::string, std::size_t> by_name;
    for (std::size_t n = 0; n < names.size(); ++n) by_name[names[n]] = n;

    archive_out out;
    if (begin(r, std::move(inputs), src.index.count, out, f) != 0) return -1;
    tex_table_cursor cursor{&src.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < src.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(src.index, cursor, i);
        const tex_entry_header& h = v.header;
        const std::string name = tex_entry_name(h);
        const auto image_of = i > 0 ? by_name.find(name) : by_name.end();
        pack_entry_report line{i, MORVEX_TEX_PACK_KEPT, h.rep_t_id, h.width, h.height, v.record.compressed_size, 0, 0, name};
        pack_image image;
        if (image_of != by_name.end()) {
            line.source = static_cast<std::uint32_t>(image_of->second);
            if (load(r, image_of->second, name, image, f) != 0) return -1;
            line.action = pack_entry_holds(src, v, image) ? MORVEX_TEX_PACK_UNCHANGED : MORVEX_TEX_PACK_REPLACED;
        }
        if (line.action != MORVEX_TEX_PACK_REPLACED) {
            if (keep_entry(out, r, src, v, f) != 0) return -1;
        } else {
            if (!image.has_alpha && pack_entry_has_alpha(src, v)) line.warnings |= MORVEX_TEX_PACK_ALPHA_LOST;
            if (h.width != image.width || h.height != image.height) line.warnings |= MORVEX_TEX_PACK_RESIZED;
            if (write_image_entry(out, r, name, image, h.rep_t_id, line.payload, f) != 0) return -1;
            line.width = image.width;
            line.height = image.height;
        }
        if (report) report(line);
    }
    return finish(out, r, src.index.header.signature, src.index.header.second_word, f);
}
