// The image writers' shared size check and chunked output.
#include "images/chunk_output.hpp"

#include <new>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t page_size = chunk_output_alignment;

// Where in the buffer to build the bytes bound for file offset `at` (see chunk_output).
std::size_t chunk_phase(std::uint64_t at)
{
    return static_cast<std::size_t>((at + page_size / 2) % page_size) & ~std::size_t{63};
}

}  // namespace

int check_image_view(const image_view& image)
{
    // Every format here stores each side in 16 bits.
    const bool fits = image.width >= 1 && image.height >= 1 && image.width <= 0xFFFF && image.height <= 0xFFFF &&
                      std::uint64_t{image.width} * image.height <= max_image_pixels && image.stride >= image.width &&
                      image.pixels != nullptr;
    if (fits) return 0;
    errno = EINVAL;
    return -1;
}

int open_chunk_output(chunk_output& out, int fd, std::size_t largest_piece)
{
    // A chunk holds up to chunk_output_bytes plus one piece, placed up to a
    // page into the buffer; the size is a multiple of the alignment.
    const std::size_t size = (chunk_output_bytes + largest_piece + 2 * page_size) / page_size * page_size;
    out.buffer.reset(static_cast<std::uint8_t*>(::operator new(size, std::align_val_t{chunk_output_alignment}, std::nothrow)));
    if (!out.buffer) {
        errno = ENOMEM;
        return -1;
    }
    out.fd = fd;
    out.largest_piece = largest_piece;
    out.chunk = out.buffer.get() + chunk_phase(0);
    out.used = 0;
    out.written = 0;
    return 0;
}

int flush_chunk_output(chunk_output& out)
{
    if (out.used == 0) return 0;
    if (write_all(out.fd, out.chunk, out.used) != 0) return -1;
    out.written += out.used;
    out.chunk = out.buffer.get() + chunk_phase(out.written);
    out.used = 0;
    return 0;
}

std::uint8_t* chunk_room(chunk_output& out, std::size_t size)
{
    // After a flush the piece starts a chunk of its own, which the buffer holds.
    if (out.used + size > chunk_output_bytes && flush_chunk_output(out) != 0) return nullptr;
    return out.chunk + out.used;
}

int chunk_put(chunk_output& out, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const std::size_t n = std::min(size, out.largest_piece);
        std::uint8_t* room = chunk_room(out, n);
        if (!room) return -1;
        std::memcpy(room, data, n);
        chunk_commit(out, n);
        data += n;
        size -= n;
    }
    return 0;
}
