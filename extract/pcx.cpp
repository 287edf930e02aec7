// The PCX writer: byte for byte what the graphics library's saver writes for a
// 32-bit bitmap: a 128-byte header, then each row as three planes of bytes
// (all the red levels, then green, then blue) run-length coded as one
// sequence, runs crossing from one plane into the next.
//
// The coding: a run of 2 to 63 equal bytes, or a single byte of 0xC0 or more,
// is the count with its top two bits set, then the byte; any other single byte
// stands for itself. Runs are taken greedily from the left and never cross the
// end of a row.
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
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// One run of `length` bytes `c`: runs longer than 63 are cut into runs of 63
// from the left, as the library's saver cuts them.
inline std::uint8_t* put_run(std::uint8_t* out, std::uint8_t c, std::size_t length)
{
    while (length > pcx_longest_run) {
        out[0] = static_cast<std::uint8_t>(0xC0 | pcx_longest_run);
        out[1] = c;
        out += 2;
        length -= pcx_longest_run;
    }
    // The count byte and then the byte itself, which overwrites the count when
    // the run needs none; no branch on the data.
    const std::size_t counted = static_cast<std::size_t>(length > 1) | static_cast<std::size_t>(c >= 0xC0);
    out[0] = static_cast<std::uint8_t>(0xC0 | length);
    out[counted] = c;
    return out + 1 + counted;
}

// Bit k set when byte k of the 8 at `p` differs from the byte after it.
inline std::uint64_t run_ends_in_word(const std::uint8_t* p)
{
    constexpr std::uint64_t low_bits = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t high_bits = 0x8080808080808080ull;
    const std::uint64_t diff = load_le64(p) ^ load_le64(p + 1);
    // The top bit of every byte of diff that is not zero, then those 8 bits
    // gathered into the top byte by one multiplication.
    const std::uint64_t tops = (((diff & low_bits) + low_bits) | diff) & high_bits;
    return (tops * 0x0002040810204081ull) >> 56;
}

// Bytes per block whose run ends are found together.
constexpr std::size_t run_block = 64;

// Codes `size` bytes from `in` into `out` (room for 2 * size bytes) and
// returns the end of the coded bytes. `in` holds run_block bytes more, the
// first of them different from in[size - 1], so that the last run ends there.
//
// Where runs end is as good as random in a texture (a run every few bytes), so
// a branch per byte or per run is mispredicted about once a run. Here the ends
// of 64 bytes are found without branches, then one pass of the inner loop per
// run: a misprediction per 64 bytes, when that loop exits.
std::uint8_t* code_runs(const std::uint8_t* in, std::size_t size, std::uint8_t* out)
{
    std::size_t start = 0;  // where the current run started
    for (std::size_t base = 0; base < size; base += run_block) {
        std::uint64_t ends = 0;
        for (std::size_t w = 0; w < run_block; w += 8) ends |= run_ends_in_word(in + base + w) << w;
        if (size - base < run_block) ends &= (std::uint64_t{1} << (size - base)) - 1;
        while (ends != 0) {
            const std::size_t at = base + static_cast<std::size_t>(std::countr_zero(ends));
            ends &= ends - 1;
            out = put_run(out, in[at], at + 1 - start);
            start = at + 1;
        }
    }
    return out;
}

}  // namespace

int write_pcx(int fd, image_view image)
{
    if (check_image_view(image) != 0) return -1;
    const std::size_t plane_bytes = std::size_t{image.width} * 3;
    // Coded, a row takes at most two bytes for each of its bytes.
    const std::size_t coded_room = 2 * plane_bytes;
    std::vector<std::uint8_t> planes;
    chunk_output out;
    try {
        planes.assign(plane_bytes + run_block, 0);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    if (open_chunk_output(out, fd, coded_room) != 0) return -1;
    const auto header = pcx_header(image.width, image.height);
    if (chunk_put(out, header.data(), header.size()) != 0) return -1;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        row_to_planes(image_view_row(image, y), image.width, planes.data());
        planes[plane_bytes] = static_cast<std::uint8_t>(~planes[plane_bytes - 1]);
        std::uint8_t* room = chunk_room(out, coded_room);
        if (!room) return -1;
        chunk_commit(out, static_cast<std::size_t>(code_runs(planes.data(), plane_bytes, room) - room));
    }
    return flush_chunk_output(out);
}
