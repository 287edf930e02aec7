// The entry job: an entry's payload read from the archive, written as stored
// or decoded into a 32-bit image and written in the format its name selects,
// into a new file beneath the output root, with what it met collected as
// findings in order. Placing the file is a step of its own, so that a caller
// may run jobs ahead and place their files in table order.
#include "entries/entries.hpp"
#include "entries/decode.hpp"
#include "images/thumbnail.hpp"
#include "images/chunk_output.hpp"
#include "entries/zstream.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <unistd.h>

namespace {

using k = tex_finding_kind;

constexpr std::size_t stream_piece = 1 << 20;

// Payload bytes copied at a time in raw mode.
constexpr std::size_t raw_piece = 1 << 20;

tex_finding write_failure(int error)
{
    tex_finding f{k::output_failed, static_cast<std::uint64_t>(output_stage::write)};
    f.error = error;
    return f;
}

template <typename T>
std::unique_ptr<T[]> take(std::uint64_t count)
{
    // Where size_t is 32 bits (WebAssembly) a count may lie beyond memory's reach.
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count ? static_cast<std::size_t>(count) : 1]);
}

// The payload as stored, copied through a buffer: one read and one write
// per piece measured cheaper than the kernel's file-to-file copy from an
// offset that isn't page-aligned.
int copy_payload(const extract_request& r, int out, std::vector<tex_finding>& found)
{
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(r.payload_len, raw_piece));
    const auto buffer = take<std::uint8_t>(piece);
    if (!buffer) {
        found.push_back({k::no_memory_payload, piece});
        return -1;
    }
    for (std::uint64_t done = 0; done < r.payload_len;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, r.payload_len - done));
        if (const std::size_t got = tex_pread(r.archive_fd, std::span(buffer.get(), n), r.payload_offset + done); got != n) {
            found.push_back({k::payload_cut, done + got, r.payload_len});
            return -1;
        }
        if (write_all(out, buffer.get(), n) != 0) {
            found.push_back(write_failure(errno));
            return -1;
        }
        done += n;
    }
    return 0;
}

// Where an entry's pixels are decoded: an image of the job's own, or memory
// its caller gave (decode_entry_pixels_into), width * height pixels.
struct pixel_room {
    std::uint32_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool rgba = false;  // RGBA8 bytes (the caller's), not 0xAARRGGBB
};

// The room for the request's pixels: `given`, when the caller gave some,
// else `image` made. False when there is none.
bool take_room(const extract_request& r, std::span<std::uint32_t> given, image32& image, pixel_room& room)
{
    if (given.empty()) {
        if (!make_image32(r.width, r.height, image)) return false;
        room = {image.pixels.get(), image.width, image.height};
        return true;
    }
    if (r.width == 0 || r.height == 0 || given.size() < std::uint64_t{r.width} * r.height) return false;
    room = {given.data(), r.width, r.height, true};
    return true;
}

// Widens the `count` whole ARGB4444 pixels of `bytes` into the image from
// pixel `first` on; pixels past the image are only counted by the caller.
void widen_into(const pixel_room& image, std::uint64_t first, const std::uint8_t* bytes, std::uint64_t count)
{
    const std::uint64_t total = std::uint64_t{image.width} * image.height;
    if (first >= total) return;
    count = std::min(count, total - first);
    const std::span<const std::uint8_t> from(bytes, static_cast<std::size_t>(count * 2));
    if (image.rgba) {
        widen_argb4444_rgba(from, reinterpret_cast<std::uint8_t*>(image.pixels + first), static_cast<std::size_t>(count));
    } else {
        widen_argb4444(from, std::span(image.pixels + first, static_cast<std::size_t>(count)));
    }
}

// The thumbnail a page shows of an entry: made and encoded here, on the
// worker, so that only its small file waits for the page.
void encode_entry_thumbnail(const image32& thumb, bool transparent, extract_thumbnail& out)
{
    out.transparent = transparent;
    if (!thumb.pixels || encode_thumbnail(view_of(thumb), thumbnail_encoding::chosen, out.file, &out.mime) != 0) {
        out.error = errno ? errno : ENOMEM;
        out.file.clear();
        return;
    }
    out.width = thumb.width;
    out.height = thumb.height;
}

void make_entry_thumbnail(image_view image, unsigned side, extract_thumbnail& out)
{
    image32 thumb;
    if (make_thumbnail(image, side, thumb) != 0) thumb = image32{};
    encode_entry_thumbnail(thumb, image_has_transparency(image), out);
}

void make_entry_thumbnail_4444(std::span<const std::uint8_t> pixels, const extract_request& r, extract_thumbnail& out)
{
    image32 thumb;
    bool transparent = false;
    if (thumbnail_from_argb4444(pixels, r.width, r.height, r.thumbnail_side, thumb, transparent) != 0) thumb = image32{};
    encode_entry_thumbnail(thumb, transparent, out);
}

