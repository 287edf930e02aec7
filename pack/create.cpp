// create: a new archive, one entry per image, after an empty placeholder.
// Images are read, decoded and made into payloads on the workers and written
// in order; a refusal part way stops the run (a dry run goes on, to find
// every refusal).
#include "pack/run.hpp"

#include <algorithm>
#include <filesystem>

#include "files/input.hpp"

namespace {

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
        for (fs::recursive_directory_iterator it(pack_path(arg.path), ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code file_ec;
            if (!it->is_regular_file(file_ec) || image_format_for(pack_utf8(it->path().filename())) == image_format::none) continue;
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
        std::sort(found.begin(), found.end());
        for (auto& [name, path] : found) out.push_back({{std::move(path), std::move(name)}, {}});
    }
    return 0;
}

}  // namespace

int pack_create(const pack_request& request, pack_result& result)
{
    result = pack_result{};
    pack_run run{request, result};
    if (request.type != 4 && request.type != 6) {
        add_note(run, pack_note_kind::type_not_image, request.output).a = request.type;
        return -1;
    }
    if (!pack_level_valid(request.level)) {
        add_note(run, pack_note_kind::level_not_offered, request.output).a = static_cast<std::uint64_t>(request.level);
        return -1;
    }
    std::vector<named_image> images;
    if (expand_folders(run, images) != 0 || check_output_is_no_image(run, images) != 0) return -1;
    for (named_image& n : images) {
        const std::string name = n.arg.name.empty() ? pack_entry_name(n.arg.path) : n.arg.name;
        if (std::optional<pack_note> why = pack_check_entry_name(n.arg.path, name)) {
            add_note(run, std::move(*why));
            if (!request.dry_run) return -1;
        } else {
            n.name = name;
        }
    }
    if (check_unique(run, images) != 0 || check_files(run, images) != 0) return -1;

    std::vector<const named_image*> taken;
    for (const named_image& n : images) {
        if (!n.name.empty()) taken.push_back(&n);
    }
    if (begin_output(run, static_cast<std::uint32_t>(taken.size() + 1), inputs_of(images)) != 0) return -1;
    // The extractor never writes an archive's first entry: an empty one
    // stands there so that every image comes back out.
    const auto placeholder = tex_entry_header_block("", 0, 0, 6);
    if (add_entry(run, placeholder, [](tex_payload_out&) { return 0; }) != 0) return -1;
    list_entry(run, 0, "", 6, 0, 0, 0, pack_fate::placeholder);

    keep_freed_memory();
    ordered_slots<image_job> jobs;
    bool failed = false;
    run_ordered_jobs(
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
            const std::string& name = job.image->name;
            std::uint64_t size = 0;
            const auto block = tex_entry_header_block(name, job.width, job.height, request.type);
            if (add_entry(run, block, [&](tex_payload_out& p) {
                    const int rc = pack_write_payload(p, job.payload);
                    size = p.written;
                    return rc;
                }) != 0) {
                failed = true;
                return;
            }
            list_entry(run, run.out->sink.added - 1, name, request.type, job.width, job.height, size, pack_fate::added,
                       job.image->arg.path);
        });
    if (failed) return -1;
    // A dry run's refused images left their places empty.
    run.out->sink.count = run.out->sink.added;
    return finish_run(run, {'T', 'E', 'X'}, 0);
}
