// TGA files, both ways: the writer the extractor saves images with, and
// the reader the packer takes images from.
//
// Writing.
// The TGA writer: uncompressed 32-bit TGA files, byte for byte what the
// graphics library's own saver writes for a 32-bit bitmap, at the cost of
// writing the bytes (the library's saver goes through one call per byte).
//
// Rows go out bottom-up, whole rows per chunk; on a little-endian machine a
// pixel 0xAARRGGBB lies in memory as the file's bytes B, G, R, A, so rows are
// copied as they are. A chunk the cache still holds costs the kernel less to
// copy than rows read from all over the image.
//
// Reading.
// TGA: colour-mapped, true-colour and grey images (types 1, 2, 3) and their
// run-length forms (9, 10, 11); 8-bit indices, 15/16/24/32-bit colours, 8-bit
// grey with or without 8 bits of alpha; rows from the top or the bottom, and
// from either side.
#include "images/chunk_output.hpp"
#include "images/images.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

constexpr std::size_t tga_header_size = 18;

// The descriptor byte tells "8 bits of alpha" only when some pixel's alpha is
// not zero, as the library's saver does.
bool any_alpha(const image_view& image)
{
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::uint32_t* row = image_view_row(image, y);
        std::uint32_t seen = 0;
        for (std::uint32_t x = 0; x < image.width; ++x) seen |= row[x];
        if ((seen & 0xFF000000u) != 0) return true;
    }
    return false;
}

// Copies a row as the file's bytes and returns its alpha bits ORed: noted in
// the same pass as the copy, so the image is read once.
std::uint32_t copy_row_noting_alpha(const std::uint32_t* row, std::uint32_t width, std::uint8_t* out)
{
    std::uint32_t seen = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (std::uint32_t x = 0; x < width; ++x) {
            seen |= row[x];
            std::memcpy(out + 4 * std::size_t{x}, &row[x], 4);
        }
    } else {
        for (std::uint32_t x = 0; x < width; ++x) {
            seen |= row[x];
            put_le32(out + 4 * std::size_t{x}, row[x]);
        }
    }
    return seen & 0xFF000000u;
}

void row_to_bgra(const std::uint32_t* row, std::uint32_t width, std::uint8_t* out)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, row, std::size_t{width} * 4);
    } else {
        for (std::uint32_t x = 0; x < width; ++x) put_le32(out + 4 * std::size_t{x}, row[x]);
    }
}

}  // namespace

int write_tga(int fd, image_view image)
{
    if (check_image_view(image) != 0) return -1;
    const std::size_t row_bytes = std::size_t{image.width} * 4;
    chunk_output out;
    if (open_chunk_output(out, fd, row_bytes) != 0) return -1;

    // The header's last byte says whether any pixel has alpha. Where the file
    // can be written at an offset, that is noted while the rows are copied and
    // the byte put right at the end; otherwise the image is scanned first.
    const off_t start = lseek(fd, 0, SEEK_CUR);
    const bool scan_first = start < 0;

    // Id length 0, no colour map, type 2 (true colour), colour map fields and
    // origin zero, the size, 32 bits per pixel, rows stored bottom-up.
    std::array<std::uint8_t, tga_header_size> header{};
    header[2] = 2;
    put_le16(&header[12], static_cast<std::uint16_t>(image.width));
    put_le16(&header[14], static_cast<std::uint16_t>(image.height));
    header[16] = 32;
    header[17] = scan_first && any_alpha(image) ? 8 : 0;
    if (chunk_put(out, header.data(), header.size()) != 0) return -1;
    std::uint8_t* const header_in_chunk = out.chunk;  // while the first chunk isn't written

    std::uint32_t alpha = 0;
    for (std::uint32_t y = image.height; y-- > 0;) {
        std::uint8_t* room = chunk_room(out, row_bytes);
        if (!room) return -1;
        const std::uint32_t* row = image_view_row(image, y);
        if (scan_first) {
            row_to_bgra(row, image.width, room);
        } else {
            alpha |= copy_row_noting_alpha(row, image.width, room);
        }
        chunk_commit(out, row_bytes);
    }
    if (scan_first || alpha == 0) return flush_chunk_output(out);
    if (out.written == 0) {
        header_in_chunk[17] = 8;
        return flush_chunk_output(out);
    }
    if (flush_chunk_output(out) != 0) return -1;
    const std::uint8_t eight = 8;
    return tex_pwrite(fd, std::span(&eight, 1), static_cast<std::uint64_t>(start) + 17);
}

// ---------------------------------------------------------------------------
// Reading.

