// Inflation behaves as zlib's one-shot uncompress did: the same streams
// succeed with the same bytes, the same ones fail, and the extractor's capacity
// and mismatch lines are unchanged.
#include <gtest/gtest.h>

#include <algorithm>

#include <zlib.h>

#include "entries/entries.hpp"
#include "format/writer.hpp"
#include "support/support.hpp"

namespace {

using bytes = std::vector<std::uint8_t>;
using test::run_extractor;
using test::temp_dir;

bytes sample(std::size_t n)
{
    bytes b(n);
    std::uint32_t v = 12345;
    for (std::size_t k = 0; k < n; ++k) {
        v = v * 1103515245u + 12345u;
        b[k] = static_cast<std::uint8_t>(k % 251 < 200 ? k / 97 : v >> 24);  // runs and noise
    }
    // A stretch repeated 30000 bytes later: matches reach far back.
    if (n > 32000) std::copy(b.begin(), b.begin() + 2000, b.begin() + 30000);
    return b;
}

bytes deflated(const bytes& raw, int level)
{
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    bytes out(len);
    EXPECT_EQ(compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), level), Z_OK);
    out.resize(len);
    return out;
}

// A zlib stream's two header bytes with the check bits made right.
void set_header(bytes& z, std::uint8_t cmf, std::uint8_t flags)
{
    z[0] = cmf;
    z[1] = flags;
    while ((z[0] * 256 + z[1]) % 31 != 0) ++z[1];
}

struct outcome {
    int rc = 0;
    bytes out;
    bool operator==(const outcome&) const = default;
};

outcome ours(const bytes& in, std::size_t capacity)
{
    bytes out(capacity);
    std::size_t produced = 0;
    outcome o;
    o.rc = inflate_zlib(in, out, produced);
    if (o.rc == 0) o.out.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(produced));
    return o;
}

outcome zlibs(const bytes& in, std::size_t capacity)
{
    bytes out(capacity + 1);
    uLongf len = static_cast<uLongf>(capacity);
    outcome o;
    const int rc = uncompress(out.data(), &len, in.data(), static_cast<uLong>(in.size()));
    o.rc = rc == Z_OK ? 0 : rc == Z_BUF_ERROR ? -2 : -1;
    if (o.rc == 0) o.out.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(len));
    return o;
}

TEST(Inflate, SameResultAsZlibForGoodAndDamagedStreams)
{
    const bytes raw = sample(70000);
    struct stream_case {
        std::string what;
        bytes in;
        std::size_t capacity;
        int rc;
    };
    std::vector<stream_case> cases;
    for (int level : {0, 1, 6, 9}) {
        const bytes z = deflated(raw, level);
        const std::string l = "level " + std::to_string(level);
        cases.push_back({l + ", room to spare", z, raw.size() * 2, 0});
        cases.push_back({l + ", exactly the room needed", z, raw.size(), 0});
        cases.push_back({l + ", one byte short", z, raw.size() - 1, -2});
    }
    const bytes z = deflated(raw, 6);
    bytes trailing = z;
    trailing.insert(trailing.end(), {1, 2, 3});
    cases.push_back({"bytes after the stream are ignored", trailing, raw.size(), 0});
    cases.push_back({"cut in the middle", bytes(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(z.size() / 2)),
                     raw.size(), -1});
    // Cut short with its output complete: zlib can't tell it from one wanting more room.
    cases.push_back({"checksum cut short", bytes(z.begin(), z.end() - 1), raw.size(), -2});
    bytes bad_sum = z;
    bad_sum.back() ^= 1;
    cases.push_back({"wrong checksum", bad_sum, raw.size(), -1});
    bytes flipped = z;
    flipped[z.size() / 3] ^= 0x10;
    cases.push_back({"flipped bit in the data", flipped, raw.size(), -1});
    bytes bad_check = z;
    bad_check[1] ^= 1;
    cases.push_back({"header check bits wrong", bad_check, raw.size(), -1});
    bytes dictionary = z;
    set_header(dictionary, 0x78, 0x20);
    cases.push_back({"preset dictionary asked for", dictionary, raw.size(), -1});
    bytes wide = z;
    set_header(wide, 0x88, 0);
    cases.push_back({"window over 32 KiB declared", wide, raw.size(), -1});
    bytes method = z;
    set_header(method, 0x77, 0);
    cases.push_back({"method other than deflate", method, raw.size(), -1});
    // zlib doesn't hold a stream to the smaller window its header declares.
    bytes narrow = z;
    set_header(narrow, 0x08, 0);
    cases.push_back({"256-byte window declared, longer distances used", narrow, raw.size(), 0});
    cases.push_back({"no input", {}, 16, -1});
    // Into no room, zlib lets a stream of at most one byte through, producing nothing.
    cases.push_back({"empty stream into no room", deflated({}, 6), 0, 0});
    cases.push_back({"one byte into no room", deflated({7}, 6), 0, 0});
    cases.push_back({"two bytes into no room", deflated({7, 8}, 6), 0, -1});

    for (const stream_case& c : cases) {
        const outcome got = ours(c.in, c.capacity);
        EXPECT_EQ(got.rc, c.rc) << c.what;
        EXPECT_TRUE(got == zlibs(c.in, c.capacity)) << c.what << ": not what zlib does";
        if (c.rc == 0) {
            EXPECT_TRUE(got.out == (c.capacity ? raw : bytes{})) << c.what;
        }
    }
}

