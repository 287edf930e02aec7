// The image writers: TGA, BMP and PCX byte for byte what the graphics
// library's savers write for the same pixels; PNG decoded by libpng to exactly
// the pixels and accepted by pngcheck; the stride honoured; sizes a format
// can't hold and failed writes reported with nothing half-done left unsaid.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "entries/entries.hpp"
#include "images/png_writer.hpp"
#include "support/image_writers.hpp"
#include "support/support.hpp"

namespace {

using test::make_image;
using test::noise;
using test::owned_image;
using test::pixel_fill;

struct format {
    const char* extension;
    test::image_writer writer;
};
constexpr format pinned_formats[] = {{"tga", write_tga}, {"bmp", write_bmp}, {"pcx", write_pcx}};
constexpr format all_formats[] = {{"tga", write_tga}, {"bmp", write_bmp}, {"pcx", write_pcx}, {"png", write_png}};

std::uint32_t gray(std::uint32_t level)
{
    return 0xFF000000u | level * 0x010101u;
}

struct shape {
    const char* what;
    std::uint32_t width, height;
    pixel_fill fill;
};

// Shapes and fills that reach every branch of the three pinned formats: odd
// and even widths (BMP padding), PCX runs of every length around the cap of
// 63, runs running from one colour plane into the next, levels of 0xC0 and
// above alone and in runs, the TGA header's alpha flag both ways.
const shape pinned_shapes[] = {
    {"1 x 1", 1, 1, noise},
    {"1 x 1 of levels 0xC0 and 0xFF", 1, 1, [](std::uint32_t, std::uint32_t) { return 0x00C0FF10u; }},
    {"2 x 3", 2, 3, noise},
    {"3 x 5", 3, 5, noise},
    {"4 x 4", 4, 4, noise},
    {"5 x 2", 5, 2, noise},
    {"33 x 17", 33, 17, noise},
    {"300 x 201", 300, 201, noise},
    {"65535 x 2", 65535, 2, noise},
    {"65535 x 3 of one colour", 65535, 3, [](std::uint32_t, std::uint32_t) { return 0x80102030u; }},
    {"runs of 1 to 130 pixels", 400, 4,
     [](std::uint32_t x, std::uint32_t y) {
         // Run k (k = 1, 2, ...) covers k pixels in row y's own colour sequence.
         std::uint32_t k = 1, start = 0;
         while (start + k <= x) start += k++;
         return 0xFF000000u | ((k + y) * 0x0107F3u & 0xFFFFFFu);
     }},
    {"runs of 62, 63, 64 and 65 levels", 62 + 63 + 64 + 65, 2,
     [](std::uint32_t x, std::uint32_t) { return gray(x < 62 ? 1 : x < 125 ? 2 : x < 189 ? 3 : 4); }},
    // A gray row is one run of 3 * width equal bytes through all three planes.
    {"gray rows crossing planes: 21, 22 and 64 wide", 21, 3, [](std::uint32_t, std::uint32_t y) { return gray(y); }},
    {"gray 22 wide", 22, 2, [](std::uint32_t, std::uint32_t y) { return gray(0xF0 + y); }},
    {"gray 64 wide", 64, 2, [](std::uint32_t, std::uint32_t y) { return gray(0xC0 * y); }},
    {"red plane ends as green starts", 10, 2,
     [](std::uint32_t x, std::uint32_t) { return x >= 7 ? 0x00555555u : x < 3 ? 0x00005500u : 0x00123456u; }},
    {"levels 0xBF to 0xFF, single and in pairs", 130, 3,
     [](std::uint32_t x, std::uint32_t y) {
         const std::uint32_t v = 0xBF + ((y == 1 ? x / 2 : x) % 65);
         return 0x7F000000u | v << 16 | (0x1FF - v) << 8 | v;
     }},
    {"fully opaque", 13, 5, [](std::uint32_t x, std::uint32_t y) { return 0xFF000000u | (noise(x, y) & 0xFFFFFF); }},
    {"fully transparent", 13, 5, [](std::uint32_t x, std::uint32_t y) { return noise(x, y) & 0xFFFFFF; }},
    {"all zero", 6, 6, [](std::uint32_t, std::uint32_t) { return 0u; }},
};

TEST(ImageWriters, TgaBmpAndPcxAreTheLibrarySaversBytes)
{
    for (const shape& s : pinned_shapes) {
        const owned_image image = make_image(s.width, s.height, s.fill);
        for (const format& f : pinned_formats) {
            int rc = -1;
            const std::vector<std::uint8_t> got = test::written_by(f.writer, image.view(), rc);
            const std::vector<std::uint8_t> expected = test::saved_by_library(image, f.extension);
            ASSERT_EQ(rc, 0) << s.what << " ." << f.extension;
            EXPECT_EQ(got.size(), expected.size()) << s.what << " ." << f.extension;
            EXPECT_TRUE(got == expected) << s.what << " ." << f.extension << ": files differ";
        }
    }
}

// The PNG at `path`: true when pngcheck finds nothing wrong with it.
bool pngcheck_accepts(const std::filesystem::path& path)
{
    test::temp_dir cwd;
    const test::run_result r =
        test::run_program("/bin/sh", {"-c", "exec pngcheck -q \"$0\"", path.string()}, cwd.path());
    EXPECT_EQ(r.out + r.err, "") << path;
    return r.status == 0;
}

std::size_t count_chunks(const std::vector<std::uint8_t>& png, const char* type)
{
    std::size_t n = 0;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t len = std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 |
                                  std::uint32_t{png[at + 2]} << 8 | png[at + 3];
        if (std::memcmp(&png[at + 4], type, 4) == 0) ++n;
        at += 12 + std::size_t{len};
    }
    return n;
}

