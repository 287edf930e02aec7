// What the Python module asks of the public API beyond decoding: an entry's
// payload as stored (the bytes `extract --raw` writes, refused where the
// archive doesn't hold them), pixels without alpha that replace treats as a
// file without alpha, and names matched as the packer matches a file's path.
#include <gtest/gtest.h>

#if defined(MORVEX_TEX_PATH) && defined(MORVEX_PACK_PATH)

#include <filesystem>

#include "morvex_tex/morvex_tex.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

std::vector<std::uint32_t> opaque(std::uint32_t w, std::uint32_t h, std::uint32_t seed)
{
    std::vector<std::uint32_t> px(std::size_t{w} * h);
    for (std::size_t n = 0; n < px.size(); ++n) {
        px[n] = 0xFF000000u | (((static_cast<std::uint32_t>(n * 0x9E3779B1u) >> 8) ^ (seed * 0x10101u)) & 0xFFFFFFu);
    }
    return px;
}

TEST(PublicApi, PayloadsAreReadAsStoredOrRefusedBeforeAnythingIsRead)
{
    temp_dir dir;
    std::vector<tex_writer_entry> e;
    e.push_back(tex_type4_entry("sky.tga", 5, 3, std::vector<std::uint16_t>(15, 0x1234)));
    e.push_back(tex_type6_entry("rings.png", 2, 2, opaque(2, 2, 1)));
    e.push_back(tex_type6_entry("gone.tga", 2, 2, opaque(2, 2, 2)));
    e.back().offset = 0x7FFFFFF0;
    e.back().write_body = false;
    e.push_back(tex_type6_entry("long.tga", 2, 2, opaque(2, 2, 3)));
    e.back().table_size = 4000;
    const tex_writer_archive written = test::archive_of(e);
    const morvex_tex::archive a = morvex_tex::archive::open(test::write_archive(dir, "p.pak", written).string());

    EXPECT_EQ(a.payload(0), std::vector<std::uint8_t>{});
    EXPECT_EQ(a.payload(1), written.entries[1].payload);
    EXPECT_EQ(a.payload(2), written.entries[2].payload);
    struct row {
        std::uint32_t index;
        std::uint32_t kind;      // morvex_tex_error_kind
        std::uint32_t finding;   // ... and its finding, for MORVEX_TEX_ERROR_ENTRY
    };
    for (const row& r : {row{3, MORVEX_TEX_ERROR_ENTRY, MORVEX_TEX_FINDING_ENTRY_PAST_END},
                         row{4, MORVEX_TEX_ERROR_ENTRY, MORVEX_TEX_FINDING_PAYLOAD_PAST_END},
                         row{5, MORVEX_TEX_ERROR_NO_ENTRY, 0}}) {
        SCOPED_TRACE(r.index);
        std::uint8_t untouched = 0xEE;
        morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
        EXPECT_EQ(morvex_tex_read_payload(a.handle(), r.index, &untouched, 1, nullptr, &error), -1);
        EXPECT_EQ(error.kind, r.kind) << error.message;
        if (r.kind == MORVEX_TEX_ERROR_ENTRY) {
            EXPECT_EQ(error.finding.kind, r.finding);
        }
        EXPECT_EQ(untouched, 0xEE);
    }
    // Too small a buffer: how many bytes are needed, and none written.
    std::vector<std::uint8_t> small(5, 0xEE);
    std::uint64_t size = 0;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    EXPECT_EQ(morvex_tex_read_payload(a.handle(), 2, small.data(), small.size(), &size, &error), -1);
    EXPECT_EQ(error.kind, MORVEX_TEX_ERROR_BUFFER);
    EXPECT_EQ(error.needed, 16u);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(small, std::vector<std::uint8_t>(5, 0xEE));
}

// Bytes R, G, B (or R, G, B, A) of the pixels, `pad` bytes of junk after each row.
std::vector<std::uint8_t> bytes_of(const std::vector<std::uint32_t>& argb, std::uint32_t width, bool alpha, std::size_t pad)
{
    std::vector<std::uint8_t> out;
    for (std::size_t n = 0; n < argb.size(); ++n) {
        out.insert(out.end(), {static_cast<std::uint8_t>(argb[n] >> 16), static_cast<std::uint8_t>(argb[n] >> 8),
                               static_cast<std::uint8_t>(argb[n])});
        if (alpha) out.push_back(static_cast<std::uint8_t>(argb[n] >> 24));
        if ((n + 1) % width == 0) out.insert(out.end(), pad, 0x5A);
    }
    return out;
}

