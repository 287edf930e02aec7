// The entry job: an entry's payload read from the archive, written as stored
// or decoded into a 32-bit image and written in the format its name selects,
// into a new file beneath the output root, with the entry's messages
// collected in order. Placing the file is a step of its own, so that a
// caller may run jobs ahead and place their files in table order.
#include "extract/extract.hpp"
#include "extract/chunk_output.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <unistd.h>
#include <zlib.h>

// A type-4 entry whose payload and inflation room together stay below this
// is inflated in one call into a buffer (libdeflate, the fastest); a larger
// one is inflated a piece at a time straight into its image (zlib), so that
// an entry never needs more than its image and this much besides.
std::uint64_t extract_whole_buffer_limit = 48ull << 20;

namespace {

using u64 = unsigned long long;

constexpr std::size_t stream_piece = 1 << 20;

// Payload bytes copied at a time in raw mode.
constexpr std::size_t raw_piece = 1 << 20;

template <typename T>
std::unique_ptr<T[]> take(std::uint64_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count ? count : 1]);
}

// The payload as stored, copied through a buffer: one read and one write
// per piece measured cheaper than the kernel's file-to-file copy from an
// offset that isn't page-aligned.
int copy_payload(const extract_request& r, int out)
{
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(r.payload_len, raw_piece));
    const auto buffer = take<std::uint8_t>(piece);
    if (!buffer) return -1;
    for (std::uint64_t done = 0; done < r.payload_len;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, r.payload_len - done));
        if (tex_pread(r.archive_fd, std::span(buffer.get(), n), r.payload_offset + done) != n) return -1;
        if (write_all(out, buffer.get(), n) != 0) return -1;
        done += n;
    }
    return 0;
}

// The checks every conversion passes before any work: a format for the name,
// an image of some pixels, and not too many.
int check_image_request(const extract_request& r, const std::string& shown, std::string& lines)
{
    if (!r.decode_only && image_format_for(r.output_name) == image_format::none) {
        add_line(lines, "ERROR : no image format for %s (names must end in .tga, .png, .bmp or .pcx)\n",
                 tex_printable_name(r.output_name).c_str());
        return -1;
    }
    if (r.width == 0 || r.height == 0) {
        add_line(lines, "can't create bitmap of %u * %u pixels 32bpp\n", r.width, r.height);
        return -1;
    }
    if (std::uint64_t{r.width} * r.height > max_image_pixels) {
        add_line(lines, "ERROR : %s is %u * %u pixels, more than the 16384 * 16384 this tool converts\n",
                 shown.c_str(), r.width, r.height);
        return -1;
    }
    return 0;
}

// Widens the `count` whole ARGB4444 pixels of `bytes` into the image from
// pixel `first` on; pixels past the image are only counted by the caller.
void widen_into(image32& image, std::uint64_t first, const std::uint8_t* bytes, std::uint64_t count)
{
    const std::uint64_t total = std::uint64_t{image.width} * image.height;
    if (first >= total) return;
    count = std::min(count, total - first);
    widen_argb4444(std::span(bytes, static_cast<std::size_t>(count * 2)),
                   std::span(image.pixels.get() + first, static_cast<std::size_t>(count)), argb_layout);
}

// Inflates in one call into a buffer, then widens. -1 when the stream fails.
int inflate_whole(const extract_request& r, const std::string& shown, std::uint64_t capacity, image32& image,
                  std::uint64_t& out_len, std::string& lines)
{
    const auto payload = take<std::uint8_t>(r.payload_len);
    if (!payload) {
        add_line(lines, "can't allocate %u bytes for SRC buffer of %s\n", r.payload_len, shown.c_str());
        return -1;
    }
    const std::span<std::uint8_t> in(payload.get(), r.payload_len);
    if (const std::size_t got = tex_pread(r.archive_fd, in, r.payload_offset); got != r.payload_len) {
        add_line(lines, "ERROR : payload of %s cut short: read %zu of its %u bytes\n", shown.c_str(), got,
                 r.payload_len);
        return -1;
    }
    const auto inflated = take<std::uint8_t>(capacity);
    if (!inflated) {
        add_line(lines, "can't allocate %llu bytes for DST buffer of %s\n", static_cast<u64>(capacity), shown.c_str());
        return -1;
    }
    std::size_t produced = 0;
    if (inflate_zlib(in, std::span(inflated.get(), static_cast<std::size_t>(capacity)), produced) != 0) return -1;
    out_len = produced;
    widen_into(image, 0, inflated.get(), produced / 2);
    if (produced % 2 != 0 && produced / 2 < std::uint64_t{image.width} * image.height) {
        // A last odd byte is the low half of a pixel whose high half is zero.
        const std::uint8_t last[2] = {inflated[produced - 1], 0};
        widen_into(image, produced / 2, last, 1);
    }
    return 0;
}

