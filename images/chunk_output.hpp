// What the image writers share, private to extract/: the size check every
// format makes first, and an output buffer that reaches the descriptor a
// chunk at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "images/images.hpp"

// 0 when the image has a size every writer can store (1..65535 a side, at most
// max_image_pixels in all) and a stride that holds its rows; -1 with EINVAL
// otherwise. Nothing has been written when it refuses.
int check_image_view(const image_view& image);

// Row y of the image, top first.
inline const std::uint32_t* image_view_row(const image_view& image, std::uint32_t y)
{
    return image.pixels + static_cast<std::size_t>(y) * image.stride;
}

// Bytes for `fd` gathered into chunks of about chunk_output_bytes, each sent
// with one write. A writer asks for room for its next piece, fills it and
// commits what it used.
//
// Each chunk starts half a page away from its file offset's place in a page:
// the kernel copies much more slowly when the source lies just behind the
// destination within a page (measured with the TGA writer: 560 against about
// 440 Mpixel/s), and heap blocks start 16 bytes into a page while the pixels
// of most formats start a few bytes into the file.
// Chunks are placed relative to pages: the buffer starts on one.
inline constexpr std::size_t chunk_output_alignment = 4096;

struct chunk_output {
    struct free_deleter {
        void operator()(std::uint8_t* p) const { ::operator delete(p, std::align_val_t{chunk_output_alignment}); }
    };
    int fd = -1;
    std::size_t largest_piece = 0;  // the most room asked for at once
    std::unique_ptr<std::uint8_t, free_deleter> buffer;
    std::uint8_t* chunk = nullptr;  // where the current chunk starts in buffer
    std::size_t used = 0;           // bytes in the current chunk
    std::uint64_t written = 0;      // bytes already sent to fd
};

// Bytes per write: large enough that the system call costs little, small
// enough that a chunk stays in the cache while the kernel copies it.
inline constexpr std::size_t chunk_output_bytes = 256 * 1024;

// Prepares `out` for pieces of at most `largest_piece` bytes. 0, or -1 with
// ENOMEM.
int open_chunk_output(chunk_output& out, int fd, std::size_t largest_piece);

// Room for `size` bytes (at most largest_piece) at the end of the current
// chunk, writing the chunk first when they wouldn't fit. Null, with errno,
// when that write fails.
std::uint8_t* chunk_room(chunk_output& out, std::size_t size);

inline void chunk_commit(chunk_output& out, std::size_t size)
{
    out.used += size;
}

// Copies `size` bytes (any number) into the output. 0 or -1.
int chunk_put(chunk_output& out, const std::uint8_t* data, std::size_t size);

// Writes what is left. 0 or -1.
int flush_chunk_output(chunk_output& out);

// Big-endian and little-endian stores into a byte buffer the caller sized.
inline void put_be32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline void put_le32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void put_le16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
