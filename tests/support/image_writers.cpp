#include "support/image_writers.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "support/support.hpp"

#define ALLEGRO_NO_MAGIC_MAIN
#include <allegro.h>

namespace test {

owned_image make_image(std::uint32_t width, std::uint32_t height, const pixel_fill& argb, std::size_t extra_stride,
                       std::uint32_t gap)
{
    owned_image image;
    image.width = width;
    image.height = height;
    image.stride = width + extra_stride;
    image.pixels.assign(image.stride * height, gap);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) image.pixels[y * image.stride + x] = argb(x, y);
    return image;
}

std::uint32_t noise(std::uint32_t x, std::uint32_t y)
{
    std::uint32_t v = x * 0x9E3779B9u ^ (y + 0x7F4A7C15u) * 0x85EBCA6Bu;
    v ^= v >> 15;
    return v * 0xC2B2AE35u;
}

std::vector<std::uint8_t> written_by(image_writer writer, image_view image, int& rc)
{
    const int fd = memfd_create("morvex-writer-test", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    rc = writer(fd, image);
    struct stat st {};
    std::vector<std::uint8_t> bytes;
    if (fstat(fd, &st) == 0) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
    }
    close(fd);
    return bytes;
}

void start_graphics_library()
{
    static const bool started = [] {
        if (install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) return false;
        _rgb_r_shift_32 = 16;
        _rgb_g_shift_32 = 8;
        _rgb_b_shift_32 = 0;
        _rgb_a_shift_32 = 24;
        return true;
    }();
    if (!started) throw std::runtime_error("the graphics library didn't start");
}

std::vector<std::uint8_t> saved_by_library(const owned_image& image, const std::string& extension)
{
    start_graphics_library();
    BITMAP* bitmap = create_bitmap_ex(32, static_cast<int>(image.width), static_cast<int>(image.height));
    if (!bitmap) throw std::runtime_error("create_bitmap_ex failed");
    for (std::uint32_t y = 0; y < image.height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(bitmap->line[y]);
        for (std::uint32_t x = 0; x < image.width; ++x) row[x] = image.at(x, y);
    }
    temp_dir dir;
    const std::string path = (dir / ("library." + extension)).string();
    const int rc = save_bitmap(path.c_str(), bitmap, nullptr);
    destroy_bitmap(bitmap);
    if (rc != 0) throw std::runtime_error("the library's saver failed for ." + extension);
    return read_file(path);
}

}  // namespace test
