// PNG through libpng's low-level interface: the samples as stored (no gamma or
// colour transform), 16-bit samples rounded to 8 bits, palettes and tRNS at
// their full 8 bits.
#include "pack/pack.hpp"

#include <csetjmp>
#include <cstring>
#include <memory>

#include <png.h>

namespace {

// Where libpng reads from and where its last error message goes.
struct png_source {
    std::span<const std::uint8_t> file;
    std::size_t at = 0;
    char message[128] = {};
};

void read_bytes(png_structp png, png_bytep out, png_size_t count)
{
    auto* src = static_cast<png_source*>(png_get_io_ptr(png));
    if (count > src->file.size() - src->at) png_error(png, "the file ends inside the image");
    std::memcpy(out, src->file.data() + src->at, count);
    src->at += count;
}

[[noreturn]] void on_error(png_structp png, png_const_charp message)
{
    auto* src = static_cast<png_source*>(png_get_error_ptr(png));
    std::snprintf(src->message, sizeof src->message, "%s", message);
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

struct png_reader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~png_reader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// Ancillary chunks that change no stored sample: skipped unread, so that none
// of them (a compressed profile or text) costs memory or time.
constexpr png_byte ignored_chunks[] = "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0"
                                      "sBIT\0sCAL\0sPLT\0sRGB\0tEXt\0tIME\0zTXt";

// Transformations that give 8-bit R, G, B, A samples as stored. Only libpng's
// own functions run between setjmp and a longjmp back to it, and this frame
// holds nothing that needs destroying.
int read_header(png_structp png, png_infop info, png_uint_32& width, png_uint_32& height, unsigned& bits,
                bool& alpha)
{
    if (setjmp(png_jmpbuf(png))) return -1;
    png_set_read_fn(png, png_get_io_ptr(png), read_bytes);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, ignored_chunks,
                                static_cast<int>(sizeof ignored_chunks / 5));
    png_set_user_limits(png, pack_max_side, pack_max_side);
    png_set_chunk_malloc_max(png, 1u << 20);
    png_set_benign_errors(png, 0);  // a truncated or damaged stream is refused, not patched up
    png_read_info(png, info);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    const png_byte colour = png_get_color_type(png, info);
    bits = unsigned{png_get_channels(png, info)} * png_get_bit_depth(png, info);
    alpha = (colour & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    png_set_scale_16(png);
    png_set_expand(png);  // palette to RGB, grey below 8 bits to 8, tRNS to alpha
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != png_size_t{width} * 4) png_error(png, "unexpected row size");
    return 0;
}

int read_pixels(png_structp png, png_infop info, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png))) return -1;
    png_read_image(png, rows);
    png_read_end(png, info);
    return 0;
}

}  // namespace

int pack_decode_png(std::span<const std::uint8_t> file, pack_image& out, std::string& reason)
{
    png_source src{file, 0, {}};
    png_reader r;
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &src, on_error, on_warning);
    if (r.png) r.info = png_create_info_struct(r.png);
    if (!r.png || !r.info) {
        reason = "libpng can't start";
        return -1;
    }
    png_set_read_fn(r.png, &src, read_bytes);
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    unsigned bits = 0;
    bool alpha = false;
    if (read_header(r.png, r.info, width, height, bits, alpha) != 0) {
        reason = std::string("not a readable PNG image: ") + src.message;
        return -1;
    }
    if (pack_check_size(width, height, reason) != 0) return -1;
    // Deflate gives at most about 1032 bytes per byte: a file too short for
    // the image is refused before its pixels are allocated.
    if (std::uint64_t{file.size()} * 1032 < std::uint64_t{height} * (std::uint64_t{width} * bits / 8 + 1)) {
        reason = "truncated PNG image: " + std::to_string(file.size()) + " bytes can't hold " + std::to_string(width) +
                 " x " + std::to_string(height) + " pixels";
        return -1;
    }
    if (pack_start_image(width, height, out, reason) != 0) return -1;
    // libpng writes R, G, B, A bytes into each row of the pixel buffer; they
    // become 0xAARRGGBB in place below.
    std::vector<png_bytep> rows(height);
    for (std::size_t y = 0; y < height; ++y) {
        rows[y] = reinterpret_cast<png_bytep>(out.argb.data() + y * std::size_t{width});
    }
    if (read_pixels(r.png, r.info, rows.data()) != 0) {
        reason = std::string("not a readable PNG image: ") + src.message;
        return -1;
    }
    for (std::uint32_t& p : out.argb) {
        std::uint8_t b[4];
        std::memcpy(b, &p, 4);
        p = std::uint32_t{b[3]} << 24 | std::uint32_t{b[0]} << 16 | std::uint32_t{b[1]} << 8 | b[2];
    }
    out.has_alpha = alpha;
    return 0;
}
