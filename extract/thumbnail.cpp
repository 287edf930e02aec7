// Thumbnails for the gallery page: an area filter on premultiplied alpha in
// exact integer arithmetic, and the thumbnail as a WebP file for a data: URI.
//
// Coordinates are scaled so that every boundary is an integer: along x, a
// source pixel x covers [x * tw, (x + 1) * tw) and a thumbnail column c covers
// [c * W, (c + 1) * W), for a source W wide and a thumbnail tw wide (tw <= W).
// A thumbnail column then takes whole source columns (weight tw) and parts of
// at most two more, with integer weights that add up to W; the same along y
// with th and H. Source rows, as they come, are summed column by column into
// one row of sums, which makes one thumbnail row. Every sum is exact, and
// each thumbnail pixel is rounded once at the end.
#include <webp/encode.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "extract/chunk_output.hpp"
#include "extract/extract.hpp"

namespace {

// The encoders' settings, chosen by measurement on the benchmark's textures
// at 128 x 128 (see the note of the change that chose them): lossy at
// quality 75 with the fastest method, and lossless at the fastest level.
constexpr float thumbnail_lossy_quality = 75;
constexpr int thumbnail_lossy_method = 0;
constexpr int thumbnail_lossless_level = 0;
// A flat thumbnail is kept lossless up to this size; past it, lossy is far smaller.
constexpr std::size_t thumbnail_lossless_most = 12 * 1024;

using column_span = thumbnail_builder::column_span;

bool allocate_columns(thumbnail_builder& t)
{
    for (auto* p : {&t.sum_a, &t.sum_r, &t.sum_g, &t.sum_b}) {
        p->reset(new (std::nothrow) std::uint32_t[t.source_width]());
        if (!*p) return false;
    }
    return true;
}

void clear_columns(thumbnail_builder& t)
{
    for (auto* p : {&t.sum_a, &t.sum_r, &t.sum_g, &t.sum_b}) std::memset(p->get(), 0, std::size_t{t.source_width} * 4);
}

// Adds one source row, weighted by `weight`, to the column sums. Plain loops
// over separate arrays, which the compiler turns into vector code.
void add_row(const std::uint32_t* row, std::uint32_t weight, thumbnail_builder& t)
{
    const std::uint32_t width = t.source_width;
    std::uint32_t* __restrict a = t.sum_a.get();
    std::uint32_t* __restrict r = t.sum_r.get();
    std::uint32_t* __restrict g = t.sum_g.get();
    std::uint32_t* __restrict b = t.sum_b.get();
    for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint32_t p = row[x];
        const std::uint32_t wa = (p >> 24) * weight;
        a[x] += wa;
        r[x] += (p >> 16 & 0xFFu) * wa;
        g[x] += (p >> 8 & 0xFFu) * wa;
        b[x] += (p & 0xFFu) * wa;
    }
}

// Means rounded half up, sum / weight for sums of at most 2^45 (255 * 255 *
// W * H): exact, without a division each. The product with the weight's
// reciprocal is within far less than one of the quotient, and one step
// either way makes it exact. A weight of 0 gives 0.
struct rounded_divider {
    std::uint64_t twice;  // 2 * weight
    double inverse;       // 1 / (2 * weight)
    explicit rounded_divider(std::uint64_t weight)
        : twice(2 * weight), inverse(weight == 0 ? 0.0 : 1.0 / static_cast<double>(twice))
    {
    }
    std::uint32_t operator()(std::uint64_t sum) const
    {
        if (twice == 0) return 0;
        const std::uint64_t n = 2 * sum + twice / 2;
        auto q = static_cast<std::uint64_t>(static_cast<double>(n) * inverse);
        if (q * twice > n) {
            --q;
        } else if (n - q * twice >= twice) {
            ++q;
        }
        return static_cast<std::uint32_t>(q);
    }
};

