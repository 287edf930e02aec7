// The PCX writer: byte for byte what the graphics library's saver writes for a
// 32-bit bitmap: a 128-byte header, then each row as three planes of bytes
// (all the red levels, then green, then blue) run-length coded as one
// sequence, runs crossing from one plane into the next.
//
// The coding: a run of 2 to 63 equal bytes, or a single byte of 0xC0 or more,
// is the count with its top two bits set, then the byte; any other single byte
// stands for itself. Runs are taken greedily from the left and never cross the
// end of a row.
#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "extract/chunk_output.hpp"

namespace {

constexpr std::size_t pcx_header_size = 128;
constexpr std::size_t pcx_longest_run = 63;

std::array<std::uint8_t, pcx_header_size> pcx_header(std::uint32_t width, std::uint32_t height)
{
    std::array<std::uint8_t, pcx_header_size> h{};
    h[0] = 10;  // maker
    h[1] = 5;   // version
    h[2] = 1;   // run-length coding
    h[3] = 8;   // bits per pixel and plane
    // Left and top 0, then the last column and row.
    put_le16(&h[8], static_cast<std::uint16_t>(width - 1));
    put_le16(&h[10], static_cast<std::uint16_t>(height - 1));
    put_le16(&h[12], 320);  // the library's dots per inch
    put_le16(&h[14], 200);
    // The 16-colour palette at 16..63 is the library's current palette, which
    // stays black: no graphics mode is ever set. Byte 64 is reserved.
    h[65] = 3;  // planes
    put_le16(&h[66], static_cast<std::uint16_t>(width));  // bytes per plane row (odd widths not rounded up)
    put_le16(&h[68], 1);                                  // colour palette
    put_le16(&h[70], static_cast<std::uint16_t>(width));  // screen size
    put_le16(&h[72], static_cast<std::uint16_t>(height));
    return h;
}

// Splits a row into its red, green and blue planes, one after the other.
void row_to_planes(const std::uint32_t* row, std::uint32_t width, std::uint8_t* planes)
{
    std::uint8_t* r = planes;
    std::uint8_t* g = planes + width;
    std::uint8_t* b = planes + 2 * std::size_t{width};
    for (std::uint32_t x = 0; x < width; ++x) r[x] = static_cast<std::uint8_t>(row[x] >> 16);
    for (std::uint32_t x = 0; x < width; ++x) g[x] = static_cast<std::uint8_t>(row[x] >> 8);
    for (std::uint32_t x = 0; x < width; ++x) b[x] = static_cast<std::uint8_t>(row[x]);
}

std::uint64_t load_le64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = v << 8 | p[k];
    return v;
}

// How many of the 8 bytes at `p` (at most) stand for themselves: each differs
// from the byte after it and is below 0xC0. Reads p[0..8].
std::size_t plain_bytes(const std::uint8_t* p)
{
    constexpr std::uint64_t lows = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    const std::uint64_t here = load_le64(p);
    const std::uint64_t diff = here ^ load_le64(p + 1);
    // A byte whose two top bits are set, or equal to its successor (a zero in
    // diff; bytes above the first zero may show up falsely, which only ends
    // the count early).
    const std::uint64_t stop = (here & here << 1 & highs) | ((diff - lows) & ~diff & highs);
    return stop == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(stop)) / 8;
}

// Codes `size` bytes from `in` (which holds 8 bytes more, of any value) into
// `out` (room for 2 * size bytes). Returns the end of the coded bytes.
std::uint8_t* code_runs(const std::uint8_t* in, std::size_t size, std::uint8_t* out)
{
    std::size_t i = 0;
    while (i < size) {
        // Stretches of bytes that stand for themselves, 8 at a time: most of a
        // noisy texture. Copied 8 at a time, counted as far as they go.
        if (i + 8 <= size) {
            const std::size_t n = plain_bytes(in + i);
            std::memcpy(out, in + i, 8);
            out += n;
            i += n;
            if (n == 8) continue;
        }
        if (i >= size) break;
        const std::uint8_t c = in[i];
        const std::size_t limit = std::min(size, i + pcx_longest_run);
        std::size_t j = i + 1;
        while (j < limit && in[j] == c) ++j;
        const std::size_t run = j - i;
        if (run > 1 || c >= 0xC0) *out++ = static_cast<std::uint8_t>(0xC0 | run);
        *out++ = c;
        i = j;
    }
    return out;
}

}  // namespace

int write_pcx(int fd, image_view image)
{
    if (check_image_view(image) != 0) return -1;
    const std::size_t plane_bytes = std::size_t{image.width} * 3;
    // Coded, a row takes at most two bytes for each of its bytes, plus the 8
    // bytes the fast path may copy past its end.
    const std::size_t coded_room = 2 * plane_bytes + 8;
    std::vector<std::uint8_t> planes;
    chunk_output out;
    try {
        planes.assign(plane_bytes + 8, 0);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    if (open_chunk_output(out, fd, coded_room) != 0) return -1;
    const auto header = pcx_header(image.width, image.height);
    if (chunk_put(out, header.data(), header.size()) != 0) return -1;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        row_to_planes(image_view_row(image, y), image.width, planes.data());
        std::uint8_t* room = chunk_room(out, coded_room);
        if (!room) return -1;
        chunk_commit(out, static_cast<std::size_t>(code_runs(planes.data(), plane_bytes, room) - room));
    }
    return flush_chunk_output(out);
}
