// Thumbnails: the area filter against a plain double-precision area average
// computed here (every thumbnail pixel within half a level of it), alpha that
// lends no colour, solid colours that stay exact, the thumbnail of 16-bit
// pixels the same as that of the widened image, and the encoded thumbnail
// decoded by libwebp's and libpng's decoders: lossless exactly, lossy close
// with alpha exact, levels exactly the nearest levels.
#include <gtest/gtest.h>
#include <png.h>
#include <webp/decode.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "entries/entries.hpp"
#include "images/thumbnail.hpp"
#include "support/image_writers.hpp"
#include "support/support.hpp"

namespace {

using test::make_image;
using test::noise;
using test::owned_image;
using test::pixel_fill;

struct thumbnail_size_case {
    std::uint32_t width, height;
    unsigned max_side;
    std::uint32_t want_width, want_height;
};

TEST(Thumbnail, Dimensions)
{
    const thumbnail_size_case cases[] = {
        {1024, 1024, 128, 128, 128}, {1024, 512, 128, 128, 64},  {512, 1024, 128, 64, 128},
        {300, 200, 128, 128, 85},    {200, 300, 128, 85, 128},   {301, 197, 128, 128, 84},
        {1, 1000, 128, 1, 128},      {1000, 1, 128, 128, 1},     {1000, 3, 128, 128, 1},
        {129, 1, 128, 128, 1},       {128, 128, 128, 128, 128},  {100, 50, 128, 100, 50},
        {1, 1, 128, 1, 1},           {7, 5, 1, 1, 1},            {65535, 65535, 256, 256, 256},
        {65535, 1, 256, 256, 1},     {3, 2, 2, 2, 1},
    };
    for (const auto& c : cases) {
        std::uint32_t w = 0, h = 0;
        thumbnail_dimensions(c.width, c.height, c.max_side, w, h);
        EXPECT_EQ(w, c.want_width) << c.width << " x " << c.height << " at " << c.max_side;
        EXPECT_EQ(h, c.want_height) << c.width << " x " << c.height << " at " << c.max_side;
    }
}

// The channels of a pixel, alpha first.
double channel(std::uint32_t p, int k)
{
    return static_cast<double>(p >> (24 - 8 * k) & 0xFFu);
}

// The area average of the region a thumbnail pixel covers, in doubles: alpha
// the mean alpha, colours the alpha-weighted means.
std::array<double, 4> reference_pixel(const owned_image& src, std::uint32_t tw, std::uint32_t th, std::uint32_t tx,
                                      std::uint32_t ty)
{
    const double x0 = static_cast<double>(tx) * src.width / tw, x1 = static_cast<double>(tx + 1) * src.width / tw;
    const double y0 = static_cast<double>(ty) * src.height / th, y1 = static_cast<double>(ty + 1) * src.height / th;
    std::array<double, 4> sum{};  // alpha, and red, green, blue times alpha
    double area = 0;
    for (std::uint32_t y = static_cast<std::uint32_t>(y0); y < src.height && y < y1; ++y)
        for (std::uint32_t x = static_cast<std::uint32_t>(x0); x < src.width && x < x1; ++x) {
            const double w = (std::min<double>(x + 1, x1) - std::max<double>(x, x0)) *
                             (std::min<double>(y + 1, y1) - std::max<double>(y, y0));
            const std::uint32_t p = src.at(x, y);
            area += w;
            sum[0] += w * channel(p, 0);
            for (int k = 1; k < 4; ++k) sum[static_cast<std::size_t>(k)] += w * channel(p, 0) * channel(p, k);
        }
    std::array<double, 4> mean{sum[0] / area, 0, 0, 0};
    for (std::size_t k = 1; k < 4; ++k) mean[k] = sum[0] > 0 ? sum[k] / sum[0] : 0;
    return mean;
}

struct filter_case {
    const char* what;
    std::uint32_t width, height;
    unsigned max_side;
    pixel_fill fill;
};

std::uint32_t with_alpha_edges(std::uint32_t x, std::uint32_t y)
{
    // Opaque noise beside stripes of transparent pixels of every colour, and
    // pixels of alpha 1 that must weigh almost nothing.
    if (x % 5 == 0) return noise(x, y) & 0x00FFFFFFu;
    if (y % 7 == 3) return 0x01000000u | (noise(x, y) & 0x00FFFFFFu);
    return noise(x, y) | 0xFF000000u;
}

TEST(Thumbnail, MatchesAreaAverage)
{
    const filter_case cases[] = {
        {"odd sizes", 301, 197, 128, noise},
        {"odd sizes, the other way", 197, 301, 128, noise},
        {"a whole factor", 1024, 1024, 128, noise},
        {"just above the limit", 129, 130, 128, noise},
        {"1 x N", 1, 1000, 128, noise},
        {"N x 1", 1000, 1, 128, noise},
        {"3 x N, rounded down to 1 column", 3, 1000, 128, noise},
        {"to one pixel", 37, 23, 1, noise},
        {"to 2 x 1", 3, 2, 2, noise},
        {"alpha edges", 333, 251, 64, with_alpha_edges},
        {"alpha edges, a factor of 5", 640, 320, 128, with_alpha_edges},
        {"the largest thumbnail", 2100, 1500, thumbnail_max_side, noise},
        {"the longest side", 65535, 3, 128, noise},
        {"the tallest side", 3, 65535, 128, noise},
    };
    for (const auto& c : cases) {
        // A stride with gap pixels, which no sum may take in.
        const owned_image src = make_image(c.width, c.height, c.fill, 3, 0xFFFFFFFFu);
        image32 thumb;
        ASSERT_EQ(make_thumbnail(src.view(), c.max_side, thumb), 0) << c.what;
        std::uint32_t tw = 0, th = 0;
        thumbnail_dimensions(c.width, c.height, c.max_side, tw, th);
        ASSERT_EQ(thumb.width, tw) << c.what;
        ASSERT_EQ(thumb.height, th) << c.what;
        int wrong = 0;
        for (std::uint32_t ty = 0; ty < th; ++ty)
            for (std::uint32_t tx = 0; tx < tw; ++tx) {
                const auto want = reference_pixel(src, tw, th, tx, ty);
                const std::uint32_t got = thumb.row(ty)[tx];
                for (int k = 0; k < 4; ++k) {
                    // Rounded to the nearest: within half a level, or the
                    // colour of a pixel that holds no alpha at all.
                    const double off = std::fabs(channel(got, k) - want[static_cast<std::size_t>(k)]);
                    if (off > 0.5 + 1e-6 && wrong++ < 5)
                        ADD_FAILURE() << c.what << ": pixel " << tx << "," << ty << " channel " << k << " is "
                                      << channel(got, k) << ", the area average " << want[static_cast<std::size_t>(k)];
                }
            }
        EXPECT_EQ(wrong, 0) << c.what;
    }
}

TEST(Thumbnail, TransparencyLendsNoColour)
{
    struct alpha_case {
        const char* what;
        std::uint32_t transparent, opaque;  // the two halves
        std::uint32_t want;                 // the one pixel they make
    };
    const alpha_case cases[] = {
        // 127.5 rounds up; the colour is the opaque half's, not darkened.
        {"black transparent beside red", 0x00000000u, 0xFFFF0000u, 0x80FF0000u},
        {"white transparent beside black", 0x00FFFFFFu, 0xFF000000u, 0x80000000u},
        {"green transparent beside half-transparent blue", 0x0000FF00u, 0x800000FFu, 0x400000FFu},
        {"both transparent", 0x00123456u, 0x00654321u, 0x00000000u},
        {"opaque halves", 0xFF000000u, 0xFFFFFFFFu, 0xFF808080u},
    };
    for (const auto& c : cases) {
        const owned_image src =
            make_image(64, 64, [&](std::uint32_t x, std::uint32_t) { return x < 32 ? c.transparent : c.opaque; });
        image32 one;
        ASSERT_EQ(make_thumbnail(src.view(), 1, one), 0) << c.what;
        ASSERT_EQ(one.width * one.height, 1u) << c.what;
        EXPECT_EQ(one.pixels[0], c.want) << c.what << ": got " << std::hex << one.pixels[0];
        // At the edge between the halves a 32 x 32 thumbnail keeps both
        // sides' colours exact: no pixel darkened by its transparent neighbour.
        image32 half;
        ASSERT_EQ(make_thumbnail(src.view(), 32, half), 0) << c.what;
        const auto kept = [](std::uint32_t p) { return (p >> 24) == 0 ? 0u : p; };
        EXPECT_EQ(half.row(5)[15], kept(c.transparent)) << c.what;
        EXPECT_EQ(half.row(5)[16], kept(c.opaque)) << c.what;
    }
}

TEST(Thumbnail, SolidColoursStayExact)
{
    const std::uint32_t colours[] = {0xFF000000u, 0xFFFFFFFFu, 0xFF336699u, 0x80336699u, 0x01FF8001u, 0xFE010203u};
    // The tallest images of opaque white make the largest column sums.
    const std::uint32_t sizes[][2] = {{1024, 1024}, {301, 197}, {1, 999}, {999, 1}, {257, 255}, {2, 65535}, {65535, 2}};
    for (const std::uint32_t colour : colours)
        for (const auto& size : sizes) {
            const owned_image src = make_image(size[0], size[1], [&](std::uint32_t, std::uint32_t) { return colour; });
            image32 thumb;
            ASSERT_EQ(make_thumbnail(src.view(), 128, thumb), 0);
            int off = 0;
            for (std::uint32_t y = 0; y < thumb.height; ++y)
                for (const std::uint32_t p : thumb.row(y)) off += p != colour;
            EXPECT_EQ(off, 0) << std::hex << colour << std::dec << " at " << size[0] << " x " << size[1];
        }
}

TEST(Thumbnail, SmallImagesKeptAsTheyAre)
{
    for (const auto& size : {std::array<std::uint32_t, 2>{1, 1}, {100, 50}, {128, 128}, {3, 128}}) {
        const owned_image src = make_image(size[0], size[1], noise, 5, 0xDEADBEEFu);
        image32 thumb;
        ASSERT_EQ(make_thumbnail(src.view(), 128, thumb), 0);
        ASSERT_EQ(thumb.width, size[0]);
        ASSERT_EQ(thumb.height, size[1]);
        for (std::uint32_t y = 0; y < size[1]; ++y)
            for (std::uint32_t x = 0; x < size[0]; ++x) ASSERT_EQ(thumb.row(y)[x], src.at(x, y));
    }
}

TEST(Thumbnail, RefusesWhatItCannotMake)
{
    const owned_image src = make_image(4, 4, noise);
    image32 thumb;
    EXPECT_EQ(make_thumbnail(src.view(), 0, thumb), -1);
    EXPECT_EQ(make_thumbnail(image_view{0, 4, 0, src.pixels.data()}, 2, thumb), -1);
    EXPECT_EQ(make_thumbnail(image_view{4, 4, 3, src.pixels.data()}, 2, thumb), -1);  // rows overlap
    EXPECT_EQ(make_thumbnail(image_view{4, 4, 4, nullptr}, 2, thumb), -1);
    // More pixels than any image converted, or a side longer than any
    // writer's: refused before anything is read.
    EXPECT_EQ(make_thumbnail(image_view{65535, 65535, 65535, src.pixels.data()}, 2, thumb), -1);
    EXPECT_EQ(make_thumbnail(image_view{1, 65536, 1, src.pixels.data()}, 2, thumb), -1);
    EXPECT_EQ(make_thumbnail(image_view{65536, 1, 65536, src.pixels.data()}, 2, thumb), -1);
}

TEST(Thumbnail, RowByRowFromOneReusedBuffer)
{
    // A decoder hands over each row from the same buffer: nothing of a row
    // may be read after the next one comes.
    for (const auto& size : {std::array<std::uint32_t, 2>{301, 197}, {64, 64}, {1000, 3}, {50, 40}}) {
        const owned_image src = make_image(size[0], size[1], with_alpha_edges);
        image32 whole;
        ASSERT_EQ(make_thumbnail(src.view(), 128, whole), 0);
        thumbnail_builder builder;
        ASSERT_EQ(thumbnail_begin(builder, size[0], size[1], 128), 0);
        std::vector<std::uint32_t> row(size[0]);
        for (std::uint32_t y = 0; y < size[1]; ++y) {
            for (std::uint32_t x = 0; x < size[0]; ++x) row[x] = src.at(x, y);
            thumbnail_add_row(builder, row.data());
            std::fill(row.begin(), row.end(), 0xFFFFFFFFu);
        }
        thumbnail_add_row(builder, row.data());  // one too many: ignored
        image32 streamed;
        ASSERT_EQ(thumbnail_finish(builder, streamed), 0);
        ASSERT_EQ(streamed.width, whole.width);
        ASSERT_EQ(streamed.height, whole.height);
        for (std::uint32_t y = 0; y < whole.height; ++y)
            for (std::uint32_t x = 0; x < whole.width; ++x)
                ASSERT_EQ(streamed.row(y)[x], whole.row(y)[x]) << size[0] << " x " << size[1] << " at " << x << "," << y;
    }
}

TEST(Thumbnail, UnfinishedImageGivesNoThumbnail)
{
    for (const std::uint32_t width : {300u, 100u}) {  // shrunk, and kept as it is
        thumbnail_builder builder;
        ASSERT_EQ(thumbnail_begin(builder, width, 200, 128), 0);
        const std::vector<std::uint32_t> row(width, 0xFF102030u);
        for (int y = 0; y < 199; ++y) thumbnail_add_row(builder, row.data());
        image32 out;
        EXPECT_EQ(thumbnail_finish(builder, out), -1) << width;
        EXPECT_EQ(out.pixels, nullptr) << width;
    }
    thumbnail_builder refused;
    EXPECT_EQ(thumbnail_begin(refused, 0, 10, 128), -1);
    thumbnail_add_row(refused, nullptr);  // no image: nothing is read
    image32 out;
    EXPECT_EQ(thumbnail_finish(refused, out), -1);
}

TEST(Thumbnail, Transparency)
{
    struct transparency_case {
        const char* what;
        pixel_fill fill;
        bool want;
    };
    const transparency_case cases[] = {
        {"opaque", [](std::uint32_t x, std::uint32_t y) { return noise(x, y) | 0xFF000000u; }, false},
        {"the last pixel 254", [](std::uint32_t x, std::uint32_t y) { return x == 6 && y == 4 ? 0xFEFFFFFFu : 0xFF000000u; },
         true},
        {"the first pixel 0", [](std::uint32_t x, std::uint32_t y) { return x + y == 0 ? 0x00FFFFFFu : 0xFFFFFFFFu; },
         true},
    };
    for (const auto& c : cases) {
        // Transparent gap pixels between rows are no part of the image.
        const owned_image image = make_image(7, 5, c.fill, 2, 0x00000000u);
        EXPECT_EQ(image_has_transparency(image.view()), c.want) << c.what;
    }
}

// The file decoded by libwebp's decoder to 0xAARRGGBB pixels.
test::rgba_image decode_webp(const std::vector<std::uint8_t>& file)
{
    test::rgba_image image;
    int w = 0, h = 0;
    std::uint8_t* bgra = WebPDecodeBGRA(file.data(), file.size(), &w, &h);
    if (!bgra) return image;
    image.width = static_cast<std::uint32_t>(w);
    image.height = static_cast<std::uint32_t>(h);
    image.argb.resize(std::size_t{image.width} * image.height);
    std::memcpy(image.argb.data(), bgra, image.argb.size() * 4);  // bytes B, G, R, A: 0xAARRGGBB
    WebPFree(bgra);
    return image;
}

// A PNG file decoded by libpng to 0xAARRGGBB pixels; WebP files by libwebp.
test::rgba_image decode_thumbnail(const std::vector<std::uint8_t>& file)
{
    if (file.size() < 8 || std::memcmp(file.data(), "\x89PNG", 4) != 0) return decode_webp(file);
    test::rgba_image image;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, file.data(), file.size())) return image;
    png.format = PNG_FORMAT_BGRA;
    image.argb.resize(std::size_t{png.width} * png.height);
    if (!png_image_finish_read(&png, nullptr, image.argb.data(), 0, nullptr)) return test::rgba_image{};
    image.width = png.width;
    image.height = png.height;
    return image;
}

