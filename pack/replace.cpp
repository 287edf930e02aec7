// replace: a copy of an archive in which some entries hold new images. Every
// other entry, the first one and the header are kept byte for byte, and so is
// an entry that already holds its image. The walker hands the entries to the
// workers: the kept ones go through the entry job, to find those nothing
// could extract; for the others, the job reads the image, decodes the entry's
// pixels to compare, and makes the new payload. They come back in table
// order to be written.
#include "pack/run.hpp"
#include "entries/walk.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <system_error>

namespace {

// A name's stem: without its extension, when that is an image format's; ""
// when it has none.
std::string image_stem(const std::string& name)
{
    return image_format_for(name, image_use::read) == image_format::none ? "" : name.substr(0, name.rfind('.'));
}

// The names an image may patch, most wanted first: the NAME given; the
// path inside the FOLDER it was found in; or its path with ever fewer
// folders. Only a NAME given is matched exactly, not by its stem.
std::vector<std::string> candidates_of(const named_image& n)
{
    if (n.in_folder || !n.arg.name.empty()) return {n.arg.name};
    return pack_candidate_names(n.arg.path);
}

bool exact(const named_image& n)
{
    return !n.in_folder && !n.arg.name.empty();
}

// Finds the entry name each image patches: the one stored under its path
// with the most of its folders, or where none is, the one under that path and
// stem (sky.png patches sky.tga); two of one stem are refused, naming both.
// Checks that its entries hold images. The archive's names are read once,
// whatever the number of images. An image no entry takes is refused, unless
// `unmatched_kept` (update adds it): then it is left unnamed, not refused.
int match_entries(pack_run& run, const pack_source& source, std::vector<named_image>& images, bool unmatched_kept)
{
    std::vector<std::vector<std::string>> candidates(images.size());
    std::set<std::string> wanted, wanted_stems;
    for (std::size_t k = 0; k < images.size(); ++k) {
        const named_image& n = images[k];
        candidates[k] = candidates_of(n);
        for (const std::string& c : candidates[k]) {
            wanted.insert(c);
            if (!exact(n) && !image_stem(c).empty()) wanted_stems.insert(image_stem(c));
        }
    }
    // Each name met: the entries from 1 on that hold it, with their types;
    // each stem met: the names that have it.
    std::map<std::string, std::vector<std::pair<std::uint32_t, unsigned>>> found;
    std::map<std::string, std::set<std::string>> by_stem;
    std::string first;
    tex_table_cursor cursor{&source.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < source.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(source.index, cursor, i);
        const std::string name = tex_entry_name(v.header);
        if (i == 0) {
            first = name;
            continue;
        }
        const std::string stem = image_stem(name);
        const bool by_its_stem = !stem.empty() && wanted_stems.count(stem);
        if (by_its_stem) by_stem[stem].insert(name);
        if (wanted.count(name) || by_its_stem) found[name].emplace_back(i, v.header.rep_t_id);
    }
    for (std::size_t k = 0; k < images.size(); ++k) {
        named_image& n = images[k];
        if (n.refused) continue;
        for (const std::string& c : candidates[k]) {
            if (n.name.empty() && wanted.count(c) && found.count(c)) n.name = c;
        }
        bool ambiguous = false;
        for (const std::string& c : candidates[k]) {
            if (!n.name.empty() || ambiguous || exact(n)) break;
            const auto names = by_stem.find(image_stem(c));
            if (names == by_stem.end()) continue;
            if (names->second.size() == 1) {
                n.name = *names->second.begin();
            } else {
                pack_note& note = add_note(run, pack_note_kind::stems_ambiguous, n.arg.path);
                note.other = source.path;
                note.name = *names->second.begin();
                note.other_name = *std::next(names->second.begin());
                ambiguous = n.refused = true;
            }
        }
        const std::string wished = candidates[k].empty() ? n.arg.path : candidates[k].back();
        if (n.name.empty() && !ambiguous && !unmatched_kept) {
            n.refused = true;
            pack_note& note = add_note(run, pack_note_kind::no_entry, n.arg.path);
            note.other = source.path;
            note.name = wished;
            note.a = source.index.count > 0 && first == wished ? 1 : 0;
        }
        for (const auto& [i, type] : n.name.empty() ? std::vector<std::pair<std::uint32_t, unsigned>>{} : found[n.name]) {
            if (type != 4 && type != 6 && !n.name.empty()) {
                pack_note& note = add_note(run, pack_note_kind::entry_not_image, n.arg.path);
                note.other = source.path;
                note.entry = i;
                note.a = type;
                n.name.clear();
                n.refused = true;
            }
        }
        if (run.result.images_refused > 0 && !run.request.dry_run) return -1;
    }
    return 0;
}

// What replace keeps of an entry from its decision to its turn to be written.
struct walk_item {
    tex_entry_view v;
    entry_plan plan;
    const named_image* image_arg = nullptr;  // the image it is to hold, if any
    image_job job;                           // ... read, and made into its payload
    bool unchanged = false;                  // the entry holds the image already
    bool alpha_dropped = false;              // the entry had alpha that the image's file can't carry
};

// The entry gets its image, unless it holds it already.
int replace_entry(pack_run& run, const pack_source& source, walk_item& item)
{
    const tex_entry_view& v = item.v;
    const std::string& path = item.image_arg->arg.path;
    if (item.unchanged) return keep_entry(run, source, v, pack_fate::unchanged, path);
    const tex_entry_header& h = v.header;
    const image_job& job = item.job;
    if (item.alpha_dropped) add_note(run, pack_note_kind::alpha_dropped, path).entry = v.index;
    if (h.width != job.width || h.height != job.height) {
        pack_note& note = add_note(run, pack_note_kind::size_changed, path);
        note.entry = v.index;
        note.a = job.width;
        note.b = job.height;
        note.c = h.width;
        note.d = h.height;
    }
    return add_image_entry(run, tex_entry_name(h), job, h.rep_t_id, v.index, pack_fate::replaced);
}

// Whether the job is to decode the pixels of an entry that gets an image, to
// compare them with it: not when they couldn't be decoded (the decision found
// none to decode), nor when they aren't needed: an image of another size whose
// file carries alpha replaces the entry whatever it held.
bool pixels_wanted(const walk_item& item, const entry_task& task, const pack_image& image)
{
    const tex_entry_header& h = item.v.header;
    const bool same_size = h.width == image.width && h.height == image.height;
    return task.run && (same_size || !image.has_alpha);
}

// On a worker: reads the entry's image, compares it with the entry's pixels
// where they matter, and makes the new payload unless the entry holds the
// image already. The bytes the item keeps.
std::uint64_t prepare_image(const output_root& nowhere, walk_item& item, entry_task& task, int level)
{
    image_job& job = item.job;
    try {
        pack_image image;
        if (read_image(job, image) != 0) return 0;
        extract_outcome& decoded = task.outcome;
        if (pixels_wanted(item, task, image)) run_entry_job(nowhere, task);
        const image32 none;
        const image32& pixels = decoded.result == 0 ? decoded.image : none;
        item.unchanged = pack_entry_holds(item.v, pixels, decoded.findings, image);
        item.alpha_dropped = !item.unchanged && !image.has_alpha && pack_entry_has_alpha(pixels, decoded.findings);
        decoded.image = image32{};
        if (!item.unchanged) return make_payload(job, image, item.v.header.rep_t_id, level);
        job.loaded = true;
        return 0;
    } catch (...) {
        job.failure = std::current_exception();
        job.payload = pack_payload{};
        task.outcome.image = image32{};
        return 0;
    }
}

}  // namespace

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

