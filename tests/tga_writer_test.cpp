// The project's TGA writer against the graphics library's TGA saver: the same
// pixels saved both ways must give the same file, byte for byte, and our own
// reader must find the pixels in it.
#include <gtest/gtest.h>

#include <thread>

#include <unistd.h>

#include "entries/entries.hpp"
#include "support/image_writers.hpp"
#include "support/support.hpp"

namespace {

using test::make_image;
using test::noise;
using test::owned_image;

// Our file for the image, after checking it is the library's.
std::vector<std::uint8_t> saved_both_ways(const owned_image& image, const std::string& what)
{
    int rc = -1;
    const std::vector<std::uint8_t> got = test::written_by(write_tga, image.view(), rc);
    EXPECT_EQ(rc, 0) << what;
    const std::vector<std::uint8_t> expected = test::saved_by_library(image, "tga");
    EXPECT_EQ(got.size(), expected.size()) << what;
    EXPECT_TRUE(got == expected) << what << ": files differ";
    return got;
}

TEST(TgaWriter, SameBytesAsTheLibraryForEveryShape)
{
    // Odd sizes, a single pixel, a single row or column, and sizes that take
    // several of the writer's chunks or a chunk per row.
    const std::pair<std::uint32_t, std::uint32_t> shapes[] = {
        {1, 1}, {3, 5}, {7, 2}, {1, 9}, {33, 17}, {300, 500}, {4097, 3}, {65535, 2}};
    for (const auto& [w, h] : shapes) {
        const owned_image image = make_image(w, h, noise);
        const std::vector<std::uint8_t> got = saved_both_ways(image, std::to_string(w) + "x" + std::to_string(h));
        // Checked on our own too, with the tests' reader: the right pixels in place.
        test::temp_dir dir;
        test::write_file(dir / "x.tga", got);
        const test::rgba_image read = test::read_tga(dir / "x.tga");
        ASSERT_EQ(read.width, w);
        ASSERT_EQ(read.height, h);
        EXPECT_EQ(got.size(), 18 + std::size_t{w} * h * 4);
        for (std::uint32_t y = 0; y < h; y += (h + 2) / 3)
            for (std::uint32_t x = 0; x < w; x += (w + 4) / 5) ASSERT_EQ(read.at(x, y), noise(x, y)) << x << "," << y;
    }
}

// What the writer puts through a pipe, where it can't go back to the header.
std::vector<std::uint8_t> written_through_pipe(const owned_image& image)
{
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::vector<std::uint8_t> got;
    std::thread reader([&] {
        std::uint8_t buf[65536];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
    });
    const int rc = write_tga(fds[1], image.view());
    close(fds[1]);
    reader.join();
    close(fds[0]);
    return rc == 0 ? got : std::vector<std::uint8_t>{};
}

TEST(TgaWriter, SameBytesAsTheLibraryWhateverTheAlpha)
{
    // The header's alpha bits depend on the pixels: alpha everywhere, nowhere,
    // or in a single pixel at either end of the scan; in a file written in one
    // chunk or in several (the header byte then put right afterwards), and
    // through a pipe (the image scanned first).
    for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{13, 5}, {300, 500}}) {
        const std::pair<const char*, test::pixel_fill> fills[] = {
            {"fully opaque", [](std::uint32_t x, std::uint32_t y) { return 0xFF000000u | (noise(x, y) & 0xFFFFFF); }},
            {"fully transparent", [](std::uint32_t x, std::uint32_t y) { return noise(x, y) & 0xFFFFFF; }},
            {"all zero", [](std::uint32_t, std::uint32_t) { return 0u; }},
            {"alpha in the last pixel only",
             [w = w, h = h](std::uint32_t x, std::uint32_t y) { return x == w - 1 && y == h - 1 ? 0x01000000u : 0x00FFFFFFu; }},
            {"alpha in the first pixel only",
             [](std::uint32_t x, std::uint32_t y) { return x == 0 && y == 0 ? 0x80123456u : 0u; }},
        };
        for (const auto& [what, fill] : fills) {
            const owned_image image = make_image(w, h, fill);
            const std::vector<std::uint8_t> file = saved_both_ways(image, what);
            EXPECT_TRUE(written_through_pipe(image) == file) << what << ", " << w << "x" << h << " through a pipe";
        }
    }
}

TEST(TgaWriter, AlphaBetweenRowsIsNotTakenForThePixels)
{
    // Alpha only in the gaps of a strided image: the header must say "no alpha".
    const owned_image image = make_image(9, 4, [](std::uint32_t x, std::uint32_t y) { return noise(x, y) & 0xFFFFFF; },
                                         3, 0xFF000000u);
    int rc = -1;
    const std::vector<std::uint8_t> got = test::written_by(write_tga, image.view(), rc);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(got == test::saved_by_library(image, "tga"));
}

}  // namespace
