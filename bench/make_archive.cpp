// morvex_bench_archive: writes the benchmark's archive with the project's
// archive writer: type-4 textures of 1024 x 1024 and 256 x 256 and type-6
// textures of 512 x 512 (bench/textures.hpp).
//
//   morvex_bench_archive DIR [BIG SMALL RAW]
//   morvex_bench_archive DIR noisy
//
// writes DIR/bench-tga.pak and the same archive with every name ending in
// .png, .bmp and .pcx instead (bench-png.pak, ...). The counts default to 140
// type-4 entries of 1024 x 1024, 240 of 256 x 256 and 26 type-6 entries,
// about 100 MiB. The same counts always give the same pixels. With "noisy",
// DIR/bench-noisy-alpha.pak instead: 32 type-4 entries of 1024 x 1024, 64 of
// 256 x 256 and 16 type-6 entries of 512 x 512 whose alpha is random at every
// pixel (the gallery's hardest thumbnails to encode).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/textures.hpp"
#include "format/format.hpp"
#include "format/writer.hpp"

namespace {

using bench::argb4444_texture;
using bench::argb8888_texture;

unsigned count_arg(int argc, char** argv, int at, unsigned fallback)
{
    return argc > at ? static_cast<unsigned>(std::strtoul(argv[at], nullptr, 10)) : fallback;
}

// The benchmark's gradients under alpha that is random at every pixel.
std::vector<std::uint16_t> noisy_alpha_4444(unsigned w, unsigned h, std::uint64_t seed)
{
    std::vector<std::uint16_t> px = argb4444_texture(w, h, seed);
    bench::noise n{seed * 0x9E3779B97F4A7C15ull + 7};
    for (std::uint16_t& p : px) p = static_cast<std::uint16_t>((p & 0x0FFF) | (n.next() >> 28) << 12);
    return px;
}

std::vector<std::uint32_t> noisy_alpha_8888(unsigned w, unsigned h, std::uint64_t seed)
{
    std::vector<std::uint32_t> px = argb8888_texture(w, h, seed);
    bench::noise n{seed * 0xD1B54A32D192ED03ull + 7};
    for (std::uint32_t& p : px) p = (p & 0x00FFFFFFu) | (n.next() >> 24) << 24;
    return px;
}

int noisy_archive(const std::string& dir)
{
    tex_writer_archive a;
    tex_writer_entry first;
    first.name = "index";
    a.entries.push_back(first);
    char name[64];
    for (unsigned b = 0; b < 32; ++b) {
        std::snprintf(name, sizeof name, "big%03u.tga", b);
        a.entries.push_back(tex_type4_entry(name, 1024, 1024, noisy_alpha_4444(1024, 1024, b)));
        for (unsigned k = 0; k < 2; ++k) {
            std::snprintf(name, sizeof name, "small%03u.tga", 2 * b + k);
            a.entries.push_back(tex_type4_entry(name, 256, 256, noisy_alpha_4444(256, 256, 1000 + 2 * b + k)));
        }
        if (b % 2 == 0) {
            std::snprintf(name, sizeof name, "raw%03u.tga", b / 2);
            a.entries.push_back(tex_type6_entry(name, 512, 512, noisy_alpha_8888(512, 512, b / 2)));
        }
    }
    const std::string path = dir + "/bench-noisy-alpha.pak";
    if (tex_write_archive(path.c_str(), a) != 0) {
        std::perror(path.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[2]) == "noisy") return noisy_archive(argv[1]);
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: morvex_bench_archive DIR [BIG SMALL RAW | noisy]\n");
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
