// What create and replace share: notes, the checks made before anything is
// written, and the archive being written, entry by entry.
#include "pack/run.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "files/input.hpp"

pack_note& add_note(pack_run& run, pack_note_kind kind, const std::string& path)
{
    pack_note n;
    n.kind = kind;
    n.path = path;
    add_note(run, std::move(n));
    return run.result.notes.back();
}

void add_note(pack_run& run, pack_note note)
{
    note.after = static_cast<std::uint32_t>(run.result.entries.size());
    if (pack_note_refuses_image(note.kind)) ++run.result.images_refused;
    run.result.notes.push_back(std::move(note));
}

bool pack_note_refuses_image(pack_note_kind kind)
{
    using k = pack_note_kind;
    switch (kind) {
    case k::image_unreadable:
    case k::image_undecodable:
    case k::name_empty:
    case k::name_too_long:
    case k::name_refused:
    case k::name_no_format:
    case k::name_not_plain:
    case k::names_collide:
    case k::no_entry:
    case k::stems_ambiguous:
    case k::entry_not_image:
    case k::name_exists:
    case k::no_entry_matches:
    case k::no_entry_named: return true;
    default: return false;
    }
}

int read_image(image_job& job, pack_image& out)
{
    const std::string& path = job.image->arg.path;
    if (job.image->arg.pixels) {
        out = *job.image->arg.pixels;
    } else {
        std::vector<std::uint8_t> bytes;
        if (pack_read_image_file(path, bytes, job.reason) != 0) {
            job.refusal = pack_note_kind::image_unreadable;
            job.error = errno;
            return -1;
        }
        const std::string& format_name =
            image_format_for(pack_entry_name(path), image_use::read) != image_format::none ? path : job.image->name;
        if (pack_decode_image(bytes, format_name, out, job.reason) != 0) {
            job.refusal = pack_note_kind::image_undecodable;
            return -1;
        }
    }
    job.width = out.width;
    job.height = out.height;
    job.has_alpha = out.has_alpha;
    return 0;
}

std::uint64_t make_payload(image_job& job, pack_image& image, std::uint8_t type, int level)
{
    if (pack_make_payload(image, type, level, job.payload) != 0) {
        throw std::system_error(errno, std::generic_category(), "compressing " + job.image->arg.path);
    }
    job.loaded = true;
    return pack_payload_memory(job.payload);
}

std::uint64_t make_image_payload(image_job& job, std::uint8_t type, int level)
{
    try {
        pack_image image;
        if (read_image(job, image) != 0) return 0;
        return make_payload(job, image, type, level);
    } catch (...) {
        job.failure = std::current_exception();
        job.payload = pack_payload{};
        return 0;
    }
}

void refuse_image(pack_run& run, const image_job& job)
{
    if (job.failure) std::rethrow_exception(job.failure);
    pack_note& note = add_note(run, job.refusal, job.image->arg.path);
    note.detail = job.reason;
    note.error = job.error;
}

ordered_options pack_workers(const pack_request& request)
{
    ordered_options o;
    o.workers = std::max(1u, request.workers);
    o.memory_budget = pack_memory_budget;
    o.results_kept = true;
    o.stop = request.stop;
    return o;
}

int check_output_is_no_image(pack_run& run, const std::vector<named_image>& images)
{
    for (const named_image& n : images) {
        if (!n.arg.pixels && same_file(n.arg.path, run.request.output)) {
            add_note(run, pack_note_kind::output_is_image, run.request.output);
            return -1;
        }
    }
    return 0;
}

std::vector<file_identity> inputs_of(const std::vector<named_image>& images, const std::string& archive)
{
    std::vector<file_identity> out;
    file_identity id;
    for (const named_image& n : images) {
        if (!n.arg.pixels && file_identity_of(n.arg.path, id) == 0) out.push_back(id);
    }
    if (!archive.empty() && archive != "-" && file_identity_of(archive, id) == 0) out.push_back(id);
    return out;
}

std::vector<file_identity> run_inputs(const pack_run& run, const std::vector<named_image>& images)
{
    // The source edited in place is the one input the output replaces.
    return inputs_of(images, run.place.empty() ? run.request.source : "");
}

int check_files(pack_run& run, std::vector<named_image>& images)
{
    for (named_image& n : images) {
        std::string reason;
        if (n.refused || n.arg.pixels || pack_check_image_file(n.arg.path, reason) == 0) continue;
        pack_note& note = add_note(run, pack_note_kind::image_unreadable, n.arg.path);
        note.error = errno;
        note.detail = reason;
        n.name.clear();
        n.refused = true;
        if (!run.request.dry_run) return -1;
    }
    return 0;
}

