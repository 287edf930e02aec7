// End-to-end: what the extractor writes. Images are read back with decoders of
// the tests' own (TGA parsed by hand, PNG through libpng) and compared pixel by pixel.
#include <gtest/gtest.h>

#include <zlib.h>

#include "support/support.hpp"

namespace {

using test::run_extractor;
using test::temp_dir;

// ARGB4444 widened by hand: each nibble n becomes the byte n * 17.
std::uint32_t widened(std::uint16_t p)
{
    std::uint32_t out = 0;
    for (int shift = 0; shift < 16; shift += 4) out |= ((p >> shift) & 15u) * 17u << (shift * 2);
    return out;
}

// Non-square, every pixel different, so swapped rows or columns show.
std::vector<std::uint16_t> pattern4(unsigned w, unsigned h)
{
    std::vector<std::uint16_t> px(std::size_t{w} * h);
    for (std::size_t k = 0; k < px.size(); ++k) px[k] = static_cast<std::uint16_t>(k * 0x9E37u + 0x1234u);
    return px;
}

std::vector<std::uint32_t> pattern6(unsigned w, unsigned h)
{
    std::vector<std::uint32_t> px(std::size_t{w} * h);
    for (std::size_t k = 0; k < px.size(); ++k) px[k] = static_cast<std::uint32_t>(k * 0x9E3779B9u + 0x01020304u);
    return px;
}

void expect_pixels(const test::rgba_image& img, unsigned w, unsigned h, const std::vector<std::uint32_t>& argb)
{
    ASSERT_EQ(img.width, w);
    ASSERT_EQ(img.height, h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            ASSERT_EQ(img.at(x, y), argb[std::size_t{y} * w + x]) << "pixel " << x << "," << y;
}

std::vector<std::uint8_t> zlib_of(const std::vector<std::uint8_t>& raw)
{
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> out(len);
    compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), 9);
    out.resize(len);
    return out;
}

