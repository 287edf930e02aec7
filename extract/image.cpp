// Images through the graphics library: start-up, 32-bit bitmaps and saving.
#include "extract/extract.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <allegro.h>
#include <loadpng.h>

struct image32 {
    BITMAP* bitmap;
};

void image32_deleter::operator()(image32* image) const
{
    if (image) destroy_bitmap(image->bitmap);
    delete image;
}

namespace {

bool library_started = false;

// PNG files are deflated at this zlib level rather than the add-on's 9, which
// saves textures at well under 1 Mpixel/s: level 4 is about 50 times faster
// for files about a fifth larger, and smaller than levels 1 to 3 give
// (figures in bench/RESULTS.md).
constexpr int png_compression_level = 4;

struct save_job {
    BITMAP* bitmap;
};

int save_with_library(const char* path, void* context)
{
    return save_bitmap(path, static_cast<save_job*>(context)->bitmap, nullptr) == 0 ? 0 : -1;
}

int write_tga_file(const char* path, void* context)
{
    // A memory bitmap's rows lie one after the other, `w` pixels apart.
    BITMAP* bitmap = static_cast<save_job*>(context)->bitmap;
    const auto* first = reinterpret_cast<const std::uint32_t*>(bitmap->line[0]);
    const auto width = static_cast<std::size_t>(bitmap->w);
    for (int y = 0; y < bitmap->h; ++y)
        if (reinterpret_cast<const std::uint32_t*>(bitmap->line[y]) != first + static_cast<std::size_t>(y) * width)
            return -1;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    const int written = write_tga(fd, image_view{static_cast<std::uint32_t>(bitmap->w),
                                                 static_cast<std::uint32_t>(bitmap->h), width, first});
    return close(fd) == 0 && written == 0 ? 0 : -1;
}

int save_through(image32& image, const std::string& name, int (*save)(const char* path, void* context))
{
    if (check_image_format(name) != 0) return -1;
    save_job job{image.bitmap};
    if (write_output_file(name, save, &job) != 0) {
        std::printf("ERROR, can't create %s for output\n", tex_printable_name(name).c_str());
        return -1;
    }
    return 0;
}

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

int start_image_library()
{
    // Without a display the automatic choice fails and leaves no system
    // driver, after which the first bitmap would crash; the display-less
    // driver still makes and saves memory bitmaps.
    if (library_started) return 0;
    if (install_allegro(SYSTEM_AUTODETECT, &errno, std::atexit) != 0 &&
        install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) {
        return -1;
    }
    register_png_file_type();
    _png_compression_level = png_compression_level;
    // No graphics mode is ever set, so the 32-bit layout is ours to choose:
    // 0xAARRGGBB, whose bytes in memory are B, G, R, A as a TGA file stores
    // them. Every saver reads channels through these shifts.
    _rgb_r_shift_32 = 16;
    _rgb_g_shift_32 = 8;
    _rgb_b_shift_32 = 0;
    _rgb_a_shift_32 = 24;
    library_started = true;
    return 0;
}

pixel_layout image_pixel_layout()
{
    return pixel_layout{static_cast<unsigned>(_rgb_r_shift_32), static_cast<unsigned>(_rgb_g_shift_32),
                        static_cast<unsigned>(_rgb_b_shift_32), static_cast<unsigned>(_rgb_a_shift_32)};
}

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

int check_image_format(const std::string& name)
{
    if (image_format_for(name) != image_format::none) return 0;
    std::printf("ERROR : no image format for %s (names must end in .tga, .png, .bmp or .pcx)\n",
                tex_printable_name(name).c_str());
    return -1;
}

image32_ptr create_image32(std::uint32_t width, std::uint32_t height)
{
    if (!library_started || width == 0 || height == 0 || std::uint64_t{width} * height > max_image_pixels) return nullptr;
    BITMAP* bitmap = create_bitmap_ex(32, static_cast<int>(width), static_cast<int>(height));
    if (!bitmap) return nullptr;
    return image32_ptr(new image32{bitmap});
}

std::span<std::uint32_t> image_row(image32& image, std::uint32_t y)
{
    // A 32-bit memory bitmap's rows are arrays of 32-bit pixels.
    return {reinterpret_cast<std::uint32_t*>(image.bitmap->line[y]), static_cast<std::size_t>(image.bitmap->w)};
}

int save_image(image32& image, const std::string& name)
{
    // The library's TGA saver writes one byte per call; ours writes the same bytes.
    return save_through(image, name, image_format_for(name) == image_format::tga ? write_tga_file : save_with_library);
}

int save_image_with_library(image32& image, const std::string& name)
{
    return save_through(image, name, save_with_library);
}