// Inflates in one call into a buffer of `capacity` bytes, handed back in
// `inflated`. -1 when the stream fails.
int inflate_whole(const extract_request& r, std::uint64_t capacity, std::unique_ptr<std::uint8_t[]>& inflated,
                  std::uint64_t& out_len, std::vector<tex_finding>& found)
{
    const auto payload = take<std::uint8_t>(r.payload_len);
    if (!payload) {
        found.push_back({k::no_memory_payload, r.payload_len});
        return -1;
    }
    const std::span<std::uint8_t> in(payload.get(), r.payload_len);
    if (const std::size_t got = tex_pread(r.archive_fd, in, r.payload_offset); got != r.payload_len) {
        found.push_back({k::payload_cut, got, r.payload_len});
        return -1;
    }
    inflated = take<std::uint8_t>(capacity);
    if (!inflated) {
        found.push_back({k::no_memory_inflate, capacity});
        return -1;
    }
    std::size_t produced = 0;
    if (const int rc = inflate_zlib(in, std::span(inflated.get(), static_cast<std::size_t>(capacity)), produced); rc != 0) {
        found.push_back(rc == -2 ? tex_finding{k::stream_too_long, capacity} : tex_finding{k::stream_damaged});
        return -1;
    }
    out_len = produced;
    return 0;
}

// Widens what one-call inflation produced into the image.
void widen_inflated(const std::uint8_t* inflated, std::uint64_t produced, const pixel_room& image)
{
    widen_into(image, 0, inflated, produced / 2);
    if (produced % 2 != 0 && produced / 2 < std::uint64_t{image.width} * image.height) {
        // A last odd byte is the low half of a pixel whose high half is zero.
        const std::uint8_t last[2] = {inflated[produced - 1], 0};
        widen_into(image, produced / 2, last, 1);
    }
}

// Inflates a piece at a time straight into the image; bytes beyond the image
// are counted, not kept. The same outcome as the one-call inflation: a
// damaged, incomplete or over-long (past `capacity`) stream fails.
int inflate_streaming(const extract_request& r, std::uint64_t capacity, const pixel_room& image, std::uint64_t& out_len,
                      std::vector<tex_finding>& found)
{
    const auto in = take<std::uint8_t>(stream_piece);
    const auto out = take<std::uint8_t>(stream_piece + 1);
    if (!in || !out) {
        found.push_back({k::no_memory_inflate, 2 * stream_piece});
        return -1;
    }
    const auto damaged = [&] {
        found.push_back({k::stream_damaged});
        return -1;
    };
    zlib_stream s;
    if (s.start_inflate() != 0) return damaged();
    std::uint64_t fed = 0;
    std::uint64_t produced = 0;  // bytes inflated so far
    std::size_t carried = 0;     // an odd byte waiting for its pixel's high half
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (s.z.avail_in == 0) {
            if (fed == r.payload_len) return damaged();  // the stream ends before its end
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(stream_piece, r.payload_len - fed));
            if (const std::size_t got = tex_pread(r.archive_fd, std::span(in.get(), n), r.payload_offset + fed); got != n) {
                found.push_back({k::payload_cut, fed + got, r.payload_len});
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
        if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && s.z.avail_in == 0)) return damaged();
        const std::size_t now = stream_piece - carried - s.z.avail_out;
        if (produced + now > capacity) {
            // More than the room one call would have had.
            found.push_back({k::stream_too_long, capacity});
            return -1;
        }
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

// With `thumbnail` (a page's, writing nothing) and a stream inflated in one
// call, the image itself is never made: the thumbnail comes straight from the
// 16-bit pixels, and `image` stays empty. With pixels `given`, they are
// decoded into, and `image` stays empty too.
int decode_type4(const extract_request& r, image32& image, std::span<std::uint32_t> given, std::vector<tex_finding>& found,
                 extract_thumbnail* thumbnail)
{
    const std::uint64_t pixels = std::uint64_t{r.width} * r.height;
    const std::uint64_t expected = pixels * 2;
    const std::uint64_t most = r.payload_len * max_inflate_ratio + max_inflate_slack;
    if (expected > most) {
        found.push_back({k::too_few_to_inflate, r.payload_len, r.width, r.height, expected});
        return -1;
    }
    // At least the pixels' bytes, or the entry was refused just above (or by
    // the decision, for the run's budget).
    const std::uint64_t capacity = inflate_room(r);
    const bool whole = r.payload_len + capacity <= r.whole_buffer_limit;
    const bool thumbnail_only = thumbnail && whole;
    pixel_room room;
    if (!thumbnail_only && !take_room(r, given, image, room)) {
        found.push_back({k::no_memory_image, r.width, r.height});
        return -1;
    }
    std::uint64_t out_len = 0;
    std::unique_ptr<std::uint8_t[]> inflated;
    const int rc = whole ? inflate_whole(r, capacity, inflated, out_len, found)
                         : inflate_streaming(r, capacity, room, out_len, found);
    if (rc != 0) return -1;
    if (out_len != expected) found.push_back({k::inflated_length, out_len, r.width, r.height, expected});
    if (thumbnail_only) {
        // Pixels the stream didn't reach are transparent black.
        if (out_len < expected) std::fill(inflated.get() + out_len, inflated.get() + expected, std::uint8_t{0});
        make_entry_thumbnail_4444(std::span(inflated.get(), static_cast<std::size_t>(expected)), r, *thumbnail);
        return 0;
    }
    if (whole) widen_inflated(inflated.get(), out_len, room);
    // Pixels the stream didn't reach are transparent black.
    const std::uint64_t filled = (out_len + 1) / 2;
    if (filled < pixels) {
        std::fill(room.pixels + filled, room.pixels + pixels, 0u);
    }
    return 0;
}

