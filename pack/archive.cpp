// The packer's archives: the one it patches, read through the archive index
// as every reader reads it, and the one it writes, entry by entry into the
// output layer's file, one image in memory at a time.
#include "pack/pack.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

#include "entries/entries.hpp"
#include "format/writer.hpp"
#include "app/words.hpp"
#include "app/escape.hpp"

namespace {

// Pixels converted and handed on at a time: the payload is never held whole.
constexpr std::size_t piece_pixels = 1 << 16;

// Bytes copied or inflated at a time.
constexpr std::size_t piece_bytes = 1 << 20;

// The problems of an archive said one a line before the rest are counted.
constexpr std::uint64_t max_problems_said = 10;

// The findings that keep an entry from being copied byte for byte into a
// well-formed archive. An unknown type is not one of them: such an entry is
// kept as it is, only never decoded.
bool breaks_the_layout(const tex_finding& f)
{
    return f.kind != tex_finding_kind::unknown_type;
}

// Type-4 pixels as stored, inflated a piece at a time; `each` sees every
// 16-bit pixel in order, and false stops it. False when the stream is damaged
// or doesn't hold exactly width * height pixels.
bool each_stored_argb4444(const pack_source& source, const tex_entry_view& v,
                          const std::function<bool(std::uint16_t)>& each)
{
    const std::uint64_t count = std::uint64_t{v.header.width} * v.header.height;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    const std::unique_ptr<z_stream, void (*)(z_stream*)> closer(&z, [](z_stream* s) { inflateEnd(s); });
    std::vector<std::uint8_t> in(piece_bytes), out(piece_bytes);
    std::uint64_t fed = 0, seen = 0;
    int odd = -1;  // a low byte waiting for its high one
    for (int rc = Z_OK; rc != Z_STREAM_END;) {
        if (z.avail_in == 0) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece_bytes, v.record.compressed_size - fed));
            if (n == 0 || tex_pread(source.index.fd, std::span(in.data(), n), v.payload_offset + fed) != n) return false;
            fed += n;
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && z.avail_in == 0)) return false;
        for (std::size_t k = 0; k < out.size() - z.avail_out; ++k) {
            if (odd < 0) {
                odd = out[k];
                continue;
            }
            if (++seen > count || !each(static_cast<std::uint16_t>(odd | out[k] << 8))) return false;
            odd = -1;
        }
    }
    return odd < 0 && seen == count;
}

// Type-6 pixels as stored, read a piece at a time.
bool each_stored_argb8888(const pack_source& source, const tex_entry_view& v,
                          const std::function<bool(std::uint32_t)>& each)
{
    std::vector<std::uint8_t> piece(piece_bytes);
    for (std::uint64_t at = 0; at < v.record.compressed_size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), v.record.compressed_size - at));
        if (tex_pread(source.index.fd, std::span(piece.data(), n), v.payload_offset + at) != n) return false;
        for (std::size_t k = 0; k + 4 <= n; k += 4) {
            if (!each(tex_le32(piece, k))) return false;
        }
        at += n;
    }
    return true;
}

struct zstream_writer {
    z_stream z{};
    bool open = false;
    ~zstream_writer()
    {
        if (open) deflateEnd(&z);
    }
};

// ARGB4444 pixels deflated at zlib's level 9 a piece at a time: the same
// bytes as compressing the whole image in one call.
int write_type4(tex_payload_out& out, const pack_image& image)
{
    zstream_writer s;
    if (deflateInit(&s.z, 9) != Z_OK) {
        errno = ENOMEM;
        return -1;
    }
    s.open = true;
    std::vector<std::uint8_t> raw(piece_pixels * 2), packed(piece_bytes);
    const std::size_t count = image.argb.size();
    for (std::size_t at = 0;;) {
        const std::size_t n = std::min(piece_pixels, count - at);
        for (std::size_t k = 0; k < n; ++k) tex_put_le16(raw, 2 * k, pack_argb4444(image.argb[at + k]));
        at += n;
        const int flush = at == count ? Z_FINISH : Z_NO_FLUSH;
        s.z.next_in = raw.data();
        s.z.avail_in = static_cast<uInt>(2 * n);
        int rc = Z_OK;
        do {
            s.z.next_out = packed.data();
            s.z.avail_out = static_cast<uInt>(packed.size());
            rc = deflate(&s.z, flush);
            if (rc == Z_STREAM_ERROR) {
                errno = EINVAL;
                return -1;
            }
            if (tex_payload_write(out, std::span(packed.data(), packed.size() - s.z.avail_out)) != 0) return -1;
        } while (s.z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        if (flush == Z_FINISH) return 0;
    }
}

int write_type6(tex_payload_out& out, const pack_image& image)
{
    std::vector<std::uint8_t> piece(piece_pixels * 4);
    for (std::size_t at = 0; at < image.argb.size();) {
        const std::size_t n = std::min(piece_pixels, image.argb.size() - at);
        for (std::size_t k = 0; k < n; ++k) tex_put_le32(piece, 4 * k, image.argb[at + k]);
        if (tex_payload_write(out, std::span(piece.data(), 4 * n)) != 0) return -1;
        at += n;
    }
    return 0;
}

}  // namespace