int check_unique(pack_run& run, std::vector<named_image>& images)
{
    std::map<std::string, std::string> seen;
    for (named_image& n : images) {
        if (n.name.empty()) continue;
        if (const auto [at, fresh] = seen.emplace(output_name_key(n.name), n.arg.path); !fresh) {
            pack_note& note = add_note(run, pack_note_kind::names_collide, n.arg.path);
            note.other = at->second;
            note.name = n.name;
            n.name.clear();
            n.refused = true;
            if (!run.request.dry_run) return -1;
        }
    }
    return 0;
}

int check_settings(pack_run& run, bool type_used)
{
    const pack_request& request = run.request;
    if (type_used && request.type != 4 && request.type != 6) {
        add_note(run, pack_note_kind::type_not_image, request.output).a = request.type;
        return -1;
    }
    if (!pack_level_valid(request.level)) {
        add_note(run, pack_note_kind::level_not_offered, request.output).a = static_cast<std::uint64_t>(request.level);
        return -1;
    }
    return 0;
}

namespace {

// True when the output names the source's own file, which the run edits in
// place.
bool edits_in_place(const pack_request& request)
{
    file_identity in, out;
    return request.source != "-" && request.output != "-" && file_identity_of(request.source, in) == 0 &&
           file_identity_of(request.output, out) == 0 && in == out;
}

}  // namespace

int open_source(pack_run& run, pack_source& source, const std::function<bool(const tex_entry_view&)>& dropped)
{
    const pack_request& request = run.request;
    // Two edits of one archive at once would each copy it as it was, and
    // the copy placed last would lose the other's change: the second waits.
    if (!request.dry_run && edits_in_place(request) &&
        file_lock_take(request.source, run.lock, request.waiting, request.waiting_context) != 0) {
        add_note(run, pack_note_kind::source_unopened, request.source).error = errno;
        return -1;
    }
    if (pack_open_source(request.source, source, request.findings_kept, dropped) != 0) {
        for (pack_note& n : source.notes) add_note(run, std::move(n));
        return -1;
    }
    file_identity in, out;
    if (request.source == "-" || request.output == "-" || file_identity_of_fd(source.index.fd, in) != 0 ||
        file_identity_of(request.output, out) != 0 || !(in == out)) {
        run.lock.reset();
        return 0;
    }
    file_state read;
    if (file_state_of_fd(source.index.fd, read) == 0) run.edited = read;
    // The copy replaces the file itself, not a link to it, which would
    // otherwise become a file of its own and leave the archive as it was.
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(pack_path(request.output), ec);
    run.place = ec ? request.output : pack_utf8(real);
    run.owner_of = source.index.fd;
    return 0;
}

int begin_output(pack_run& run, std::uint32_t count, std::vector<file_identity> inputs)
{
    run.out = std::make_unique<pack_pending>();
    pack_pending& out = *run.out;
    out.path = run.request.output;
    out.lock = std::move(run.lock);
    out.edited = run.edited;
    out.edited_path = run.place;
    if (run.request.dry_run) {
        if (tex_sink_begin(out.sink, -1, count) == 0) return 0;
        add_note(run, pack_note_kind::too_many_entries, out.path).a = count;
        return -1;
    }
    output_policy policy;
    policy.kind = output_kind::archive;
    policy.force = run.request.force;
    policy.inputs = std::move(inputs);
    path_refusal why = path_refusal::none;
    if (output_begin_path(run.place.empty() ? out.path : run.place, policy, out.target, why) != 0) {
        if (why == path_refusal::none) {
            add_note(run, pack_note_kind::output_unopened, out.path).error = errno;
        } else {
            add_note(run, pack_note_kind::output_refused, out.path).a = static_cast<std::uint64_t>(why);
        }
        return -1;
    }
    if (run.owner_of >= 0 && output_keep_owner(out.target, run.owner_of) != 0) {
        add_note(run, pack_note_kind::output_unopened, out.path).error = errno;
        return -1;
    }
    if (tex_sink_begin(out.sink, out.target.file.fd, count) != 0) {
        add_note(run, pack_note_kind::too_many_entries, out.path).a = count;
        return -1;
    }
    return 0;
}

int add_entry(pack_run& run, std::span<const std::uint8_t, tex_entry_header_size> header,
              const std::function<int(tex_payload_out&)>& payload)
{
    if (tex_sink_add(run.out->sink, header, payload) == 0) return 0;
    const int error = errno;
    // The format's own limit; a file system's (EFBIG) is a failed write.
    if (error == EOVERFLOW) {
        add_note(run, pack_note_kind::too_large, run.out->path);
    } else {
        add_note(run, pack_note_kind::write_failed, run.out->path).error = error;
    }
    return -1;
}

