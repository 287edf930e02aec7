// JPEG files, read only: the packer takes photos and paintings from them.
// There is no writer: an archive never names an entry .jpg, and the
// extractor gives back every pixel exactly, which JPEG can't.
//
// Through libjpeg-turbo's libjpeg API: baseline and progressive, Huffman
// coded, in grey, YCbCr or RGB, turned by the library straight into the
// pixels' byte order with its defaults (the accurate integer transform,
// smooth upsampling), so that the pixels are those any program reading the
// file through libjpeg-turbo's defaults gets. The pixels as stored: an EXIF
// orientation is not applied.
//
// Refused, each with its reason: arithmetic coding (next to no JPEG uses it,
// and it codes a block in less than a bit, which would defeat the size check
// below); CMYK and YCCK (print files, whose inks no two programs turn into
// the same colours); more than jpeg_most_scans scans (a progressive file of
// thousands of scans takes minutes); and every file the library would
// patch up: a warning about the data (truncated, a bad code, bytes where a
// marker should be) refuses the file as an error does.
#include "images/images.hpp"

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// Real files have 1 (baseline) to a dozen or so (progressive) scans.
constexpr int jpeg_most_scans = 100;

// What libjpeg calls back into, and where its message goes.
struct jpeg_reader {
    jpeg_decompress_struct d{};
    jpeg_error_mgr errors{};
    jpeg_progress_mgr progress{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    bool created = false;
    ~jpeg_reader()
    {
        if (created) jpeg_destroy_decompress(&d);
    }
};

jpeg_reader& reader_of(j_common_ptr cinfo)
{
    return *static_cast<jpeg_reader*>(cinfo->client_data);
}

[[noreturn]] void on_error(j_common_ptr cinfo)
{
    jpeg_reader& r = reader_of(cinfo);
    (*cinfo->err->format_message)(cinfo, r.message);
    std::longjmp(r.jump, 1);
}

// Warnings that say nothing about the pixels; every other one refuses the file.
bool harmless(int code)
{
    return code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_BOGUS_ICC;
}

void on_message(j_common_ptr cinfo, int level)
{
    // Levels 0 and up are traces.
    if (level < 0 && !harmless(cinfo->err->msg_code)) on_error(cinfo);
}

void on_progress(j_common_ptr cinfo)
{
    jpeg_reader& r = reader_of(cinfo);
    if (r.d.input_scan_number > jpeg_most_scans) {
        std::snprintf(r.message, sizeof r.message, "more than %d scans", jpeg_most_scans);
        std::longjmp(r.jump, 1);
    }
}

// Only libjpeg's own functions run between setjmp and a longjmp back to it,
// and these frames hold nothing that needs destroying.
int read_header(jpeg_reader& r, std::span<const std::uint8_t> file)
{
    if (setjmp(r.jump)) return -1;
    jpeg_create_decompress(&r.d);
    r.created = true;
    r.d.client_data = &r;
    r.d.progress = &r.progress;
    jpeg_mem_src(&r.d, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&r.d, TRUE);
    return 0;
}

int read_pixels(jpeg_reader& r, pack_image& out)
{
    if (setjmp(r.jump)) return -1;
    jpeg_start_decompress(&r.d);
    if (r.d.output_width != out.width || r.d.output_height != out.height || r.d.output_components != 4) {
        std::snprintf(r.message, sizeof r.message, "unexpected output of %u x %u pixels, %d bytes each",
                      r.d.output_width, r.d.output_height, r.d.output_components);
        return -1;
    }
    while (r.d.output_scanline < r.d.output_height) {
        std::uint32_t* row = out.argb.data() + std::size_t{r.d.output_scanline} * out.width;
        JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(row)};
        if (jpeg_read_scanlines(&r.d, rows, 1) != 1) {
            std::snprintf(r.message, sizeof r.message, "no row %u", r.d.output_scanline);
            return -1;
        }
    }
    jpeg_finish_decompress(&r.d);  // the rest of the file, up to its end marker, read and checked too
    return 0;
}

// Why a variant isn't read, or null when it is.
const char* variant_refused(const jpeg_decompress_struct& d)
{
    if (d.arith_code) return "arithmetic coding";
    switch (d.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB: return nullptr;
    case JCS_CMYK:
    case JCS_YCCK: return "CMYK";
    default: return "a colour space of its own";
    }
}

// Huffman coding spends at least a bit on every block of every component
// (its DC coefficient's code, in the first scan that holds it): a file too
// short for its size is refused before its pixels are allocated.
bool long_enough(const jpeg_decompress_struct& d, std::size_t file_size)
{
    std::uint64_t blocks = 0;
    for (int c = 0; c < d.num_components; ++c) {
        blocks += std::uint64_t{d.comp_info[c].width_in_blocks} * d.comp_info[c].height_in_blocks;
    }
    return std::uint64_t{file_size} * 8 >= blocks;
}

}  // namespace

int pack_decode_jpeg(std::span<const std::uint8_t> file, pack_image& out, std::string& reason)
{
    // libjpeg counts a memory source's bytes in an unsigned long (32 bits on Windows).
    if (file.size() > std::numeric_limits<unsigned long>::max() || file.size() > pack_max_file_size) {
        reason = "a JPEG file of " + std::to_string(file.size()) + " bytes is too large";
        return -1;
    }
    jpeg_reader r;
    r.d.err = jpeg_std_error(&r.errors);
    r.errors.error_exit = on_error;
    r.errors.emit_message = on_message;
    r.progress.progress_monitor = on_progress;
    r.d.client_data = &r;
    if (read_header(r, file) != 0) {
        reason = std::string("not a readable JPEG image: ") + r.message;
        return -1;
    }
    if (const char* why = variant_refused(r.d)) {
        reason = std::string("a JPEG variant that isn't read (") + why + ")";
        return -1;
    }
    if (pack_check_size(r.d.image_width, r.d.image_height, reason) != 0) return -1;
    if (!long_enough(r.d, file.size())) {
        reason = "truncated JPEG image: " + std::to_string(file.size()) + " bytes can't hold " +
                 std::to_string(r.d.image_width) + " x " + std::to_string(r.d.image_height) + " pixels";
        return -1;
    }
    // B, G, R, A bytes are 0xAARRGGBB as a little-endian word; A, R, G, B as a big-endian one.
    r.d.out_color_space = std::endian::native == std::endian::little ? JCS_EXT_BGRA : JCS_EXT_ARGB;
    if (pack_start_image(r.d.image_width, r.d.image_height, out, reason) != 0) return -1;
    if (read_pixels(r, out) != 0) {
        reason = std::string("not a readable JPEG image: ") + r.message;
        out.argb.clear();
        return -1;
    }
    out.has_alpha = false;
    return 0;
}
