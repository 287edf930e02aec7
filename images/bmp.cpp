// BMP files, both ways: the writer the extractor saves images with, and
// the reader the packer takes images from.
//
// Writing.
// The BMP writer: byte for byte what the graphics library's saver writes for a
// 32-bit bitmap, a 24-bit BMP (the alpha byte is dropped): a 14-byte file
// header and a 40-byte information header, then the rows bottom-up as bytes
// B, G, R, each row padded with zeros to a multiple of 4 bytes.
//
// Reading.
// BMP: 1-, 4- and 8-bit paletted (RLE4 and RLE8 too), 16- and 32-bit through
// bit masks, 24-bit; info headers of 12, 40, 52, 56, 64, 108 and 124 bytes;
// rows from the bottom or, with a negative height, from the top.
#include "images/chunk_output.hpp"
#include "images/images.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr std::size_t bmp_headers_size = 14 + 40;
// 72 dots per inch in dots per metre, as the library writes.
constexpr std::uint32_t bmp_dots_per_metre = 0xB12;

std::array<std::uint8_t, bmp_headers_size> bmp_headers(std::uint32_t width, std::uint32_t height,
                                                       std::uint32_t image_bytes)
{
    std::array<std::uint8_t, bmp_headers_size> h{};
    h[0] = 'B';
    h[1] = 'M';
    put_le32(&h[2], static_cast<std::uint32_t>(bmp_headers_size) + image_bytes);  // file size
    put_le32(&h[10], static_cast<std::uint32_t>(bmp_headers_size));               // where the pixels start
    put_le32(&h[14], 40);                                                          // information header size
    put_le32(&h[18], width);
    put_le32(&h[22], height);  // positive: rows stored bottom-up
    put_le16(&h[26], 1);       // planes
    put_le16(&h[28], 24);      // bits per pixel
    put_le32(&h[30], 0);       // no compression
    put_le32(&h[34], image_bytes);
    put_le32(&h[38], bmp_dots_per_metre);
    put_le32(&h[42], bmp_dots_per_metre);
    // No palette entries used or important.
    return h;
}

// Four pixels 0xAARRGGBB as the twelve bytes B, G, R, B, G, R, ... in three
// little-endian words, so that each group costs three stores.
inline void put_four_bgr(std::uint8_t* out, const std::uint32_t* p)
{
    put_le32(out, (p[0] & 0xFFFFFFu) | p[1] << 24);
    put_le32(out + 4, (p[1] >> 8 & 0xFFFFu) | p[2] << 16);
    put_le32(out + 8, (p[2] >> 16 & 0xFFu) | p[3] << 8);
}

// One row as bytes B, G, R followed by `padding` zeros.
void row_to_bgr(const std::uint32_t* row, std::uint32_t width, std::size_t padding, std::uint8_t* out)
{
    std::uint32_t x = 0;
    for (; x + 4 <= width; x += 4, out += 12) put_four_bgr(out, row + x);
    for (; x < width; ++x, out += 3) {
        out[0] = static_cast<std::uint8_t>(row[x]);
        out[1] = static_cast<std::uint8_t>(row[x] >> 8);
        out[2] = static_cast<std::uint8_t>(row[x] >> 16);
    }
    std::memset(out, 0, padding);
}

}  // namespace

int write_bmp(int fd, image_view image)
{
    if (check_image_view(image) != 0) return -1;
    const std::size_t padding = (4 - (std::size_t{image.width} * 3) % 4) % 4;
    const std::size_t row_bytes = std::size_t{image.width} * 3 + padding;
    // At most 16384 * 16384 pixels of 3 bytes plus 3 bytes of padding a row:
    // well within the 32-bit sizes of the headers.
    const auto image_bytes = static_cast<std::uint32_t>(row_bytes * image.height);

    chunk_output out;
    if (open_chunk_output(out, fd, row_bytes) != 0) return -1;
    const auto headers = bmp_headers(image.width, image.height, image_bytes);
    if (chunk_put(out, headers.data(), headers.size()) != 0) return -1;
    for (std::uint32_t y = image.height; y-- > 0;) {
        std::uint8_t* room = chunk_room(out, row_bytes);
        if (!room) return -1;
        row_to_bgr(image_view_row(image, y), image.width, padding, room);
        chunk_commit(out, row_bytes);
    }
    return flush_chunk_output(out);
}

// ---------------------------------------------------------------------------
// Reading.

