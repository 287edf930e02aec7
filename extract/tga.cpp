// The TGA writer: uncompressed 32-bit TGA files, byte for byte what the
// graphics library's own saver writes for a 32-bit bitmap, at the cost of
// writing the bytes (the library's saver goes through one call per byte).
#include "extract/extract.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

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

    const std::size_t rows_per_chunk = std::max<std::size_t>(1, chunk_pixels / width);
    const std::size_t chunk_bytes = rows_per_chunk * width * 4;
    const std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[chunk_bytes]);
    if (!chunk) return -1;

    std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "wb"));
    if (!f) return -1;
    if (std::fwrite(header.data(), 1, header.size(), f.get()) != header.size()) return -1;
    std::size_t y = rows.size();
    while (y > 0) {
        const std::size_t n = std::min(rows_per_chunk, y);
        for (std::size_t k = 0; k < n; ++k) row_to_bgra(rows[y - 1 - k], width, layout, &chunk[k * width * 4]);
        const std::size_t bytes = n * width * 4;
        if (std::fwrite(chunk.get(), 1, bytes, f.get()) != bytes) return -1;
        y -= n;
    }
    return std::fclose(f.release()) == 0 ? 0 : -1;
}
