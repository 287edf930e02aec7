// The pixel codecs of the archive's types: pure functions over byte buffers.
#include "images/images.hpp"

#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>


static_assert([] {
    for (std::int32_t k = 0; k < 16; ++k)
        if (nibble_levels[static_cast<std::size_t>(k)] != 17 * k) return false;
    return true;
}(), "widening a nibble is a multiplication by 17");

namespace {

// Spreads the four nibbles of an ARGB4444 pixel into the low halves of the
// four bytes of 0xAARRGGBB; times 17 each nibble k becomes the byte 17 * k.
inline std::uint32_t spread_nibbles(std::uint32_t p)
{
    return (p & 0x000Fu) | ((p & 0x00F0u) << 4) | ((p & 0x0F00u) << 8) | ((p & 0xF000u) << 12);
}

}  // namespace

void widen_argb4444(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst)
{
    // nibble_levels[k] is 17 * k, so widening is a multiplication: no table
    // lookups and no branches, which lets the loops vectorise.
    const std::uint8_t* s = src.data();
    std::uint32_t* d = dst.data();
    const std::size_t n = dst.size();
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
}

void convert_argb8888(std::span<const std::uint8_t> src, std::span<std::uint32_t> dst)
{
    const std::uint8_t* s = src.data();
    std::uint32_t* d = dst.data();
    const std::size_t n = dst.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t b = s[4 * k];
        const std::uint32_t g = s[4 * k + 1];
        const std::uint32_t r = s[4 * k + 2];
        const std::uint32_t a = s[4 * k + 3];
        d[k] = a << 24 | r << 16 | g << 8 | b;
    }
}

void widen_argb4444_rgba(std::span<const std::uint8_t> src, std::uint8_t* dst, std::size_t count)
{
    const std::uint8_t* s = src.data();
    if constexpr (std::endian::native == std::endian::little) {
        // Bytes R, G, B, A are the value 0xAABBGGRR: the nibbles spread
        // into that order, a multiplication and a store, which vectorise.
        for (std::size_t k = 0; k < count; ++k) {
            std::uint16_t p;
            std::memcpy(&p, s + 2 * k, 2);
            const std::uint32_t v =
                ((p >> 8) & 0x000Fu) | ((p << 4) & 0x0F00u) | (std::uint32_t{p} & 0x000Fu) << 16 | (std::uint32_t{p} & 0xF000u) << 12;
            const std::uint32_t rgba = v * 17u;
            std::memcpy(dst + 4 * k, &rgba, 4);
        }
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t p = static_cast<std::uint32_t>(s[2 * k]) | (static_cast<std::uint32_t>(s[2 * k + 1]) << 8);
            dst[4 * k] = static_cast<std::uint8_t>((p >> 8 & 0xF) * 17);
            dst[4 * k + 1] = static_cast<std::uint8_t>((p >> 4 & 0xF) * 17);
            dst[4 * k + 2] = static_cast<std::uint8_t>((p & 0xF) * 17);
            dst[4 * k + 3] = static_cast<std::uint8_t>((p >> 12 & 0xF) * 17);
        }
    }
}

void argb8888_to_rgba(std::span<std::uint8_t> pixels)
{
    std::uint8_t* d = pixels.data();
    const std::size_t n = pixels.size() / 4;
    if constexpr (std::endian::native == std::endian::little) {
        // B and R trade places: in the value 0xAARRGGBB, its low and third bytes.
        for (std::size_t k = 0; k < n; ++k) {
            std::uint32_t p;
            std::memcpy(&p, d + 4 * k, 4);
            p = (p & 0xFF00FF00u) | (p >> 16 & 0xFFu) | (p & 0xFFu) << 16;
            std::memcpy(d + 4 * k, &p, 4);
        }
    } else {
        for (std::size_t k = 0; k < n; ++k) std::swap(d[4 * k], d[4 * k + 2]);
    }
}

std::uint16_t pack_argb4444(std::uint32_t argb)
{
    const std::uint32_t a = pack_nearest_nibble(argb >> 24);
    const std::uint32_t r = pack_nearest_nibble((argb >> 16) & 0xFF);
    const std::uint32_t g = pack_nearest_nibble((argb >> 8) & 0xFF);
    const std::uint32_t b = pack_nearest_nibble(argb & 0xFF);
    return static_cast<std::uint16_t>(a << 12 | r << 8 | g << 4 | b);
}
