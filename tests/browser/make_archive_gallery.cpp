// morvex_gallery_archive: makes an archive with the project's archive writer,
// has `morvex_tex gallery` write its page, and writes the layout the browser
// test expects of that page.
//
//   morvex_gallery_archive PAGE LAYOUT [GALLERY_OPTION...]
//
// The archive holds solid colours of both types (so that a screenshot shows
// exactly their colour), one half transparent and one fully transparent
// texture (the checkerboard must show), one of noise, a damaged stream, a
// padding that isn't zero, and hostile names, each at most the 32 bytes a
// stored name holds.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "app/tex_cli.hpp"
#include "format/format.hpp"
#include "format/writer.hpp"
#include "words/escape.hpp"

namespace {

enum class fill { solid, left_clear, clear, noise };

struct sample {
    std::string name;    // raw bytes, at most 32
    std::string shown;   // what the page must show, as text
    std::uint16_t width, height;
    std::uint8_t type;
    fill how;
    std::uint32_t colour;  // 0xRRGGBB: whole levels of 17 for type 4
    bool damaged;          // the card shows a problem
    bool thumbnail;        // the card shows a thumbnail
};

std::uint32_t pixel(const sample& s, std::uint32_t x, std::uint32_t y)
{
    switch (s.how) {
    case fill::solid: return 0xFF000000u | s.colour;
    case fill::left_clear: return x < s.width / 2u ? 0u : 0xFF000000u | s.colour;
    case fill::clear: return 0u;
    case fill::noise: {
        std::uint32_t v = x * 0x9E3779B1u ^ y * 0x85EBCA77u;
        v ^= v >> 15;
        v *= 0x2C1B3C6Du;
        return 0xFF000000u | (v & 0x00FFFFFFu);
    }
    }
    return 0;
}

std::vector<sample> samples()
{
    return {
        {"index", "index", 0, 0, 6, fill::solid, 0, false, false},
        {"red.tga", "red.tga", 64, 64, 6, fill::solid, 0xE01010, false, true},
        {"green_wide.tga", "green_wide.tga", 512, 256, 4, fill::solid, 0x11CC22, false, true},
        {"Blue_small.tga", "Blue_small.tga", 8, 8, 6, fill::solid, 0x2040E0, false, true},
        {"odd_yellow.png", "odd_yellow.png", 3, 5, 4, fill::solid, 0xFFDD00, false, true},
        {"blue_half_clear.tga", "blue_half_clear.tga", 64, 64, 6, fill::left_clear, 0x0030C0, false, true},
        {"all_clear.tga", "all_clear.tga", 32, 32, 4, fill::clear, 0, false, true},
        {"noise.bmp", "noise.bmp", 300, 200, 6, fill::noise, 0, false, true},
        {"damaged.tga", "damaged.tga", 256, 256, 4, fill::solid, 0x336699, true, false},
        {"padded.tga", "padded.tga", 32, 32, 6, fill::solid, 0xC000C0, true, true},
        {"</script><script>__pwned=1//", "</script><script>__pwned=1//", 4, 4, 6, fill::solid, 0x00A0A0, true, true},
        {"<img src=x onerror=__pwned=1>", "<img src=x onerror=__pwned=1>", 4, 4, 6, fill::solid, 0x604020, true, true},
        {"\" onmouseover=\"__pwned=1", "\" onmouseover=\"__pwned=1", 4, 4, 6, fill::solid, 0x206040, true, true},
        {"<img src=http://127.0.0.1:9/x>", "<img src=http://127.0.0.1:9/x>", 4, 4, 6, fill::solid, 0x402060, true, true},
        {"ctl\x01\x1b[2J\x7f.tga", "ctl\\x01\\x1B[2J\\x7F.tga", 4, 4, 6, fill::solid, 0x101010, true, true},
        {"bad\xff\xc0\xaf" "utf8.tga", "bad\\xFF\\xC0\\xAFutf8.tga", 4, 4, 6, fill::solid, 0xA0A0A0, false, true},
        {"line\xe2\x80\xa8sep\xe2\x80\xae" "BLUE.tga", "line\\xE2\\x80\\xA8sep\\xE2\\x80\\xAEBLUE.tga", 4, 4, 6,
         fill::solid, 0x3060F0, false, true},
        {"caf\xc3\xa9_\xe6\x97\xa5.tga", "caf\xc3\xa9_\xe6\x97\xa5.tga", 4, 4, 6, fill::solid, 0xF08030, false, true},
    };
}

tex_writer_entry entry_of(const sample& s)
{
    const std::size_t count = std::size_t{s.width} * s.height;
    std::vector<std::uint32_t> argb(count);
    for (std::uint32_t y = 0; y < s.height; ++y) {
        for (std::uint32_t x = 0; x < s.width; ++x) argb[std::size_t{y} * s.width + x] = pixel(s, x, y);
    }
    if (s.type == 6) return tex_type6_entry(s.name, s.width, s.height, argb);
    std::vector<std::uint16_t> nibbles(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::uint32_t v = 0;
        for (unsigned shift = 0; shift < 32; shift += 8) v |= ((argb[k] >> shift & 0xFF) / 17) << (shift / 2);
        nibbles[k] = static_cast<std::uint16_t>(v);
    }
    return tex_type4_entry(s.name, s.width, s.height, nibbles);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: morvex_gallery_archive PAGE LAYOUT [GALLERY_OPTION...]\n");
        return 2;
    }
    const std::string page = argv[1];
    const std::string archive_path = page + ".pak";
    const std::vector<sample> all = samples();
    tex_writer_archive archive;
    for (const sample& s : all) archive.entries.push_back(entry_of(s));
    archive.entries[8].payload[archive.entries[8].payload.size() / 2] ^= 0x5A;  // damaged.tga
    archive.entries[9].padding[3] = 1;                                          // padded.tga
    if (tex_write_archive(archive_path.c_str(), archive) != 0) {
        std::perror(archive_path.c_str());
        return 1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args = {const_cast<char*>("morvex_tex"), const_cast<char*>("gallery"), const_cast<char*>("-q"),
                                   const_cast<char*>("-o"), const_cast<char*>(page.c_str())};
        for (int k = 3; k < argc; ++k) args.push_back(argv[k]);
        args.push_back(const_cast<char*>(archive_path.c_str()));
        args.push_back(nullptr);
        execv(MORVEX_TEX_PATH, args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    // Problems are shown: exit status 1.
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
        std::fprintf(stderr, "morvex_gallery_archive: morvex_tex gallery ended with %d\n", status);
        return 1;
    }
    std::FILE* layout = std::fopen(argv[2], "wb");
    if (!layout) {
        std::perror(argv[2]);
        return 1;
    }
    std::fprintf(layout, "{\n  \"cards\": [\n");
    for (std::size_t k = 0; k < all.size(); ++k) {
        const sample& s = all[k];
        char colour[16] = "null";
        if (s.how != fill::clear && s.how != fill::noise && s.thumbnail) std::snprintf(colour, sizeof colour, "\"#%06x\"", s.colour);
        const char* clear = s.how == fill::left_clear ? "left" : s.how == fill::clear ? "all" : "none";
        std::fprintf(layout,
                     "    {\"index\": %zu, \"text\": %s, \"damaged\": %s, \"thumbnail\": %s, \"colour\": %s, \"clear\": \"%s\", "
                     "\"width\": %u, \"height\": %u}%s\n",
                     k, tex_json_string(s.shown).c_str(), s.damaged ? "true" : "false", s.thumbnail ? "true" : "false",
                     colour, clear, unsigned{s.width}, unsigned{s.height}, k + 1 == all.size() ? "" : ",");
    }
    std::fprintf(layout, "  ]\n}\n");
    return std::fclose(layout) == 0 ? 0 : 1;
}
