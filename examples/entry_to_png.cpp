// entry_to_png ARCHIVE NAME OUT.png: decodes the entry stored as NAME and
// writes its pixels as a PNG file, through the library's own image writer.
// Built on the installed library alone:
//   c++ -std=c++20 entry_to_png.cpp $(pkg-config --cflags --libs morvex_tex)
#include <cstdio>

#include <morvex_tex/morvex_tex.hpp>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: entry_to_png ARCHIVE NAME OUT.png\n");
        return 2;
    }
    try {
        const morvex_tex::archive archive = morvex_tex::archive::open(argv[1]);
        const std::optional<std::uint32_t> index = archive.find(argv[2]);
        if (!index) {
            std::fprintf(stderr, "entry_to_png: %s: no entry named %s\n", argv[1], argv[2]);
            return 1;
        }
        const morvex_tex::image image = archive.decode(*index);
        for (const morvex_tex::finding& f : image.warnings) std::fprintf(stderr, "entry_to_png: warning: %s\n", f.text().c_str());
        morvex_tex::write_image(argv[3], image.pixels(), MORVEX_TEX_FORMAT_PNG);
        std::printf("%s: entry %u, %u x %u pixels\n", argv[3], *index, image.width, image.height);
    } catch (const morvex_tex::error& e) {
        std::fprintf(stderr, "entry_to_png: %s (%s)\n", e.what(), e.kind_name());
        return 1;
    }
    return 0;
}