// Every channel at its nearest of 16 levels.
std::uint32_t levelled(std::uint32_t p)
{
    std::uint32_t out = 0;
    for (unsigned shift = 0; shift < 32; shift += 8) out |= ((p >> shift & 0xFFu) + 8) / 17 * 17 << shift;
    return out;
}

// Lossless files hold a VP8L chunk; lossy ones VP8 (after VP8X and ALPH).
bool lossless_file(const std::vector<std::uint8_t>& file)
{
    return file.size() > 16 && std::memcmp(file.data(), "RIFF", 4) == 0 && std::memcmp(file.data() + 8, "WEBP", 4) == 0 &&
           std::memcmp(file.data() + 12, "VP8L", 4) == 0;
}

std::uint32_t solid(std::uint32_t, std::uint32_t)
{
    return 0xFF2080C0u;
}

// Half transparent, half one colour: the transparent texture of the gallery.
std::uint32_t half_clear(std::uint32_t x, std::uint32_t)
{
    return x < 20 ? 0x00000000u : 0xC0FF8000u;
}

// A smooth texture with soft alpha, as real textures are.
std::uint32_t smooth(std::uint32_t x, std::uint32_t y)
{
    return (255 - y) << 24 | (x * 2) << 16 | (y * 2) << 8 | ((x + y) & 0xFFu);
}