const char* pack_program = "morvex_tex_pack";

void pack_error(const char* format, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", pack_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

std::string pack_entry_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int pack_check_entry_name(const std::string& path, const std::string& name)
{
    const std::string shown = tex_printable_name(path);
    if (name.empty()) {
        pack_error("%s: no file name to store it under", shown.c_str());
        return -1;
    }
    if (name.size() > tex_name_size) {
        pack_error("%s: its name is %zu bytes long; an entry's name holds at most 32", shown.c_str(), name.size());
        return -1;
    }
    // Nothing the readers would refuse to write back.
    if (const name_problem p = output_name_problem(name); p != name_problem::none) {
        pack_error("%s: can't be stored as %s: %s", shown.c_str(), tex_printable_name(name).c_str(),
                   name_problem_text(p, false));
        return -1;
    }
    if (image_format_for(name) == image_format::none) {
        pack_error("%s: unknown image format (the name must end in .png, .tga, .bmp or .pcx)", shown.c_str());
        return -1;
    }
    return 0;
}

int pack_write_image(tex_payload_out& out, const pack_image& image, std::uint8_t type)
{
    return type == 4 ? write_type4(out, image) : write_type6(out, image);
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

int pack_open_source(const std::string& path, pack_source& out)
{
    const std::string shown = tex_printable_name(path);
    out.path = path;
    if (tex_open_archive(path.c_str(), out.file) != 0) {
        pack_error("%s: %s", shown.c_str(), std::strerror(errno));
        return -1;
    }
    if (tex_open_index(out.file.fd, out.file.size, out.index) != 0) {
        pack_error("%s: can't hold the order of its %u table records in memory", shown.c_str(), out.index.count);
        return -1;
    }
    if (!out.index.recognised) {
        pack_error("%s: not a TEX version 3 archive", shown.c_str());
        return -1;
    }
    // Every problem that keeps an entry from being copied as it is, worded
    // as `test` words it: the first few, and how many more there are.
    std::uint64_t problems = 0;
    const auto say = [&](const std::string& where, const tex_finding& f) {
        if (++problems <= max_problems_said) {
            pack_error("%s: %s%s: it can't be kept byte for byte", shown.c_str(), where.c_str(), finding_text(f).c_str());
        }
    };
    for (const tex_finding& f : tex_archive_findings(out.index, out.file.cut_at_limit)) say("", f);
    tex_table_cursor cursor{&out.index, {}, 0, 0};
    for (std::uint32_t i = 0; i < out.index.count; ++i) {
        const tex_entry_view v = tex_read_entry(out.index, cursor, i);
        for (const tex_finding& f : tex_entry_findings(out.index, v)) {
            if (!breaks_the_layout(f)) continue;
            const std::string name = v.state == tex_entry_state::ok ? tex_printable_name(tex_entry_name(v.header)) : "-";
            say("entry " + std::to_string(i) + " (" + name + "): ", f);
        }
    }
    if (problems > max_problems_said) {
        pack_error("%s: %llu problems more (`morvex_tex test` lists them all)", shown.c_str(),
                   static_cast<unsigned long long>(problems - max_problems_said));
    }
    return problems ? -1 : 0;
}

bool pack_entry_holds(const pack_source& source, const tex_entry_view& v, const pack_image& image)
{
    const tex_entry_header& h = v.header;
    if (h.width != image.width || h.height != image.height) return false;
    // An image from a file without alpha says nothing about the entry's alpha.
    std::size_t k = 0;
    if (h.rep_t_id == 6) {
        const std::uint32_t mask = image.has_alpha ? 0xFFFFFFFFu : 0x00FFFFFFu;
        if (v.record.compressed_size != image.argb.size() * 4) return false;
        return each_stored_argb8888(source, v, [&](std::uint32_t p) { return ((p ^ image.argb[k++]) & mask) == 0; });
    }
    if (h.rep_t_id != 4) return false;
    const std::uint32_t mask = image.has_alpha ? 0xFFFFu : 0x0FFFu;
    return each_stored_argb4444(source, v, [&](std::uint16_t p) { return ((p ^ pack_argb4444(image.argb[k++])) & mask) == 0; });
}

bool pack_entry_has_alpha(const pack_source& source, const tex_entry_view& v)
{
    bool found = false;
    if (v.header.rep_t_id == 6) {
        each_stored_argb8888(source, v, [&](std::uint32_t p) { return !(found = p >> 24 != 0xFF); });
    } else if (v.header.rep_t_id == 4) {
        each_stored_argb4444(source, v, [&](std::uint16_t p) { return !(found = p >> 12 != 15); });
    }
    return found;
}