TEST(Conversion, KnownPixelsOfBothTypes)
{
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    // Nibbles 15, 8, 0, 15 from the top: alpha 255, red 136, green 0, blue 255.
    a.entries.push_back(tex_type4_entry("n.tga", 1, 1, std::vector<std::uint16_t>{0xF80F}));
    // Bytes 10 20 30 40: blue 0x10, green 0x20, red 0x30, alpha 0x40.
    tex_writer_entry six = tex_placeholder_entry("index");
    six.name = "b.png";
    six.type = 6;
    six.width = six.height = 1;
    six.payload = {0x10, 0x20, 0x30, 0x40};
    a.entries.push_back(six);
    test::write_archive(dir, "k.pak", a);
    const auto r = run_extractor({"k.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_tga(dir / "n.tga").at(0, 0), 0xFF8800FFu);
    EXPECT_EQ(test::read_png(dir / "b.png").at(0, 0), 0x40302010u);
}

TEST(Conversion, EveryPixelInPlaceForEachFormatAndType)
{
    const unsigned w = 7, h = 3;
    const auto p4 = pattern4(w, h);
    const auto p6 = pattern6(w, h);
    std::vector<std::uint32_t> want4(p4.size());
    for (std::size_t k = 0; k < p4.size(); ++k) want4[k] = widened(p4[k]);

    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    a.entries.push_back(tex_type4_entry("a4.tga", w, h, p4));
    a.entries.push_back(tex_type4_entry("b4.PNG", w, h, p4));
    a.entries.push_back(tex_type6_entry("c6.Tga", w, h, p6));
    a.entries.push_back(tex_type6_entry("d6.png", w, h, p6));
    a.entries.push_back(tex_type6_entry("e6.bmp", w, h, p6));
    a.entries.push_back(tex_type4_entry("f4.pcx", h, w, p4));
    test::write_archive(dir, "m.pak", a);
    const auto r = run_extractor({"m.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;

    expect_pixels(test::read_tga(dir / "a4.tga"), w, h, want4);
    expect_pixels(test::read_png(dir / "b4.PNG"), w, h, want4);
    expect_pixels(test::read_tga(dir / "c6.Tga"), w, h, p6);
    expect_pixels(test::read_png(dir / "d6.png"), w, h, p6);
    // BMP and PCX carry no alpha; check they are what their names say.
    const auto bmp = test::read_file(dir / "e6.bmp");
    ASSERT_GT(bmp.size(), 2u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    const auto pcx = test::read_file(dir / "f4.pcx");
    ASSERT_GT(pcx.size(), 128u);
    EXPECT_EQ(pcx[0], 0x0A);
}

TEST(RawOutput, PayloadExactlyAsStoredWhateverTheHeaderSays)
{
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    tex_writer_entry four = tex_type4_entry("z.tga", 5, 4, pattern4(5, 4));
    four.rep_c_sz = 3;  // the table's size decides
    const auto stream = four.payload;
    a.entries.push_back(four);
    tex_writer_entry six = tex_type6_entry("s.tga", 2, 2, pattern6(2, 2));
    six.width = 100;  // dimensions play no part in raw mode
    const auto pixels = six.payload;
    a.entries.push_back(six);
    test::write_archive(dir, "r.pak", a);
    const auto r = run_extractor({"r.pak", "-no-convert"}, dir.path());
    EXPECT_EQ(test::read_file(dir / "z.tga"), stream);
    EXPECT_EQ(test::read_file(dir / "s.tga"), pixels);
    EXPECT_NE(r.out.find("extraction of s.tga ok\n"), std::string::npos);
}

TEST(Conversion, LongerInflationIsReportedAndStillSaved)
{
    const unsigned w = 3, h = 2;
    const auto px = pattern4(w, h);
    std::vector<std::uint8_t> raw;
    for (std::uint16_t p : px) {
        raw.push_back(static_cast<std::uint8_t>(p));
        raw.push_back(static_cast<std::uint8_t>(p >> 8));
    }
    raw.push_back(0xAA);
    raw.push_back(0xBB);
    tex_writer_entry e = tex_placeholder_entry("index");
    e.name = "long.tga";
    e.type = 4;
    e.width = w;
    e.height = h;
    e.payload = zlib_of(raw);
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    a.entries.push_back(e);
    test::write_archive(dir, "l.pak", a);
    const auto r = run_extractor({"l.pak"}, dir.path());
    EXPECT_NE(r.out.find("   (skip 39 bytes of padding)\n"
                         "ERROR : out_len != width * height * 2\n"
                         "        14     != 3 * 2 * 2 (12)\n"
                         "extraction of long.tga ok\n"),
              std::string::npos)
        << r.out;
    std::vector<std::uint32_t> want(px.size());
    for (std::size_t k = 0; k < px.size(); ++k) want[k] = widened(px[k]);
    expect_pixels(test::read_tga(dir / "long.tga"), w, h, want);
}

TEST(Failures, EachIsReportedAndTheWalkGoesOn)
{
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    tex_writer_entry bad = tex_type4_entry("bad.tga", 2, 2, pattern4(2, 2));
    bad.payload = {0x78, 0x9C, 1, 2, 3, 4, 5};  // a zlib header, then garbage
    a.entries.push_back(bad);
    a.entries.push_back(tex_type6_entry("nodir/x.tga", 1, 1, pattern6(1, 1)));
    a.entries.push_back(tex_type6_entry("pic.jpg", 1, 1, pattern6(1, 1)));
    a.entries.push_back(tex_type6_entry("good.tga", 1, 1, pattern6(1, 1)));
    test::write_archive(dir, "f.pak", a);
    test::write_file(dir / "good.tga", {1, 2, 3});  // an existing file is replaced
    test::write_file(dir / "nodir", {1});           // a file where a folder would have to be made
    const auto r = run_extractor({"f.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    const char* lines[] = {
        "ERROR : extraction of bad.tga was impossible\n",
        "ERROR, can't create nodir/x.tga for output\nERROR : extraction of nodir/x.tga was impossible\n",
        "ERROR : no image format for pic.jpg (names must end in .tga, .png, .bmp or .pcx)\n"
        "ERROR : extraction of pic.jpg was impossible\n",
        "extraction of good.tga ok\n",
    };
    std::size_t at = 0;
    for (const char* line : lines) {
        const std::size_t found = r.out.find(line, at);
        EXPECT_NE(found, std::string::npos) << line;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"f.pak", "good.tga", "nodir"}));
    EXPECT_EQ(test::read_tga(dir / "good.tga").at(0, 0), pattern6(1, 1)[0]);
    EXPECT_EQ(r.err, "progress : " + std::string(53, '.') + "ok\n");
}

TEST(Failures, ExistingFileSurvivesAFailedExtraction)
{
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    tex_writer_entry bad = tex_type4_entry("keep.tga", 2, 2, pattern4(2, 2));
    bad.payload = {1, 2, 3};
    a.entries.push_back(bad);
    test::write_archive(dir, "k.pak", a);
    test::write_file(dir / "keep.tga", {9, 8, 7});
    run_extractor({"k.pak"}, dir.path());
    EXPECT_EQ(test::read_file(dir / "keep.tga"), (std::vector<std::uint8_t>{9, 8, 7}));
}

}  // namespace