namespace {

constexpr std::size_t file_header_size = 14;

enum : std::uint32_t { bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3, bi_alphabitfields = 6 };

struct bmp_header {
    std::uint32_t pixels_at;     // file offset of the pixel data
    std::uint32_t info_size;     // 12, 40, 52, 56, 64, 108 or 124
    std::int64_t width;          // pixels
    std::int64_t height;         // pixels; negative: rows from the top
    std::uint16_t planes;        // must be 1
    std::uint16_t bits;          // 1, 4, 8, 16, 24 or 32
    std::uint32_t compression;   // bi_* above
    std::uint32_t colours_used;  // palette entries; 0: 2^bits
    std::array<std::uint32_t, 4> masks;  // red, green, blue, alpha, for bit-mask pixels
};

// One channel of a bit-mask pixel: where it sits and how wide it is.
struct channel {
    unsigned shift = 0;
    unsigned bits = 0;
    // Narrower channels are widened by repeating their bits, as ImageMagick
    // does (5 bits abcde give abcdeabc); wider ones keep their top 8 bits.
    std::uint32_t get(std::uint32_t v) const
    {
        if (bits == 0) return 255;
        const std::uint32_t level = static_cast<std::uint32_t>((std::uint64_t{v} >> shift) & ((1ull << bits) - 1));
        if (bits >= 8) return level >> (bits - 8);
        std::uint32_t out = 0;
        for (unsigned filled = 0; filled < 8; filled += bits) out = out << bits | level;
        const unsigned total = (8 + bits - 1) / bits * bits;
        return out >> (total - 8);
    }
};

// A mask must be one run of set bits (or none).
int make_channel(std::uint32_t mask, channel& out)
{
    if (mask == 0) return 0;
    out.shift = static_cast<unsigned>(std::countr_zero(mask));
    out.bits = static_cast<unsigned>(std::popcount(mask));
    return (mask >> out.shift) == (out.bits == 32 ? UINT32_MAX : (1u << out.bits) - 1) ? 0 : -1;
}

int parse_header(std::span<const std::uint8_t> file, bmp_header& h, std::string& reason)
{
    if (file.size() < file_header_size + 4) {
        reason = "truncated BMP image: the file ends inside its headers";
        return -1;
    }
    h.pixels_at = tex_le32(file, 10);
    h.info_size = tex_le32(file, 14);
    const std::uint32_t s = h.info_size;
    if (s != 12 && s != 40 && s != 52 && s != 56 && s != 64 && s != 108 && s != 124) {
        reason = "a BMP variant that isn't read (an info header of " + std::to_string(s) + " bytes)";
        return -1;
    }
    if (file.size() < file_header_size + s) {
        reason = "truncated BMP image: the file ends inside its headers";
        return -1;
    }
    const auto info = file.subspan(file_header_size);
    h.masks = {};
    h.colours_used = 0;
    if (s == 12) {
        h.width = tex_le16(info, 4);
        h.height = tex_le16(info, 6);
        h.planes = tex_le16(info, 8);
        h.bits = tex_le16(info, 10);
        h.compression = bi_rgb;
        return 0;
    }
    h.width = static_cast<std::int32_t>(tex_le32(info, 4));
    h.height = static_cast<std::int32_t>(tex_le32(info, 8));
    h.planes = tex_le16(info, 12);
    h.bits = tex_le16(info, 14);
    h.compression = tex_le32(info, 16);
    h.colours_used = tex_le32(info, 32);
    // OS/2's 64-byte header numbers its own compressions 3 and 4 (Huffman, RLE24).
    if (s == 64 && h.compression >= bi_bitfields) h.compression = 0xFFFFFFFFu;
    if (s >= 52) {
        for (std::size_t k = 0; k < (s >= 56 ? 4u : 3u); ++k) h.masks[k] = tex_le32(info, 40 + 4 * k);
    }
    if (s == 64) h.masks = {};
    return 0;
}

// Pixels of 1, 4 or 8 bits, the image's palette indices.
std::uint32_t index_at(std::span<const std::uint8_t> row, std::size_t x, unsigned bits)
{
    const std::size_t bit = x * bits;
    return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

struct pixel_format {
    std::vector<std::uint32_t> palette;  // 0xFFRRGGBB, for 1 to 8 bits
    std::array<channel, 4> channels;     // red, green, blue, alpha, for 16 and 32 bits
};

int check_index(std::uint32_t index, const pixel_format& f, std::string& reason)
{
    if (index < f.palette.size()) return 0;
    reason = "malformed BMP image: colour index " + std::to_string(index) + " outside its palette of " +
             std::to_string(f.palette.size());
    return -1;
}

int decode_rows(std::span<const std::uint8_t> data, const bmp_header& h, const pixel_format& f, pack_image& out,
                std::string& reason)
{
    const std::uint64_t w = out.width;
    const std::uint64_t rows = out.height;
    const std::uint64_t stride = (w * h.bits + 31) / 32 * 4;
    for (std::uint64_t r = 0; r < rows; ++r) {
        // Within data: the rows' bytes were checked against it.
        const auto row = data.subspan(static_cast<std::size_t>(r * stride),
                                      static_cast<std::size_t>(std::min<std::uint64_t>(stride, data.size() - r * stride)));
        const std::uint64_t y = h.height < 0 ? r : rows - 1 - r;
        std::uint32_t* line = out.argb.data() + y * w;
        for (std::size_t x = 0; x < w; ++x) {
            if (h.bits <= 8) {
                const std::uint32_t index = index_at(row, x, h.bits);
                if (check_index(index, f, reason) != 0) return -1;
                line[x] = f.palette[index];
            } else if (h.bits == 24) {
                line[x] = 0xFF000000u | std::uint32_t{row[3 * x + 2]} << 16 | std::uint32_t{row[3 * x + 1]} << 8 |
                          row[3 * x];
            } else {
                const std::uint32_t v = h.bits == 16 ? tex_le16(row, 2 * x) : tex_le32(row, 4 * x);
                line[x] = f.channels[3].get(v) << 24 | f.channels[0].get(v) << 16 | f.channels[1].get(v) << 8 |
                          f.channels[2].get(v);
            }
        }
    }
    return 0;
}

// Rows of 4-byte multiples; the last one may lack its padding. Checked before
// the pixels are allocated.
int check_rows_fit(std::size_t available, std::uint64_t w, std::uint64_t rows, unsigned bits, std::string& reason)
{
    const std::uint64_t needed = (rows - 1) * ((w * bits + 31) / 32 * 4) + (w * bits + 7) / 8;
    if (needed <= available) return 0;
    reason = "truncated BMP image: " + std::to_string(available) + " bytes of pixels, " + std::to_string(needed) +
             " needed";
    return -1;
}

// RLE8 and RLE4: runs and literals of indices, row by row from the bottom, with
// escapes for the end of a row, the end of the image and a move right and up.
// Pixels a move skips keep index 0. Every code is checked against the row and
// the image before it writes.
int decode_rle(std::span<const std::uint8_t> data, const bmp_header& h, const pixel_format& f, pack_image& out,
               std::string& reason)
{
    const std::size_t w = out.width;
    const std::size_t rows = out.height;
    const unsigned per_byte = h.compression == bi_rle4 ? 2 : 1;
    // Some writers (ImageMagick) encode each row's padding too: pixels up to
    // the row's 4-byte boundary are read and dropped, none beyond.
    const std::size_t padded = (w * h.bits + 31) / 32 * 32 / h.bits;
    std::size_t at = 0;
    std::size_t x = 0;
    std::size_t r = 0;  // row in stored order
    const auto put = [&](std::uint32_t index) {
        const std::size_t y = h.height < 0 ? r : rows - 1 - r;
        if (check_index(index, f, reason) != 0) return -1;
        if (x < w) out.argb[y * w + x] = f.palette[index];
        ++x;
        return 0;
    };
    // Pixels a move skips, and rows never reached, are index 0.
    if (check_index(0, f, reason) != 0) return -1;
    std::fill(out.argb.begin(), out.argb.end(), f.palette[0]);
    for (;;) {
        if (data.size() - at < 2) {
            reason = "truncated BMP image: the run-length data ends before its end-of-image code";
            return -1;
        }
        const unsigned count = data[at];
        const unsigned value = data[at + 1];
        at += 2;
        if (count > 0) {
            if (r >= rows || count > padded - x) {
                reason = "malformed BMP image: a run passes the end of its row";
                return -1;
            }
            for (unsigned k = 0; k < count; ++k) {
                if (put(per_byte == 2 ? (k % 2 == 0 ? value >> 4 : value & 15u) : value) != 0) return -1;
            }
        } else if (value == 0) {  // end of row
            x = 0;
            ++r;
        } else if (value == 1) {  // end of image
            return 0;
        } else if (value == 2) {  // move right and up
            if (data.size() - at < 2) {
                reason = "truncated BMP image: the run-length data ends inside a move";
                return -1;
            }
            const std::size_t dx = data[at];
            const std::size_t dy = data[at + 1];
            at += 2;
            if (r >= rows || x > w || dx > w - x || dy > rows - r) {
                reason = "malformed BMP image: a move leaves the image";
                return -1;
            }
            x += dx;
            r += dy;
        } else {  // a literal of `value` pixels, padded to an even byte count
            const std::size_t bytes = (value + per_byte - 1) / per_byte;
            if (r >= rows || value > padded - x) {
                reason = "malformed BMP image: a literal passes the end of its row";
                return -1;
            }
            if (data.size() - at < bytes + bytes % 2) {
                reason = "truncated BMP image: the run-length data ends inside a literal";
                return -1;
            }
            for (unsigned k = 0; k < value; ++k) {
                const std::uint8_t b = data[at + k / per_byte];
                if (put(per_byte == 2 ? (k % 2 == 0 ? b >> 4 : b & 15u) : b) != 0) return -1;
            }
            at += bytes + bytes % 2;
        }
    }
}

// The palette and masks between the headers and the pixels.
int read_format(std::span<const std::uint8_t> file, bmp_header& h, pixel_format& f, bool& alpha, std::string& reason)
{
    std::uint64_t at = file_header_size + h.info_size;
    if (h.bits <= 8) {
        const std::uint64_t most = 1ull << h.bits;
        const std::uint64_t count = h.colours_used == 0 ? most : h.colours_used;
        if (count > most) {
            reason = "malformed BMP image: a palette of " + std::to_string(count) + " colours for " +
                     std::to_string(h.bits) + "-bit pixels";
            return -1;
        }
        const unsigned entry = h.info_size == 12 ? 3 : 4;
        if (at + count * entry > file.size()) {
            reason = "truncated BMP image: the file ends inside its palette";
            return -1;
        }
        f.palette.resize(static_cast<std::size_t>(count));  // at most `most`
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint8_t* p = file.data() + at + k * entry;
            f.palette[k] = 0xFF000000u | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
        }
        return 0;
    }
    if (h.bits == 24) return 0;
    if (h.compression == bi_rgb) {
        // No masks: 5-5-5 or 8-8-8 with the top bits unused.
        h.masks = h.bits == 16 ? std::array<std::uint32_t, 4>{0x7C00, 0x03E0, 0x001F, 0}
                               : std::array<std::uint32_t, 4>{0xFF0000, 0xFF00, 0xFF, 0};
    } else if (h.info_size == 40) {
        const std::size_t n = h.compression == bi_alphabitfields ? 4 : 3;
        if (at + 4 * n > file.size()) {
            reason = "truncated BMP image: the file ends inside its bit masks";
            return -1;
        }
        for (std::size_t k = 0; k < n; ++k) h.masks[k] = tex_le32(file, static_cast<std::size_t>(at + 4 * k));
    }
    for (std::size_t k = 0; k < 4; ++k) {
        if (make_channel(h.masks[k], f.channels[k]) != 0 || (k < 3 && h.masks[k] == 0)) {
            reason = "malformed BMP image: its bit masks aren't one run of bits each";
            return -1;
        }
    }
    alpha = h.masks[3] != 0;
    return 0;
}

}  // namespace

