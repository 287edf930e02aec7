// The entry job's two ways of inflating a type-4 entry, one call into a
// buffer and piece by piece into the image: the same findings, the same
// result and the same file for every kind of stream.
#include <gtest/gtest.h>

#include <zlib.h>

#include "entries/entries.hpp"
#include "support/support.hpp"

namespace {

using test::temp_dir;

std::vector<std::uint8_t> zlib_of(const std::vector<std::uint8_t>& raw)
{
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> out(len);
    compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), 1);
    out.resize(len);
    return out;
}

struct job_result {
    int result;
    std::vector<tex_finding> findings;
    std::vector<std::uint8_t> file;
};

// One type-4 entry of w * h pixels with `payload`, extracted to x.tga.
job_result run_job(const std::vector<std::uint8_t>& payload, std::uint32_t w, std::uint32_t h, std::uint64_t limit)
{
    temp_dir dir;
    test::write_file(dir / "a", payload);
    tex_archive_file archive;
    EXPECT_EQ(tex_open_archive((dir / "a").string().c_str(), archive), 0);
    output_root root;
    EXPECT_EQ(output_open_root(dir.path().string().c_str(), false, root), 0);
    extract_request r;
    r.archive_fd = archive.fd;
    r.archive_size = archive.size;
    r.payload_len = static_cast<std::uint32_t>(payload.size());
    r.width = w;
    r.height = h;
    r.type = 4;
    r.name = r.output_name = "x.tga";
    r.whole_buffer_limit = limit;
    extract_outcome o;
    extract_entry(root, r, o);
    extract_place(r, o);
    output_close_root(root);
    job_result j{o.result, o.findings, {}};
    if (o.result == 0) j.file = test::read_file(dir / "x.tga");
    return j;
}

TEST(TypeFourInflation, PiecewiseAndWholeGiveTheSameOutcome)
{
    // Pixel bytes of a 700 * 900 image: more than one 1 MiB piece of stream.
    const std::uint32_t w = 700, h = 900;
    std::vector<std::uint8_t> raw(std::size_t{w} * h * 2);
    for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<std::uint8_t>(k * 7 + (k >> 11));
    const auto cut = [&](std::size_t n) { return std::vector<std::uint8_t>(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(n)); };
    std::vector<std::uint8_t> longer = raw;
    longer.resize(raw.size() * 3, 0x11);
    std::vector<std::uint8_t> too_long = raw;
    too_long.resize(raw.size() * 3 + 2, 0x22);
    std::vector<std::uint8_t> bad_sum = zlib_of(raw);
    bad_sum.back() ^= 1;
    std::vector<std::uint8_t> truncated = zlib_of(raw);
    truncated.resize(truncated.size() / 2);
    std::vector<std::uint8_t> trailing = zlib_of(raw);
    trailing.insert(trailing.end(), {1, 2, 3});
    const std::pair<const char*, std::vector<std::uint8_t>> streams[] = {
        {"exact", zlib_of(raw)},      {"short by a pixel and a half", zlib_of(cut(raw.size() - 3))},
        {"three times as long", zlib_of(longer)}, {"longer than the room", zlib_of(too_long)},
        {"checksum", bad_sum},        {"cut in the middle", truncated},
        {"bytes after its end", trailing},
    };
    for (const auto& [what, stream] : streams) {
        const job_result whole = run_job(stream, w, h, 1ull << 40);
        const job_result piecewise = run_job(stream, w, h, 0);
        EXPECT_EQ(piecewise.result, whole.result) << what;
        EXPECT_TRUE(piecewise.findings == whole.findings) << what;
        EXPECT_TRUE(piecewise.file == whole.file) << what;
    }
    // And the outcome itself, once: pixels widened, missing ones transparent.
    const job_result shorter = run_job(zlib_of(cut(raw.size() - 3)), w, h, 0);
    ASSERT_EQ(shorter.result, 0);
    const std::vector<tex_finding> mismatch{{tex_finding_kind::inflated_length, 1259997, 700, 900, 1260000}};
    EXPECT_TRUE(shorter.findings == mismatch);
    temp_dir dir;
    test::write_file(dir / "s.tga", shorter.file);
    const test::rgba_image img = test::read_tga(dir / "s.tga");
    const auto widened = [](std::uint32_t p) {
        std::uint32_t out = 0;
        for (unsigned s = 0; s < 16; s += 4) out |= ((p >> s) & 15u) * 17u << (s * 2);
        return out;
    };
    const std::size_t last = std::size_t{w} * h - 1;
    EXPECT_EQ(img.argb[0], widened(raw[0] | raw[1] << 8));
    EXPECT_EQ(img.argb[last - 1], widened(raw[2 * (last - 1)]));  // the odd byte is a low half
    EXPECT_EQ(img.argb[last], 0u);
}

}  // namespace
