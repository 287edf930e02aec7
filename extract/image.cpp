// 32-bit images and the choice of the format an output is written in.
#include "extract/extract.hpp"

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
