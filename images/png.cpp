// PNG files, both ways: the writer the extractor saves images with, and
// the reader the packer takes images from.
//
// Writing.
// The PNG writer: 8-bit RGBA (colour type 6), every row filtered the same way.
//
// Images up to png_whole_image_cap are filtered into one buffer and deflated
// in one call by libdeflate, then written as signature, IHDR, one IDAT and
// IEND in a single write; libdeflate is several times faster than zlib at
// the same ratio. Larger images go through libpng's writer a row at a time.
//
// Reading.
// PNG through libpng's low-level interface: the samples as stored (no gamma or
// colour transform), 16-bit samples rounded to 8 bits, palettes and tRNS at
// their full 8 bits.
#include "images/chunk_output.hpp"
#include "images/png_writer.hpp"
#include "images/images.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include <png.h>
#include <libdeflate.h>

namespace {

constexpr std::array<std::uint8_t, 8> png_signature{137, 80, 78, 71, 13, 10, 26, 10};
constexpr std::size_t ihdr_size = 8 + 13 + 4;  // length, type, fields, CRC
constexpr std::size_t chunk_overhead = 12;     // length, type, CRC
// A chunk's length field holds at most 2^31 - 1.
constexpr std::uint64_t png_longest_chunk = 0x7FFFFFFF;

std::uint32_t chunk_crc(const std::uint8_t* type_and_data, std::size_t size)
{
    return libdeflate_crc32(0, type_and_data, size);
}

// The IHDR chunk, CRC included.
std::array<std::uint8_t, ihdr_size> ihdr(std::uint32_t width, std::uint32_t height)
{
    std::array<std::uint8_t, ihdr_size> h{};
    put_be32(&h[0], 13);
    std::memcpy(&h[4], "IHDR", 4);
    put_be32(&h[8], width);
    put_be32(&h[12], height);
    h[16] = 8;  // bits per channel
    h[17] = 6;  // RGBA
    // Deflate, adaptive filtering method, no interlace: all 0.
    put_be32(&h[21], chunk_crc(&h[4], 4 + 13));
    return h;
}

// A row of 0xAARRGGBB pixels as bytes R, G, B, A.
void row_to_rgba(const std::uint32_t* row, std::uint32_t width, std::uint8_t* out)
{
    for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint32_t p = row[x];
        // Red and blue change places: as a little-endian word, R G B A.
        put_le32(out + 4 * std::size_t{x}, (p & 0xFF00FF00u) | (p >> 16 & 0xFFu) | (p & 0xFFu) << 16);
    }
}

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Filters one row of `n` bytes (`cur`, the row above `prev`, zeros for the
// first row) into `out`.
void filter_row(png_row_filter filter, const std::uint8_t* cur, const std::uint8_t* prev, std::size_t n,
                std::uint8_t* out)
{
    constexpr std::size_t bpp = 4;
    switch (filter) {
    case png_row_filter::none:
        std::memcpy(out, cur, n);
        break;
    case png_row_filter::sub:
        std::memcpy(out, cur, bpp);
        for (std::size_t i = bpp; i < n; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - cur[i - bpp]);
        break;
    case png_row_filter::up:
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        break;
    case png_row_filter::average:
        for (std::size_t i = 0; i < bpp; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - prev[i] / 2);
        for (std::size_t i = bpp; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(cur[i] - (cur[i - bpp] + prev[i]) / 2);
        break;
    case png_row_filter::paeth:
        for (std::size_t i = 0; i < bpp; ++i) out[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        for (std::size_t i = bpp; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(cur[i] - paeth(cur[i - bpp], prev[i], prev[i - bpp]));
        break;
    }
}

struct compressor_deleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// A buffer left uninitialised: every byte of it is written before it is read.
struct raw_bytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
};

bool allocate(raw_bytes& b, std::size_t n)
{
    b.data.reset(new (std::nothrow) std::uint8_t[n]);
    b.size = n;
    if (b.data) return true;
    errno = ENOMEM;
    return false;
}

// Adds with a check against wrapping. False when the sum doesn't fit.
bool add_size(std::size_t& sum, std::uint64_t more)
{
    if (more > std::numeric_limits<std::size_t>::max() - sum) return false;
    sum += static_cast<std::size_t>(more);
    return true;
}

// The filtered image: each row its filter byte, then the filtered R, G, B, A bytes.
int filter_image(const image_view& image, png_row_filter filter, raw_bytes& filtered)
{
    const std::size_t row_bytes = std::size_t{image.width} * 4;
    raw_bytes rows;
    if (!allocate(rows, 2 * row_bytes)) return -1;
    std::uint8_t* cur = rows.data.get();
    std::uint8_t* prev = rows.data.get() + row_bytes;
    std::memset(prev, 0, row_bytes);  // the row above the first
    std::uint8_t* out = filtered.data.get();
    for (std::uint32_t y = 0; y < image.height; ++y) {
        row_to_rgba(image_view_row(image, y), image.width, cur);
        *out++ = static_cast<std::uint8_t>(filter);
        filter_row(filter, cur, prev, row_bytes, out);
        out += row_bytes;
        std::swap(cur, prev);
    }
    return 0;
}

// Whole-image path: `filtered` deflated into one IDAT; the whole file in
// `file`, `size` bytes of it.
int build_whole_png(const image_view& image, libdeflate_compressor* compressor, const raw_bytes& filtered,
                    std::size_t bound, raw_bytes& file, std::size_t& size)
{
    constexpr std::size_t before = png_signature.size() + ihdr_size + 8;
    constexpr std::size_t after = 4 + chunk_overhead;
    std::size_t file_room = before;
    if (!add_size(file_room, bound) || !add_size(file_room, after)) {
        errno = EOVERFLOW;
        return -1;
    }
    if (!allocate(file, file_room)) return -1;

    std::uint8_t* p = file.data.get();
    std::memcpy(p, png_signature.data(), png_signature.size());
    const auto header = ihdr(image.width, image.height);
    std::memcpy(p + png_signature.size(), header.data(), header.size());
    std::uint8_t* idat = p + png_signature.size() + ihdr_size;
    const std::size_t packed =
        libdeflate_zlib_compress(compressor, filtered.data.get(), filtered.size, idat + 8, bound);
    // 0 means the bound was too small after all; a single IDAT holds at most
    // 2^31 - 1 bytes (the cap keeps images far below it).
    if (packed == 0 || packed > bound || packed > png_longest_chunk) {
        errno = EOVERFLOW;
        return -1;
    }
    put_be32(idat, static_cast<std::uint32_t>(packed));
    std::memcpy(idat + 4, "IDAT", 4);
    put_be32(idat + 8 + packed, chunk_crc(idat + 4, 4 + packed));
    std::uint8_t* iend = idat + 8 + packed + 4;
    put_be32(iend, 0);
    std::memcpy(iend + 4, "IEND", 4);
    put_be32(iend + 8, chunk_crc(iend + 4, 4));
    size = static_cast<std::size_t>(iend + chunk_overhead - p);
    return 0;
}

// The whole-image path, when it fits under the cap: 1 when it doesn't (the
// streaming path's then), else 0 or -1 with `file` and `size` as above.
int whole_png(const image_view& image, const png_settings& settings, raw_bytes& file, std::size_t& size)
{
    // At most 16384 * 16384 pixels of 4 bytes and 65535 filter bytes: far
    // below 2^32, so the product can't wrap in a size_t of 32 bits either.
    const std::uint64_t filtered_size = std::uint64_t{image.height} * (std::uint64_t{image.width} * 4 + 1);
    if (settings.force_streaming || filtered_size > png_whole_image_cap) return 1;
    const std::unique_ptr<libdeflate_compressor, compressor_deleter> compressor(
        libdeflate_alloc_compressor(settings.level));
    if (!compressor) {
        errno = ENOMEM;
        return -1;
    }
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), static_cast<std::size_t>(filtered_size));
    // The bound is a worst case of at least the input's size; anything less
    // is not one to trust, and both buffers must fit under the cap.
    if (bound < filtered_size || filtered_size + bound > png_whole_image_cap) return 1;
    raw_bytes filtered;
    if (!allocate(filtered, static_cast<std::size_t>(filtered_size))) return -1;
    if (filter_image(image, settings.filter, filtered) != 0) return -1;
    return build_whole_png(image, compressor.get(), filtered, bound, file, size);
}

// ---------------------------------------------------------------------------
// Streaming path through libpng.

struct png_sink {
    chunk_output out;
    int saved_errno = 0;
};

void sink_write(png_structp png, png_bytep data, size_t size)
{
    auto* sink = static_cast<png_sink*>(png_get_io_ptr(png));
    if (chunk_put(sink->out, data, size) != 0) {
        sink->saved_errno = errno;
        png_error(png, "write failed");
    }
}

void sink_flush(png_structp) {}

[[noreturn]] void quiet_error(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void quiet_warning(png_structp, png_const_charp) {}

// Everything libpng may jump out of lives here, with no object that needs
// destroying; the caller owns the structures and the sink.
int stream_rows(png_structp png, png_infop info, const image_view& image, const png_settings& settings)
{
    if (setjmp(png_jmpbuf(png))) return -1;
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE << static_cast<int>(settings.filter));
    png_set_compression_level(png, settings.streaming_level);
    png_set_compression_buffer_size(png, 256 * 1024);
    png_write_info(png, info);
    // The pixels' bytes in memory, read as R, G, B, A by libpng's transforms.
    if constexpr (std::endian::native == std::endian::little) {
        png_set_bgr(png);  // B, G, R, A
    } else {
        png_set_swap_alpha(png);  // A, R, G, B
    }
    for (std::uint32_t y = 0; y < image.height; ++y)
        png_write_row(png, reinterpret_cast<png_const_bytep>(image_view_row(image, y)));
    png_write_end(png, info);
    return 0;
}

int write_streaming_png(int fd, const image_view& image, const png_settings& settings)
{
    png_sink sink;
    if (open_chunk_output(sink.out, fd, chunk_output_bytes) != 0) return -1;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, quiet_error, quiet_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        errno = ENOMEM;
        return -1;
    }
    png_set_write_fn(png, &sink, sink_write, sink_flush);
    const int rc = stream_rows(png, info, image, settings);
    png_destroy_write_struct(&png, &info);
    if (rc != 0) {
        // A failed write keeps its errno; anything else libpng refused.
        errno = sink.saved_errno != 0 ? sink.saved_errno : EIO;
        return -1;
    }
    return flush_chunk_output(sink.out);
}

}  // namespace

int write_png_with(int fd, image_view image, png_settings settings)
{
    if (check_image_view(image) != 0) return -1;
    raw_bytes file;
    std::size_t size = 0;
    const int whole = whole_png(image, settings, file, size);
    if (whole < 0) return -1;
    if (whole == 0) return write_all(fd, file.data.get(), size);
    return write_streaming_png(fd, image, settings);
}

int encode_png(image_view image, png_settings settings, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (check_image_view(image) != 0) return -1;
    raw_bytes file;
    std::size_t size = 0;
    const int whole = whole_png(image, settings, file, size);
    if (whole != 0) {
        if (whole > 0) errno = EFBIG;
        return -1;
    }
    out.assign(file.data.get(), file.data.get() + size);
    return 0;
}

int write_png(int fd, image_view image)
{
    return write_png_with(fd, image, png_default_settings);
}

// ---------------------------------------------------------------------------
// Reading.

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
