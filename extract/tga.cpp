// The TGA writer: uncompressed 32-bit TGA files, byte for byte what the
// graphics library's own saver writes for a 32-bit bitmap, at the cost of
// writing the bytes (the library's saver goes through one call per byte).
//
// Rows go out bottom-up, whole rows per chunk; on a little-endian machine a
// pixel 0xAARRGGBB lies in memory as the file's bytes B, G, R, A, so rows are
// copied as they are. A chunk the cache still holds costs the kernel less to
// copy than rows read from all over the image.
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "extract/chunk_output.hpp"

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