struct zstream_owner {
    z_stream z{};
    bool open = false;
    ~zstream_owner()
    {
        if (open) inflateEnd(&z);
    }
};

// Inflates a piece at a time straight into the image; bytes beyond the image
// are counted, not kept. The same outcome as the one-call inflation: a
// damaged, incomplete or over-long (past `capacity`) stream fails.
int inflate_streaming(const extract_request& r, const std::string& shown, std::uint64_t capacity, image32& image,
                      std::uint64_t& out_len, std::string& lines)
{
    const auto in = take<std::uint8_t>(stream_piece);
    const auto out = take<std::uint8_t>(stream_piece + 1);
    if (!in || !out) {
        add_line(lines, "can't allocate %zu bytes for DST buffer of %s\n", 2 * stream_piece, shown.c_str());
        return -1;
    }
    zstream_owner s;
    if (inflateInit(&s.z) != Z_OK) return -1;
    s.open = true;
    std::uint64_t fed = 0;
    std::uint64_t produced = 0;  // bytes inflated so far
    std::size_t carried = 0;     // an odd byte waiting for its pixel's high half
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (s.z.avail_in == 0) {
            if (fed == r.payload_len) return -1;  // the stream ends before its end
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(stream_piece, r.payload_len - fed));
            if (tex_pread(r.archive_fd, std::span(in.get(), n), r.payload_offset + fed) != n) {
                add_line(lines, "ERROR : payload of %s cut short: read %llu of its %u bytes\n", shown.c_str(),
                         static_cast<u64>(fed), r.payload_len);
                return -1;
            }
            fed += n;
            s.z.next_in = in.get();
            s.z.avail_in = static_cast<uInt>(n);
        }
        out[0] = out[stream_piece];  // the carried byte, if any, leads the next piece
        s.z.next_out = out.get() + carried;
        s.z.avail_out = static_cast<uInt>(stream_piece - carried);
        rc = inflate(&s.z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && s.z.avail_in == 0)) return -1;
        const std::size_t now = stream_piece - carried - s.z.avail_out;
        if (produced + now > capacity) return -1;  // more than the room one call would have had
        const std::size_t bytes = carried + now;
        widen_into(image, (produced - carried) / 2, out.get(), bytes / 2);
        produced += now;
        carried = bytes % 2;
        if (carried) out[stream_piece] = out[bytes - 1];
    }
    out_len = produced;
    if (carried && produced / 2 < std::uint64_t{image.width} * image.height) {
        const std::uint8_t last[2] = {out[stream_piece], 0};
        widen_into(image, produced / 2, last, 1);
    }
    return 0;
}

int decode_type4(const extract_request& r, const std::string& shown, image32& image, std::string& lines)
{
    const std::uint64_t pixels = std::uint64_t{r.width} * r.height;
    const std::uint64_t expected = pixels * 2;
    const std::uint64_t most = r.payload_len * max_inflate_ratio + max_inflate_slack;
    if (expected > most) {
        add_line(lines, "ERROR : payload of %s holds %u bytes, too few to inflate to %u * %u * 2 (%llu)\n",
                 shown.c_str(), r.payload_len, r.width, r.height, static_cast<u64>(expected));
        return -1;
    }
    // Up to three times the pixels' bytes still decode and are reported as a
    // length mismatch; never more than the payload can inflate to.
    const std::uint64_t capacity = std::min(pixels * 6, most & ~std::uint64_t{1});
    if (!make_image32(r.width, r.height, image)) {
        add_line(lines, "can't create bitmap of %u * %u pixels 32bpp\n", r.width, r.height);
        return -1;
    }
    std::uint64_t out_len = 0;
    const int rc = r.payload_len + capacity <= extract_whole_buffer_limit
                       ? inflate_whole(r, shown, capacity, image, out_len, lines)
                       : inflate_streaming(r, shown, capacity, image, out_len, lines);
    if (rc != 0) return -1;
    if (out_len != expected) {
        add_line(lines, "ERROR : out_len != width * height * 2\n");
        add_line(lines, "        %llu     != %u * %u * 2 (%llu)\n", static_cast<u64>(out_len), r.width, r.height,
                 static_cast<u64>(expected));
    }
    // Pixels the stream didn't reach are transparent black.
    const std::uint64_t filled = (out_len + 1) / 2;
    if (filled < pixels) {
        std::fill(image.pixels.get() + filled, image.pixels.get() + pixels, 0u);
    }
    return 0;
}

