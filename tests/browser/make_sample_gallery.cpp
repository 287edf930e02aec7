// morvex_gallery_sample: writes a gallery page made from records built here,
// and the layout the browser test expects of it.
//
//   morvex_gallery_sample PAGE LAYOUT
//
// The textures are solid colours (so that a screenshot shows exactly their
// colour), one half transparent and one fully transparent (the checkerboard
// must show), one of noise (lossy), damaged entries with problems, and
// hostile names. Their thumbnails are made and encoded as the gallery makes
// them. The layout (JSON) lists every card in table order with the text its
// name must show as, whether it is damaged, and the colours to look for.
#include <cstdio>
#include <string>
#include <vector>

#include "app/gallery_page.hpp"
#include "app/tex_cli.hpp"
#include "entries/entries.hpp"
#include "images/thumbnail.hpp"
#include "words/escape.hpp"

namespace {

struct sample {
    std::string name;        // raw bytes
    std::string shown;       // what the page must show, as text
    std::uint32_t width, height;
    std::uint32_t (*pixel)(std::uint32_t x, std::uint32_t y, const sample& s);
    std::uint32_t colour;    // 0xRRGGBB of the opaque part, checked exactly
    bool check_colour;
    const char* clear;       // the transparent part: "none", "left" (half), "all"
    std::vector<std::string> problems;
    std::string no_thumbnail;  // a reason instead of a thumbnail
};

std::uint32_t solid_pixel(std::uint32_t, std::uint32_t, const sample& s)
{
    return 0xFF000000u | s.colour;
}

std::uint32_t noise_pixel(std::uint32_t x, std::uint32_t y, const sample&)
{
    std::uint32_t v = x * 0x9E3779B1u ^ y * 0x85EBCA77u;
    v ^= v >> 15;
    v *= 0x2C1B3C6Du;
    return 0xFF000000u | (v & 0x00FFFFFFu);
}

std::uint32_t left_clear_pixel(std::uint32_t x, std::uint32_t, const sample& s)
{
    return x < s.width / 2 ? 0x00000000u : 0xFF000000u | s.colour;
}

std::uint32_t clear_pixel(std::uint32_t, std::uint32_t, const sample&)
{
    return 0x00000000u;
}

std::vector<sample> samples()
{
    return {
        {"index", "index", 16, 16, solid_pixel, 0x808080, true, "none", {}, ""},
        {"red.tga", "red.tga", 64, 64, solid_pixel, 0xE01010, true, "none", {}, ""},
        {"green_wide.tga", "green_wide.tga", 512, 256, solid_pixel, 0x10C020, true, "none", {}, ""},
        {"Blue_small.tga", "Blue_small.tga", 8, 8, solid_pixel, 0x2040E0, true, "none", {}, ""},
        {"odd_yellow.tga", "odd_yellow.tga", 3, 5, solid_pixel, 0xF0D000, true, "none", {}, ""},
        {"blue_half_clear.tga", "blue_half_clear.tga", 64, 64, left_clear_pixel, 0x0030C0, true, "left", {}, ""},
        {"all_clear.tga", "all_clear.tga", 32, 32, clear_pixel, 0, false, "all", {}, ""},
        {"noise.tga", "noise.tga", 300, 200, noise_pixel, 0, false, "none", {}, ""},
        {"damaged.tga", "damaged.tga", 256, 256, solid_pixel, 0, false, "none",
         {"zlib stream damaged (inflate: invalid distance too far back)"}, "not decoded: the payload is damaged"},
        {"padded.tga", "padded.tga", 32, 32, solid_pixel, 0xC000C0, true, "none", {"padding not zero"}, ""},
        {"</script><script>window.__pwned=1</script>", "</script><script>window.__pwned=1</script>", 4, 4,
         solid_pixel, 0x00A0A0, true, "none", {"<b>bold</b> & </script>"}, ""},
        {"<img src=x onerror=\"window.__pwned=1\">", "<img src=x onerror=\"window.__pwned=1\">", 4, 4, solid_pixel,
         0x604020, true, "none", {}, ""},
        {"\" onmouseover=\"window.__pwned=1", "\" onmouseover=\"window.__pwned=1", 4, 4, solid_pixel, 0x206040, true,
         "none", {}, ""},
        {"<img src=\"http://127.0.0.1:9/x.png\">", "<img src=\"http://127.0.0.1:9/x.png\">", 4, 4, solid_pixel,
         0x402060, true, "none", {}, ""},
        {std::string("ctl\0\x01\x1b[2J\x7f", 10), "ctl\\x00\\x01\\x1B[2J\\x7F", 4, 4, solid_pixel, 0x101010, true, "none",
         {}, ""},
        {"bad\xff\xc0\xaf" "utf8", "bad\\xFF\\xC0\\xAFutf8", 4, 4, solid_pixel, 0xA0A0A0, true, "none", {}, ""},
        {"line\xe2\x80\xa8sep\xe2\x80\xae" "BLUE", "line\\xE2\\x80\\xA8sep\\xE2\\x80\\xAEBLUE", 4, 4, solid_pixel,
         0x3060F0, true, "none", {}, ""},
        {"caf\xc3\xa9_\xe6\x97\xa5.tga", "caf\xc3\xa9_\xe6\x97\xa5.tga", 4, 4, solid_pixel, 0xF08030, true, "none", {},
         ""},
    };
}

// The thumbnail's file, as the gallery makes it.
int thumbnail_of(const sample& s, gallery_card& card)
{
    image32 image;
    if (!make_image32(s.width, s.height, image)) return -1;
    for (std::uint32_t y = 0; y < s.height; ++y)
        for (std::uint32_t x = 0; x < s.width; ++x) image.row(y)[x] = s.pixel(x, y, s);
    card.transparent = image_has_transparency(view_of(image)) ? 1 : 0;
    image32 thumb;
    if (make_thumbnail(view_of(image), 128, thumb) != 0) return -1;
    card.thumbnail_width = thumb.width;
    card.thumbnail_height = thumb.height;
    const char* mime = nullptr;
    const int rc = encode_thumbnail(view_of(thumb), thumbnail_encoding::chosen, card.thumbnail, &mime);
    card.thumbnail_mime = mime ? mime : "";
    return rc;
}

void put_layout_card(std::FILE* f, const sample& s, std::uint32_t index, bool last)
{
    char colour[16] = "null";
    if (s.check_colour && s.no_thumbnail.empty()) std::snprintf(colour, sizeof colour, "\"#%06x\"", s.colour);
    std::fprintf(f,
                 "    {\"index\": %u, \"text\": %s, \"damaged\": %s, \"thumbnail\": %s, \"colour\": %s, "
                 "\"clear\": \"%s\", \"width\": %u, \"height\": %u}%s\n",
                 index, tex_json_string(s.shown).c_str(), s.problems.empty() ? "false" : "true",
                 s.no_thumbnail.empty() ? "true" : "false", colour, s.clear, s.width, s.height, last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: morvex_gallery_sample PAGE LAYOUT\n");
        return 2;
    }
    const std::vector<sample> all = samples();
    std::FILE* page = std::fopen(argv[1], "wb");
    std::FILE* layout = std::fopen(argv[2], "wb");
    if (!page || !layout) {
        std::perror("morvex_gallery_sample");
        return 1;
    }
    gallery_archive_info archive;
    archive.name = "sample <gallery> & \"friends\".pak";
    archive.size = 987654;
    archive.count = static_cast<std::uint32_t>(all.size());
    archive.problem_count = 4;
    archive.problems = {"the table's end runs over entry 3's header <b>"};
    gallery_sink sink;
    sink.file = page;
    gallery_begin(sink, archive);
    std::fprintf(layout, "{\n  \"cards\": [\n");
    for (std::uint32_t k = 0; k < all.size(); ++k) {
        const sample& s = all[k];
        gallery_card card;
        card.index = k;
        card.first = k == 0;
        card.name = s.name;
        card.width = s.width;
        card.height = s.height;
        card.type = k % 2 == 0 ? 4 : 6;
        card.payload_size = 1000 + 37 * ((k * 7) % static_cast<std::uint32_t>(all.size()));
        card.problems = s.problems;
        if (!s.no_thumbnail.empty()) {
            card.no_thumbnail_reason = s.no_thumbnail;
        } else if (thumbnail_of(s, card) != 0) {
            std::fprintf(stderr, "morvex_gallery_sample: no thumbnail for entry %u\n", k);
            return 1;
        }
        if (k > 0) card.extract_command = "morvex_tex extract 'sample.pak' -- '" + s.name + "'";
        gallery_card_write(sink, card);
        put_layout_card(layout, s, k, k + 1 == all.size());
    }
    std::fprintf(layout, "  ]\n}\n");
    const int rc = gallery_end(sink);
    if (rc != 0 || std::fclose(page) != 0 || std::fclose(layout) != 0) {
        std::perror("morvex_gallery_sample");
        return 1;
    }
    return 0;
}
