// PCX files, both ways: the writer the extractor saves images with, and
// the reader the packer takes images from.
//
// Writing.
// The PCX writer: byte for byte what the graphics library's saver writes for a
// 32-bit bitmap: a 128-byte header, then each row as three planes of bytes
// (all the red levels, then green, then blue) run-length coded as one
// sequence, runs crossing from one plane into the next.
//
// The coding: a run of 2 to 63 equal bytes, or a single byte of 0xC0 or more,
// is the count with its top two bits set, then the byte; any other single byte
// stands for itself. Runs are taken greedily from the left and never cross the
// end of a row.
//
// Reading.
// PCX, run-length encoded: one plane of 8-bit indices (palette at the end of
// the file, grey without one) or of 1-bit black and white; 2 or 4 planes of 1
// bit indexing the header's 16 colours; 3 planes of 8 bits (RGB) and 4 (RGBA).
#include "images/chunk_output.hpp"
#include "images/images.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::size_t pcx_header_size = 128;
constexpr std::size_t pcx_longest_run = 63;

std::array<std::uint8_t, pcx_header_size> header_of(std::uint32_t width, std::uint32_t height)
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
    const auto header = header_of(image.width, image.height);
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

// ---------------------------------------------------------------------------
// Reading.

namespace {

constexpr std::size_t header_size = 128;
constexpr std::size_t palette_size = 769;  // the byte 12, then 256 R, G, B triples

struct pcx_header {
    std::uint8_t bits;             // bits per pixel in one plane
    std::uint16_t x_min, y_min;    // inclusive corners
    std::uint16_t x_max, y_max;
    std::uint8_t planes;           // 1 to 4
    std::uint16_t line_bytes;      // bytes of one plane of one row, padding included
};

pcx_header parse_header(std::span<const std::uint8_t> b)
{
    return {b[3], tex_le16(b, 4), tex_le16(b, 6), tex_le16(b, 8), tex_le16(b, 10), b[65], tex_le16(b, 66)};
}

// Run-length bytes: a byte of the two top bits set repeats the next byte as
// many times as its six low bits say; any other byte stands for itself. Runs
// may go on into the next row, not past the image.
class run_reader {
public:
    explicit run_reader(std::span<const std::uint8_t> data) : data_(data) {}

    // Fills `line`; false when the data ends first.
    bool read(std::span<std::uint8_t> line)
    {
        std::size_t k = 0;
        while (k < line.size()) {
            if (left_ == 0) {
                if (at_ >= data_.size()) return false;
                const std::uint8_t b = data_[at_++];
                if ((b & 0xC0u) == 0xC0u) {
                    if (at_ >= data_.size()) return false;
                    left_ = b & 0x3Fu;
                    value_ = data_[at_++];
                } else {
                    left_ = 1;
                    value_ = b;
                }
            }
            const std::size_t n = std::min<std::size_t>(left_, line.size() - k);
            std::fill_n(line.begin() + static_cast<std::ptrdiff_t>(k), n, value_);
            k += n;
            left_ -= static_cast<unsigned>(n);
        }
        return true;
    }

    bool run_left() const { return left_ > 0; }

private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
    unsigned left_ = 0;
    std::uint8_t value_ = 0;
};

enum class pcx_kind { indexed8, mono, planar, rgb, rgba };

int kind_of(const pcx_header& h, pcx_kind& kind, std::string& reason)
{
    if (h.bits == 8 && h.planes == 1) {
        kind = pcx_kind::indexed8;
    } else if (h.bits == 1 && h.planes == 1) {
        kind = pcx_kind::mono;
    } else if (h.bits == 1 && (h.planes == 2 || h.planes == 4)) {
        kind = pcx_kind::planar;
    } else if (h.bits == 8 && h.planes == 3) {
        kind = pcx_kind::rgb;
    } else if (h.bits == 8 && h.planes == 4) {
        kind = pcx_kind::rgba;
    } else {
        reason = "a PCX variant that isn't read (" + std::to_string(h.planes) + " planes of " +
                 std::to_string(h.bits) + " bits)";
        return -1;
    }
    return 0;
}

}  // namespace

