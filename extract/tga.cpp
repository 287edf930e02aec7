// The TGA writer: uncompressed 32-bit TGA files, byte for byte what the
// graphics library's own saver writes for a 32-bit bitmap, at the cost of
// writing the bytes (the library's saver goes through one call per byte).
// Images whose pixels lie in memory as the file's bytes are written straight
// from their rows; others are converted a chunk at a time.
#include "extract/extract.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <vector>

namespace {

// An output file descriptor, closed on every path; close() tells whether the
// data made it.
struct output_file {
    int fd;
    explicit output_file(const char* path) : fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {}
    ~output_file()
    {
        if (fd >= 0) ::close(fd);
    }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    int close()
    {
        const int rc = ::close(fd);
        fd = -1;
        return rc;
    }
};

// Writes every byte the pieces hold, going on after short writes. 0 or -1.
int write_all(int fd, std::span<iovec> pieces)
{
    std::size_t first = 0;
    while (first < pieces.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - first, IOV_MAX));
        const ssize_t n = writev(fd, &pieces[first], count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        auto left = static_cast<std::size_t>(n);
        while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
        if (left > 0) {
            pieces[first].iov_base = static_cast<std::uint8_t*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    return 0;
}

// True when the pixels in memory are already the file's bytes B, G, R, A.
bool stored_as_file_bytes(pixel_layout layout)
{
    return std::endian::native == std::endian::little && layout.b_shift == 0 && layout.g_shift == 8 &&
           layout.r_shift == 16 && layout.a_shift == 24;
}

constexpr std::size_t tga_header_size = 18;
// Pixels converted per write: 256 KiB of file, whole rows (at least one row).
constexpr std::size_t chunk_pixels = 64 * 1024;

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

}  // namespace

int write_tga32(const char* path, std::uint32_t width, std::span<const std::uint32_t* const> rows,
                pixel_layout layout)
{
    // The header holds 16-bit sizes.
    if (width == 0 || rows.empty() || width > 0xFFFF || rows.size() > 0xFFFF) return -1;
    const auto height = static_cast<std::uint16_t>(rows.size());

    // Id length 0, no colour map, type 2 (true colour), colour map fields and
    // origin zero, the size, 32 bits per pixel, rows stored bottom-up.
    std::array<std::uint8_t, tga_header_size> header{};
    header[2] = 2;
    tex_put_le16(header, 12, static_cast<std::uint16_t>(width));
    tex_put_le16(header, 14, height);
    header[16] = 32;
    header[17] = any_alpha(rows, width, layout) ? 8 : 0;

    output_file f(path);
    if (f.fd < 0) return -1;
    std::vector<iovec> pieces;
    pieces.push_back({header.data(), header.size()});
    const std::size_t row_bytes = std::size_t{width} * 4;
    if (stored_as_file_bytes(layout)) {
        // The rows are written straight from the image, bottom row first.
        for (std::size_t y = rows.size(); y > 0; --y) {
            pieces.push_back({const_cast<std::uint32_t*>(rows[y - 1]), row_bytes});
        }
        if (write_all(f.fd, pieces) != 0) return -1;
        return f.close() == 0 ? 0 : -1;
    }
    // Otherwise converted a few rows at a time, into a chunk the cache holds.
    const std::size_t rows_per_chunk = std::max<std::size_t>(1, chunk_pixels / width);
    const std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[rows_per_chunk * row_bytes]);
    if (!chunk) return -1;
    std::size_t y = rows.size();
    while (y > 0) {
        const std::size_t n = std::min(rows_per_chunk, y);
        for (std::size_t k = 0; k < n; ++k) row_to_bgra(rows[y - 1 - k], width, layout, &chunk[k * row_bytes]);
        pieces.push_back({chunk.get(), n * row_bytes});
        if (write_all(f.fd, pieces) != 0) return -1;
        pieces.clear();
        y -= n;
    }
    return f.close() == 0 ? 0 : -1;
}
