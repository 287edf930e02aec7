// morvex_tex_demo: writes a small archive of both pixel types, for a first run.
#include <cstdio>
#include <string_view>
#include <vector>

#include "format/format.hpp"
#include "format/writer.hpp"

namespace {

// A 4-bit-per-channel gradient with a soft alpha ramp.
std::vector<std::uint16_t> argb4444_gradient(unsigned w, unsigned h)
{
    std::vector<std::uint16_t> px(std::size_t{w} * h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const unsigned a = 15 - (y * 8 / h), r = x * 16 / w, g = y * 16 / h, b = 15 - r;
            px[std::size_t{y} * w + x] = static_cast<std::uint16_t>(a << 12 | r << 8 | g << 4 | b);
        }
    return px;
}

std::vector<std::uint32_t> argb8888_rings(unsigned w, unsigned h)
{
    std::vector<std::uint32_t> px(std::size_t{w} * h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const unsigned d = ((x - w / 2) * (x - w / 2) + (y - h / 2) * (y - h / 2)) & 0xFF;
            px[std::size_t{y} * w + x] = 0xFF000000u | d << 16 | (255 - d) << 8 | (x * 255 / w);
        }
    return px;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view arg = argc == 2 ? argv[1] : "";
    if (arg == "--help" || arg == "-h") {
        std::printf("usage: morvex_tex_demo OUT.pak\nWrites a small archive of four textures, both types, to OUT.pak.\n");
        return 0;
    }
    // An option is never taken for the archive's name.
    if (argc != 2 || arg.empty() || (arg.starts_with("-") && arg != "-")) {
        std::fprintf(stderr, "usage: morvex_tex_demo OUT.pak\n");
        return 1;
    }
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    a.entries.push_back(tex_type4_entry("sky.tga", 64, 32, argb4444_gradient(64, 32)));
    a.entries.push_back(tex_type6_entry("rings.png", 48, 40, argb8888_rings(48, 40)));
    a.entries.push_back(tex_type4_entry("ramp.bmp", 33, 17, argb4444_gradient(33, 17)));
    a.entries.push_back(tex_type6_entry("badge.tga", 16, 16, argb8888_rings(16, 16)));
    if (tex_write_archive(argv[1], a) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