// The next thumbnail row from the column sums of the source rows it covers,
// whose weights add up to W * H per thumbnail pixel.
void finish_row(thumbnail_builder& t)
{
    const std::uint32_t tw = t.image.width;
    const rounded_divider alpha(std::uint64_t{t.source_width} * t.source_height);
    const std::uint32_t *sa = t.sum_a.get(), *sr = t.sum_r.get(), *sg = t.sum_g.get(), *sb = t.sum_b.get();
    std::uint32_t* out = t.image.row(t.next_out_row).data();
    for (std::uint32_t c = 0; c < tw; ++c) {
        const column_span& span = t.spans[c];
        // At most 255 * 255 * W * H each: 64 bits.
        std::uint64_t a = 0, r = 0, g = 0, b = 0;
        for (std::uint32_t x = span.first + 1; x < span.last; ++x) {
            a += sa[x];
            r += sr[x];
            g += sg[x];
            b += sb[x];
        }
        a *= tw;
        r *= tw;
        g *= tw;
        b *= tw;
        for (const auto& [x, w] : {std::pair{span.first, span.w_first}, std::pair{span.last, span.w_last}}) {
            a += std::uint64_t{sa[x]} * w;
            r += std::uint64_t{sr[x]} * w;
            g += std::uint64_t{sg[x]} * w;
            b += std::uint64_t{sb[x]} * w;
        }
        const std::uint64_t sum[4] = {a, r, g, b};
        const rounded_divider colour(sum[0]);
        out[c] = alpha(sum[0]) << 24 | colour(sum[1]) << 16 | colour(sum[2]) << 8 | colour(sum[3]);
    }
    ++t.next_out_row;
    clear_columns(t);
}

// Sides up to 65535 keep every column sum within 32 bits.
bool valid_size(std::uint32_t width, std::uint32_t height)
{
    return width != 0 && height != 0 && width <= 65535 && height <= 65535 &&
           std::uint64_t{width} * height <= max_image_pixels;
}

}  // namespace

void thumbnail_dimensions(std::uint32_t width, std::uint32_t height, unsigned max_side, std::uint32_t& out_width,
                          std::uint32_t& out_height)
{
    out_width = width;
    out_height = height;
    const std::uint32_t longest = width > height ? width : height;
    if (longest <= max_side) return;
    const auto scaled = [&](std::uint32_t side) {
        const std::uint64_t v = (std::uint64_t{side} * max_side + longest / 2) / longest;
        return static_cast<std::uint32_t>(v == 0 ? 1 : v);
    };
    out_width = scaled(width);
    out_height = scaled(height);
}

int thumbnail_begin(thumbnail_builder& t, std::uint32_t width, std::uint32_t height, unsigned max_side)
{
    t = thumbnail_builder{};
    if (!valid_size(width, height) || max_side == 0) return -1;
    std::uint32_t tw = 0, th = 0;
    thumbnail_dimensions(width, height, max_side, tw, th);
    t.source_width = width;
    t.source_height = height;
    if (!make_image32(tw, th, t.image)) return -1;
    if (tw == width && th == height) return 0;  // rows are copied as they come

    t.spans.reset(new (std::nothrow) column_span[tw]);
    if (!t.spans || !allocate_columns(t)) return -1;
    const std::uint32_t W = width;
    for (std::uint32_t c = 0; c < tw; ++c) {
        // Thumbnail column c covers [c * W, (c + 1) * W) along x.
        const std::uint64_t begin = std::uint64_t{c} * W, end = begin + W;
        column_span& span = t.spans[c];
        span.first = static_cast<std::uint32_t>(begin / tw);
        span.last = static_cast<std::uint32_t>((end - 1) / tw);
        const auto overlap = [&](std::uint32_t x) {
            const std::uint64_t from = std::max<std::uint64_t>(std::uint64_t{x} * tw, begin);
            const std::uint64_t to = std::min<std::uint64_t>(std::uint64_t{x + 1} * tw, end);
            return static_cast<std::uint32_t>(to - from);
        };
        span.w_first = overlap(span.first);
        span.w_last = span.last == span.first ? 0 : overlap(span.last);
    }
    return 0;
}

void thumbnail_add_row(thumbnail_builder& t, const std::uint32_t* row)
{
    if (t.next_row >= t.source_height || !t.image.pixels) return;
    const std::uint32_t y = t.next_row++;
    if (!t.spans) {
        std::memcpy(t.image.row(y).data(), row, std::size_t{t.source_width} * 4);
        return;
    }
    // Source row y covers [y * th, (y + 1) * th) along y, thumbnail row r
    // covers [r * H, (r + 1) * H); th <= H, so the source row lends its
    // overlap to one thumbnail row or two.
    const std::uint64_t th = t.image.height, H = t.source_height;
    const std::uint64_t y_begin = y * th, y_end = y_begin + th;
    while (t.next_out_row < th) {
        const std::uint64_t r_begin = t.next_out_row * H, r_end = r_begin + H;
        add_row(row, static_cast<std::uint32_t>(std::min(y_end, r_end) - std::max(y_begin, r_begin)), t);
        if (y_end < r_end) break;  // the thumbnail row goes on below
        finish_row(t);
        if (y_end == r_end) break;  // nothing of the source row is left
    }
}

