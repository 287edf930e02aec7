// The pixel decoders against the widening table, for every ARGB4444 value.
#include <gtest/gtest.h>

#include <vector>

#include "entries/entries.hpp"

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
    for (std::uint32_t p = 0; p < 65536; ++p) {
        const auto level = [&](unsigned shift) { return static_cast<std::uint32_t>(nibble_levels[(p >> shift) & 15]); };
        ASSERT_EQ(out[p], compose(level(12), level(8), level(4), level(0))) << std::hex << p;
    }
}

TEST(Decoders, Argb8888BytesAreBlueGreenRedAlpha)
{
    const std::vector<std::uint8_t> src{0x10, 0x20, 0x30, 0x40, 0xFF, 0x00, 0x80, 0x01};
    std::vector<std::uint32_t> out(2);
    convert_argb8888(src, out);
    EXPECT_EQ(out[0], compose(0x40, 0x30, 0x20, 0x10));
    EXPECT_EQ(out[1], compose(0x01, 0x80, 0x00, 0xFF));
}

}  // namespace
