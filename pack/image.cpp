// Loading images through the graphics library into 0xAARRGGBB pixels.
#include "pack/pack.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>

#include <allegro.h>
#include <loadpng.h>

#include "extract/extract.hpp"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct bitmap_deleter {
    void operator()(BITMAP* b) const { destroy_bitmap(b); }
};
using bitmap_ptr = std::unique_ptr<BITMAP, bitmap_deleter>;

// The image file in memory, read by the library's loaders through a stream of
// our own: the library's own file names give '#' a meaning of their own.
struct memory_stream {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;
};

memory_stream& stream_of(void* userdata)
{
    return *static_cast<memory_stream*>(userdata);
}

int stream_close(void*)
{
    return 0;
}

int stream_getc(void* userdata)
{
    memory_stream& s = stream_of(userdata);
    return s.at < s.size ? s.data[s.at++] : EOF;
}

int stream_ungetc(int c, void* userdata)
{
    memory_stream& s = stream_of(userdata);
    if (s.at == 0) return EOF;
    --s.at;
    return c;
}

long stream_read(void* p, long n, void* userdata)
{
    memory_stream& s = stream_of(userdata);
    if (n <= 0) return 0;
    const std::size_t count = std::min(static_cast<std::size_t>(n), s.size - s.at);
    std::memcpy(p, s.data + s.at, count);
    s.at += count;
    return static_cast<long>(count);
}

int stream_putc(int, void*)
{
    return EOF;
}

long stream_write(const void*, long, void*)
{
    return 0;
}

// The library's seeks move forward from the current position.
int stream_seek(void* userdata, int offset)
{
    memory_stream& s = stream_of(userdata);
    if (offset < 0) return -1;
    if (static_cast<std::size_t>(offset) > s.size - s.at) {
        s.at = s.size;
        return -1;
    }
    s.at += static_cast<std::size_t>(offset);
    return 0;
}

int stream_eof(void* userdata)
{
    const memory_stream& s = stream_of(userdata);
    return s.at >= s.size ? 1 : 0;
}

int stream_error(void*)
{
    return 0;
}

PACKFILE_VTABLE memory_vtable = {stream_close, stream_getc,  stream_ungetc, stream_read, stream_putc,
                                 stream_write, stream_seek, stream_eof,    stream_error};

