// Interim writers through the graphics library's savers, opened on the
// descriptor through /proc. Replaced by the project's own writers.
#include "extract/extract.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <allegro.h>
#include <loadpng.h>

namespace {

std::mutex library_lock;

bool start()
{
    static bool started = false;
    if (started) return true;
    if (install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) return false;
    register_png_file_type();
    _png_compression_level = 4;
    _rgb_r_shift_32 = 16;
    _rgb_g_shift_32 = 8;
    _rgb_b_shift_32 = 0;
    _rgb_a_shift_32 = 24;
    started = true;
    return true;
}

int save(int fd, image_view image, int (*saver)(const char*, BITMAP*, const RGB*))
{
    std::lock_guard<std::mutex> hold(library_lock);
    if (!start()) return -1;
    BITMAP* b = create_bitmap_ex(32, static_cast<int>(image.width), static_cast<int>(image.height));
    if (!b) return -1;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(b->line[y]);
        for (std::uint32_t x = 0; x < image.width; ++x) row[x] = image.pixels[y * image.stride + x];
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int rc = saver(path, b, nullptr);
    destroy_bitmap(b);
    return rc == 0 ? 0 : -1;
}

}  // namespace

int start_image_library()
{
    std::lock_guard<std::mutex> hold(library_lock);
    return start() ? 0 : -1;
}

int write_tga(int fd, image_view image)
{
    std::vector<const std::uint32_t*> rows(image.height);
    for (std::uint32_t y = 0; y < image.height; ++y) rows[y] = image.pixels + y * image.stride;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return write_tga32(path, image.width, rows, argb_layout);
}

int write_bmp(int fd, image_view image)
{
    return save(fd, image, save_bmp);
}

int write_pcx(int fd, image_view image)
{
    return save(fd, image, save_pcx);
}

int write_png(int fd, image_view image)
{
    return save(fd, image, save_png);
}

image32_ptr create_image32(std::uint32_t width, std::uint32_t height)
{
    auto image = std::make_unique<image32>();
    if (!make_image32(width, height, *image)) return nullptr;
    return image;
}

std::span<std::uint32_t> image_row(image32& image, std::uint32_t y)
{
    return image.row(y);
}

pixel_layout image_pixel_layout()
{
    return argb_layout;
}

namespace {

int save_to(image32& image, const std::string& path, bool library)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    const int rc = library ? save(fd, view_of(image), save_tga) : write_tga(fd, view_of(image));
    return close(fd) == 0 ? rc : -1;
}

}  // namespace

int save_image(image32& image, const std::string& path)
{
    return save_to(image, path, false);
}

int save_image_with_library(image32& image, const std::string& path)
{
    return save_to(image, path, true);
}
