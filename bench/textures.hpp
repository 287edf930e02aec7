// Benchmark textures: smooth gradients with some noise, so that type-4
// payloads compress about as well as real textures do (3:1 to 6:1). The same
// seed always gives the same pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

// A small deterministic generator (xorshift64*), so that every run of the
// benchmark builds the same archive.
struct noise {
    std::uint64_t state;
    std::uint32_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
    }
};

// A channel level along a gradient, nudged by noise now and then.
inline unsigned level(unsigned along, unsigned span, unsigned top, std::uint32_t jitter)
{
    unsigned v = along * (top + 1) / span;
    if (v > top) v = top;
    if (jitter % 10 == 0 && v < top) ++v;  // one pixel in ten drifts up a step
    return v;
}

inline std::vector<std::uint16_t> argb4444_texture(unsigned w, unsigned h, std::uint64_t seed)
{
    noise n{seed * 0x9E3779B97F4A7C15ull + 1};
    std::vector<std::uint16_t> px(std::size_t{w} * h);
    const unsigned phase = static_cast<unsigned>(seed % 7);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const std::uint32_t j = n.next();
            const unsigned a = 15 - level(y, h, 3, j >> 3);
            const unsigned r = level((x + phase * w / 7) % w, w, 15, j);
            const unsigned g = level(y, h, 15, j >> 9);
            const unsigned b = level(x + y, w + h, 15, j >> 17);
            px[std::size_t{y} * w + x] = static_cast<std::uint16_t>(a << 12 | r << 8 | g << 4 | b);
        }
    return px;
}

inline std::vector<std::uint32_t> argb8888_texture(unsigned w, unsigned h, std::uint64_t seed)
{
    noise n{seed * 0xD1B54A32D192ED03ull + 1};
    std::vector<std::uint32_t> px(std::size_t{w} * h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const std::uint32_t j = n.next();
            const unsigned a = 255 - level(y, h, 63, j);
            const unsigned r = level(x, w, 255, j >> 3) ^ (j >> 20 & 3);
            const unsigned g = level(y, h, 255, j >> 6) ^ (j >> 22 & 3);
            const unsigned b = level(x + y, w + h, 255, j >> 9) ^ (j >> 24 & 3);
            px[std::size_t{y} * w + x] = a << 24 | r << 16 | g << 8 | b;
        }
    return px;
}

}  // namespace bench