int read_whole_file(const std::string& path, std::vector<std::uint8_t>& out)
{
    std::unique_ptr<std::FILE, file_closer> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        pack_error("%s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) out.insert(out.end(), chunk, chunk + got);
    if (std::ferror(f.get())) {
        pack_error("%s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    return 0;
}

std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The size a file's header declares, read before the library decodes it, so
// that a small file can't make it allocate a huge bitmap. False when the header
// is too short or not of its format; the library then judges the file itself.
bool declared_size(image_format format, std::span<const std::uint8_t> b, std::uint64_t& w, std::uint64_t& h)
{
    switch (format) {
    case image_format::png:  // signature, then the IHDR chunk: big-endian width and height
        if (b.size() < 24 || b[1] != 'P' || b[2] != 'N' || b[3] != 'G' || b[12] != 'I' || b[13] != 'H') return false;
        w = be32(b, 16);
        h = be32(b, 20);
        return true;
    case image_format::tga:
        if (b.size() < 16) return false;
        w = tex_le16(b, 12);
        h = tex_le16(b, 14);
        return true;
    case image_format::bmp:  // a 12-byte core header holds 16-bit sizes, later ones 32-bit
        if (b.size() < 26 || b[0] != 'B' || b[1] != 'M') return false;
        if (tex_le32(b, 14) == 12) {
            w = tex_le16(b, 18);
            h = tex_le16(b, 20);
        } else {
            const auto width = static_cast<std::int32_t>(tex_le32(b, 18));
            const auto height = static_cast<std::int32_t>(tex_le32(b, 22));  // negative: rows from the top
            w = width < 0 ? UINT32_MAX : static_cast<std::uint64_t>(width);
            h = static_cast<std::uint64_t>(std::abs(static_cast<std::int64_t>(height)));
        }
        return true;
    case image_format::pcx:  // inclusive corners
        if (b.size() < 12 || b[0] != 0x0A) return false;
        w = tex_le16(b, 8) >= tex_le16(b, 4) ? tex_le16(b, 8) - tex_le16(b, 4) + 1u : 0;
        h = tex_le16(b, 10) >= tex_le16(b, 6) ? tex_le16(b, 10) - tex_le16(b, 6) + 1u : 0;
        return true;
    case image_format::none: break;
    }
    return false;
}

bool fits_an_entry(std::uint64_t w, std::uint64_t h)
{
    return w >= 1 && h >= 1 && w <= UINT16_MAX && h <= UINT16_MAX && w * h <= max_image_pixels;
}

int refuse_size(const std::string& path, std::uint64_t w, std::uint64_t h)
{
    pack_error("%s: %llu x %llu pixels; an entry holds 1 to 65535 pixels a side and at most 16384 x 16384 in all",
               path.c_str(), static_cast<unsigned long long>(w), static_cast<unsigned long long>(h));
    return -1;
}

BITMAP* load_with_library(PACKFILE* stream, image_format format, RGB* palette)
{
    switch (format) {
    case image_format::png: return load_png_pf(stream, palette);
    case image_format::tga: return load_tga_pf(stream, palette);
    case image_format::bmp: return load_bmp_pf(stream, palette);
    case image_format::pcx: return load_pcx_pf(stream, palette);
    case image_format::none: break;
    }
    return nullptr;
}

std::uint32_t argb(int a, int r, int g, int b)
{
    return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(r) << 16 |
           static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b);
}

// The bitmap's pixels at its own depth, widened to 8-bit channels. Palettes
// hold 6-bit levels, 15- and 16-bit pixels 5- and 6-bit ones: the library's
// scale tables widen them.
void convert_bitmap(BITMAP* bitmap, const RGB* palette, bool keep_alpha, pack_image& out)
{
    const int depth = bitmap_color_depth(bitmap);
    for (int y = 0; y < bitmap->h; ++y) {
        for (int x = 0; x < bitmap->w; ++x) {
            const int c = getpixel(bitmap, x, y);
            std::uint32_t pixel = 0;
            if (depth == 8) {
                const RGB& p = palette[c & 0xFF];
                pixel = argb(255, _rgb_scale_6[p.r & 63], _rgb_scale_6[p.g & 63], _rgb_scale_6[p.b & 63]);
            } else {
                const int a = depth == 32 && keep_alpha ? geta32(c) : 255;
                pixel = argb(a, getr_depth(depth, c), getg_depth(depth, c), getb_depth(depth, c));
            }
            out.argb[static_cast<std::size_t>(y) * out.width + static_cast<std::size_t>(x)] = pixel;
        }
    }
}

}  // namespace

int pack_load_image(const std::string& path, pack_image& out)
{
    const image_format format = image_format_for(path);
    if (format == image_format::none) {
        pack_error("%s: unknown image format (the name must end in .png, .tga, .bmp or .pcx)", path.c_str());
        return -1;
    }
    std::vector<std::uint8_t> bytes;
    if (read_whole_file(path, bytes) != 0) return -1;

    std::uint64_t declared_w = 0;
    std::uint64_t declared_h = 0;
    if (declared_size(format, bytes, declared_w, declared_h) && !fits_an_entry(declared_w, declared_h)) {
        return refuse_size(path, declared_w, declared_h);
    }

    memory_stream stream{bytes.data(), bytes.size(), 0};
    PACKFILE* packfile = pack_fopen_vtable(&memory_vtable, &stream);
    if (!packfile) {
        pack_error("%s: the graphics library can't read it", path.c_str());
        return -1;
    }
    // Each image at its own depth: converting on load would make up an alpha.
    set_color_conversion(COLORCONV_NONE);
    PALETTE palette{};
    bitmap_ptr bitmap(load_with_library(packfile, format, palette));
    pack_fclose(packfile);
    if (!bitmap) {
        pack_error("%s: not a readable image of the format its name says", path.c_str());
        return -1;
    }
    if (bitmap->w <= 0 || bitmap->h <= 0 ||
        !fits_an_entry(static_cast<std::uint64_t>(bitmap->w), static_cast<std::uint64_t>(bitmap->h))) {
        return refuse_size(path, static_cast<std::uint64_t>(std::max(bitmap->w, 0)),
                           static_cast<std::uint64_t>(std::max(bitmap->h, 0)));
    }
    out.width = static_cast<std::uint16_t>(bitmap->w);
    out.height = static_cast<std::uint16_t>(bitmap->h);
    out.argb.assign(static_cast<std::size_t>(out.width) * out.height, 0);
    // Only PNG and TGA carry alpha; a 32-bit BMP's fourth byte is not reliably one.
    if (bitmap_color_depth(bitmap.get()) == 8) {
        pack_error("warning: %s: a paletted image; the graphics library keeps 6 bits of each palette colour",
                   path.c_str());
    }
    const bool keep_alpha = format == image_format::png || format == image_format::tga;
    convert_bitmap(bitmap.get(), palette, keep_alpha, out);
    return 0;
}