TEST(Thumbnail, EncodedAsWebpOrPng)
{
    enum expect { exact, lossy, levels };
    struct encode_case {
        const char* what;
        owned_image image;
        thumbnail_encoding encoding;
        expect what_back;  // exact: a lossless WebP; lossy: a lossy WebP; levels: a PNG of 16 levels
    };
    const auto opaque_smooth = [](std::uint32_t x, std::uint32_t y) { return smooth(x, y) | 0xFF000000u; };
    const encode_case cases[] = {
        {"noise, lossless", make_image(128, 128, noise), thumbnail_encoding::lossless, exact},
        {"1 x 128, lossless", make_image(1, 128, noise), thumbnail_encoding::lossless, exact},
        {"128 x 1, lossless", make_image(128, 1, noise), thumbnail_encoding::lossless, exact},
        {"alpha edges with a stride, lossless", make_image(37, 91, with_alpha_edges, 4, 0x12345678u),
         thumbnail_encoding::lossless, exact},
        {"the largest, lossless", make_image(thumbnail_max_side, thumbnail_max_side, noise), thumbnail_encoding::lossless,
         exact},
        {"smooth, lossy", make_image(128, 120, smooth), thumbnail_encoding::lossy, lossy},
        {"noise, levels", make_image(61, 47, noise, 3, 0u), thumbnail_encoding::levels, levels},
        {"solid, chosen", make_image(128, 64, solid), thumbnail_encoding::chosen, exact},
        {"half transparent, chosen", make_image(40, 40, half_clear), thumbnail_encoding::chosen, exact},
        {"smooth and opaque, chosen", make_image(128, 120, opaque_smooth), thumbnail_encoding::chosen, lossy},
        {"smooth with alpha, chosen", make_image(128, 120, smooth, 2, 0u), thumbnail_encoding::chosen, levels},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> file;
        const char* mime = nullptr;
        ASSERT_EQ(encode_thumbnail(c.image.view(), c.encoding, file, &mime), 0) << c.what;
        EXPECT_STREQ(mime, c.what_back == levels ? "image/png" : "image/webp") << c.what;
        EXPECT_EQ(lossless_file(file), c.what_back == exact) << c.what;
        const test::rgba_image back = decode_thumbnail(file);
        ASSERT_EQ(back.width, c.image.width) << c.what;
        ASSERT_EQ(back.height, c.image.height) << c.what;
        // Lossless: every pixel. Lossy: alpha exact, colours close where
        // they are visible at all.
        double error = 0;
        int off = 0;
        for (std::uint32_t y = 0; y < c.image.height; ++y)
            for (std::uint32_t x = 0; x < c.image.width; ++x) {
                const std::uint32_t want = c.image.at(x, y), got = back.at(x, y);
                if (c.what_back != lossy) {
                    off += got != (c.what_back == exact ? want : levelled(want));
                    continue;
                }
                off += (got >> 24) != (want >> 24);
                for (int k = 1; k < 4; ++k) error += std::fabs(channel(got, k) - channel(want, k));
            }
        EXPECT_EQ(off, 0) << c.what;
        EXPECT_LT(error / (3.0 * c.image.width * c.image.height), 3.0) << c.what;
    }
}