int pack_decode_bmp(std::span<const std::uint8_t> file, pack_image& out, std::string& reason)
{
    bmp_header h{};
    if (parse_header(file, h, reason) != 0) return -1;
    const std::uint32_t c = h.compression;
    const unsigned b = h.bits;
    const bool known = h.planes == 1 &&
                       ((c == bi_rgb && (b == 1 || b == 4 || b == 8 || b == 16 || b == 24 || b == 32)) ||
                        (c == bi_rle8 && b == 8) || (c == bi_rle4 && b == 4) ||
                        ((c == bi_bitfields || c == bi_alphabitfields) && (b == 16 || b == 32)));
    if (!known) {
        reason = "a BMP variant that isn't read (" + std::to_string(b) + "-bit pixels, " + std::to_string(h.planes) +
                 " planes, compression " + std::to_string(static_cast<std::int32_t>(c)) + ")";
        return -1;
    }
    const std::uint64_t height = static_cast<std::uint64_t>(h.height < 0 ? -h.height : h.height);
    if (h.width < 0) {
        reason = "malformed BMP image: a negative width";
        return -1;
    }
    if (pack_check_size(static_cast<std::uint64_t>(h.width), height, reason) != 0) return -1;
    pixel_format f;
    bool alpha = false;
    if (read_format(file, h, f, alpha, reason) != 0) return -1;
    if (h.pixels_at > file.size()) {
        reason = "truncated BMP image: its pixels would start past the end of the file";
        return -1;
    }
    const auto data = file.subspan(h.pixels_at);
    const bool rle = c == bi_rle8 || c == bi_rle4;
    const auto width = static_cast<std::uint64_t>(h.width);
    if ((!rle && check_rows_fit(data.size(), width, height, b, reason) != 0) ||
        pack_start_image(width, height, out, reason) != 0) {
        return -1;
    }
    const int rc = rle ? decode_rle(data, h, f, out, reason) : decode_rows(data, h, f, out, reason);
    if (rc != 0) return -1;
    out.has_alpha = alpha;
    return 0;
}
