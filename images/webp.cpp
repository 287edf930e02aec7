// WebP files, both ways, through libwebp: the writer `extract --format webp`
// saves images with, and the reader the packer takes images from.
//
// Writing.
// Lossless, in exact mode: every pixel comes back as it was, the colour of a
// fully transparent one too (libwebp otherwise makes those whatever codes
// smallest). At most 16383 pixels a side, the format's own limit: a larger
// image gives -1 with EINVAL, as every writer does for a size it can't store.
//
// Reading.
// One still picture, lossy or lossless, with or without alpha, decoded by
// libwebp's defaults (smooth upsampling of a lossy picture's colour) into the
// pixels' byte order. An animation is refused: its frames are not one image.
// libwebp refuses a truncated or damaged file itself. No check of the file's
// size against the image's holds here: a lossless WebP codes a plain image in
// next to no bits, so a tiny file may rightly be a large image; the pixel
// limits bound it as they bound every reader.
#include "images/chunk_output.hpp"
#include "images/images.hpp"
#include "images/webp_picture.hpp"

#include <bit>
#include <cerrno>
#include <cstring>

#include <webp/decode.h>
#include <webp/encode.h>

namespace {

// The lossless preset of `extract --format webp`: 0 (fastest) to 9. Measured
// on the benchmark's textures at 512 x 512 (four ARGB8888, four widened
// ARGB4444): level 0 took 23.7 ms an image for 260 KB, level 1 60 ms for 218
// KB, level 6 168 ms for 210 KB; the PNG writer 8.5 ms for 293 KB. Extracting
// stays within three times PNG's time, and smaller.
constexpr int webp_lossless_level = 0;

struct webp_sink {
    chunk_output out;
    int saved_errno = 0;
};

int sink_write(const std::uint8_t* data, std::size_t size, const WebPPicture* picture)
{
    auto* sink = static_cast<webp_sink*>(picture->custom_ptr);
    if (chunk_put(sink->out, data, size) == 0) return 1;
    sink->saved_errno = errno;
    return 0;
}

}  // namespace

int write_webp(int fd, image_view image)
{
    if (check_image_view(image) != 0) return -1;
    if (image.width > WEBP_MAX_DIMENSION || image.height > WEBP_MAX_DIMENSION) {
        errno = EINVAL;
        return -1;
    }
    WebPConfig config;
    if (!WebPConfigInit(&config) || !WebPConfigLosslessPreset(&config, webp_lossless_level)) {
        errno = EINVAL;
        return -1;
    }
    config.exact = 1;
    webp_picture pic;
    pic.picture.use_argb = 1;
    pic.picture.width = static_cast<int>(image.width);
    pic.picture.height = static_cast<int>(image.height);
    if (!WebPPictureAlloc(&pic.picture)) {
        errno = ENOMEM;
        return -1;
    }
    // libwebp's ARGB pixels are 0xAARRGGBB words, as ours are.
    for (std::uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(pic.picture.argb + std::size_t{y} * static_cast<std::size_t>(pic.picture.argb_stride),
                    image_view_row(image, y), std::size_t{image.width} * 4);
    }
    webp_sink sink;
    if (open_chunk_output(sink.out, fd, chunk_output_bytes) != 0) return -1;
    pic.picture.writer = sink_write;
    pic.picture.custom_ptr = &sink;
    if (!WebPEncode(&config, &pic.picture)) {
        // A failed write keeps its errno; anything else libwebp refused.
        errno = sink.saved_errno != 0                                              ? sink.saved_errno
                : pic.picture.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY ? ENOMEM
                                                                                   : EIO;
        return -1;
    }
    return flush_chunk_output(sink.out);
}

// ---------------------------------------------------------------------------
// Reading.

namespace {

const char* status_text(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_INVALID_PARAM: return "invalid parameters";
    case VP8_STATUS_BITSTREAM_ERROR: return "damaged data";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "a feature libwebp doesn't read";
    case VP8_STATUS_SUSPENDED: return "suspended";
    case VP8_STATUS_USER_ABORT: return "stopped";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "the file ends inside the image";
    case VP8_STATUS_OK: break;
    }
    return "unknown error";
}

}  // namespace

int pack_decode_webp(std::span<const std::uint8_t> file, pack_image& out, std::string& reason)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        reason = "libwebp can't start";
        return -1;
    }
    if (const VP8StatusCode s = WebPGetFeatures(file.data(), file.size(), &config.input); s != VP8_STATUS_OK) {
        reason = s == VP8_STATUS_NOT_ENOUGH_DATA ? "truncated WebP image: the file ends inside its headers"
                                                 : std::string("not a readable WebP image: ") + status_text(s);
        return -1;
    }
    if (config.input.has_animation) {
        reason = "a WebP variant that isn't read (an animation)";
        return -1;
    }
    const auto width = static_cast<std::uint64_t>(config.input.width);
    const auto height = static_cast<std::uint64_t>(config.input.height);
    if (pack_start_image(width, height, out, reason) != 0) return -1;
    // B, G, R, A bytes are 0xAARRGGBB as a little-endian word; A, R, G, B as a big-endian one.
    config.output.colorspace = std::endian::native == std::endian::little ? MODE_BGRA : MODE_ARGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = reinterpret_cast<std::uint8_t*>(out.argb.data());
    config.output.u.RGBA.stride = static_cast<int>(width * 4);
    config.output.u.RGBA.size = out.argb.size() * 4;
    const VP8StatusCode s = WebPDecode(file.data(), file.size(), &config);
    WebPFreeDecBuffer(&config.output);  // external memory: frees nothing of ours
    if (s != VP8_STATUS_OK) {
        reason = s == VP8_STATUS_NOT_ENOUGH_DATA ? "truncated WebP image: the file ends inside the image"
                                                 : std::string("not a readable WebP image: ") + status_text(s);
        out.argb.clear();
        return -1;
    }
    out.has_alpha = config.input.has_alpha != 0;
    return 0;
}
