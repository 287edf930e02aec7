// The TGA writer: uncompressed 32-bit TGA files, byte for byte what the
// graphics library's own saver writes for a 32-bit bitmap, at the cost of
// writing the bytes (the library's saver goes through one call per byte).
//
// Rows go out bottom-up, a chunk of rows per write: copied as they are when
// the pixels lie in memory as the file's bytes (the layout the extractor
// uses), converted otherwise. A chunk the cache still holds costs the kernel
// less to copy than rows read from all over the image.
#include "extract/extract.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t tga_header_size = 18;
// Bytes of file per write: whole rows (at least one, so up to 65535 * 4).
constexpr std::size_t chunk_bytes = 256 * 1024;
constexpr std::size_t page_size = 4096;

// An output file descriptor, closed on every path; close() tells whether the
// data made it.
struct tga_output_file {
    int fd;
    explicit tga_output_file(const char* path) : fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {}
    ~tga_output_file()
    {
        if (fd >= 0) ::close(fd);
    }
    tga_output_file(const tga_output_file&) = delete;
    tga_output_file& operator=(const tga_output_file&) = delete;
    int close()
    {
        const int rc = ::close(fd);
        fd = -1;
        return rc;
    }
};

struct free_deleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// Writes every byte, going on after short writes. 0 or -1.
int write_all(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// True when the pixels in memory are already the file's bytes B, G, R, A.
bool stored_as_file_bytes(pixel_layout layout)
{
    return std::endian::native == std::endian::little && layout.b_shift == 0 && layout.g_shift == 8 &&
           layout.r_shift == 16 && layout.a_shift == 24;
}

// The descriptor byte tells "8 bits of alpha" only when some pixel's alpha is
// not zero, as the library's saver does.
bool any_alpha(std::span<const std::uint32_t* const> rows, std::uint32_t width, pixel_layout layout)
{
    const std::uint32_t mask = 0xFFu << layout.a_shift;
    for (const std::uint32_t* row : rows) {
        std::uint32_t seen = 0;
        for (std::uint32_t x = 0; x < width; ++x) seen |= row[x];
        if ((seen & mask) != 0) return true;
    }
    return false;
}

// One row to bytes B, G, R, A per pixel.
void row_to_bgra(const std::uint32_t* row, std::uint32_t width, pixel_layout layout, std::uint8_t* out)
{
    for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint32_t p = row[x];
        out[4 * x] = static_cast<std::uint8_t>(p >> layout.b_shift);
        out[4 * x + 1] = static_cast<std::uint8_t>(p >> layout.g_shift);
        out[4 * x + 2] = static_cast<std::uint8_t>(p >> layout.r_shift);
        out[4 * x + 3] = static_cast<std::uint8_t>(p >> layout.a_shift);
    }
}

// Where in the buffer to build the bytes bound for file offset `at`: half a
// page away from the offset's place in its page. The kernel copies much more
// slowly when the source lies just behind the destination within a page (the
// pixels start 18 bytes into the file, heap blocks 16 bytes into a page).
std::size_t chunk_phase(std::uint64_t at)
{
    return static_cast<std::size_t>((at + page_size / 2) % page_size) & ~std::size_t{63};
}

}  // namespace

int write_tga32(const char* path, std::uint32_t width, std::span<const std::uint32_t* const> rows,
                pixel_layout layout)
{
    // The header holds 16-bit sizes.
    if (width == 0 || rows.empty() || width > 0xFFFF || rows.size() > 0xFFFF) return -1;
    const auto height = static_cast<std::uint16_t>(rows.size());
    const std::size_t row_bytes = std::size_t{width} * 4;
    const std::size_t rows_per_chunk = std::max<std::size_t>(1, chunk_bytes / row_bytes);

    const std::unique_ptr<std::uint8_t, free_deleter> buffer(
        static_cast<std::uint8_t*>(std::aligned_alloc(page_size, chunk_bytes + 2 * page_size)));
    if (!buffer) return -1;
    tga_output_file f(path);
    if (f.fd < 0) return -1;

    // Id length 0, no colour map, type 2 (true colour), colour map fields and
    // origin zero, the size, 32 bits per pixel, rows stored bottom-up. The
    // header goes out with the first chunk.
    std::array<std::uint8_t, tga_header_size> header{};
    header[2] = 2;
    tex_put_le16(header, 12, static_cast<std::uint16_t>(width));
    tex_put_le16(header, 14, height);
    header[16] = 32;
    header[17] = any_alpha(rows, width, layout) ? 8 : 0;
    std::uint8_t* chunk = buffer.get() + chunk_phase(0);
    std::memcpy(chunk, header.data(), header.size());
    std::size_t used = header.size();
    std::uint64_t at = 0;

    const bool as_is = stored_as_file_bytes(layout);
    std::size_t y = rows.size();
    while (y > 0) {
        const std::size_t n = std::min(rows_per_chunk, y);
        for (std::size_t k = 0; k < n; ++k, --y) {
            if (as_is) {
                std::memcpy(chunk + used, rows[y - 1], row_bytes);
            } else {
                row_to_bgra(rows[y - 1], width, layout, chunk + used);
            }
            used += row_bytes;
        }
        if (write_all(f.fd, chunk, used) != 0) return -1;
        at += used;
        chunk = buffer.get() + chunk_phase(at);
        used = 0;
    }
    return f.close() == 0 ? 0 : -1;
}
