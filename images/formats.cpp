// 32-bit images and the choice of the format an output is written in.
#include "images/images.hpp"

#include <new>

namespace {

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

image_format image_format_for(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return image_format::none;
    std::string ext;
    for (std::size_t k = dot + 1; k < name.size(); ++k) ext += ascii_lower(name[k]);
    if (ext == "tga") return image_format::tga;
    if (ext == "png") return image_format::png;
    if (ext == "bmp") return image_format::bmp;
    if (ext == "pcx") return image_format::pcx;
    return image_format::none;
}

bool make_image32(std::uint32_t width, std::uint32_t height, image32& out)
{
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (width == 0 || height == 0 || pixels > max_image_pixels) return false;
    out.pixels.reset(new (std::nothrow) std::uint32_t[pixels]);
    if (!out.pixels) return false;
    out.width = width;
    out.height = height;
    return true;
}

int write_image(int fd, image_format format, image_view image)
{
    switch (format) {
    case image_format::tga: return write_tga(fd, image);
    case image_format::png: return write_png(fd, image);
    case image_format::bmp: return write_bmp(fd, image);
    case image_format::pcx: return write_pcx(fd, image);
    case image_format::none: break;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Which decoder reads a file.

namespace {

bool starts_with(std::span<const std::uint8_t> file, std::string_view magic)
{
    if (file.size() < magic.size()) return false;
    for (std::size_t k = 0; k < magic.size(); ++k) {
        if (file[k] != static_cast<std::uint8_t>(magic[k])) return false;
    }
    return true;
}

// Manufacturer byte, a known version, run-length encoding: no TGA header
// starts so, since a TGA whose ID field is 10 bytes and whose colour map type
// is 0 cannot be of image type 1 (which needs a colour map).
bool looks_like_pcx(std::span<const std::uint8_t> file)
{
    if (file.size() < 3 || file[0] != 0x0A || file[2] != 1) return false;
    return file[1] == 0 || (file[1] >= 2 && file[1] <= 5);
}

}  // namespace

bool pack_sniff_format(std::span<const std::uint8_t> file, const std::string& name, pack_format& out)
{
    if (starts_with(file, "\x89PNG\r\n\x1a\n")) {
        out = pack_format::png;
    } else if (starts_with(file, "BM")) {
        out = pack_format::bmp;
    } else if (looks_like_pcx(file)) {
        out = pack_format::pcx;
    } else if (image_format_for(name) == image_format::tga) {
        out = pack_format::tga;
    } else {
        return false;
    }
    return true;
}

int pack_decode_image(std::span<const std::uint8_t> file, const std::string& name, pack_image& out,
                      std::string& reason)
{
    pack_format format{};
    if (!pack_sniff_format(file, name, format)) {
        switch (image_format_for(name)) {
        case image_format::png: reason = "not a PNG image (no PNG signature)"; break;
        case image_format::bmp: reason = "not a BMP image (no BM signature)"; break;
        case image_format::pcx: reason = "not a PCX image (no PCX header)"; break;
        default: reason = "unknown image format (the name must end in .png, .tga, .bmp or .pcx)"; break;
        }
        return -1;
    }
    switch (format) {
    case pack_format::png: return pack_decode_png(file, out, reason);
    case pack_format::tga: return pack_decode_tga(file, out, reason);
    case pack_format::bmp: return pack_decode_bmp(file, out, reason);
    case pack_format::pcx: return pack_decode_pcx(file, out, reason);
    }
    return -1;
}

int pack_check_size(std::uint64_t width, std::uint64_t height, std::string& reason)
{
    if (width < 1 || height < 1 || width > pack_max_side || height > pack_max_side ||
        width * height > pack_max_pixels) {
        reason = std::to_string(width) + " x " + std::to_string(height) +
                 " pixels; an entry holds 1 to 65535 pixels a side and at most 16384 x 16384 in all";
        return -1;
    }
    return 0;
}

int pack_start_image(std::uint64_t width, std::uint64_t height, pack_image& out, std::string& reason)
{
    if (pack_check_size(width, height, reason) != 0) return -1;
    out.width = static_cast<std::uint16_t>(width);
    out.height = static_cast<std::uint16_t>(height);
    out.argb.assign(width * height, 0xFF000000u);
    out.has_alpha = false;
    return 0;
}

