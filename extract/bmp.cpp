// The BMP writer: byte for byte what the graphics library's saver writes for a
// 32-bit bitmap, a 24-bit BMP (the alpha byte is dropped): a 14-byte file
// header and a 40-byte information header, then the rows bottom-up as bytes
// B, G, R, each row padded with zeros to a multiple of 4 bytes.
#include <array>
#include <cstring>

#include "extract/chunk_output.hpp"

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