// Decodes with libpng and checks pngcheck; returns the number of IDAT chunks.
std::size_t check_png(const std::vector<std::uint8_t>& png, const owned_image& image, const std::string& what)
{
    test::temp_dir dir;
    test::write_file(dir / "x.png", png);
    EXPECT_TRUE(pngcheck_accepts(dir / "x.png")) << what;
    const test::rgba_image read = test::read_png(dir / "x.png");
    EXPECT_EQ(read.width, image.width) << what;
    EXPECT_EQ(read.height, image.height) << what;
    if (read.width != image.width || read.height != image.height) return 0;
    for (std::uint32_t y = 0; y < image.height; ++y)
        for (std::uint32_t x = 0; x < image.width; ++x)
            if (read.at(x, y) != image.at(x, y)) {
                ADD_FAILURE() << what << ": pixel " << x << "," << y << " is " << std::hex << read.at(x, y)
                              << " instead of " << image.at(x, y);
                return 0;
            }
    return count_chunks(png, "IDAT");
}

int write_png_as(png_settings settings, int fd, image_view image)
{
    return write_png_with(fd, image, settings);
}

TEST(ImageWriters, PngsDecodeToThePixelsWithEveryFilterOnBothPaths)
{
    const shape shapes[] = {
        {"1 x 1", 1, 1, noise},
        {"3 x 5", 3, 5, noise},
        {"33 x 17", 33, 17, noise},
        {"fully opaque", 13, 7, [](std::uint32_t x, std::uint32_t y) { return 0xFF000000u | (noise(x, y) & 0xFFFFFF); }},
        {"fully transparent", 7, 13, [](std::uint32_t x, std::uint32_t y) { return noise(x, y) & 0xFFFFFF; }},
        {"a gradient", 257, 9, [](std::uint32_t x, std::uint32_t y) { return 0x80000000u | x << 12 | y; }},
    };
    const png_row_filter filters[] = {png_row_filter::none, png_row_filter::sub, png_row_filter::up,
                                      png_row_filter::average, png_row_filter::paeth};
    for (const shape& s : shapes) {
        const owned_image image = make_image(s.width, s.height, s.fill);
        int rc = -1;
        check_png(test::written_by(write_png, image.view(), rc), image, s.what);
        EXPECT_EQ(rc, 0) << s.what;
        for (const png_row_filter filter : filters)
            for (const bool streaming : {false, true}) {
                const std::string what = std::string(s.what) + ", filter " + std::to_string(int(filter)) +
                                         (streaming ? ", streaming" : ", whole image");
                const png_settings settings{1, 3, filter, streaming};
                const int fd = memfd_create("png", MFD_CLOEXEC);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(write_png_as(settings, fd, image.view()), 0) << what;
                std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
                ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
                close(fd);
                check_png(bytes, image, what);
            }
    }
}

