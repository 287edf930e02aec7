// The entries as plain values, their findings as `morvex_tex list` gives
// them, and one entry's pixels decoded into RGBA8.
#include "api/internal.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <span>

#include "words/words.hpp"
#include "entries/decode.hpp"

namespace api {

namespace {

constexpr std::uint32_t checkpoint_every = 16;

// What the walk does on reaching an entry: what `morvex_tex list` asks.
void advance(const tex_index& index, entry_walk& walk, const tex_entry_view& v)
{
    decide_entry(index, v, entry_options{}, walk);
}

}  // namespace

namespace {

// A cursor over the records from `first` to `last` (and the one after, which
// an entry's reading asks for), not the 64 KiB a walk reads ahead.
tex_table_cursor cursor_over(const tex_index& index, std::uint32_t first, std::uint32_t last)
{
    tex_table_cursor cursor{&index, {}, first, std::min(last + 2, index.count) - first};
    cursor.window.resize(std::size_t{cursor.held} * tex_table_entry_size);
    tex_pread(index.fd, cursor.window, tex_header_size + std::uint64_t{first} * tex_table_entry_size);
    return cursor;
}

}  // namespace

// Records read ahead at a time for read_entry_at: 4 KiB of the table, one
// read as dear as a record's.
constexpr std::uint32_t ahead_records = 4096 / tex_table_entry_size;

tex_entry_view read_entry_at(const morvex_tex_archive& archive, std::uint32_t i)
{
    const tex_index& index = archive.index;
    tex_table_cursor cursor{&index, {}, i, std::min(i + 2, index.count) - i};
    cursor.window.resize(std::size_t{cursor.held} * tex_table_entry_size);
    {
        const std::lock_guard<std::mutex> lock(archive.ahead_lock);
        const auto have = static_cast<std::uint32_t>(archive.ahead.size() / tex_table_entry_size);
        if (i < archive.ahead_first || i + cursor.held > archive.ahead_first + have) {
            // Bytes the file doesn't hold stay 0, as a cursor's own read leaves them.
            archive.ahead.assign(std::size_t{std::max(cursor.held, std::min(ahead_records, index.count - i))} * tex_table_entry_size, 0);
            tex_pread(index.fd, archive.ahead, tex_header_size + std::uint64_t{i} * tex_table_entry_size);
            archive.ahead_first = i;
        }
        const std::size_t at = std::size_t{i - archive.ahead_first} * tex_table_entry_size;
        std::copy_n(archive.ahead.begin() + static_cast<std::ptrdiff_t>(at), cursor.window.size(), cursor.window.begin());
    }
    return tex_read_entry(index, cursor, i);
}

entry_walk walk_before(const morvex_tex_archive& archive, std::uint32_t i)
{
    const tex_index& index = archive.index;
    const std::uint32_t mark = i / checkpoint_every;
    std::uint32_t from = mark * checkpoint_every;
    entry_walk walk;
    {
        // Checkpoints are made once, in order, by whichever caller first
        // needs them; the walk from the checkpoint to i is the caller's own.
        const std::lock_guard<std::mutex> lock(archive.walk_lock);
        auto& marks = archive.checkpoints;
        if (marks.empty()) marks.push_back(entry_walk_start(index));
        if (marks.size() <= mark) {
            tex_table_cursor cursor{&index, {}, 0, 0};
            entry_walk w = marks.back();
            for (std::uint32_t j = static_cast<std::uint32_t>(marks.size() - 1) * checkpoint_every; marks.size() <= mark; ++j) {
                advance(index, w, tex_read_entry(index, cursor, j));
                if ((j + 1) % checkpoint_every == 0) marks.push_back(w);
            }
        }
        walk = marks[mark];
        // A walk already made past the checkpoint, the nearest before i, is
        // walked on from.
        for (const morvex_tex_archive::made_walk& made : archive.made_walks) {
            if (made.at > from && made.at <= i) {
                walk = made.walk;
                from = made.at;
            }
        }
    }
    if (from < i) {
        tex_table_cursor cursor = cursor_over(index, from, i);
        for (std::uint32_t j = from; j < i; ++j) advance(index, walk, tex_read_entry(index, cursor, j));
    }
    remember_walk(archive, i, walk);
    return walk;
}

void remember_walk(const morvex_tex_archive& archive, std::uint32_t at, const entry_walk& walk)
{
    const std::lock_guard<std::mutex> lock(archive.walk_lock);
    // The next checkpoint, when it is that one: not walked again.
    auto& marks = archive.checkpoints;
    if (!marks.empty() && at == marks.size() * checkpoint_every) marks.push_back(walk);
    auto& made = archive.made_walks;
    if (made[0].at == at || made[1].at == at) return;
    // The older of the two (the one further back) gives way.
    made[made[0].at < made[1].at ? 0 : 1] = {at, walk};
}

std::vector<tex_finding> entry_findings(const tex_index& index, const tex_entry_view& v, entry_walk& walk)
{
    std::vector<tex_finding> found = tex_entry_findings(index, v);
    const entry_plan plan = decide_entry(index, v, entry_options{}, walk);
    if (plan.step == entry_step::refuse) add_findings(found, {plan.why});
    return found;
}

}  // namespace api