TEST(Thumbnail, SixteenBitPixelsGiveTheWidenedImagesThumbnail)
{
    struct shape {
        std::uint32_t width, height;
        unsigned side;
    };
    // Whole blocks of 2, 4, 8 and 17 (the largest the 16-bit sums hold), and
    // sizes that take the general builder: 18, uneven, not scaled at all.
    const shape shapes[] = {{256, 256, 128}, {512, 128, 128}, {1024, 512, 128}, {34, 17, 2},
                            {36, 18, 2},     {300, 200, 128}, {97, 61, 128},    {3, 5, 256}};
    std::uint32_t state = 12345;
    for (const shape& sh : shapes) {
        for (const int flavour : {0, 1, 2}) {  // random, opaque, every other pixel clear
            const std::size_t count = std::size_t{sh.width} * sh.height;
            std::vector<std::uint8_t> bytes(count * 2);
            for (std::size_t k = 0; k < count; ++k) {
                state = state * 1664525u + 1013904223u;
                auto p = static_cast<std::uint16_t>(state >> 16);
                if (flavour == 1) p |= 0xF000;
                if (flavour == 2 && k % 2) p &= 0x0FFF;
                bytes[2 * k] = static_cast<std::uint8_t>(p);
                bytes[2 * k + 1] = static_cast<std::uint8_t>(p >> 8);
            }
            image32 widened;
            ASSERT_TRUE(make_image32(sh.width, sh.height, widened));
            widen_argb4444(bytes, std::span(widened.pixels.get(), count));
            image32 want, got;
            ASSERT_EQ(make_thumbnail(view_of(widened), sh.side, want), 0);
            bool transparent = false;
            ASSERT_EQ(thumbnail_from_argb4444(bytes, sh.width, sh.height, sh.side, got, transparent), 0);
            ASSERT_EQ(got.width, want.width);
            ASSERT_EQ(got.height, want.height);
            EXPECT_TRUE(std::equal(got.pixels.get(), got.pixels.get() + std::size_t{got.width} * got.height, want.pixels.get()))
                << sh.width << " x " << sh.height << ", flavour " << flavour;
            EXPECT_EQ(transparent, image_has_transparency(view_of(widened))) << sh.width << " x " << sh.height;
        }
    }
}