int decode_type6(const extract_request& r, const std::string& shown, image32& image, std::string& lines)
{
    const std::uint64_t needed = std::uint64_t{r.width} * r.height * 4;
    if (r.payload_len < needed) {
        add_line(lines, "ERROR : payload of %s holds %u bytes, fewer than %u * %u * 4 (%llu)\n", shown.c_str(),
                 r.payload_len, r.width, r.height, static_cast<u64>(needed));
        return -1;
    }
    if (!make_image32(r.width, r.height, image)) {
        add_line(lines, "can't create bitmap of %u * %u pixels 32bpp\n", r.width, r.height);
        return -1;
    }
    // Bytes B, G, R, A are the image's own pixels in memory: read straight in.
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(image.pixels.get()),
                                        static_cast<std::size_t>(needed));
    if (const std::size_t got = tex_pread(r.archive_fd, bytes, r.payload_offset); got != needed) {
        add_line(lines, "ERROR : payload of %s cut short: read %zu of its %u bytes\n", shown.c_str(), got,
                 r.payload_len);
        return -1;
    }
    if constexpr (std::endian::native != std::endian::little) {
        for (std::uint32_t y = 0; y < r.height; ++y) {
            const std::span<std::uint32_t> row = image.row(y);
            std::vector<std::uint8_t> copy(row.size() * 4);
            std::memcpy(copy.data(), row.data(), copy.size());
            convert_argb8888(copy, row, argb_layout);
        }
    }
    return 0;
}

}  // namespace

void add_line(std::string& lines, const char* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof buf) {
        lines.append(buf, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    big.pop_back();
    lines += big;
}

void extract_entry(const output_root& root, const extract_request& r, extract_outcome& out)
{
    out.result = -1;
    const std::string shown = tex_printable_name(r.name);
    std::string& lines = out.lines;
    if (!r.decode_only) {
        if (const char* reason = output_name_problem(r.output_name)) {
            add_line(lines, "ERROR : refusing to write %s: %s\n", tex_printable_name(r.output_name).c_str(), reason);
            return;
        }
    }
    if (r.payload_offset + r.payload_len > r.archive_size) {
        add_line(lines, "ERROR : payload of %s runs past the end of the archive (%u bytes at 0x%08llX, archive %llu bytes)\n",
                 shown.c_str(), r.payload_len, static_cast<u64>(r.payload_offset), static_cast<u64>(r.archive_size));
        return;
    }
    if (!r.raw && check_image_request(r, shown, lines) != 0) return;

    if (!r.decode_only) {
        const char* reason = nullptr;
        const output_error e = output_begin(root, r.output_name, out.file, reason);
        if (e == output_error::refused) {
            add_line(lines, "ERROR : refusing to write %s: %s\n", tex_printable_name(r.output_name).c_str(), reason);
            return;
        }
        if (e != output_error::none) {
            add_line(lines, "ERROR, can't create %s for output\n", tex_printable_name(r.output_name).c_str());
            return;
        }
    }
    if (r.raw) {
        if (!r.decode_only && copy_payload(r, out.file.fd) != 0) {
            add_line(lines, "ERROR, can't create %s for output\n", tex_printable_name(r.output_name).c_str());
            return;
        }
        out.result = 0;
        return;
    }

    image32 image;
    const int rc = r.type == 4 ? decode_type4(r, shown, image, lines) : decode_type6(r, shown, image, lines);
    if (rc != 0) return;
    if (!r.decode_only && write_image(out.file.fd, image_format_for(r.output_name), view_of(image)) != 0) {
        add_line(lines, "ERROR, can't create %s for output\n", tex_printable_name(r.output_name).c_str());
        return;
    }
    out.result = 0;
}

void extract_place(const extract_request& r, extract_outcome& out)
{
    if (out.result != 0 || r.decode_only || out.placed) return;
    if (output_commit(out.file) != 0) {
        add_line(out.lines, "ERROR, can't create %s for output\n", tex_printable_name(r.output_name).c_str());
        out.result = -1;
        return;
    }
    out.placed = true;
}