namespace {

using k = tex_finding_kind;

int check_entry(const morvex_tex_archive* archive, std::uint32_t index, morvex_tex_error* error)
{
    if (!archive) return api::fail_argument(error, "no archive");
    if (index >= archive->index.count) {
        return api::fail(error, MORVEX_TEX_ERROR_NO_ENTRY, 0,
                         format_text("no entry %u: the archive has %u", index, archive->index.count));
    }
    return 0;
}

// Decodes entry i, as `v` read it, into `image` (0xAARRGGBB): 0 with its
// warnings, or -1 with the error filled. Every size comes from that one read
// of the entry's header, so a file changed meanwhile can't make the image
// another size than the one the caller was checked against. The walk's
// budgets are those `morvex_tex test` has on reaching it (the first entry's,
// the whole archive's). With pixels `into` (room for the header's width *
// height), they are decoded into and `image` is left empty.
int decode(const morvex_tex_archive& archive, std::uint32_t i, const tex_entry_view& v, image32& image,
           std::vector<tex_finding>& warnings, morvex_tex_error* error, std::span<std::uint32_t> into = {})
{
    const tex_index& index = archive.index;
    // A 0 x 0 entry (an archive's first, most often) is an empty image.
    if (v.state == tex_entry_state::ok && !v.payload_past_end && (v.header.rep_t_id == 4 || v.header.rep_t_id == 6) &&
        (v.header.width == 0 || v.header.height == 0)) {
        image = image32{};
        image.width = v.header.width;
        image.height = v.header.height;
        return 0;
    }
    entry_walk walk = i == 0 ? entry_walk_start(index) : api::walk_before(archive, i);
    extract_request request;
    tex_finding why{};
    if (!pixels_request(index, v, walk, request, &why)) {
        return api::fail_finding(error, MORVEX_TEX_ERROR_ENTRY, why,
                                 format_text("entry %u: ", i) + api::finding_words(why));
    }
    std::vector<tex_finding> found;
    const int rc = into.empty() ? decode_entry_pixels(request, image, found) : decode_entry_pixels_into(request, into, found);
    if (rc != 0) {
        const tex_finding failed = found.empty() ? tex_finding{k::no_memory} : found.back();
        return api::fail_finding(error, MORVEX_TEX_ERROR_ENTRY, failed,
                                 format_text("entry %u: ", i) + api::finding_words(failed));
    }
    for (const tex_finding& f : found) {
        if (tex_finding_is_warning(f)) warnings.push_back(f);
    }
    return 0;
}

// The pixels 0xAARRGGBB made RGBA8 bytes where they are. On a little-endian
// system that is the value 0xAABBGGRR: red and blue trade places, in a loop
// the compiler vectorises.
void make_rgba(std::uint32_t* pixels, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::little) {
        for (std::size_t n = 0; n < count; ++n) {
            const std::uint32_t p = pixels[n];
            pixels[n] = (p & 0xFF00FF00u) | (p >> 16 & 0xFFu) | (p & 0xFFu) << 16;
        }
    } else {
        for (std::size_t n = 0; n < count; ++n) api::put_rgba(reinterpret_cast<std::uint8_t*>(pixels + n), pixels[n]);
    }
}