int decode_type6(const extract_request& r, image32& image, std::span<std::uint32_t> given, std::vector<tex_finding>& found)
{
    const std::uint64_t needed = std::uint64_t{r.width} * r.height * 4;
    if (r.payload_len < needed) {
        found.push_back({k::payload_short, r.payload_len, r.width, r.height, needed});
        return -1;
    }
    pixel_room room;
    if (!take_room(r, given, image, room)) {
        found.push_back({k::no_memory_image, r.width, r.height});
        return -1;
    }
    // Bytes B, G, R, A are the image's own pixels in memory: read straight in
    // (for RGBA8, red and blue then trade places).
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(room.pixels),
                                        static_cast<std::size_t>(needed));
    if (const std::size_t got = tex_pread(r.archive_fd, bytes, r.payload_offset); got != needed) {
        found.push_back({k::payload_cut, got, r.payload_len});
        return -1;
    }
    if (room.rgba) {
        argb8888_to_rgba(bytes);
    } else if constexpr (std::endian::native != std::endian::little) {
        for (std::uint32_t y = 0; y < r.height; ++y) {
            const std::span<std::uint32_t> row(room.pixels + std::size_t{y} * r.width, r.width);
            std::vector<std::uint8_t> copy(row.size() * 4);
            std::memcpy(copy.data(), row.data(), copy.size());
            convert_argb8888(copy, row);
        }
    }
    return 0;
}

}  // namespace

void extract_entry(const output_root& root, const extract_request& r, extract_outcome& out)
{
    out.result = -1;
    std::vector<tex_finding>& found = out.findings;
    if (!r.decode_only) {
        name_problem why = name_problem::none;
        const output_error e = output_begin(root, r.output_name, out.file, why);
        if (e == output_error::refused) {
            found.push_back({k::name_refused, static_cast<std::uint64_t>(why)});
            return;
        }
        if (e != output_error::none) {
            tex_finding f{k::output_failed, static_cast<std::uint64_t>(output_stage::create)};
            f.error = errno;
            found.push_back(f);
            return;
        }
    }
    if (r.raw) {
        if (!r.decode_only && copy_payload(r, out.file.fd, found) != 0) return;
        out.result = 0;
        return;
    }

    image32 image;
    // A page's thumbnail, when nothing is written, may come without the image
    // (unless the image is wanted back).
    extract_thumbnail* thumbnail = r.thumbnail_side && r.decode_only && !r.keep_image ? &out.thumbnail : nullptr;
    const int rc = r.type == 4 ? decode_type4(r, image, {}, found, thumbnail) : decode_type6(r, image, {}, found);
    if (rc != 0) return;
    if (r.thumbnail_side && image.pixels) make_entry_thumbnail(view_of(image), r.thumbnail_side, out.thumbnail);
    if (!r.decode_only && write_image(out.file.fd, image_format_for(r.output_name, image_use::write), view_of(image)) != 0) {
        found.push_back(write_failure(errno));
        return;
    }
    if (r.keep_image) out.image = std::move(image);
    out.result = 0;
}

void extract_place(const extract_request& r, extract_outcome& out)
{
    if (out.result != 0 || r.decode_only || out.placed) return;
    if (output_commit(out.file, !r.keep) != 0) {
        if (errno == EEXIST && r.keep) {
            out.skipped = true;
            return;
        }
        tex_finding f{k::output_failed, static_cast<std::uint64_t>(output_stage::place)};
        f.error = errno;
        out.findings.push_back(f);
        out.result = -1;
        return;
    }
    out.placed = true;
}

int decode_entry_pixels(const extract_request& r, image32& out, std::vector<tex_finding>& found)
{
    return r.type == 4 ? decode_type4(r, out, {}, found, nullptr) : decode_type6(r, out, {}, found);
}

int decode_entry_pixels_into(const extract_request& r, std::span<std::uint32_t> pixels, std::vector<tex_finding>& found)
{
    image32 unused;
    return r.type == 4 ? decode_type4(r, unused, pixels, found, nullptr) : decode_type6(r, unused, pixels, found);
}
