// The packer's archives: the one it patches, read through the archive index
// as every reader reads it and decoded by the entry job, and the names and
// payloads kept from it.
#include "pack/source.hpp"

#include <algorithm>
#include <cerrno>

namespace {

// Payload bytes copied at a time.
constexpr std::size_t piece_bytes = 1 << 20;

// The findings that keep an entry from being copied byte for byte into a
// well-formed archive. An unknown type is not one of them: such an entry is
// kept as it is, only never decoded.
bool breaks_the_layout(const tex_finding& f)
{
    return f.kind != tex_finding_kind::unknown_type;
}

// The pixels a type-4 stream really held: those of its inflated bytes, when
// it held fewer than its image (the job shows the rest transparent).
std::uint64_t pixels_held(const image32& decoded, const std::vector<tex_finding>& found)
{
    const std::uint64_t pixels = std::uint64_t{decoded.width} * decoded.height;
    for (const tex_finding& f : found) {
        if (f.kind == tex_finding_kind::inflated_length) return std::min(pixels, f.a / 2);
    }
    return pixels;
}

// A decoded pixel back in the entry's 4-bit levels: each channel was widened
// from level k to 17 * k.
std::uint16_t levels_of(std::uint32_t argb)
{
    std::uint32_t out = 0;
    for (unsigned c = 0; c < 4; ++c) out |= ((argb >> (8 * c) & 0xFF) / 17) << (4 * c);
    return static_cast<std::uint16_t>(out);
}

pack_note note_of(pack_note_kind kind, const std::string& path)
{
    pack_note n;
    n.kind = kind;
    n.path = path;
    return n;
}

}  // namespace

std::string pack_entry_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string pack_png_name(const std::string& name)
{
    if (image_format_for(name) != image_format::none || image_format_for(name, image_use::read) == image_format::none) {
        return name;
    }
    return name.substr(0, name.rfind('.')) + ".png";
}

std::optional<pack_note> pack_check_entry_name(const std::string& path, const std::string& name)
{
    pack_note n = note_of(pack_note_kind::name_empty, path);
    n.name = name;
    if (name.empty()) return n;
    if (name.size() > tex_name_size) {
        n.kind = pack_note_kind::name_too_long;
        n.a = name.size();
        return n;
    }
    // Nothing the readers would refuse to write back.
    if (const name_problem p = output_name_problem(name); p != name_problem::none) {
        n.kind = pack_note_kind::name_refused;
        n.a = static_cast<std::uint64_t>(p);
        return n;
    }
    if (image_format_for(name) == image_format::none) {
        n.kind = pack_note_kind::name_no_format;
        return n;
    }
    // A name is a path: "./x.tga", "a//b.tga" or "a/./b.tga" stored beside
    // the name it leads to would be written to one file with it.
    std::uint32_t part = 0;
    bool dot = false;
    if (const std::string key = output_name_key(name, &part, &dot); key != name) {
        n.kind = pack_note_kind::name_not_plain;
        n.a = part;
        n.b = dot ? 1 : 0;
        n.other_name = key;
        return n;
    }
    return std::nullopt;
}

int pack_copy_payload(tex_payload_out& out, int fd, std::uint64_t offset, std::uint32_t size)
{
    std::vector<std::uint8_t> piece(std::min<std::size_t>(size, piece_bytes));
    for (std::uint64_t at = 0; at < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - at));
        if (tex_pread(fd, std::span(piece.data(), n), offset + at) != n) {
            errno = EIO;  // the archive got shorter while it was read
            return -1;
        }
        if (tex_payload_write(out, std::span(piece.data(), n)) != 0) return -1;
        at += n;
    }
    return 0;
}

int pack_open_source(const std::string& path, pack_source& out, std::uint32_t findings_kept,
                     const std::function<bool(const tex_entry_view&)>& dropped)
{
    out.path = path;
    out.notes.clear();
    if ((path == "-" ? tex_open_stream(0, out.file) : tex_open_archive(path.c_str(), out.file)) != 0) {
        out.notes.push_back(note_of(pack_note_kind::source_unopened, path));
        out.notes.back().error = errno;
        return -1;
    }
    if (tex_open_index(out.file.fd, out.file.size, out.index) != 0) {
        out.notes.push_back(note_of(pack_note_kind::source_no_memory, path));
        out.notes.back().a = out.index.count;
        return -1;
    }
    if (!out.index.recognised) {
        out.notes.push_back(note_of(pack_note_kind::source_not_tex, path));
        return -1;
    }
    // Every problem that keeps an entry from being copied as it is: the
    // first few, and how many more there are.
    std::uint64_t problems = 0;
    const auto found = [&](const tex_finding& f, std::optional<std::uint32_t> entry, std::optional<std::string> name) {
        if (++problems > findings_kept) return;
        pack_note n = note_of(pack_note_kind::source_finding, path);
        n.findings = {f};
        n.entry = entry;
        n.name = std::move(name);
        out.notes.push_back(std::move(n));
    };
    for (const tex_finding& f : tex_archive_findings(out.index, out.file.cut_at_limit)) found(f, std::nullopt, std::nullopt);
    tex_table_cursor cursor{&out.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < out.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(out.index, cursor, i);
        if (dropped && dropped(v)) continue;
        for (const tex_finding& f : tex_entry_findings(out.index, v)) {
            if (!breaks_the_layout(f)) continue;
            found(f, i, v.state == tex_entry_state::ok ? std::optional(tex_entry_name(v.header)) : std::nullopt);
        }
    }
    if (problems > findings_kept) {
        out.notes.push_back(note_of(pack_note_kind::source_findings_more, path));
        out.notes.back().a = problems - findings_kept;
    }
    return problems ? -1 : 0;
}

bool pack_entry_holds(const tex_entry_view& v, const image32& decoded, const std::vector<tex_finding>& found,
                      const pack_image& image)
{
    const tex_entry_header& h = v.header;
    if (h.width != image.width || h.height != image.height || !decoded.pixels) return false;
    if (decoded.width != image.width || decoded.height != image.height) return false;
    const std::uint64_t count = std::uint64_t{image.width} * image.height;
    const std::uint32_t* stored = decoded.pixels.get();
    // An image from a file without alpha says nothing about the entry's alpha.
    if (h.rep_t_id == 6) {
        if (v.record.compressed_size != count * 4) return false;
        const std::uint32_t mask = image.has_alpha ? 0xFFFFFFFFu : 0x00FFFFFFu;
        for (std::size_t k = 0; k < count; ++k) {
            if (((stored[k] ^ image.argb[k]) & mask) != 0) return false;
        }
        return true;
    }
    if (h.rep_t_id != 4) return false;
    // Exactly its pixels: a stream of any other length holds another image.
    for (const tex_finding& f : found) {
        if (f.kind == tex_finding_kind::inflated_length) return false;
    }
    const std::uint32_t mask = image.has_alpha ? 0xFFFFu : 0x0FFFu;
    for (std::size_t k = 0; k < count; ++k) {
        if (((levels_of(stored[k]) ^ pack_argb4444(image.argb[k])) & mask) != 0) return false;
    }
    return true;
}

bool pack_entry_has_alpha(const image32& decoded, const std::vector<tex_finding>& found)
{
    if (!decoded.pixels) return false;
    const std::uint64_t held = pixels_held(decoded, found);
    return std::any_of(decoded.pixels.get(), decoded.pixels.get() + held, [](std::uint32_t p) { return p >> 24 != 0xFF; });
}