TEST(Thumbnail, LargeBlocksOfSixteenBitPixelsRoundAsTheWidenedImage)
{
    // One block of 60 x 60 pixels whose sums (alpha 51011, red times alpha
    // 760664) sit where a quotient by a reciprocal of 40 bits rounds one
    // level off: 3108 pixels of alpha 15 and red 15, 292 of red 14, one of
    // alpha 11 and red 4, the rest clear. Then the same beside a block of 46
    // and one of 47 of noise, each its own thumbnail pixel.
    const auto block = [](std::uint32_t k) {
        if (k < 3108) return std::uint16_t{0xFF00};
        if (k < 3400) return std::uint16_t{0xFE00};
        return k == 3400 ? std::uint16_t{0xB400} : std::uint16_t{0};
    };
    struct block_case {
        std::uint32_t width, height;
        unsigned side;
    };
    const block_case cases[] = {{60, 60, 1}, {120, 60, 2}, {92, 46, 2}, {94, 47, 2}};
    std::uint32_t state = 99;
    for (const block_case& c : cases) {
        const std::size_t count = std::size_t{c.width} * c.height;
        std::vector<std::uint8_t> bytes(count * 2);
        for (std::uint32_t y = 0; y < c.height; ++y)
            for (std::uint32_t x = 0; x < c.width; ++x) {
                state = state * 1664525u + 1013904223u;
                const std::uint16_t p = c.height == 60 ? block(y * 60 + x % 60) : static_cast<std::uint16_t>(state >> 16);
                bytes[2 * (std::size_t{y} * c.width + x)] = static_cast<std::uint8_t>(p);
                bytes[2 * (std::size_t{y} * c.width + x) + 1] = static_cast<std::uint8_t>(p >> 8);
            }
        image32 widened, want, got;
        ASSERT_TRUE(make_image32(c.width, c.height, widened));
        widen_argb4444(bytes, std::span(widened.pixels.get(), count));
        ASSERT_EQ(make_thumbnail(view_of(widened), c.side, want), 0);
        bool transparent = false;
        ASSERT_EQ(thumbnail_from_argb4444(bytes, c.width, c.height, c.side, got, transparent), 0);
        ASSERT_EQ(got.width * got.height, want.width * want.height);
        for (std::uint32_t k = 0; k < got.width * got.height; ++k) {
            EXPECT_EQ(got.pixels[k], want.pixels[k]) << c.width << " x " << c.height << ", pixel " << k;
        }
    }
}

TEST(Thumbnail, EncodingRefusesWhatNoThumbnailIs)
{
    const owned_image fine = make_image(4, 4, noise);
    const image_view refused[] = {
        {thumbnail_max_side + 1, 1, thumbnail_max_side + 1, fine.pixels.data()},
        {1, thumbnail_max_side + 1, 1, fine.pixels.data()},
        {0, 4, 4, fine.pixels.data()},
        {4, 4, 3, fine.pixels.data()},
        {4, 4, 4, nullptr},
    };
    for (const image_view& view : refused) {
        std::vector<std::uint8_t> file{1, 2, 3};
        EXPECT_EQ(encode_thumbnail(view, thumbnail_encoding::chosen, file), -1) << view.width << " x " << view.height;
        EXPECT_TRUE(file.empty());
    }
}

}  // namespace
