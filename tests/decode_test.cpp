// The pixel decoders against the widening table, for every ARGB4444 value.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <tuple>
#include <vector>

#include "entries/entries.hpp"
#include "support/support.hpp"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

std::uint32_t compose(std::uint32_t a, std::uint32_t r, std::uint32_t g, std::uint32_t b)
{
    return a << 24 | r << 16 | g << 8 | b;
}

TEST(Decoders, EveryArgb4444ValueWidensThroughTheTable)
{
    std::vector<std::uint8_t> src(65536 * 2);
    for (std::uint32_t p = 0; p < 65536; ++p) {
        src[2 * p] = static_cast<std::uint8_t>(p);
        src[2 * p + 1] = static_cast<std::uint8_t>(p >> 8);
    }
    std::vector<std::uint32_t> out(65536);
    widen_argb4444(src, out);
    // The same as RGBA8 bytes, from an odd address.
    std::vector<std::uint8_t> rgba(65536 * 4 + 1);
    widen_argb4444_rgba(src, rgba.data() + 1, 65536);
    for (std::uint32_t p = 0; p < 65536; ++p) {
        const auto level = [&](unsigned shift) { return static_cast<std::uint32_t>(nibble_levels[(p >> shift) & 15]); };
        ASSERT_EQ(out[p], compose(level(12), level(8), level(4), level(0))) << std::hex << p;
        const std::uint8_t* bytes = rgba.data() + 1 + 4 * p;
        ASSERT_EQ(compose(bytes[3], bytes[0], bytes[1], bytes[2]), out[p]) << std::hex << p;
    }
}

TEST(Decoders, Argb8888BytesAreBlueGreenRedAlpha)
{
    const std::vector<std::uint8_t> src{0x10, 0x20, 0x30, 0x40, 0xFF, 0x00, 0x80, 0x01};
    std::vector<std::uint32_t> out(2);
    convert_argb8888(src, out);
    EXPECT_EQ(out[0], compose(0x40, 0x30, 0x20, 0x10));
    EXPECT_EQ(out[1], compose(0x01, 0x80, 0x00, 0xFF));
    // Made RGBA8 where they are.
    std::vector<std::uint8_t> pixels = src;
    argb8888_to_rgba(pixels);
    EXPECT_EQ(pixels, (std::vector<std::uint8_t>{0x30, 0x20, 0x10, 0x40, 0x80, 0x00, 0xFF, 0x01}));
}

}  // namespace

namespace {

// Every question about formats is asked of the one table: by name, by a
// name's extension for each use, by a file's first bytes; and what a row's
// writer writes, its reader reads back (alpha where the format keeps it).
TEST(ImageFormats, EveryRowAnswersForItsFormatBothWays)
{
    test::temp_dir dir;
    const std::vector<std::uint32_t> pixels = {0x80FF0000u, 0xFF00FF00u, 0x400000FFu, 0xFF123456u, 0x00ABCDEFu, 0xFFFFFFFFu};
    const image_view view{3, 2, 3, pixels.data()};
    EXPECT_EQ(image_format_list("."), ".tga, .png, .bmp or .pcx");
    EXPECT_EQ(image_format_list(image_use::read, "."), ".tga, .png, .bmp, .pcx, .jpg, .jpeg or .webp");
    EXPECT_EQ(image_format_list(image_use::write), "tga, png, bmp, pcx or webp");
    for (const image_format_row& row : image_formats()) {
        std::string upper = row.name;
        for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
        EXPECT_EQ(image_format_named(upper), &row);
        if (row.other_name) {
            EXPECT_EQ(image_format_named(row.other_name), &row);
        }
        EXPECT_EQ(image_format_for("ui/Sky." + upper, image_use::read), row.format);
        // Only the formats an entry is named in are a stored name's.
        EXPECT_EQ(image_format_for("ui/Sky." + upper), row.stored ? row.format : image_format::none);
        EXPECT_EQ(image_format_row_of(row.format), &row);
        if (!row.encode) {
            EXPECT_EQ(write_image(-1, row.format, view), -1) << row.name;
            EXPECT_EQ(errno, EINVAL);
            continue;
        }
        const std::string name = std::string("t.") + row.name;
        {
            const int fd = open((dir / name).string().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(write_image(fd, row.format, view), 0) << row.name;
            close(fd);
        }
        const std::vector<std::uint8_t> file = test::read_file(dir / name);
        image_format sniffed = image_format::none;
        // Known by its first bytes whatever its name, or (no signature) by its name.
        EXPECT_TRUE(pack_sniff_format(file, row.sniff ? "t.bin" : name, sniffed)) << row.name;
        EXPECT_EQ(sniffed, row.format);
        pack_image back;
        std::string reason;
        ASSERT_EQ(pack_decode_image(file, name, back, reason), 0) << row.name << ": " << reason;
        const bool alpha =
            row.format == image_format::tga || row.format == image_format::png || row.format == image_format::webp;
        for (std::size_t k = 0; k < pixels.size(); ++k) {
            EXPECT_EQ(back.argb[k], alpha ? pixels[k] : pixels[k] | 0xFF000000u) << row.name << " pixel " << k;
        }
    }
    EXPECT_EQ(image_format_named("gif"), nullptr);
    EXPECT_EQ(image_format_for("photo.JPEG", image_use::write), image_format::none);
    EXPECT_EQ(image_format_for("notes.txt"), image_format::none);
    EXPECT_EQ(image_format_for("dir.tga/notes"), image_format::none);
}

// WebP holds at most 16383 pixels a side: a larger image is refused before
// anything is written, as every writer refuses a size it can't store.
TEST(ImageFormats, WebpRefusesWhatItCantStore)
{
    test::temp_dir dir;
    const std::vector<std::uint32_t> row(16384, 0xFF102030u);
    for (const auto& [w, h, ok] : std::vector<std::tuple<std::uint32_t, std::uint32_t, bool>>{
             {16383, 1, true}, {1, 16383, true}, {16384, 1, false}, {1, 16384, false}}) {
        const image_view view{w, h, w, row.data()};
        const int fd = open((dir / "t.webp").string().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(write_webp(fd, view), ok ? 0 : -1) << w << " x " << h;
        const int error = errno;
        close(fd);
        if (!ok) {
            EXPECT_EQ(error, EINVAL);
            EXPECT_EQ(std::filesystem::file_size(dir / "t.webp"), 0u);
        }
    }
}

}  // namespace