namespace {

// The images update adds, as add names them: those no entry takes, under
// their file's name (a FOLDER's, their path inside it; or the NAME given),
// never one the archive holds already.
void name_new_images(pack_run& run, const pack_source& source, std::vector<named_image>& images, std::vector<bool>& fresh)
{
    const std::set<std::string> held = names_held(source);
    for (std::size_t k = 0; k < images.size(); ++k) {
        named_image& n = images[k];
        if (n.refused || !n.name.empty() || !name_image(run, n)) continue;
        if (held.count(output_name_key(n.name))) {
            pack_note& note = add_note(run, pack_note_kind::name_exists, n.arg.path);
            note.other = source.path;
            note.name = n.name;
            n.name.clear();
            n.refused = true;
            continue;
        }
        fresh[k] = true;
    }
}

// replace, and update (`update`): the entries that images patch get them
// unless they hold them already; update adds the images no entry takes.
int patch(const pack_request& request, pack_result& result, bool update)
{
    result = pack_result{};
    pack_run run{request, result};
    if (check_settings(run, update) != 0) return -1;
    std::vector<named_image> images;
    if (update) {
        if (expand_folders(run, images) != 0) return -1;
    } else {
        for (const pack_image_arg& arg : request.images) images.push_back({arg, {}});
    }
    if (check_output_is_no_image(run, images) != 0) return -1;
    pack_source source;
    if (open_source(run, source) != 0) return -1;
    // A file that isn't there is said so, not looked for in the archive.
    if (check_files(run, images) != 0 || match_entries(run, source, images, update) != 0) return -1;
    std::vector<bool> fresh(images.size(), false);
    if (update) name_new_images(run, source, images, fresh);
    if (run.result.images_refused > 0 && !request.dry_run) return -1;
    if (check_unique(run, images) != 0) return -1;
    std::map<std::string, const named_image*> by_name;
    std::vector<const named_image*> added;
    for (std::size_t k = 0; k < images.size(); ++k) {
        if (images[k].name.empty()) continue;
        if (fresh[k]) {
            added.push_back(&images[k]);
        } else {
            by_name[images[k].name] = &images[k];
        }
    }
    const std::uint64_t count = std::uint64_t{source.index.count} + added.size();
    if (count > UINT32_MAX) {
        add_note(run, pack_note_kind::too_many_entries, request.output).a = count;
        return -1;
    }
    if (begin_output(run, static_cast<std::uint32_t>(count), run_inputs(run, images)) != 0) return -1;

    // Entries refused only for their names are decoded too (and charged to
    // the run's budgets), for those that get an image to be compared.
    walk_options options;
    options.entries.write = false;
    options.entries.decode_refused_names = true;
    options.workers = std::max(1u, request.workers);
    options.stop = request.stop;
    ordered_slots<walk_item> items;
    bool failed = false;
    const output_root nowhere;
    const bool stopped = walk_entry_jobs(
        source.index, options, pack_memory_budget,
        [&](entry_task& task) {
            walk_item& item = items[task.index];
            item = walk_item{};
            item.v = task.view;
            item.plan = task.plan;
            const auto image = task.index > 0 && !failed ? by_name.find(tex_entry_name(item.v.header)) : by_name.end();
            if (image != by_name.end()) item.image_arg = image->second;
            if (failed || !item.image_arg) {
                // Kept as stored: decoded only to say when nothing could extract it.
                task.run = task.run && !failed && item.plan.step == entry_step::run;
                return ordered_job{task.run, task.run ? entry_job_memory(task.request) : 0};
            }
            item.job.image = item.image_arg;
            task.request.decode_only = true;
            task.request.keep_image = true;
            return ordered_job{true, task.run ? entry_job_memory(task.request) : 0};
        },
        [&](entry_task& task) -> std::uint64_t {
            walk_item& item = items[task.index];
            if (item.image_arg) return prepare_image(nowhere, item, task, request.level);
            run_entry_job(nowhere, task);
            return 0;
        },
        [&](entry_task& task) {
            walk_item item = std::move(items[task.index]);
            items[task.index] = walk_item{};
            if (failed) return;
            const tex_entry_view& v = item.v;
            if (item.image_arg && !item.job.loaded) {
                refuse_image(run, item.job);
                if (!request.dry_run) {
                    failed = true;
                    return;
                }
            }
            const int rc = item.image_arg && item.job.loaded ? replace_entry(run, source, item)
                                                             : keep_entry(run, source, v, pack_fate::kept);
            if (rc != 0) {
                failed = true;
                return;
            }
            std::vector<tex_finding> why;
            if (item.plan.step == entry_step::refuse) why.push_back(item.plan.why);
            if (task.run && task.outcome.result != 0) why = task.outcome.findings;
            if (!item.image_arg && !why.empty()) {
                pack_note& note = add_note(run, pack_note_kind::kept_undecodable, source.path);
                note.entry = v.index;
                note.name = tex_entry_name(v.header);
                note.findings = std::move(why);
            }
        });
    if (stopped && !failed) add_note(run, pack_note_kind::stopped, request.output);
    if (failed || stopped || add_images(run, added) != 0) return -1;
    // A dry run's refused images left their places empty.
    run.out->sink.count = run.out->sink.added;
    const bool changed = std::any_of(result.entries.begin(), result.entries.end(), [](const pack_entry& e) {
        return e.fate == pack_fate::replaced || e.fate == pack_fate::added;
    });
    if (finish_run(run, source.index.header.signature, source.index.header.second_word) != 0) return -1;
    // An update that changes nothing leaves the archive as it was, its
    // bytes and its time.
    if (update && !changed && run.edited) {
        result.pending.reset();
        pack_note& note = add_note(run, pack_note_kind::nothing_changed, request.output);
        note.b = request.dry_run ? 1 : 0;
    }
    return 0;
}

}  // namespace

int pack_replace(const pack_request& request, pack_result& result)
{
    return patch(request, result, false);
}

int pack_update(const pack_request& request, pack_result& result)
{
    return patch(request, result, true);
}