void describe(morvex_tex_image& out, std::uint32_t width, std::uint32_t height, std::uint8_t* rgba,
              const std::vector<tex_finding>& warnings)
{
    out.width = width;
    out.height = height;
    out.stride = std::size_t{width} * 4;
    out.rgba = rgba;
    out.warning_count = static_cast<std::uint32_t>(std::min<std::size_t>(warnings.size(), 4));
    for (std::uint32_t n = 0; n < out.warning_count; ++n) out.warnings[n] = api::to_api(warnings[n]);
}

}  // namespace

extern "C" {

MORVEX_TEX_API int morvex_tex_get_entry(const morvex_tex_archive* archive, uint32_t index, morvex_tex_entry* out,
                                        morvex_tex_finding* findings, size_t capacity, morvex_tex_error* error)
{
    if (!api::size_ok(out)) return api::fail_argument(error, "an entry struct of no known size");
    if (check_entry(archive, index, error) != 0) return -1;
    return api::guarded(error, [&] {
        const tex_index& ix = archive->index;
        const tex_entry_view v = api::read_entry_at(*archive, index);
        entry_walk walk = api::walk_before(*archive, index);
        const std::vector<tex_finding> found = api::entry_findings(ix, v, walk);
        // Its findings walked past it: where the next entry's walk starts.
        if (index + 1 < ix.count) api::remember_walk(*archive, index + 1, walk);
        morvex_tex_entry e{};
        e.index = index;
        e.state = v.state == tex_entry_state::ok ? MORVEX_TEX_ENTRY_OK
                  : v.state == tex_entry_state::past_end ? MORVEX_TEX_ENTRY_PAST_END
                                                          : MORVEX_TEX_ENTRY_HEADER_CUT;
        e.table_type = v.record.type_id;
        e.offset = v.record.offset;
        e.payload_size = v.record.compressed_size;
        e.in_file = v.in_file;
        e.payload_offset = v.payload_offset;
        if (v.state == tex_entry_state::ok) {
            const std::string name = tex_entry_name(v.header);
            std::memcpy(e.name, name.data(), name.size());
            e.name_size = static_cast<std::uint8_t>(name.size());
            e.flags = v.padding_zero ? 0 : MORVEX_TEX_PADDING_NOT_ZERO;
            e.width = v.header.width;
            e.height = v.header.height;
            e.type = v.header.rep_t_id;
            e.rep_c_sz = v.header.rep_c_sz;
        }
        e.finding_count = static_cast<std::uint32_t>(api::copy_findings(found, findings, capacity));
        api::copy_out(out, e);
        return api::succeed(error);
    });
}

MORVEX_TEX_API int morvex_tex_find_entry(const morvex_tex_archive* archive, const char* name, size_t size,
                                         uint32_t* index, morvex_tex_error* error)
{
    std::string wanted;
    if (!archive || !index || !api::text_of(name, size, wanted)) return api::fail_argument(error, "no archive, index or name");
    return api::guarded(error, [&] {
        const tex_index& ix = archive->index;
        tex_table_cursor cursor{&ix, {}, 0, 0};
        for (std::uint32_t i = 0; i < ix.count; ++i) {
            const tex_entry_view v = tex_read_entry(ix, cursor, i);
            if (v.state == tex_entry_state::ok && tex_entry_name(v.header) == wanted) {
                *index = i;
                return api::succeed(error);
            }
        }
        return api::fail(error, MORVEX_TEX_ERROR_NO_ENTRY, 0, "no entry is named " + wanted);
    });
}

MORVEX_TEX_API int morvex_tex_decode(const morvex_tex_archive* archive, uint32_t index, morvex_tex_image* out,
                                     morvex_tex_error* error)
{
    if (!api::size_ok(out)) return api::fail_argument(error, "an image struct of no known size");
    if (check_entry(archive, index, error) != 0) return -1;
    return api::guarded(error, [&] {
        image32 image;
        std::vector<tex_finding> warnings;
        const tex_entry_view v = api::read_entry_at(*archive, index);
        if (decode(*archive, index, v, image, warnings, error) != 0) return -1;
        // The pixels become RGBA8 where they are, and the caller's: a pixel
        // is 4 bytes either way.
        make_rgba(image.pixels.get(), std::size_t{image.width} * image.height);
        auto* bytes = reinterpret_cast<std::uint8_t*>(image.pixels.get());
        morvex_tex_image result{};
        describe(result, image.width, image.height, bytes, warnings);
        image.pixels.release();
        api::copy_out(out, result);
        return api::succeed(error);
    });
}

MORVEX_TEX_API void morvex_tex_image_free(morvex_tex_image* image)
{
    if (!image || !image->rgba) return;
    delete[] reinterpret_cast<std::uint32_t*>(image->rgba);
    image->rgba = nullptr;
}

MORVEX_TEX_API int morvex_tex_decode_into(const morvex_tex_archive* archive, uint32_t index, void* buffer,
                                          size_t buffer_size, morvex_tex_image* out, morvex_tex_error* error)
{
    if (out && !api::size_ok(out)) return api::fail_argument(error, "an image struct of no known size");
    if (check_entry(archive, index, error) != 0) return -1;
    return api::guarded(error, [&] {
        const tex_entry_view v = api::read_entry_at(*archive, index);
        if (v.state == tex_entry_state::ok) {
            const std::uint64_t needed = std::uint64_t{v.header.width} * v.header.height * 4;
            if ((!buffer && needed > 0) || buffer_size < needed) {
                return api::fail_needing(error, needed, format_text("entry %u needs %llu bytes, not %llu", index,
                                                                   static_cast<unsigned long long>(needed),
                                                                   static_cast<unsigned long long>(buffer_size)));
            }
        }
        image32 image;
        std::vector<tex_finding> warnings;
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        std::uint32_t width = 0, height = 0;
        if (v.state == tex_entry_state::ok && reinterpret_cast<std::uintptr_t>(buffer) % alignof(std::uint32_t) == 0) {
            // Decoded straight into the caller's buffer as RGBA8, checked
            // above against this same header.
            width = v.header.width;
            height = v.header.height;
            const std::size_t count = std::size_t{width} * height;
            if (decode(*archive, index, v, image, warnings, error, std::span(static_cast<std::uint32_t*>(buffer), count)) != 0) return -1;
        } else {
            if (decode(*archive, index, v, image, warnings, error) != 0) return -1;
            width = image.width;
            height = image.height;
            const std::size_t count = std::size_t{width} * height;
            if (count > buffer_size / 4) return api::fail_argument(error, "the image changed size while it was decoded");
            make_rgba(image.pixels.get(), count);
            if (count > 0) std::memcpy(bytes, image.pixels.get(), count * 4);
        }
        if (out) {
            morvex_tex_image result{};
            describe(result, width, height, bytes, warnings);
            api::copy_out(out, result);
        }
        return api::succeed(error);
    });
}

MORVEX_TEX_API int morvex_tex_read_payload(const morvex_tex_archive* archive, uint32_t index, void* buffer,
                                           size_t buffer_size, uint64_t* size, morvex_tex_error* error)
{
    if (check_entry(archive, index, error) != 0) return -1;
    return api::guarded(error, [&] {
        const tex_index& ix = archive->index;
        const tex_entry_view v = api::read_entry_at(*archive, index);
        const auto refuse = [&](const tex_finding& why) {
            return api::fail_finding(error, MORVEX_TEX_ERROR_ENTRY, why, format_text("entry %u: ", index) + api::finding_words(why));
        };
        if (v.state == tex_entry_state::past_end) return refuse({k::entry_past_end, v.record.offset, ix.size});
        if (v.state == tex_entry_state::header_cut) return refuse({k::entry_header_cut, v.header_got, tex_entry_header_size});
        const std::uint64_t bytes = v.record.compressed_size;
        if (v.payload_past_end) return refuse({k::payload_past_end, bytes, v.payload_offset, ix.size});
        if (size) *size = bytes;
        if ((!buffer && bytes > 0) || buffer_size < bytes) {
            return api::fail_needing(error, bytes, format_text("entry %u's payload needs %llu bytes, not %llu", index,
                                                               static_cast<unsigned long long>(bytes),
                                                               static_cast<unsigned long long>(buffer_size)));
        }
        // bytes <= buffer_size, a size_t: checked above.
        const std::size_t got = tex_pread(ix.fd, std::span(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(bytes)),
                                          v.payload_offset);
        if (got != bytes) return refuse({k::payload_cut, got, bytes});
        return api::succeed(error);
    });
}

}  // extern "C"
