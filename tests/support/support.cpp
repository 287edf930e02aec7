#include "support/support.hpp"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <png.h>

namespace test {

namespace fs = std::filesystem;

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

run_result run_extractor(const std::vector<std::string>& args, const fs::path& cwd)
{
    return run_program(MORVEX_EXTRACTOR_PATH, args, cwd);
}

std::vector<std::uint8_t> read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("can't read " + path.string());
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("can't write " + path.string());
}

tex_writer_archive archive_of(std::vector<tex_writer_entry> entries)
{
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    for (auto& e : entries) a.entries.push_back(std::move(e));
    return a;
}

fs::path write_archive(const temp_dir& dir, const std::string& name, const tex_writer_archive& a)
{
    const fs::path p = dir / name;
    if (tex_write_archive(p.string().c_str(), a) != 0) throw std::runtime_error("can't write archive " + p.string());
    return p;
}

rgba_image read_tga(const fs::path& path)
{
    const std::vector<std::uint8_t> f = read_file(path);
    if (f.size() < 18) throw std::runtime_error("TGA too short");
    const std::size_t id_len = f[0];
    if (f[1] != 0 || f[2] != 2 || f[16] != 32) throw std::runtime_error("not an uncompressed 32-bit TGA");
    rgba_image img;
    img.width = static_cast<std::uint32_t>(f[12] | f[13] << 8);
    img.height = static_cast<std::uint32_t>(f[14] | f[15] << 8);
    const bool top_down = (f[17] & 0x20) != 0;
    const std::size_t start = 18 + id_len;
    if (f.size() < start + std::size_t{img.width} * img.height * 4) throw std::runtime_error("TGA pixels cut short");
    img.argb.resize(std::size_t{img.width} * img.height);
    for (std::uint32_t row = 0; row < img.height; ++row) {
        const std::uint32_t y = top_down ? row : img.height - 1 - row;
        for (std::uint32_t x = 0; x < img.width; ++x) {
            const std::uint8_t* p = &f[start + (std::size_t{row} * img.width + x) * 4];  // B G R A
            img.argb[std::size_t{y} * img.width + x] = std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                                        std::uint32_t{p[1]} << 8 | p[0];
        }
    }
    return img;
}

rgba_image read_png(const fs::path& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.string().c_str())) throw std::runtime_error(image.message);
    image.format = PNG_FORMAT_BGRA;  // bytes B G R A: a little-endian 0xAARRGGBB
    std::vector<std::uint32_t> px(std::size_t{image.width} * image.height);
    if (!png_image_finish_read(&image, nullptr, px.data(), 0, nullptr)) throw std::runtime_error(image.message);
    rgba_image img;
    img.width = image.width;
    img.height = image.height;
    img.argb = std::move(px);
    return img;
}

void save_png(const fs::path& path, const rgba_image& img)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = img.width;
    image.height = img.height;
    image.format = PNG_FORMAT_BGRA;
    if (!png_image_write_to_file(&image, path.string().c_str(), 0, img.argb.data(), 0, nullptr)) {
        throw std::runtime_error(image.message);
    }
}

std::vector<std::string> list_dir(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace test
