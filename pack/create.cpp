// create: a new archive, one entry per image, after an empty placeholder.
// Images are read, decoded and made into payloads on the workers and written
// in order; a refusal part way stops the run (a dry run goes on, to find
// every refusal).
#include "pack/run.hpp"

#include <algorithm>
#include <filesystem>

#include "files/input.hpp"

namespace {

// The entries of the TEX archive a regular file at `path` holds; 0 when it
// holds none (or is no such file: a stream is never read here).
std::uint64_t archive_entries(const std::string& path)
{
    std::error_code ec;
    if (path == "-" || !std::filesystem::is_regular_file(pack_path(path), ec)) return 0;
    tex_archive_file file;
    tex_index index;
    if (tex_open_archive(path.c_str(), file) != 0 || tex_open_index(file.fd, file.size, index) != 0 || !index.recognised) {
        return 0;
    }
    return index.count;
}

}  // namespace

int pack_create(const pack_request& request, pack_result& result)
{
    result = pack_result{};
    pack_run run{request, result};
    if (check_settings(run, true) != 0) return -1;
    std::vector<named_image> images;
    if (expand_folders(run, images) != 0 || check_output_is_no_image(run, images) != 0) return -1;
    if (name_images(run, images) != 0 || check_unique(run, images) != 0 || check_files(run, images) != 0) return -1;

    std::vector<const named_image*> taken;
    for (const named_image& n : images) {
        if (!n.name.empty()) taken.push_back(&n);
    }
    const std::uint64_t replaced = archive_entries(request.output);
    if (begin_output(run, static_cast<std::uint32_t>(taken.size() + 1), inputs_of(images)) != 0) return -1;
    if (replaced > 0) {
        // Said, since whoever expected images to be added loses the others.
        pack_note& note = add_note(run, pack_note_kind::archive_replaced, request.output);
        note.a = replaced;
        note.b = request.dry_run ? 1 : 0;
    }
    // The extractor never writes an archive's first entry: an empty one
    // stands there so that every image comes back out.
    const auto placeholder = tex_entry_header_block("", 0, 0, 6);
    if (add_entry(run, placeholder, [](tex_payload_out&) { return 0; }) != 0) return -1;
    list_entry(run, 0, "", 6, 0, 0, 0, pack_fate::placeholder);

    if (add_images(run, taken) != 0) return -1;
    // A dry run's refused images left their places empty.
    run.out->sink.count = run.out->sink.added;
    return finish_run(run, {'T', 'E', 'X'}, 0);
}