TEST(Inflate, ManyStreamsInARowDecodeIndependently)
{
    // One decompressor serves the whole run: a failure leaves nothing behind.
    const bytes a = sample(5000), b = sample(300);
    bytes bad = deflated(a, 9);
    bad[bad.size() / 2] ^= 0xFF;
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(ours(deflated(a, 9), a.size()).out == a);
        EXPECT_EQ(ours(bad, a.size()).rc, -1);
        EXPECT_TRUE(ours(deflated(b, 1), b.size() + 10).out == b);
    }
}

// ---------------------------------------------------------------------------
// End to end: the capacity is six bytes per pixel, mismatches are reported.

std::string extract_stream(const temp_dir& dir, const bytes& stream)
{
    tex_writer_entry e;
    e.name = "c.tga";
    e.type = 4;
    e.width = 4;
    e.height = 3;
    e.payload = stream;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    a.entries.push_back(e);
    test::write_archive(dir, "c.pak", a);
    return run_extractor({"c.pak"}, dir.path()).out;
}

TEST(InflateCapacity, SixBytesPerPixelFitAndNoMore)
{
    // 4 * 3 pixels: 24 bytes expected, room for 72.
    const bytes raw = sample(80);
    {
        temp_dir dir;
        const std::string out = extract_stream(dir, deflated(bytes(raw.begin(), raw.begin() + 72), 9));
        EXPECT_NE(out.find("ERROR : out_len != width * height * 2\n"
                           "        72     != 4 * 3 * 2 (24)\n"
                           "extraction of c.tga ok\n"),
                  std::string::npos)
            << out;
        const test::rgba_image img = test::read_tga(dir / "c.tga");
        ASSERT_EQ(img.argb.size(), 12u);
        EXPECT_EQ(img.at(3, 2) >> 24, (raw[23] >> 4) * 17u);  // the 12th pixel, alpha from its high byte
    }
    for (std::size_t n : {73, 74, 80}) {
        temp_dir dir;
        const bytes longer(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(n));
        const std::string out = extract_stream(dir, deflated(longer, 9));
        EXPECT_EQ(out.find("out_len"), std::string::npos) << n;
        EXPECT_NE(out.find("ERROR : extraction of c.tga was impossible\n"), std::string::npos) << n;
        EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"c.pak"}) << n;
    }
}

TEST(InflateCapacity, StreamWithOnlyItsChecksumWrongWritesNothing)
{
    bytes stream = deflated(sample(24), 6);
    stream.back() ^= 0x40;
    temp_dir dir;
    const std::string out = extract_stream(dir, stream);
    EXPECT_EQ(out.find("out_len"), std::string::npos);
    EXPECT_NE(out.find("ERROR : extraction of c.tga was impossible\n"), std::string::npos);
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"c.pak"});
}

}  // namespace
