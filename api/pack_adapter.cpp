// The API's create and replace, carried out by the packer: the caller's images
// (files, or RGBA8 pixels) made into a request of pack/, its result's entries
// reported, its first refusal made into an error value in the packer's words.
#include "api/pack_adapter.hpp"

#include <cerrno>
#include <map>

#include "api/internal.hpp"
#include "pack/pack.hpp"
#include "words/pack_words.hpp"
#include "words/words.hpp"

namespace {

using nk = pack_note_kind;

bool is_warning(nk kind)
{
    return kind == nk::alpha_dropped || kind == nk::size_changed || kind == nk::kept_undecodable ||
           kind == nk::archive_replaced || kind == nk::file_skipped || kind == nk::folder_skipped ||
           kind == nk::nothing_changed || kind == nk::stored_as_png;
}

std::uint32_t error_kind_of(const pack_note& n)
{
    switch (n.kind) {
    case nk::image_unreadable: return n.error ? MORVEX_TEX_ERROR_SYSTEM : MORVEX_TEX_ERROR_IMAGE;
    case nk::image_undecodable:
    case nk::folder_unreadable:
    case nk::folder_empty: return MORVEX_TEX_ERROR_IMAGE;
    case nk::name_empty:
    case nk::name_too_long:
    case nk::name_refused:
    case nk::name_no_format:
    case nk::name_not_plain:
    case nk::names_collide:
    case nk::no_entry:
    case nk::stems_ambiguous:
    case nk::entry_not_image:
    case nk::name_exists:
    case nk::no_entry_matches:
    case nk::no_entry_named: return MORVEX_TEX_ERROR_NAME;
    case nk::type_not_image:
    case nk::level_not_offered: return MORVEX_TEX_ERROR_ARGUMENT;
    case nk::output_is_image:
    case nk::output_refused:
    case nk::archive_exists: return MORVEX_TEX_ERROR_REFUSED;
    case nk::source_no_memory: return MORVEX_TEX_ERROR_NO_MEMORY;
    case nk::source_not_tex: return MORVEX_TEX_ERROR_NOT_ARCHIVE;
    case nk::source_finding:
    case nk::source_findings_more: return MORVEX_TEX_ERROR_DAMAGED;
    case nk::output_unopened:
    case nk::write_failed:
    case nk::archive_changed:
    case nk::source_unopened: return n.error == ENOMEM ? MORVEX_TEX_ERROR_NO_MEMORY : MORVEX_TEX_ERROR_SYSTEM;
    case nk::too_many_entries:
    case nk::too_large: return MORVEX_TEX_ERROR_SYSTEM;
    case nk::stopped: return MORVEX_TEX_ERROR_STOPPED;
    case nk::alpha_dropped:
    case nk::size_changed:
    case nk::kept_undecodable:
    case nk::archive_replaced:
    case nk::file_skipped:
    case nk::folder_skipped:
    case nk::nothing_changed:
    case nk::stored_as_png: break;
    }
    return MORVEX_TEX_OK;
}

std::uint32_t action_of(pack_fate fate)
{
    switch (fate) {
    case pack_fate::placeholder: return MORVEX_TEX_PACK_PLACEHOLDER;
    case pack_fate::added: return MORVEX_TEX_PACK_ADDED;
    case pack_fate::replaced: return MORVEX_TEX_PACK_REPLACED;
    case pack_fate::unchanged: return MORVEX_TEX_PACK_UNCHANGED;
    case pack_fate::kept: return MORVEX_TEX_PACK_KEPT;
    case pack_fate::deleted: return MORVEX_TEX_PACK_DELETED;
    case pack_fate::renamed: return MORVEX_TEX_PACK_RENAMED;
    }
    return 0;
}

// The caller's RGBA8 pixels as a decoded image, alpha and all; or its RGB8
// pixels as an image without alpha, as the decoders make a BMP file's. -1
// with the refusal when its size is none an entry can hold.
int image_of(const morvex_tex_pixels& p, bool rgb, pack_image& out, std::string& reason)
{
    if (pack_start_image(p.width, p.height, out, reason) != 0) return -1;
    for (std::uint32_t y = 0; y < p.height; ++y) {
        const std::uint8_t* row = p.rgba + std::size_t{y} * p.stride;
        std::uint32_t* to = out.argb.data() + std::size_t{y} * p.width;
        if (rgb) {
            for (std::uint32_t x = 0; x < p.width; ++x) {
                const std::uint8_t* px = row + 3 * std::size_t{x};
                to[x] = 0xFF000000u | std::uint32_t{px[0]} << 16 | std::uint32_t{px[1]} << 8 | px[2];
            }
        } else {
            for (std::uint32_t x = 0; x < p.width; ++x) to[x] = api::argb_of(row + 4 * std::size_t{x});
        }
    }
    out.has_alpha = !rgb;
    return 0;
}

int carry_out(const api_pack_request& r, const api_pack_report_fn& report, api_pack_failure& failure)
{
    const bool replace = r.command == api_pack_command::replace || r.command == api_pack_command::update;
    pack_request request;
    request.output = r.out_path;
    request.source = r.in_path;
    request.patterns = r.patterns;
    request.excluded = r.excluded;
    request.ignore_case = r.ignore_case;
    request.old_name = r.old_name;
    request.new_name = r.new_name;
    request.type = r.type;
    request.force = r.force;
    if (r.level != 0) request.level = r.level;
    request.workers = r.workers;
    request.stop = r.stop;
    // Images in memory are held here for the run; they are named in notes by
    // their stored name, or by their place among the images.
    std::vector<pack_image> held(r.images.size());
    std::map<std::string, std::size_t> by_path;
    for (std::size_t n = 0; n < r.images.size(); ++n) {
        const api_pack_image& img = r.images[n];
        pack_image_arg arg{img.path, img.name, nullptr};
        if (img.pixels) {
            arg.path = img.name.empty() ? format_text("image %zu", n) : img.name;
            // Matched by the name as the packer matches a file by its path.
            if (replace && img.name_as_path) arg.name.clear();
            std::string reason;
            if (image_of(*img.pixels, img.rgb, held[n], reason) != 0) {
                failure = {MORVEX_TEX_ERROR_IMAGE, 0, arg.path + ": " + reason, std::nullopt, n};
                return -1;
            }
            arg.pixels = &held[n];
        }
        by_path.emplace(arg.path, n);
        request.images.push_back(std::move(arg));
    }
    pack_result result;
    int rc = -1;
    switch (r.command) {
    case api_pack_command::create: rc = pack_create(request, result); break;
    case api_pack_command::replace: rc = pack_replace(request, result); break;
    case api_pack_command::add: rc = pack_add(request, result); break;
    case api_pack_command::remove: rc = pack_delete(request, result); break;
    case api_pack_command::rename: rc = pack_rename(request, result); break;
    case api_pack_command::update: rc = pack_update(request, result); break;
    }
    for (const pack_note& note : result.notes) {
        if (is_warning(note.kind)) continue;
        failure.kind = error_kind_of(note);
        failure.error = note.error;
        failure.message = pack_note_text(note);
        if (note.kind == nk::source_finding && !note.findings.empty()) failure.finding = note.findings.front();
        if (const auto at = by_path.find(note.path); at != by_path.end()) failure.image = at->second;
        return -1;
    }
    if (rc != 0) {
        failure = {MORVEX_TEX_ERROR_SYSTEM, EIO, r.out_path + ": not written", std::nullopt, std::nullopt};
        return -1;
    }
    if (pack_place(result) != 0) {
        const int error = errno;
        failure = {error == ENOMEM ? MORVEX_TEX_ERROR_NO_MEMORY : MORVEX_TEX_ERROR_SYSTEM, error,
                   pack_note_text(result.notes.back()), std::nullopt, std::nullopt};
        return -1;
    }
    for (const pack_entry& e : result.entries) {
        api_pack_entry out;
        out.index = e.index;
        out.action = action_of(e.fate);
        out.type = e.type;
        out.width = e.width;
        out.height = e.height;
        out.payload = e.payload_size;
        out.name = e.name;
        if (const auto at = by_path.find(e.from); at != by_path.end()) out.source = static_cast<std::uint32_t>(at->second);
        for (const pack_note& note : result.notes) {
            if (!note.entry || *note.entry != e.index) continue;
            if (note.kind == nk::alpha_dropped) out.warnings |= MORVEX_TEX_PACK_ALPHA_LOST;
            if (note.kind == nk::size_changed) out.warnings |= MORVEX_TEX_PACK_RESIZED;
        }
        report(out);
    }
    return 0;
}

}  // namespace

int api_pack_run(const api_pack_request& request, const api_pack_report_fn& report, api_pack_failure& failure)
{
    return carry_out(request, report, failure);
}