namespace {

constexpr std::size_t header_size = 18;

struct tga_header {
    std::uint8_t id_length;     // bytes of the ID field after the header
    std::uint8_t map_type;      // 1: a colour map follows the ID field
    std::uint8_t image_type;    // 1, 2, 3; +8 when run-length encoded
    std::uint16_t map_first;    // index of the colour map's first entry
    std::uint16_t map_length;   // entries in the colour map
    std::uint8_t map_bits;      // bits of one entry: 15, 16, 24 or 32
    std::uint16_t width;        // pixels
    std::uint16_t height;       // pixels
    std::uint8_t pixel_bits;    // bits of one pixel
    std::uint8_t descriptor;    // bits 0-3: alpha bits; 4: right to left; 5: top to bottom
};

tga_header parse_header(std::span<const std::uint8_t> b)
{
    return {b[0],          b[1],           b[2],           tex_le16(b, 3), tex_le16(b, 5),
            b[7],          tex_le16(b, 12), tex_le16(b, 14), b[16],        b[17]};
}

// 5-bit channels widened as Pillow and ImageMagick widen them (rounding down).
std::uint32_t widen5(std::uint32_t v)
{
    return v * 255 / 31;
}

// A colour of `bits` bits stored little-endian at p, as 0xAARRGGBB. A 16-bit
// colour's top bit is alpha when `alpha_bit` says so.
std::uint32_t colour_at(const std::uint8_t* p, unsigned bits, bool alpha_bit)
{
    switch (bits) {
    case 15:
    case 16: {
        const std::uint32_t v = p[0] | std::uint32_t{p[1]} << 8;
        const std::uint32_t a = alpha_bit && (v & 0x8000) == 0 ? 0 : 255;
        return a << 24 | widen5(v >> 10 & 31) << 16 | widen5(v >> 5 & 31) << 8 | widen5(v & 31);
    }
    case 24: return 0xFF000000u | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
    default: return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
    }
}

struct tga_layout {
    unsigned bytes;     // per stored pixel
    bool indexed;       // pixels are colour map indices
    bool grey;          // grey, with alpha when bytes == 2
    bool alpha_bit;     // 16-bit colours carry one alpha bit
};

// Checks the header's combination of type and depths; fills the layout.
int check_layout(const tga_header& h, tga_layout& l, bool& alpha, std::string& reason)
{
    const unsigned kind = h.image_type & 7u;
    if ((h.image_type & ~11u) != 0 || kind == 0 || kind > 3 || h.map_type > 1) {
        reason = "not a TGA image (image type " + std::to_string(h.image_type) + ", colour map type " +
                 std::to_string(h.map_type) + ")";
        return -1;
    }
    const unsigned alpha_bits = h.descriptor & 15u;
    l = {static_cast<unsigned>(h.pixel_bits + 7) / 8, kind == 1, kind == 3, false};
    bool ok = false;
    if (kind == 1) {
        ok = h.map_type == 1 && h.pixel_bits == 8 && h.map_length > 0 &&
             (h.map_bits == 15 || h.map_bits == 16 || h.map_bits == 24 || h.map_bits == 32);
        l.alpha_bit = h.map_bits == 16 && alpha_bits == 1;
        alpha = h.map_bits == 32 || l.alpha_bit;
    } else if (kind == 2) {
        ok = h.pixel_bits == 15 || h.pixel_bits == 16 || h.pixel_bits == 24 || h.pixel_bits == 32;
        l.alpha_bit = h.pixel_bits == 16 && alpha_bits == 1;
        alpha = h.pixel_bits == 32 || l.alpha_bit;
    } else {
        ok = h.pixel_bits == 8 || h.pixel_bits == 16;
        alpha = h.pixel_bits == 16;
    }
    if (!ok) {
        reason = "a TGA variant that isn't read (image type " + std::to_string(h.image_type) + ", " +
                 std::to_string(h.pixel_bits) + "-bit pixels, colour map of " + std::to_string(h.map_bits) +
                 "-bit entries)";
        return -1;
    }
    return 0;
}

// Decodes stored pixels into `out` in stored order (the caller puts rows and
// columns in place), from raw or run-length data.
class pixel_stream {
public:
    pixel_stream(std::span<const std::uint8_t> data, unsigned bytes, bool rle) : data_(data), bytes_(bytes), rle_(rle) {}