int thumbnail_finish(thumbnail_builder& t, image32& out)
{
    const bool whole = t.image.pixels && t.next_row == t.source_height;
    if (whole) out = std::move(t.image);
    t = thumbnail_builder{};
    return whole ? 0 : -1;
}

int make_thumbnail(image_view src, unsigned max_side, image32& out)
{
    thumbnail_builder t;
    if (src.pixels == nullptr || src.stride < src.width || thumbnail_begin(t, src.width, src.height, max_side) != 0)
        return -1;
    for (std::uint32_t y = 0; y < src.height; ++y) thumbnail_add_row(t, image_view_row(src, y));
    return thumbnail_finish(t, out);
}

bool image_has_transparency(image_view image)
{
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::uint32_t* row = image_view_row(image, y);
        std::uint32_t all = 0xFF000000u;
        for (std::uint32_t x = 0; x < image.width; ++x) all &= row[x];
        if ((all >> 24) != 0xFF) return true;
    }
    return false;
}

namespace {

// libwebp's memory writer and picture, freed however the encoding ends.
struct webp_memory {
    WebPMemoryWriter writer;
    webp_memory() { WebPMemoryWriterInit(&writer); }
    ~webp_memory() { WebPMemoryWriterClear(&writer); }
    webp_memory(const webp_memory&) = delete;
    webp_memory& operator=(const webp_memory&) = delete;
};

struct webp_picture {
    WebPPicture picture;
    webp_picture() { WebPPictureInit(&picture); }
    ~webp_picture() { WebPPictureFree(&picture); }
    webp_picture(const webp_picture&) = delete;
    webp_picture& operator=(const webp_picture&) = delete;
};

int encode_webp(const image_view& thumb, bool lossless, std::vector<std::uint8_t>& out)
{
    WebPConfig config;
    if (!WebPConfigInit(&config)) return -1;
    if (lossless) {
        if (!WebPConfigLosslessPreset(&config, thumbnail_lossless_level)) return -1;
        config.exact = 1;  // colours under transparent pixels kept too
    } else {
        config.quality = thumbnail_lossy_quality;
        config.method = thumbnail_lossy_method;
        config.alpha_quality = 100;  // alpha stays exact
    }
    webp_picture pic;
    webp_memory memory;
    pic.picture.use_argb = lossless ? 1 : 0;
    pic.picture.width = static_cast<int>(thumb.width);
    pic.picture.height = static_cast<int>(thumb.height);
    pic.picture.writer = WebPMemoryWrite;
    pic.picture.custom_ptr = &memory.writer;
    // The pixels' bytes in memory are B, G, R, A, as libwebp's BGRA import reads them.
    if (!WebPPictureImportBGRA(&pic.picture, reinterpret_cast<const std::uint8_t*>(thumb.pixels),
                               static_cast<int>(thumb.stride * 4)) ||
        !WebPEncode(&config, &pic.picture)) {
        errno = ENOMEM;
        return -1;
    }
    out.assign(memory.writer.mem, memory.writer.mem + memory.writer.size);
    return 0;
}

// Mostly runs of one colour: at least half the pixels repeat their left neighbour.
bool flat(const image_view& thumb)
{
    std::uint64_t repeats = 0;
    for (std::uint32_t y = 0; y < thumb.height; ++y) {
        const std::uint32_t* row = image_view_row(thumb, y);
        for (std::uint32_t x = 1; x < thumb.width; ++x) repeats += row[x] == row[x - 1];
    }
    return 2 * repeats >= std::uint64_t{thumb.width} * thumb.height;
}

}  // namespace

int encode_thumbnail(image_view thumb, thumbnail_encoding encoding, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (thumb.width == 0 || thumb.height == 0 || thumb.pixels == nullptr || thumb.stride < thumb.width ||
        thumb.width > thumbnail_max_side || thumb.height > thumbnail_max_side) {
        errno = EINVAL;
        return -1;
    }
    if (encoding == thumbnail_encoding::chosen) {
        if (!flat(thumb)) return encode_webp(thumb, false, out);
        if (encode_webp(thumb, true, out) != 0) return -1;
        if (out.size() <= thumbnail_lossless_most) return 0;
        return encode_webp(thumb, false, out);
    }
    return encode_webp(thumb, encoding == thumbnail_encoding::lossless, out);
}
