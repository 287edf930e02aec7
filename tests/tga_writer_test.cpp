// The project's TGA writer against the graphics library's TGA saver: the same
// bitmap saved both ways must give the same file, byte for byte.
#include <gtest/gtest.h>

#include <functional>

#include "extract/extract.hpp"
#include "support/support.hpp"

namespace {

using test::temp_dir;

class TgaWriter : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static const int started = start_image_library();
        ASSERT_EQ(started, 0);
    }

    // A w x h image whose pixel (x, y) is argb(x, y) as 0xAARRGGBB.
    static image32_ptr make(std::uint32_t w, std::uint32_t h,
                            const std::function<std::uint32_t(std::uint32_t, std::uint32_t)>& argb)
    {
        image32_ptr image = create_image32(w, h);
        if (!image) return image;
        const pixel_layout l = image_pixel_layout();
        for (std::uint32_t y = 0; y < h; ++y) {
            std::span<std::uint32_t> row = image_row(*image, y);
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t c = argb(x, y);
                row[x] = (c >> 24) << l.a_shift | (c >> 16 & 255) << l.r_shift | (c >> 8 & 255) << l.g_shift |
                         (c & 255) << l.b_shift;
            }
        }
        return image;
    }

    // Saves through both savers, compares the files and returns ours.
    static std::vector<std::uint8_t> saved_both_ways(image32& image, const std::string& what)
    {
        temp_dir dir;
        const std::string library = (dir / "library.tga").string();
        const std::string own = (dir / "own.TGA").string();
        EXPECT_EQ(save_image_with_library(image, library), 0) << what;
        EXPECT_EQ(save_image(image, own), 0) << what;
        const std::vector<std::uint8_t> expected = test::read_file(library);
        const std::vector<std::uint8_t> got = test::read_file(own);
        EXPECT_EQ(got.size(), expected.size()) << what;
        EXPECT_TRUE(got == expected) << what << ": files differ";
        return got;
    }
};

std::uint32_t noise(std::uint32_t x, std::uint32_t y)
{
    std::uint32_t v = x * 0x9E3779B9u ^ (y + 0x7F4A7C15u) * 0x85EBCA6Bu;
    v ^= v >> 15;
    return v * 0xC2B2AE35u;
}

TEST_F(TgaWriter, SameBytesAsTheLibraryForEveryShape)
{
    // Odd sizes, a single pixel, a single row or column, and sizes that take
    // several of the writer's chunks or a chunk per row.
    const std::pair<std::uint32_t, std::uint32_t> shapes[] = {
        {1, 1}, {3, 5}, {7, 2}, {1, 9}, {33, 17}, {300, 500}, {4097, 3}, {65535, 2}};
    for (const auto& [w, h] : shapes) {
        image32_ptr image = make(w, h, noise);
        ASSERT_TRUE(image);
        const std::vector<std::uint8_t> got = saved_both_ways(*image, std::to_string(w) + "x" + std::to_string(h));
        // Checked on our own too, with the tests' reader: the right pixels in place.
        temp_dir dir;
        test::write_file(dir / "x.tga", got);
        const test::rgba_image read = test::read_tga(dir / "x.tga");
        ASSERT_EQ(read.width, w);
        ASSERT_EQ(read.height, h);
        EXPECT_EQ(got.size(), 18 + std::size_t{w} * h * 4);
        for (std::uint32_t y = 0; y < h; y += (h + 2) / 3)
            for (std::uint32_t x = 0; x < w; x += (w + 4) / 5) ASSERT_EQ(read.at(x, y), noise(x, y)) << x << "," << y;
    }
}

TEST_F(TgaWriter, SameBytesAsTheLibraryWhateverTheAlpha)
{
    // The header's alpha bits depend on the pixels: alpha everywhere, nowhere,
    // or in a single pixel at either end of the scan.
    const std::pair<const char*, std::function<std::uint32_t(std::uint32_t, std::uint32_t)>> fills[] = {
        {"fully opaque", [](std::uint32_t x, std::uint32_t y) { return 0xFF000000u | (noise(x, y) & 0xFFFFFF); }},
        {"fully transparent", [](std::uint32_t x, std::uint32_t y) { return noise(x, y) & 0xFFFFFF; }},
        {"all zero", [](std::uint32_t, std::uint32_t) { return 0u; }},
        {"alpha in the last pixel only",
         [](std::uint32_t x, std::uint32_t y) { return x == 12 && y == 4 ? 0x01000000u : 0x00FFFFFFu; }},
        {"alpha in the first pixel only",
         [](std::uint32_t x, std::uint32_t y) { return x == 0 && y == 0 ? 0x80123456u : 0u; }},
    };
    for (const auto& [what, fill] : fills) {
        image32_ptr image = make(13, 5, fill);
        ASSERT_TRUE(image);
        saved_both_ways(*image, what);
    }
}

TEST_F(TgaWriter, PixelsInAnotherLayoutAreConvertedToTheSameFile)
{
    // The library's layout is written straight from the rows; any other is
    // converted a chunk at a time, rows wider than a chunk included.
    const pixel_layout other{0, 8, 16, 24};
    for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{5, 3}, {300, 500}, {65535, 2}}) {
        image32_ptr image = make(w, h, noise);
        ASSERT_TRUE(image);
        std::vector<std::uint32_t> pixels(std::size_t{w} * h);
        std::vector<const std::uint32_t*> rows(h);
        for (std::uint32_t y = 0; y < h; ++y) {
            rows[y] = &pixels[std::size_t{y} * w];
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t c = noise(x, y);
                pixels[std::size_t{y} * w + x] = (c >> 24) << other.a_shift | (c >> 16 & 255) << other.r_shift |
                                                 (c >> 8 & 255) << other.g_shift | (c & 255) << other.b_shift;
            }
        }
        temp_dir dir;
        ASSERT_EQ(save_image_with_library(*image, (dir / "library.tga").string()), 0);
        ASSERT_EQ(write_tga32((dir / "other.tga").c_str(), w, rows, other), 0);
        EXPECT_TRUE(test::read_file(dir / "other.tga") == test::read_file(dir / "library.tga")) << w << "x" << h;
    }
}

TEST_F(TgaWriter, SizesATgaCantHoldAreRefused)
{
    const std::uint32_t pixel = 0;
    std::vector<const std::uint32_t*> rows(1, &pixel);
    temp_dir dir;
    const std::string path = (dir / "x.tga").string();
    EXPECT_EQ(write_tga32(path.c_str(), 65536, rows, image_pixel_layout()), -1);
    EXPECT_EQ(write_tga32(path.c_str(), 0, rows, image_pixel_layout()), -1);
    EXPECT_EQ(write_tga32(path.c_str(), 1, {}, image_pixel_layout()), -1);
    EXPECT_EQ(write_tga32((dir / "no/x.tga").c_str(), 1, rows, image_pixel_layout()), -1);
    EXPECT_TRUE(test::list_dir(dir.path()).empty());
}

}  // namespace
