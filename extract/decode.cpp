// The pixel decoders and inflation: pure functions over byte buffers.
#include "extract/extract.hpp"

#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

static_assert([] {
    for (std::int32_t k = 0; k < 16; ++k)
        if (nibble_levels[static_cast<std::size_t>(k)] != 17 * k) return false;
    return true;
}(), "widening a nibble is a multiplication by 17");

namespace {

// The layout the image library is set to: 0xAARRGGBB.
bool is_argb(pixel_layout layout)
{
    return layout.a_shift == 24 && layout.r_shift == 16 && layout.g_shift == 8 && layout.b_shift == 0;
}

// Spreads the four nibbles of an ARGB4444 pixel into the low halves of the
// four bytes of 0xAARRGGBB; times 17 each nibble k becomes the byte 17 * k.
inline std::uint32_t spread_nibbles(std::uint32_t p)
{
    return (p & 0x000Fu) | ((p & 0x00F0u) << 4) | ((p & 0x0F00u) << 8) | ((p & 0xF000u) << 12);
}

}  // namespace

void widen_argb4444(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, pixel_layout layout)
{
    // nibble_levels[k] is 17 * k, so widening is a multiplication: no table
    // lookups and no branches, which lets the loops vectorise.
    const std::uint8_t* s = src.data();
    std::uint32_t* d = dst.data();
    const std::size_t n = dst.size();
    if (is_argb(layout)) {
        if constexpr (std::endian::native == std::endian::little) {
            // Whole 16-bit loads: the vectoriser widens them without shuffles.
            for (std::size_t k = 0; k < n; ++k) {
                std::uint16_t p;
                std::memcpy(&p, s + 2 * k, 2);
                d[k] = spread_nibbles(p) * 17u;
            }
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint32_t p = static_cast<std::uint32_t>(s[2 * k]) | (static_cast<std::uint32_t>(s[2 * k + 1]) << 8);
                d[k] = spread_nibbles(p) * 17u;
            }
        }
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t p = static_cast<std::uint32_t>(s[2 * k]) | (static_cast<std::uint32_t>(s[2 * k + 1]) << 8);
        const std::uint32_t a = (p >> 12) * 17;
        const std::uint32_t r = ((p >> 8) & 15) * 17;
        const std::uint32_t g = ((p >> 4) & 15) * 17;
        const std::uint32_t b = (p & 15) * 17;
        d[k] = (a << layout.a_shift) | (r << layout.r_shift) | (g << layout.g_shift) | (b << layout.b_shift);
    }
}

void convert_argb8888(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst, pixel_layout layout)
{
    const std::uint8_t* s = src.data();
    std::uint32_t* d = dst.data();
    const std::size_t n = dst.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t b = s[4 * k];
        const std::uint32_t g = s[4 * k + 1];
        const std::uint32_t r = s[4 * k + 2];
        const std::uint32_t a = s[4 * k + 3];
        d[k] = (a << layout.a_shift) | (r << layout.r_shift) | (g << layout.g_shift) | (b << layout.b_shift);
    }
}

namespace {

// Decompressors hold only tables, rebuilt for every stream: a call takes one
// from here (or makes one) and gives it back, so there are never more than
// the threads inflating at once, and all are freed at the end of the run.
// Not thread_local: where thread storage is emulated (MinGW's), a thread's
// objects may be destroyed after their storage is freed.
class decompressor_pool {
public:
    decompressor_pool() = default;
    decompressor_pool(const decompressor_pool&) = delete;
    decompressor_pool& operator=(const decompressor_pool&) = delete;
    ~decompressor_pool()
    {
        for (libdeflate_decompressor* d : idle_) libdeflate_free_decompressor(d);
    }
    libdeflate_decompressor* take()
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            if (!idle_.empty()) {
                libdeflate_decompressor* d = idle_.back();
                idle_.pop_back();
                return d;
            }
        }
        return libdeflate_alloc_decompressor();
    }
    void give(libdeflate_decompressor* d)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        try {
            idle_.push_back(d);
        } catch (const std::bad_alloc&) {
            libdeflate_free_decompressor(d);
        }
    }

private:
    std::mutex lock_;
    std::vector<libdeflate_decompressor*> idle_;
};

decompressor_pool decompressors;

// One decompressor for the length of a call.
struct decompressor_lease {
    libdeflate_decompressor* d = decompressors.take();
    decompressor_lease() = default;
    decompressor_lease(const decompressor_lease&) = delete;
    decompressor_lease& operator=(const decompressor_lease&) = delete;
    ~decompressor_lease()
    {
        if (d) decompressors.give(d);
    }
};

}  // namespace

int inflate_zlib(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& produced)
{
    const decompressor_lease decompressor;
    if (!decompressor.d) return -1;
    // The same contract as zlib's one-shot uncompress: a complete zlib stream
    // (header checked, Adler-32 checked, bytes after the stream ignored) into
    // at most out.size() bytes; a damaged stream or one that needs more room
    // fails. Into no room at all, zlib decodes into one byte of its own and
    // reports success, with nothing produced, for a stream of at most one byte.
    std::uint8_t scratch = 0;
    std::uint8_t* dest = out.empty() ? &scratch : out.data();
    const std::size_t room = out.empty() ? 1 : out.size();
    std::size_t out_len = 0;
    if (libdeflate_zlib_decompress(decompressor.d, in.data(), in.size(), dest, room, &out_len) !=
        LIBDEFLATE_SUCCESS) {
        // Why it failed, as zlib tells it: libdeflate may take a stream cut
        // short for one that needs more room. Only failures pay for this.
        uLongf len = static_cast<uLongf>(out.size());
        return uncompress(dest, &len, in.data(), static_cast<uLong>(in.size())) == Z_BUF_ERROR ? -2 : -1;
    }
    produced = out.empty() ? 0 : out_len;
    return 0;
}
