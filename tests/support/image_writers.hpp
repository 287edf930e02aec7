// Test support for the image writers: images built in code, a writer's output
// caught in memory, and the same pixels saved by the graphics library's savers
// (the reference for TGA, BMP and PCX).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "entries/entries.hpp"

namespace test {

// An image owned by the test, rows `stride` pixels apart; the pixels between
// a row's end and the next row are set to `gap`, which no writer may read.
struct owned_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    std::vector<std::uint32_t> pixels;
    image_view view() const { return {width, height, stride, pixels.data()}; }
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return pixels[y * stride + x]; }
};

using pixel_fill = std::function<std::uint32_t(std::uint32_t x, std::uint32_t y)>;

owned_image make_image(std::uint32_t width, std::uint32_t height, const pixel_fill& argb, std::size_t extra_stride = 0,
                       std::uint32_t gap = 0);

// A well-mixed value for pixel (x, y), alpha included.
std::uint32_t noise(std::uint32_t x, std::uint32_t y);

using image_writer = int (*)(int fd, image_view image);

// What `writer` wrote to a fresh memory file; `rc` gets its result.
std::vector<std::uint8_t> written_by(image_writer writer, image_view image, int& rc);

// Starts the graphics library without any display (once per process) with
// 32-bit pixels 0xAARRGGBB, as the extractor sets it.
void start_graphics_library();

// The file the library's saver for `extension` ("tga", "bmp" or "pcx")
// writes for a 32-bit bitmap of the image's pixels.
std::vector<std::uint8_t> saved_by_library(const owned_image& image, const std::string& extension);

}  // namespace test
