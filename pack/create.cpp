// create: a new archive, one entry per image, after an empty placeholder.
// Images are read, decoded and made into payloads on the workers and written
// in order; a refusal part way stops the run (a dry run goes on, to find
// every refusal).
#include "pack/run.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "files/input.hpp"

namespace {

// The entries of the TEX archive a regular file at `path` holds; nullopt
// when it is none (or no such file: a stream is never read here).
std::optional<std::uint64_t> archive_entries(const std::string& path)
{
    std::error_code ec;
    if (path == "-" || !std::filesystem::is_regular_file(pack_path(path), ec)) return std::nullopt;
    tex_archive_file file;
    tex_index index;
    if (tex_open_archive(path.c_str(), file) != 0) return std::nullopt;
    tex_open_index(file.fd, file.size, index);
    if (!index.recognised) return std::nullopt;
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
    // An archive under OUT.pak is most likely the game's own, named by a
    // slip where add or update was meant: replaced only when forced, and
    // then said.
    const std::optional<std::uint64_t> replaced = archive_entries(request.output);
    if (replaced && !request.force) {
        add_note(run, pack_note_kind::archive_exists, request.output).a = *replaced;
        return -1;
    }
    if (begin_output(run, static_cast<std::uint32_t>(taken.size() + 1), inputs_of(images)) != 0) return -1;
    if (replaced) {
        pack_note& note = add_note(run, pack_note_kind::archive_replaced, request.output);
        note.a = *replaced;
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
