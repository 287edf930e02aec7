// add, delete and rename: copies of an archive with images added after its
// entries, with entries dropped, or with an entry under a new name. Nothing
// is decoded: every entry the command doesn't add is copied byte for byte,
// a damaged one too, as replace keeps it. The copy may take the archive's
// own place (see open_source): only a complete one does.
#include "pack/run.hpp"
#include "entries/walk.hpp"

#include <set>

namespace {

pack_note& name_exists(pack_run& run, const std::string& path, const pack_source& source, const std::string& name)
{
    pack_note& note = add_note(run, pack_note_kind::name_exists, path);
    note.other = source.path;
    note.name = name;
    return note;
}

// The source's entries, each kept, or not written when `gone` says so.
int copy_entries(pack_run& run, const pack_source& source, const std::function<bool(const tex_entry_view&)>& gone,
                 const std::string& old_name = "", const std::string& new_name = "")
{
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < source.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(source.index, cursor, i);
        if (gone && gone(v)) {
            list_entry(run, i, tex_entry_name(v.header), v.header.rep_t_id, v.header.width, v.header.height,
                       v.record.compressed_size, pack_fate::deleted);
            continue;
        }
        const bool renamed = i > 0 && !old_name.empty() && v.state == tex_entry_state::ok && tex_entry_name(v.header) == old_name;
        if (keep_entry(run, source, v, renamed ? pack_fate::renamed : pack_fate::kept, renamed ? old_name : "",
                       renamed ? new_name : "") != 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int pack_add(const pack_request& request, pack_result& result)
{
    result = pack_result{};
    pack_run run{request, result};
    if (check_settings(run, true) != 0) return -1;
    std::vector<named_image> images;
    if (expand_folders(run, images) != 0 || check_output_is_no_image(run, images) != 0) return -1;
    pack_source source;
    if (open_source(run, source) != 0 || name_images(run, images) != 0) return -1;
    // An image never takes the place of an entry: that is replace's work.
    const std::set<std::string> held = names_held(source);
    for (named_image& n : images) {
        if (n.name.empty() || !held.count(output_name_key(n.name))) continue;
        name_exists(run, n.arg.path, source, n.name);
        n.name.clear();
        n.refused = true;
        if (!request.dry_run) return -1;
    }
    if (check_unique(run, images) != 0 || check_files(run, images) != 0) return -1;
    std::vector<const named_image*> taken;
    for (const named_image& n : images) {
        if (!n.name.empty()) taken.push_back(&n);
    }
    const std::uint64_t count = std::uint64_t{source.index.count} + taken.size();
    if (count > UINT32_MAX) {
        add_note(run, pack_note_kind::too_many_entries, request.output).a = count;
        return -1;
    }
    if (begin_output(run, static_cast<std::uint32_t>(count), run_inputs(run, images)) != 0) return -1;
    if (copy_entries(run, source, {}) != 0 || add_images(run, taken) != 0) return -1;
    // A dry run's refused images left their places empty.
    run.out->sink.count = run.out->sink.added;
    return finish_run(run, source.index.header.signature, source.index.header.second_word);
}

int pack_delete(const pack_request& request, pack_result& result)
{
    result = pack_result{};
    pack_run run{request, result};
    name_filter filter{request.patterns, request.excluded, request.ignore_case, {}};
    // The first entry stays: the readers never write it, and it stands first
    // so that every other one is.
    const auto gone = [&](const tex_entry_view& v) {
        return v.index > 0 && v.state == tex_entry_state::ok && name_selected(filter, tex_entry_name(v.header));
    };
    pack_source source;
    if (open_source(run, source, gone) != 0) return -1;

    // Counted again from a clean slate: which patterns took an entry, and
    // how many entries go.
    filter.used.assign(filter.include.size(), false);
    std::uint32_t dropped = 0;
    std::string first;
    name_filter folded{{}, request.excluded, true, {}};
    std::vector<std::pair<std::uint64_t, std::string>> other_case(filter.include.size());
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < source.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(source.index, cursor, i);
        if (v.state != tex_entry_state::ok) continue;
        const std::string name = tex_entry_name(v.header);
        if (i == 0) {
            first = name;
            continue;
        }
        if (gone(v)) ++dropped;
        for (std::size_t k = 0; k < filter.include.size() && !request.ignore_case; ++k) {
            folded.include.assign(1, filter.include[k]);
            if (name_selected(folded, name) && other_case[k].first++ == 0) other_case[k].second = name;
        }
    }
    // A pattern that takes nothing is a mistyped name, most likely: said, and
    // nothing is written.
    for (std::size_t k = 0; k < filter.include.size(); ++k) {
        if (filter.used[k]) continue;
        pack_note& note = add_note(run, pack_note_kind::no_entry_matches, source.path);
        note.name = filter.include[k];
        name_filter just_first{{filter.include[k]}, {}, request.ignore_case, {}};
        note.a = source.index.count > 0 && name_selected(just_first, first) ? 1 : 0;
        note.b = other_case[k].first;
        note.other_name = other_case[k].second;
    }
    if (run.result.images_refused > 0 && !request.dry_run) return -1;
    if (begin_output(run, source.index.count - dropped, run_inputs(run, {})) != 0) return -1;
    if (copy_entries(run, source, gone) != 0) return -1;
    return finish_run(run, source.index.header.signature, source.index.header.second_word);
}

int pack_rename(const pack_request& request, pack_result& result)
{
    result = pack_result{};
    pack_run run{request, result};
    pack_source source;
    if (open_source(run, source) != 0) return -1;
    if (std::optional<pack_note> why = pack_check_entry_name(request.new_name, request.new_name)) {
        why->name_given = true;
        why->path = request.old_name;
        add_note(run, std::move(*why));
    }
    std::uint32_t found = 0;
    bool first_has_it = false;
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < source.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(source.index, cursor, i);
        if (v.state != tex_entry_state::ok || tex_entry_name(v.header) != request.old_name) continue;
        if (i == 0) {
            first_has_it = true;
        } else {
            ++found;
        }
    }
    if (found == 0) {
        pack_note& note = add_note(run, pack_note_kind::no_entry_named, source.path);
        note.name = request.old_name;
        note.a = first_has_it ? 1 : 0;
    }
    if (output_name_key(request.new_name) != output_name_key(request.old_name) &&
        names_held(source).count(output_name_key(request.new_name))) {
        name_exists(run, request.old_name, source, request.new_name).name_given = true;
    }
    if (run.result.images_refused > 0 && !request.dry_run) return -1;
    if (begin_output(run, source.index.count, run_inputs(run, {})) != 0) return -1;
    if (copy_entries(run, source, {}, request.old_name, request.new_name) != 0) return -1;
    return finish_run(run, source.index.header.signature, source.index.header.second_word);
}