TEST(PublicApi, PixelsWithoutAlphaAndNamesMatchedAsPathsPatchAsFilesDo)
{
    temp_dir dir;
    const auto at = [&](const std::string& name) { return (dir / name).string(); };
    // sky.tga holds alpha, ground.tga doesn't.
    std::vector<std::uint32_t> sky = opaque(4, 3, 7), ground = opaque(3, 2, 9);
    sky[5] &= 0x80FFFFFFu;
    const std::vector<std::uint8_t> sky_rgba = bytes_of(sky, 4, true, 0), ground_rgba = bytes_of(ground, 3, true, 0);
    morvex_tex::create(at("in.pak"), {morvex_tex::image_source::memory("env/sky.tga", {4, 3, 16, sky_rgba.data()}),
                                      morvex_tex::image_source::memory("ground.tga", {3, 2, 12, ground_rgba.data()})});
    // RGB rows 3 bytes a pixel, with a stride beyond them.
    const std::vector<std::uint8_t> sky_rgb = bytes_of(sky, 4, false, 5), ground_rgb = bytes_of(ground, 3, false, 2);
    const std::vector<std::uint8_t> other_rgb = bytes_of(opaque(4, 3, 8), 4, false, 0);
    const morvex_tex_pixels sky_px{4, 3, 17, sky_rgb.data()}, ground_px{3, 2, 11, ground_rgb.data()};
    const std::uint32_t rgb = MORVEX_TEX_SOURCE_RGB, as_path = MORVEX_TEX_SOURCE_NAME_AS_PATH;

    struct row {
        const char* what;
        std::vector<morvex_tex::image_source> images;
        std::vector<std::uint32_t> actions;  // entries 1 and 2: action + 10 * warnings
    };
    const std::vector<row> rows = {
        {"without alpha: the same colours are unchanged, others lose the entry's alpha",
         {morvex_tex::image_source::memory("ground.tga", ground_px, rgb),
          morvex_tex::image_source::memory("env/sky.tga", {4, 3, 12, other_rgb.data()}, rgb)},
         {MORVEX_TEX_PACK_REPLACED + 10 * MORVEX_TEX_PACK_ALPHA_LOST, MORVEX_TEX_PACK_UNCHANGED}},
        {"without alpha, the colours of an entry with alpha: unchanged",
         {morvex_tex::image_source::memory("env/sky.tga", sky_px, rgb)},
         {MORVEX_TEX_PACK_UNCHANGED, MORVEX_TEX_PACK_KEPT}},
        {"a name matched as a path: by its folders, then by path and stem",
         {morvex_tex::image_source::memory("work/env/sky.png", {4, 3, 16, sky_rgba.data()}, as_path),
          morvex_tex::image_source::memory("ground.bmp", ground_px, rgb | as_path)},
         {MORVEX_TEX_PACK_UNCHANGED, MORVEX_TEX_PACK_UNCHANGED}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::uint32_t> actions;
        morvex_tex::replace(at("in.pak"), at("out.pak"), r.images, false, [&](const morvex_tex_pack_entry& e) {
            if (e.index > 0) actions.push_back(e.action + 10 * e.warnings);
        });
        EXPECT_EQ(actions, r.actions);
    }
    // Created from RGB, the pixels are opaque; the name stays as given.
    morvex_tex::create(at("rgb.pak"), {morvex_tex::image_source::memory("sky.png", sky_px, rgb | as_path)});
    const morvex_tex::archive made = morvex_tex::archive::open(at("rgb.pak"));
    EXPECT_EQ(made.at(1).name(), "sky.png");
    EXPECT_EQ(made.decode(1).rgba, bytes_of(opaque(4, 3, 7), 4, true, 0));

    // Without the flag a name is exact; the flags are not for files, nor a
    // stride short of 3 bytes a pixel.
    struct refusal {
        const char* what;
        morvex_tex::image_source image;
        std::uint32_t kind;
    };
    morvex_tex::write_image(at("sky.png"), {4, 3, 16, sky_rgba.data()});
    for (const refusal& r : {refusal{"exact name", morvex_tex::image_source::memory("sky.png", sky_px, rgb), MORVEX_TEX_ERROR_NAME},
                             refusal{"a file", {"", at("sky.png"), {}, as_path}, MORVEX_TEX_ERROR_ARGUMENT},
                             refusal{"a flag unknown", morvex_tex::image_source::memory("sky.tga", sky_px, 4), MORVEX_TEX_ERROR_ARGUMENT},
                             refusal{"short stride", morvex_tex::image_source::memory("sky.tga", {4, 3, 11, sky_rgb.data()}, rgb),
                                     MORVEX_TEX_ERROR_ARGUMENT}}) {
        SCOPED_TRACE(r.what);
        try {
            morvex_tex::replace(at("in.pak"), at("refused.pak"), {r.image});
            ADD_FAILURE() << "no error";
        } catch (const morvex_tex::error& e) {
            EXPECT_EQ(e.kind(), r.kind) << e.what();
        }
        EXPECT_FALSE(fs::exists(dir / "refused.pak"));
    }
}

}  // namespace

#endif