int pack_decode_pcx(std::span<const std::uint8_t> file, pack_image& out, std::string& reason)
{
    if (file.size() < header_size) {
        reason = "truncated PCX image: " + std::to_string(file.size()) + " bytes, fewer than its 128-byte header";
        return -1;
    }
    if (file[0] != 0x0A || file[2] != 1) {
        reason = "not a PCX image of run-length data";
        return -1;
    }
    const pcx_header h = parse_header(file);
    pcx_kind kind{};
    if (kind_of(h, kind, reason) != 0) return -1;
    if (h.x_max < h.x_min || h.y_max < h.y_min) {
        reason = "malformed PCX image: its corners are reversed";
        return -1;
    }
    const std::uint64_t width = std::uint64_t{h.x_max} - h.x_min + 1;
    const std::uint64_t height = std::uint64_t{h.y_max} - h.y_min + 1;
    if (pack_check_size(width, height, reason) != 0) return -1;
    if (h.line_bytes < (width * h.bits + 7) / 8) {
        reason = "malformed PCX image: rows of " + std::to_string(h.line_bytes) + " bytes can't hold " +
                 std::to_string(width) + " pixels";
        return -1;
    }
    // An 8-bit single-plane image ends with its palette; without one it is grey.
    std::span<const std::uint8_t> data = file.subspan(header_size);
    std::vector<std::uint32_t> palette;
    if (kind == pcx_kind::indexed8) {
        palette.resize(256);
        const bool has_palette = data.size() >= palette_size && data[data.size() - palette_size] == 12;
        for (std::uint32_t k = 0; k < 256; ++k) palette[k] = 0xFF000000u | k * 0x010101u;
        // Version 5 wrote the palette; without it, an older grey image.
        if (!has_palette && file[1] == 5) {
            reason = "truncated PCX image: no 256-colour palette at its end";
            return -1;
        }
        if (has_palette) {
            const auto p = data.last(palette_size - 1);
            for (std::size_t k = 0; k < 256; ++k) {
                palette[k] = 0xFF000000u | std::uint32_t{p[3 * k]} << 16 | std::uint32_t{p[3 * k + 1]} << 8 | p[3 * k + 2];
            }
            data = data.first(data.size() - palette_size);
        }
    } else if (kind == pcx_kind::planar) {
        palette.resize(16);
        for (std::size_t k = 0; k < 16; ++k) {
            const std::uint8_t* p = file.data() + 16 + 3 * k;
            palette[k] = 0xFF000000u | std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
        }
    }
    // A run of two bytes gives at most 63: a file too short for the image is
    // refused before its pixels are allocated.
    const std::uint64_t decoded = height * h.planes * h.line_bytes;
    if (data.size() < decoded / 63 * 2) {
        reason = "truncated PCX image: " + std::to_string(data.size()) + " bytes of data can't hold " +
                 std::to_string(decoded) + " bytes of rows";
        return -1;
    }
    if (pack_start_image(width, height, out, reason) != 0) return -1;

    // One row of every plane at a time: at most 4 * 65535 bytes.
    std::vector<std::uint8_t> line(std::size_t{h.planes} * h.line_bytes);
    run_reader runs(data);
    for (std::size_t y = 0; y < height; ++y) {
        if (!runs.read(line)) {
            reason = "truncated PCX image: the pixel data ends at row " + std::to_string(y) + " of " +
                     std::to_string(height);
            return -1;
        }
        std::uint32_t* row = out.argb.data() + y * width;
        const auto plane = [&](std::size_t p) { return line.data() + p * h.line_bytes; };
        for (std::size_t x = 0; x < width; ++x) {
            const auto bit = [&](std::size_t p) { return (plane(p)[x / 8] >> (7 - x % 8)) & 1u; };
            switch (kind) {
            case pcx_kind::indexed8: row[x] = palette[plane(0)[x]]; break;
            case pcx_kind::mono: row[x] = bit(0) ? 0xFFFFFFFFu : 0xFF000000u; break;
            case pcx_kind::planar: {
                std::uint32_t index = 0;
                for (std::size_t p = 0; p < h.planes; ++p) index |= bit(p) << p;
                row[x] = palette[index];
                break;
            }
            case pcx_kind::rgb:
            case pcx_kind::rgba:
                row[x] = (kind == pcx_kind::rgba ? std::uint32_t{plane(3)[x]} : 255u) << 24 |
                         std::uint32_t{plane(0)[x]} << 16 | std::uint32_t{plane(1)[x]} << 8 | plane(2)[x];
                break;
            }
        }
    }
    if (runs.run_left()) {
        reason = "malformed PCX image: a run passes the end of the image";
        return -1;
    }
    out.has_alpha = kind == pcx_kind::rgba;
    return 0;
}
