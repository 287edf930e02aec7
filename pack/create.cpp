// create: a new archive, one entry per image, after an empty placeholder.
// Images are read, decoded and made into payloads on the workers and written
// in order; a refusal part way stops the run (a dry run goes on, to find
// every refusal).
#include "pack/run.hpp"

#include <algorithm>
#include <filesystem>

#include "files/input.hpp"

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
    if (name_images(run, images) != 0 || check_unique(run, images) != 0 || check_files(run, images) != 0) return -1;

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

    if (add_images(run, taken) != 0) return -1;
    // A dry run's refused images left their places empty.
    run.out->sink.count = run.out->sink.added;
    return finish_run(run, {'T', 'E', 'X'}, 0);
}
