// The packer's image decoders: the pixels Pillow and ImageMagick read from the
// fixtures, truncation at every length, hostile files built here, and the
// bounds on the files themselves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "files/input.hpp"
#include "pack/pack.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

const fs::path fixtures = fs::path(__FILE__).parent_path() / "fixtures" / "images";

struct fixture {
    std::string name;
    std::uint32_t width = 0, height = 0;
    bool alpha = false;
    std::string reader;
};

std::vector<fixture> manifest()
{
    std::vector<fixture> out;
    std::ifstream in(fixtures / "manifest.txt");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        fixture f;
        int alpha = 0;
        fields >> f.name >> f.width >> f.height >> alpha >> f.reader;
        f.alpha = alpha != 0;
        out.push_back(f);
    }
    return out;
}

// R, G, B, A bytes as the fixture script stores them, as 0xAARRGGBB.
std::vector<std::uint32_t> expected_pixels(const fixture& f)
{
    const bytes raw = test::read_file(fixtures / (f.name + ".rgba"));
    std::vector<std::uint32_t> out(raw.size() / 4);
    for (std::size_t k = 0; k < out.size(); ++k) {
        out[k] = std::uint32_t{raw[4 * k + 3]} << 24 | std::uint32_t{raw[4 * k]} << 16 |
                 std::uint32_t{raw[4 * k + 1]} << 8 | raw[4 * k + 2];
    }
    return out;
}

int decode(const bytes& file, const std::string& name, pack_image& out, std::string& reason)
{
    return pack_decode_image(file, name, out, reason);
}

TEST(PackImages, EveryVariantGivesThePixelsAnIndependentDecoderReads)
{
    const std::vector<fixture> all = manifest();
    ASSERT_GE(all.size(), 50u);
    for (const fixture& f : all) {
        SCOPED_TRACE(f.name + " (expected as " + f.reader + " reads it)");
        pack_image img;
        std::string reason;
        ASSERT_EQ(decode(test::read_file(fixtures / f.name), f.name, img, reason), 0) << reason;
        EXPECT_EQ(img.width, f.width);
        EXPECT_EQ(img.height, f.height);
        EXPECT_EQ(img.has_alpha, f.alpha);
        EXPECT_EQ(img.argb, expected_pixels(f));
    }
}

TEST(PackImages, APngNamedLikeAnotherFormatIsReadAsPng)
{
    const bytes png = test::read_file(fixtures / "rgba8.png");
    pack_image img;
    std::string reason;
    ASSERT_EQ(decode(png, "rgba8.tga", img, reason), 0) << reason;
    EXPECT_EQ(img.argb, expected_pixels({"rgba8.png", 7, 5, true, ""}));
}

// Every prefix of every fixture is refused, or, when all the cut bytes lie
// past the image (a TGA footer, a BMP's last padding), gives the same pixels.
TEST(PackImages, TruncationAtEveryLengthIsRefusedNeverPatchedUp)
{
    for (const fixture& f : manifest()) {
        SCOPED_TRACE(f.name);
        const bytes whole = test::read_file(fixtures / f.name);
        pack_image full;
        std::string reason;
        ASSERT_EQ(decode(whole, f.name, full, reason), 0);
        for (std::size_t len = 0; len < whole.size(); ++len) {
            pack_image img;
            if (decode(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(len)), f.name, img, reason) ==
                0) {
                ASSERT_EQ(img.argb, full.argb) << "cut at " << len;
            } else {
                ASSERT_FALSE(reason.empty());
            }
        }
    }
}

