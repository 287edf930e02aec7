// morvex_bench_archive: writes the benchmark's archive with the project's
// archive writer: type-4 textures of 1024 x 1024 and 256 x 256 and type-6
// textures of 512 x 512, smooth gradients with some noise so that the type-4
// payloads compress about as well as real textures do (3:1 to 6:1).
//
//   morvex_bench_archive DIR [BIG SMALL RAW]
//
// writes DIR/bench-tga.pak and the same archive with every name ending in
// .png, .bmp and .pcx instead (bench-png.pak, ...); the counts default to 140 type-4 entries of 1024 x 1024, 240 of 256 x 256 and 26
// type-6 entries, about 100 MiB. The same counts always give the same pixels.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tex/tex.hpp"

namespace {

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
unsigned level(unsigned along, unsigned span, unsigned top, std::uint32_t jitter)
{
    unsigned v = along * (top + 1) / span;
    if (v > top) v = top;
    if (jitter % 10 == 0 && v < top) ++v;  // one pixel in ten drifts up a step
    return v;
}

std::vector<std::uint16_t> argb4444_texture(unsigned w, unsigned h, std::uint64_t seed)
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

std::vector<std::uint32_t> argb8888_texture(unsigned w, unsigned h, std::uint64_t seed)
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

unsigned count_arg(int argc, char** argv, int at, unsigned fallback)
{
    return argc > at ? static_cast<unsigned>(std::strtoul(argv[at], nullptr, 10)) : fallback;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: morvex_bench_archive DIR [BIG SMALL RAW]\n");
        return 1;
    }
    const std::string dir = argv[1];
    const unsigned big = count_arg(argc, argv, 2, 140);
    const unsigned small = count_arg(argc, argv, 3, 240);
    const unsigned raw = count_arg(argc, argv, 4, 26);

    tex_writer_archive a;
    tex_writer_entry first;  // an archive's first entry is never extracted
    first.name = "index";
    a.entries.push_back(first);
    // Interleaved, as a real archive mixes its sizes and types.
    unsigned b = 0, s = 0, r = 0;
    char name[64];
    while (b < big || s < small || r < raw) {
        if (b < big) {
            std::snprintf(name, sizeof name, "big%03u", b);
            a.entries.push_back(tex_type4_entry(name, 1024, 1024, argb4444_texture(1024, 1024, b)));
            ++b;
        }
        for (unsigned k = 0; k < 3 && s < small; ++k, ++s) {
            std::snprintf(name, sizeof name, "small%03u", s);
            a.entries.push_back(tex_type4_entry(name, 256, 256, argb4444_texture(256, 256, 1000 + s)));
        }
        if (r < raw && (b % 2 == 0 || b >= big)) {
            std::snprintf(name, sizeof name, "raw%03u", r);
            a.entries.push_back(tex_type6_entry(name, 512, 512, argb8888_texture(512, 512, r)));
            ++r;
        }
    }
    // The same payloads under four extensions: compressing is the slow part.
    for (const char* ext : {"tga", "png", "bmp", "pcx"}) {
        tex_writer_archive named = a;
        for (std::size_t k = 1; k < named.entries.size(); ++k) named.entries[k].name += std::string(".") + ext;
        const std::string path = dir + "/bench-" + ext + ".pak";
        if (tex_write_archive(path.c_str(), named) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
