// Payloads made from images (pack/payload.hpp): the ARGB4444 conversion and
// libdeflate's compressors, kept for the next payload.
#include "pack/payload.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include <libdeflate.h>

namespace {

// Pixels converted at a time through a buffer small enough for the cache.
constexpr std::size_t convert_pixels = 4096;

// Bytes of type-6 pixels written at a time.
constexpr std::size_t piece_pixels = 1 << 16;

// Compressors kept between payloads: allocating one for levels 10 to 12
// costs more than compressing a small image. A call takes one of its level
// from here (or makes one) and gives it back, so there are never more than the
// threads compressing at once, and all are freed at the end of the run.
// Not thread_local: where thread storage is emulated (MinGW's), a thread's
// objects may be destroyed after their storage is freed.
class compressor_pool {
public:
    compressor_pool() = default;
    compressor_pool(const compressor_pool&) = delete;
    compressor_pool& operator=(const compressor_pool&) = delete;
    ~compressor_pool()
    {
        for (const idle& i : idle_) libdeflate_free_compressor(i.c);
    }
    libdeflate_compressor* take(int level)
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            for (auto it = idle_.begin(); it != idle_.end(); ++it) {
                if (it->level == level) {
                    libdeflate_compressor* c = it->c;
                    idle_.erase(it);
                    return c;
                }
            }
        }
        return libdeflate_alloc_compressor(level);
    }
    void give(libdeflate_compressor* c, int level)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        try {
            idle_.push_back({c, level});
        } catch (const std::bad_alloc&) {
            libdeflate_free_compressor(c);
        }
    }

private:
    struct idle {
        libdeflate_compressor* c;
        int level;
    };
    std::mutex lock_;
    std::vector<idle> idle_;
};

compressor_pool compressors;

// One compressor for the length of a call.
struct compressor_lease {
    libdeflate_compressor* c;
    int level;
    explicit compressor_lease(int wanted) : c(compressors.take(wanted)), level(wanted) {}
    compressor_lease(const compressor_lease&) = delete;
    compressor_lease& operator=(const compressor_lease&) = delete;
    ~compressor_lease()
    {
        if (c) compressors.give(c, level);
    }
};

// The pixels of `argb` as little-endian ARGB4444 in the first half of the same
// memory: a piece is read whole before it is written, and never over pixels
// not yet read (piece k goes to bytes [2k, ...), below its own bytes [4k, ...)).
void to_argb4444_in_place(std::vector<std::uint32_t>& argb)
{
    auto* bytes = reinterpret_cast<std::uint8_t*>(argb.data());
    std::uint8_t piece[convert_pixels * 2];
    for (std::size_t at = 0; at < argb.size(); at += convert_pixels) {
        const std::size_t n = std::min(convert_pixels, argb.size() - at);
        pack_type4_pixels(std::span<const std::uint32_t>(argb.data() + at, n), std::span(piece, 2 * n));
        std::memcpy(bytes + 2 * at, piece, 2 * n);
    }
}

}  // namespace

bool pack_level_valid(int level)
{
    return level >= pack_level_fastest && level <= pack_level_best;
}

void pack_type4_pixels(std::span<const std::uint32_t> argb, std::span<std::uint8_t> out)
{
    const std::size_t n = std::min(argb.size(), out.size() / 2);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t p = argb[k];
        const std::uint32_t v = pack_nearest_nibble(p >> 24) << 12 | pack_nearest_nibble((p >> 16) & 0xFF) << 8 |
                                pack_nearest_nibble((p >> 8) & 0xFF) << 4 | pack_nearest_nibble(p & 0xFF);
        out[2 * k] = static_cast<std::uint8_t>(v);
        out[2 * k + 1] = static_cast<std::uint8_t>(v >> 8);
    }
}

int pack_deflate(std::span<const std::uint8_t> in, int level, std::span<std::uint8_t> room, std::vector<std::uint8_t>& out)
{
    if (!pack_level_valid(level)) {
        errno = EINVAL;
        return -1;
    }
    const compressor_lease lease(level);
    libdeflate_compressor* c = lease.c;
    if (!c) {
        errno = ENOMEM;
        return -1;
    }
    std::size_t size = room.empty() ? 0 : libdeflate_zlib_compress(c, in.data(), in.size(), room.data(), room.size());
    if (size > 0) {
        out.assign(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(size));
        return 0;
    }
    // Pixels that don't compress: room for the worst case.
    out.resize(libdeflate_zlib_compress_bound(c, in.size()));
    size = libdeflate_zlib_compress(c, in.data(), in.size(), out.data(), out.size());
    if (size == 0) {
        errno = EOVERFLOW;
        return -1;
    }
    out.resize(size);
    out.shrink_to_fit();
    return 0;
}

int pack_make_payload(pack_image& image, std::uint8_t type, int level, pack_payload& out)
{
    out = pack_payload{};
    out.type = type;
    if (type == 4 && !pack_level_valid(level)) {
        errno = EINVAL;
        return -1;
    }
    if (type != 4) {
        out.argb = std::move(image.argb);
        return 0;
    }
    // The ARGB4444 pixels take the first half of the image's memory, and their
    // stream goes into the second half when it fits there, as it does for
    // every image with anything to compress: one image's memory and the
    // stream's, at most.
    to_argb4444_in_place(image.argb);
    auto* bytes = reinterpret_cast<std::uint8_t*>(image.argb.data());
    const std::size_t half = image.argb.size() * 2;
    const int rc = pack_deflate(std::span(bytes, half), level, std::span(bytes + half, half), out.deflated);
    image.argb = std::vector<std::uint32_t>{};
    return rc;
}

std::uint64_t pack_payload_memory(const pack_payload& payload)
{
    return payload.deflated.size() + payload.argb.size() * 4;
}

int pack_write_payload(tex_payload_out& out, const pack_payload& payload)
{
    if (payload.type == 4) return tex_payload_write(out, payload.deflated);
    std::vector<std::uint8_t> piece(std::min(piece_pixels, payload.argb.size()) * 4);
    for (std::size_t at = 0; at < payload.argb.size();) {
        const std::size_t n = std::min(piece_pixels, payload.argb.size() - at);
        for (std::size_t k = 0; k < n; ++k) tex_put_le32(piece, 4 * k, payload.argb[at + k]);
        if (tex_payload_write(out, std::span(piece.data(), 4 * n)) != 0) return -1;
        at += n;
    }
    return 0;
}

int pack_write_image(tex_payload_out& out, const pack_image& image, std::uint8_t type, int level)
{
    pack_image copy = image;
    pack_payload payload;
    if (pack_make_payload(copy, type, level, payload) != 0) return -1;
    return pack_write_payload(out, payload);
}