void list_entry(pack_run& run, std::uint32_t index, const std::string& name, std::uint8_t type, std::uint16_t width,
                std::uint16_t height, std::uint64_t size, pack_fate fate, const std::string& from)
{
    run.result.entries.push_back({index, name, type, width, height, size, fate, from});
}

int finish_run(pack_run& run, std::array<std::uint8_t, 3> signature, std::uint32_t second_word)
{
    if (run.png_names) add_note(run, std::move(*run.png_names));
    if (run.request.dry_run) {
        run.out.reset();
        return 0;
    }
    run.out->signature = signature;
    run.out->second_word = second_word;
    run.result.pending = std::move(run.out);
    return 0;
}

namespace {

// The copy put in place, the edit's lock let go first where the system needs it.
int commit(pack_pending& out)
{
    file_lock_before_replacing(out.lock);
    return output_commit_path(out.target);
}

}  // namespace

int pack_place(pack_result& result)
{
    if (!result.pending) return 0;
    pack_pending& out = *result.pending;
    // Something that took no lock (a patcher, another program) may have
    // written the archive while it was copied: its change would be lost.
    const auto changed = [&] {
        file_state now;
        return out.edited && (file_state_of(out.edited_path, now) != 0 || !(now == *out.edited));
    };
    pack_note n;
    n.path = out.path;
    n.after = static_cast<std::uint32_t>(result.entries.size());
    if (tex_sink_finish(out.sink, out.signature, out.second_word) != 0) {
        n.kind = pack_note_kind::write_failed;
        n.error = errno;
    } else if (changed()) {
        n.kind = pack_note_kind::archive_changed;
        n.error = errno = EBUSY;
    } else if (commit(out) != 0) {
        n.kind = pack_note_kind::write_failed;
        n.error = errno;
    } else {
        result.pending.reset();
        return 0;
    }
    const int error = errno;
    result.notes.push_back(std::move(n));
    result.pending.reset();
    errno = error;
    return -1;
}