void put16(bytes& b, std::size_t at, std::uint32_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(bytes& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// A TGA header and then `data`.
bytes tga(std::uint8_t type, std::uint16_t w, std::uint16_t h, std::uint8_t bits, const bytes& data)
{
    bytes b(18, 0);
    b[2] = type;
    put16(b, 12, w);
    put16(b, 14, h);
    b[16] = bits;
    for (std::uint8_t v : data) b.push_back(v);  // (insert of an empty range trips GCC 12's -Warray-bounds)
    return b;
}

// An 8-bit BMP of a 40-byte header and a 2-colour palette, then `data`.
bytes bmp8(std::int32_t w, std::int32_t h, std::uint32_t compression, const bytes& data)
{
    bytes b(14 + 40 + 8, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 10, static_cast<std::uint32_t>(b.size()));
    put32(b, 14, 40);
    put32(b, 18, static_cast<std::uint32_t>(w));
    put32(b, 22, static_cast<std::uint32_t>(h));
    put16(b, 26, 1);
    put16(b, 28, 8);
    put32(b, 30, compression);
    put32(b, 46, 2);
    b[58] = b[59] = b[60] = 0xFF;
    for (std::uint8_t v : data) b.push_back(v);  // (insert of an empty range trips GCC 12's -Warray-bounds)
    return b;
}

// A 3-plane PCX header and then `data`.
bytes pcx(std::uint16_t w, std::uint16_t h, std::uint16_t line_bytes, const bytes& data)
{
    bytes b(128, 0);
    b[0] = 0x0A;
    b[1] = 5;
    b[2] = 1;
    b[3] = 8;
    put16(b, 8, w - 1u);
    put16(b, 10, h - 1u);
    b[65] = 3;
    put16(b, 66, line_bytes);
    for (std::uint8_t v : data) b.push_back(v);  // (insert of an empty range trips GCC 12's -Warray-bounds)
    return b;
}

// A small PNG whose header declares w x h, its checksum made right.
bytes png_declaring(std::uint32_t w, std::uint32_t h)
{
    bytes b = test::read_file(fixtures / "rgb8.png");
    for (int k = 0; k < 4; ++k) {
        b[16 + k] = static_cast<std::uint8_t>(w >> (24 - 8 * k));
        b[20 + k] = static_cast<std::uint8_t>(h >> (24 - 8 * k));
    }
    const auto crc = static_cast<std::uint32_t>(crc32(0, b.data() + 12, 17));
    for (int k = 0; k < 4; ++k) b[29 + k] = static_cast<std::uint8_t>(crc >> (24 - 8 * k));
    return b;
}

TEST(PackImages, HostileFilesAreRefusedWithTheirReason)
{
    const std::vector<std::tuple<std::string, std::string, bytes>> cases = {
        {"run past the image", "run-length packet runs past", tga(10, 2, 2, 24, {0xFF, 1, 2, 3})},
        {"run past the data", "truncated TGA", tga(10, 4, 4, 24, {0x83, 1, 2, 3})},
        {"raw pixels cut", "can't hold", tga(2, 4, 4, 32, bytes(60, 7))},
        {"index outside the map", "outside its colour map",
         [] {
             bytes b = tga(1, 1, 1, 8, {0, 0, 0, 9});
             b[1] = 1;
             put16(b, 5, 1);
             b[7] = 24;
             return b;
         }()},
        {"16-bit indices", "isn't read", tga(1, 1, 1, 16, {0, 0})},
        {"tga of huge size", "65535 x 65535 pixels", tga(2, 65535, 65535, 32, {})},
        {"bmp run past the row", "passes the end of its row", bmp8(4, 2, 1, {5, 1, 0, 1})},
        {"bmp literal past the row", "passes the end of its row", bmp8(4, 2, 1, {0, 5, 1, 1, 1, 1, 1, 0, 0, 1})},
        {"bmp move right out", "a move leaves the image", bmp8(4, 2, 1, {0, 2, 5, 0, 0, 1})},
        {"bmp move up out", "a move leaves the image", bmp8(4, 2, 1, {0, 2, 0, 3, 0, 1})},
        {"bmp move after the last row", "a move leaves the image", bmp8(4, 2, 1, {0, 0, 0, 0, 0, 2, 0, 0})},
        {"bmp run after the last row", "passes the end of its row", bmp8(4, 1, 1, {0, 0, 2, 1})},
        {"bmp rle without its end", "ends before its end-of-image", bmp8(4, 2, 1, {4, 1, 0, 0})},
        {"bmp index past the palette", "outside its palette", bmp8(1, 1, 0, {7, 0, 0, 0})},
        {"bmp rows cut", "truncated BMP", bmp8(4, 4, 0, bytes(13, 0))},
        {"bmp of huge size", "65536 x 1 pixels", bmp8(65536, 1, 0, {})},
        {"bmp of too many pixels", "20000 x 20000 pixels", bmp8(20000, 20000, 0, {})},
        {"bmp negative width", "negative width", bmp8(-4, 1, 0, bytes(4, 0))},
        {"bmp top-down of INT_MIN rows", "pixels; an entry holds", bmp8(1, INT32_MIN, 0, bytes(4, 0))},
        {"bmp jpeg", "isn't read", bmp8(1, 1, 4, bytes(4, 0))},
        {"pcx of an absurd line width", "can't hold", pcx(1, 1000, 65535, {0xC1, 0})},
        {"pcx run past the image", "run passes the end", pcx(1, 1, 1, {0xC5, 9})},
        {"pcx rows cut", "truncated PCX", pcx(2, 2, 2, {0xC6, 1, 0xC5, 1})},
        {"pcx short line width", "can't hold", pcx(9, 1, 1, bytes(27, 1))},
        {"pcx reversed corners", "corners are reversed",
         [] {
             bytes b = pcx(1, 1, 1, {1, 2, 3});
             put16(b, 4, 9);
             return b;
         }()},
        {"png of 65535 x 65535", "65535 x 65535 pixels", png_declaring(65535, 65535)},
        {"png of 16384 x 16384 in a few bytes", "can't hold", png_declaring(16384, 16384)},
    };
    for (const auto& [what, message, file] : cases) {
        pack_image img;
        std::string reason;
        const std::string name = file[0] == 'B' ? "x.bmp" : file[0] == 0x0A ? "x.pcx" : file[0] == 0x89 ? "x.png" : "x.tga";
        EXPECT_EQ(decode(file, name, img, reason), -1) << what;
        EXPECT_NE(reason.find(message), std::string::npos) << what << ": " << reason;
    }
}

// A baseline (or other, by `sof`) grey JPEG whose two Huffman tables have one
// 1-bit code each (DC category 0, end of block), then `scans`, each followed
// by `data`: every block of a flat image is two 0 bits.
bytes jpeg(std::uint16_t w, std::uint16_t h, const bytes& data, std::uint8_t sof = 0xC0, std::uint8_t components = 1,
           std::vector<bytes> scans = {})
{
    const auto segment = [](bytes& b, std::uint8_t marker, const bytes& body) {
        b.insert(b.end(), {0xFF, marker, static_cast<std::uint8_t>((body.size() + 2) >> 8),
                           static_cast<std::uint8_t>(body.size() + 2)});
        b.insert(b.end(), body.begin(), body.end());
    };
    bytes b = {0xFF, 0xD8};
    bytes dqt(65, 1);
    dqt[0] = 0;
    segment(b, 0xDB, dqt);
    bytes dht = {0x00, 1};
    dht.resize(17, 0);
    dht.push_back(0);
    dht.push_back(0x10);
    dht.push_back(1);
    dht.resize(35, 0);
    dht.push_back(0);
    segment(b, 0xC4, dht);
    bytes frame = {8, static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(w >> 8),
                   static_cast<std::uint8_t>(w), components};
    bytes scan = {components};
    for (std::uint8_t c = 1; c <= components; ++c) {
        frame.insert(frame.end(), {c, 0x11, 0});
        scan.insert(scan.end(), {c, 0});
    }
    scan.insert(scan.end(), {0, 63, 0});
    segment(b, sof, frame);
    if (scans.empty()) scans.push_back(scan);
    for (const bytes& s : scans) {
        segment(b, 0xDA, s);
        b.insert(b.end(), data.begin(), data.end());
    }
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

// An 8 x 8 progressive JPEG of 127 scans, each one a valid step: the DC
// coefficients, then each of the 63 others in two passes of one bit.
bytes jpeg_of_127_scans()
{
    std::vector<bytes> scans = {{1, 1, 0, 0, 0, 0}};
    for (std::uint8_t k = 1; k < 64; ++k) {
        scans.push_back({1, 1, 0, k, k, 0x01});
        scans.push_back({1, 1, 0, k, k, 0x10});
    }
    return jpeg(8, 8, {0x7F}, 0xC2, 1, scans);
}

// A fixture with bytes from `at` on replaced.
bytes patched(const std::string& fixture, std::size_t at, const bytes& with)
{
    bytes b = test::read_file(fixtures / fixture);
    std::copy(with.begin(), with.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

TEST(PackImages, HostileJpegAndWebpFilesAreRefusedWithTheirReason)
{
    const bytes flat = jpeg(64, 64, bytes(16, 0));
    const bytes webp = test::read_file(fixtures / "lossless-rgba.webp");
    const std::vector<std::tuple<std::string, std::string, bytes>> cases = {
        {"jpeg of 65500 x 65500", "65500 x 65500 pixels", jpeg(65500, 65500, bytes(16, 0))},
        {"jpeg of 16384 x 16384 in a few bytes", "bytes can't hold 16384 x 16384 pixels",
         jpeg(16384, 16384, bytes(16, 0))},
        {"jpeg data cut", "Premature end of JPEG file", bytes(flat.begin(), flat.end() - 10)},
        {"jpeg without its end", "Premature end of JPEG file", bytes(flat.begin(), flat.end() - 2)},
        {"jpeg bad code", "Corrupt JPEG data", jpeg(64, 64, {0xFF, 0x00, 0xFF, 0x00})},
        {"jpeg arithmetic", "isn't read (arithmetic coding)", jpeg(8, 8, {0x3F}, 0xC9)},
        {"jpeg of four components", "isn't read (CMYK)", jpeg(8, 8, {0, 0x3F}, 0xC0, 4)},
        {"jpeg of 127 scans", "more than 100 scans", jpeg_of_127_scans()},
        {"jpeg of a signature only", "Premature end of JPEG file", {0xFF, 0xD8, 0xFF, 0x00, 0x00}},
        {"webp cut", "truncated WebP image: the file ends inside the image", bytes(webp.begin(), webp.end() - 4)},
        {"webp headers cut", "truncated WebP image: the file ends inside its headers", bytes(webp.begin(), webp.begin() + 22)},
        {"webp bad signature", "not a readable WebP image", patched("lossless-rgba.webp", 20, {0x2E})},
        {"webp of the wrong chunk", "not a readable WebP image", patched("lossless-rgba.webp", 12, {'V', 'P', '8', 'Y'})},
    };
    for (const auto& [what, message, file] : cases) {
        pack_image img;
        std::string reason;
        EXPECT_EQ(decode(file, file[0] == 'R' ? "x.webp" : "x.jpg", img, reason), -1) << what;
        EXPECT_NE(reason.find(message), std::string::npos) << what << ": " << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << what;
        EXPECT_TRUE(img.argb.empty()) << what;
    }
    // The builders' files themselves are read: what is refused above is the damage.
    for (const bytes& good : {flat, jpeg(8, 8, {0x03}, 0xC0, 3)}) {
        pack_image img;
        std::string reason;
        ASSERT_EQ(decode(good, "x.jpg", img, reason), 0) << reason;
        EXPECT_EQ(img.argb.front(), 0xFF808080u);
    }
}

TEST(PackImages, LimitsOfAnImageAreCheckedBeforeAnyAllocation)
{
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> sizes = {
        {1, 1, true},          {65535, 1, true},      {1, 65535, true},  {16384, 16384, true}, {0, 1, false},
        {1, 0, false},         {65536, 1, false},     {1, 65536, false}, {16385, 16384, false},
        {1ull << 40, 1, false}, {65535, 65535, false},
    };
    for (const auto& [w, h, ok] : sizes) {
        std::string reason;
        EXPECT_EQ(pack_check_size(w, h, reason) == 0, ok) << w << " x " << h;
    }
}

TEST(PackImages, OnlyBoundedRegularFilesAreRead)
{
    test::temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "fifo.png").c_str(), 0600), 0);
    fs::create_directory(dir / "folder.png");
    fs::create_symlink("/dev/zero", dir / "zero.png");
    {
        std::ofstream big(dir / "big.png");
    }
    fs::resize_file(dir / "big.png", pack_max_file_size + 1);  // sparse: no disk used
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"fifo.png", "not a regular file"}, {"zero.png", "not a regular file"}, {"folder.png", "a folder"},
        {"big.png", "at most 1 GiB"},       {"missing.png", "No such file"},
    };
    for (const auto& [name, message] : cases) {
        bytes data;
        std::string reason;
        EXPECT_EQ(pack_read_image_file((dir / name).string(), data, reason), -1) << name;
        EXPECT_NE(reason.find(message), std::string::npos) << name << ": " << reason;
        EXPECT_TRUE(data.empty()) << name;
    }
}

}  // namespace