TEST(ImageWriters, PngsAboveTheCapAreStreamedPixelExact)
{
    // Filtered, this image alone is more than half the cap: with room for its
    // compressed form it can't take the whole-image path.
    const std::uint32_t w = 2400, h = 2300;
    ASSERT_GT(std::uint64_t{h} * (4 * w + 1), png_whole_image_cap / 2);
    const owned_image image = make_image(w, h, [](std::uint32_t x, std::uint32_t y) {
        return (x * 7 + y) % 61 == 0 ? noise(x, y) : 0xC0000000u | (x ^ y) * 0x10101u;
    });
    int rc = -1;
    const std::vector<std::uint8_t> png = test::written_by(write_png, image.view(), rc);
    ASSERT_EQ(rc, 0);
    // The whole-image path writes a single IDAT; libpng one per 256 KiB.
    EXPECT_GT(check_png(png, image, "above the cap"), 1u);
}

TEST(ImageWriters, RowsAreTakenStrideApart)
{
    // The gaps between rows hold a value no row has: a writer that read them
    // would write other bytes than for the packed copy.
    const owned_image spaced = make_image(37, 11, noise, 5, 0xDEADBEEFu);
    const owned_image packed = make_image(37, 11, noise);
    for (const format& f : all_formats) {
        int rc_spaced = -1, rc_packed = -1;
        const auto got = test::written_by(f.writer, spaced.view(), rc_spaced);
        const auto expected = test::written_by(f.writer, packed.view(), rc_packed);
        EXPECT_EQ(rc_spaced, 0) << f.extension;
        EXPECT_EQ(rc_packed, 0) << f.extension;
        EXPECT_TRUE(got == expected) << f.extension;
    }
    for (const bool streaming : {false, true}) {
        const png_settings settings{1, 3, png_row_filter::paeth, streaming};
        const int fd = memfd_create("png", MFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write_png_with(fd, spaced.view(), settings), 0);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
        ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        close(fd);
        check_png(bytes, spaced, streaming ? "spaced, streaming" : "spaced, whole image");
    }
}

TEST(ImageWriters, SizesNoFormatHereCanHoldAreRefusedBeforeWriting)
{
    const std::vector<std::uint32_t> pixels(70000, 0x12345678u);
    const struct {
        const char* what;
        image_view image;
    } refused[] = {
        {"no columns", {0, 1, 1, pixels.data()}},
        {"no rows", {1, 0, 1, pixels.data()}},
        {"65536 wide", {65536, 1, 65536, pixels.data()}},
        {"65536 high", {1, 65536, 1, pixels.data()}},
        {"more than 16384 * 16384 pixels", {65535, 4097, 65535, pixels.data()}},
        {"a stride shorter than a row", {4, 2, 3, pixels.data()}},
        {"no pixels", {1, 1, 1, nullptr}},
    };
    for (const auto& r : refused)
        for (const format& f : all_formats) {
            int rc = 0;
            errno = 0;
            const auto bytes = test::written_by(f.writer, r.image, rc);
            EXPECT_EQ(rc, -1) << r.what << " ." << f.extension;
            EXPECT_EQ(errno, EINVAL) << r.what << " ." << f.extension;
            EXPECT_TRUE(bytes.empty()) << r.what << " ." << f.extension;
        }
}

TEST(ImageWriters, FailedWritesAreReported)
{
    // Large enough that every writer, PNG's streaming path included, has
    // written before it ends.
    const owned_image image = make_image(600, 500, noise);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    const auto streamed_png = [](int fd, image_view v) {
        return write_png_with(fd, v, png_settings{1, 3, png_row_filter::sub, true});
    };
    const format writers[] = {{"tga", write_tga}, {"bmp", write_bmp}, {"pcx", write_pcx},
                              {"png", write_png}, {"streamed png", streamed_png}};
    test::temp_dir dir;
    test::write_file(dir / "read-only", {});
    for (const format& f : writers) {
        const int read_only = open((dir / "read-only").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(read_only, 0);
        errno = 0;
        EXPECT_EQ(f.writer(read_only, image.view()), -1) << f.extension << " into a read-only descriptor";
        EXPECT_EQ(errno, EBADF) << f.extension;
        close(read_only);

        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        close(ends[0]);
        errno = 0;
        EXPECT_EQ(f.writer(ends[1], image.view()), -1) << f.extension << " into a pipe nobody reads";
        EXPECT_EQ(errno, EPIPE) << f.extension;
        close(ends[1]);
    }
    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
