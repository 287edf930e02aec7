// The two extractors: load the payload, then write it raw or decode it into a
// 32-bit image and save that under the entry's stored name.
#include "extract/extract.hpp"

#include <algorithm>
#include <cstdio>
#include <new>

namespace {

using u64 = unsigned long long;

// No deflate stream inflates to more than 1032 bytes per input byte (a 258-byte
// match in two bits), so this capacity bounds memory by the payload without
// changing which streams fit.
constexpr std::uint64_t max_inflate_ratio = 1032;

// Checks that an image can be made for the entry; prints why not.
int check_image_request(std::uint32_t width, std::uint32_t height, const std::string& name)
{
    if (check_image_format(name) != 0) return -1;
    if (width == 0 || height == 0) {
        std::printf("can't create bitmap of %u * %u pixels 32bpp\n", width, height);
        return -1;
    }
    if (std::uint64_t{width} * height > max_image_pixels) {
        std::printf("ERROR : %s is %u * %u pixels, more than the 16384 * 16384 this tool converts\n",
                    tex_printable_name(name).c_str(), width, height);
        return -1;
    }
    return 0;
}

image32_ptr make_image(std::uint32_t width, std::uint32_t height)
{
    image32_ptr image = create_image32(width, height);
    if (!image) std::printf("can't create bitmap of %u * %u pixels 32bpp\n", width, height);
    return image;
}

// Loads the payload; with no_convert set, also finishes the extraction.
// Returns 1 when the caller should go on decoding, else the result.
int load_entry(const tex_archive& archive, std::uint32_t len, const std::string& name, byte_buffer& payload)
{
    if (check_output_name(name) != 0) return -1;
    if (no_convert) return copy_raw(archive, len, name);
    if (read_payload(archive, len, name, payload) != 0) return -1;
    return 1;
}

}  // namespace

int extract_type4(const tex_archive& archive, std::uint32_t payload_len, std::uint32_t width, std::uint32_t height,
                  const std::string& name)
{
    byte_buffer payload;
    if (const int rc = load_entry(archive, payload_len, name, payload); rc != 1) return rc;
    if (check_image_request(width, height, name) != 0) return -1;

    const std::uint64_t pixels = std::uint64_t{width} * height;
    const std::uint64_t expected = pixels * 2;
    const std::uint64_t capacity = std::min(pixels * 6, (payload_len * max_inflate_ratio + 1024) & ~std::uint64_t{1});
    byte_buffer inflated;
    inflated.data.reset(new (std::nothrow) std::uint8_t[capacity]);
    if (!inflated.data) {
        std::printf("can't allocate %llu bytes for DST buffer of %s\n", static_cast<u64>(capacity),
                    tex_printable_name(name).c_str());
        return -1;
    }
    inflated.size = capacity;
    std::size_t out_len = 0;
    if (inflate_zlib(payload.span(), inflated.span(), out_len) != 0) {
        std::printf("ERROR : payload of %s is a damaged zlib stream or inflates to more than %llu bytes\n",
                    tex_printable_name(name).c_str(), static_cast<u64>(capacity));
        return -1;
    }
    payload = byte_buffer{};
    if (out_len != expected) {
        std::printf("ERROR : out_len != width * height * 2\n");
        std::printf("        %zu     != %u * %u * 2 (%llu)\n", out_len, width, height, static_cast<u64>(expected));
    }

    image32_ptr image = make_image(width, height);
    if (!image) return -1;
    // Pixels the stream didn't fill are transparent black; a last odd byte is
    // the low half of a pixel whose high half is zero.
    if (out_len % 2 != 0) inflated.data[out_len] = 0;
    const std::uint64_t available = (out_len + 1) / 2;
    const pixel_layout layout = image_pixel_layout();
    for (std::uint32_t y = 0; y < height; ++y) {
        std::span<std::uint32_t> row = image_row(*image, y);
        const std::uint64_t first = std::uint64_t{y} * width;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(
            width, available > first ? available - first : 0));
        widen_argb4444(inflated.span().subspan(first * 2, count * 2), row.first(count), layout);
        std::fill(row.begin() + static_cast<std::ptrdiff_t>(count), row.end(), 0u);
    }
    return save_image(*image, name);
}

int extract_type6(const tex_archive& archive, std::uint32_t payload_len, std::uint32_t width, std::uint32_t height,
                  const std::string& name)
{
    byte_buffer payload;
    if (const int rc = load_entry(archive, payload_len, name, payload); rc != 1) return rc;
    if (check_image_request(width, height, name) != 0) return -1;

    const std::uint64_t needed = std::uint64_t{width} * height * 4;
    if (payload_len < needed) {
        std::printf("ERROR : payload of %s holds %u bytes, fewer than %u * %u * 4 (%llu)\n",
                    tex_printable_name(name).c_str(), payload_len, width, height, static_cast<u64>(needed));
        return -1;
    }
    image32_ptr image = make_image(width, height);
    if (!image) return -1;
    const pixel_layout layout = image_pixel_layout();
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint64_t first = std::uint64_t{y} * width;
        convert_argb8888(payload.span().subspan(first * 4, std::size_t{width} * 4), image_row(*image, y), layout);
    }
    return save_image(*image, name);
}