    // The next stored pixel's bytes, or null when the data ends early or a
    // packet is malformed.
    const std::uint8_t* next()
    {
        if (!rle_) return take();
        if (left_ == 0) {
            if (at_ >= data_.size()) return nullptr;
            const std::uint8_t packet = data_[at_++];
            left_ = (packet & 0x7Fu) + 1u;
            repeat_ = (packet & 0x80u) != 0;
            if (repeat_) {
                run_ = take();
                if (!run_) return nullptr;
            }
        }
        --left_;
        return repeat_ ? run_ : take();
    }

    // A run packet still holding pixels when the image is complete.
    bool packet_left() const { return rle_ && left_ > 0; }

private:
    const std::uint8_t* take()
    {
        if (data_.size() - at_ < bytes_) return nullptr;
        const std::uint8_t* p = data_.data() + at_;
        at_ += bytes_;
        return p;
    }

    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
    unsigned bytes_;
    bool rle_;
    unsigned left_ = 0;
    bool repeat_ = false;
    const std::uint8_t* run_ = nullptr;
};

}  // namespace

int pack_decode_tga(std::span<const std::uint8_t> file, pack_image& out, std::string& reason)
{
    if (file.size() < header_size) {
        reason = "not a TGA image: " + std::to_string(file.size()) + " bytes, fewer than its 18-byte header";
        return -1;
    }
    const tga_header h = parse_header(file);
    tga_layout layout{};
    bool alpha = false;
    if (check_layout(h, layout, alpha, reason) != 0 || pack_check_size(h.width, h.height, reason) != 0) return -1;

    const std::uint64_t map_bytes = h.map_type == 1 ? std::uint64_t{h.map_length} * ((h.map_bits + 7u) / 8u) : 0;
    const std::uint64_t map_at = header_size + std::uint64_t{h.id_length};
    if (map_at + map_bytes > file.size()) {
        reason = "truncated TGA image: the file ends inside its ID field or colour map";
        return -1;
    }
    // Every entry widened once: at most 65535 entries.
    std::vector<std::uint32_t> map(layout.indexed ? h.map_length : 0);
    for (std::size_t k = 0; k < map.size(); ++k) {
        map[k] = colour_at(file.data() + map_at + k * ((h.map_bits + 7u) / 8u), h.map_bits, layout.alpha_bit);
    }
    // A packet of at most 1 + bytes gives at most 128 pixels: a file too short
    // for the image is refused before its pixels are allocated.
    const std::uint64_t pixels = std::uint64_t{h.width} * h.height;
    const std::uint64_t least = (h.image_type & 8u) != 0 ? (pixels + 127) / 128 * (1 + layout.bytes) : pixels * layout.bytes;
    if (file.size() - map_at - map_bytes < least) {
        reason = "truncated TGA image: " + std::to_string(file.size() - map_at - map_bytes) +
                 " bytes of pixel data can't hold " + std::to_string(h.width) + " x " + std::to_string(h.height) +
                 " pixels";
        return -1;
    }
    if (pack_start_image(h.width, h.height, out, reason) != 0) return -1;

    pixel_stream stream(file.subspan(static_cast<std::size_t>(map_at + map_bytes)), layout.bytes, (h.image_type & 8u) != 0);
    const bool top_down = (h.descriptor & 0x20u) != 0;
    const bool right_to_left = (h.descriptor & 0x10u) != 0;
    for (std::size_t row = 0; row < h.height; ++row) {
        const std::size_t y = top_down ? row : h.height - 1 - row;
        std::uint32_t* line = out.argb.data() + y * h.width;
        for (std::size_t col = 0; col < h.width; ++col) {
            const std::uint8_t* p = stream.next();
            if (!p) {
                reason = "truncated TGA image: the pixel data ends at row " + std::to_string(row) + " of " +
                         std::to_string(h.height);
                return -1;
            }
            std::uint32_t pixel = 0;
            if (layout.indexed) {
                if (p[0] < h.map_first || p[0] - h.map_first >= h.map_length) {
                    reason = "malformed TGA image: colour index " + std::to_string(p[0]) + " outside its colour map";
                    return -1;
                }
                pixel = map[p[0] - h.map_first];
            } else if (layout.grey) {
                const std::uint32_t a = layout.bytes == 2 ? p[1] : 255u;
                pixel = a << 24 | std::uint32_t{p[0]} * 0x010101u;
            } else {
                pixel = colour_at(p, h.pixel_bits, layout.alpha_bit);
            }
            line[right_to_left ? h.width - 1 - col : col] = pixel;
        }
    }
    if (stream.packet_left()) {
        reason = "malformed TGA image: a run-length packet runs past the end of the image";
        return -1;
    }
    out.has_alpha = alpha;
    return 0;
}