// The images, with every FOLDER among them given as the images beneath it
// (PNG, TGA, BMP and PCX files, by their extension), named by their paths
// inside it, in sorted order so that the archive is the same on every run.
// -1 after saying why a folder can't be read.
int expand_folders(pack_run& run, std::vector<named_image>& out)
{
    namespace fs = std::filesystem;
    for (const pack_image_arg& arg : run.request.images) {
        std::error_code ec;
        if (!arg.name.empty() || arg.pixels || !fs::is_directory(pack_path(arg.path), ec)) {
            out.push_back({arg, {}});
            continue;
        }
        std::vector<std::pair<std::string, std::string>> found;  // (name, path)
        std::vector<std::string> skipped;
        for (fs::recursive_directory_iterator it(pack_path(arg.path), ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code file_ec;
            if (!it->is_regular_file(file_ec)) continue;
            if (image_format_for(pack_utf8(it->path().filename()), image_use::read) == image_format::none) {
                skipped.push_back(pack_utf8(it->path()));
                continue;
            }
            found.emplace_back(pack_utf8_generic(fs::relative(it->path(), pack_path(arg.path), file_ec)), pack_utf8(it->path()));
        }
        if (ec) {
            add_note(run, pack_note_kind::folder_unreadable, arg.path).detail = ec.message();
            return -1;
        }
        if (found.empty()) {
            add_note(run, pack_note_kind::folder_empty, arg.path);
            return -1;
        }
        // A file left out is said, so that a .jpg beside the PNGs isn't
        // missed: each one, then how many beneath the folder.
        std::sort(skipped.begin(), skipped.end());
        for (const std::string& path : skipped) add_note(run, pack_note_kind::file_skipped, path);
        if (!skipped.empty()) add_note(run, pack_note_kind::folder_skipped, arg.path).a = skipped.size();
        std::sort(found.begin(), found.end());
        for (auto& [name, path] : found) out.push_back({{std::move(path), std::move(name)}, {}, false, true});
    }
    return 0;
}


bool name_image(pack_run& run, named_image& n)
{
    std::string name = n.arg.name.empty() ? pack_entry_name(n.arg.path) : n.arg.name;
    if (n.arg.name.empty() || n.in_folder) name = pack_png_name(name);
    std::optional<pack_note> why = pack_check_entry_name(n.arg.path, name);
    if (!why) {
        n.name = name;
        return true;
    }
    why->name_given = !n.in_folder && !n.arg.name.empty() && n.arg.name != n.arg.path;
    // A file's own name too long (or its path inside a folder): another may be given.
    if (why->kind == pack_note_kind::name_too_long && (n.arg.name.empty() || n.in_folder) && !n.arg.pixels) {
        why->b = 1;
        if (n.in_folder) why->c = 1;
    }
    if (why->name_given || n.in_folder) why->name = name;
    add_note(run, std::move(*why));
    n.refused = true;
    return false;
}

int name_images(pack_run& run, std::vector<named_image>& images)
{
    // Every name refused is said at once (fifteen long names are fifteen
    // lines), before the run stops.
    bool refused = false;
    for (named_image& n : images) refused = !name_image(run, n) || refused;
    // The JPEG and WebP images stored under .png names: said once, the first
    // named, when the run goes through (a refused image is all it says).
    pack_note png{};
    for (const named_image& n : images) {
        if (n.name.empty() || !(n.arg.name.empty() || n.in_folder)) continue;
        const std::string from = n.arg.name.empty() ? pack_entry_name(n.arg.path) : n.arg.name;
        if (pack_png_name(from) == from) continue;
        if (png.name) {
            ++png.a;
        } else {
            png.kind = pack_note_kind::stored_as_png;
            png.path = n.arg.path;
            png.name = n.name;
        }
    }
    if (png.name) run.png_names = std::move(png);
    return refused && !run.request.dry_run ? -1 : 0;
}

int add_images(pack_run& run, const std::vector<const named_image*>& taken)
{
    const pack_request& request = run.request;
    ordered_slots<image_job> jobs;
    bool failed = false;
    const bool stopped = run_ordered_jobs(
        static_cast<std::uint32_t>(taken.size()), pack_workers(request),
        [&](std::uint32_t i) {
            jobs[i] = image_job{};
            jobs[i].image = taken[i];
            return ordered_job{!failed, 0};
        },
        [&](std::uint32_t i) { return make_image_payload(jobs[i], request.type, request.level); },
        [&](std::uint32_t i) {
            image_job job = std::move(jobs[i]);
            jobs[i] = image_job{};
            if (failed) return;
            if (!job.loaded) {
                refuse_image(run, job);
                failed = !request.dry_run;
                return;
            }
            if (add_image_entry(run, job.image->name, job, request.type, run.out->sink.added, pack_fate::added) != 0) {
                failed = true;
            }
        });
    if (stopped && !failed) {
        add_note(run, pack_note_kind::stopped, request.output);
        failed = true;
    }
    return failed ? -1 : 0;
}

int add_image_entry(pack_run& run, const std::string& name, const image_job& job, std::uint8_t type, std::uint32_t index,
                    pack_fate fate)
{
    std::uint64_t size = 0;
    const auto block = tex_entry_header_block(name, job.width, job.height, type);
    if (add_entry(run, block, [&](tex_payload_out& p) {
            const int rc = pack_write_payload(p, job.payload);
            size = p.written;
            return rc;
        }) != 0) {
        return -1;
    }
    list_entry(run, index, name, type, job.width, job.height, size, fate, job.image->arg.path);
    return 0;
}

std::set<std::string> names_held(const pack_source& source)
{
    std::set<std::string> out;
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < source.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(source.index, cursor, i);
        if (v.state == tex_entry_state::ok) out.insert(output_name_key(tex_entry_name(v.header)));
    }
    return out;
}

std::array<std::uint8_t, tex_entry_header_size> stored_header(const pack_source& source, const tex_entry_view& v)
{
    std::array<std::uint8_t, tex_entry_header_size> block{};
    tex_pread(source.index.fd, block, v.record.offset);
    return block;
}

int keep_entry(pack_run& run, const pack_source& source, const tex_entry_view& v, pack_fate fate, const std::string& from,
               const std::string& renamed)
{
    auto block = stored_header(source, v);
    if (!renamed.empty()) {
        // Only the name changes: the rest of the header as stored.
        std::fill(block.begin(), block.begin() + tex_name_size, std::uint8_t{0});
        std::copy_n(renamed.begin(), std::min(renamed.size(), tex_name_size), block.begin());
    }
    if (add_entry(run, block, [&](tex_payload_out& p) {
            return pack_copy_payload(p, source.index.fd, v.payload_offset, v.record.compressed_size);
        }) != 0) {
        return -1;
    }
    const tex_entry_header& h = v.header;
    list_entry(run, run.out->sink.added - 1, renamed.empty() ? tex_entry_name(h) : renamed, h.rep_t_id, h.width,
               h.height, v.record.compressed_size, fate, from);
    return 0;
}
