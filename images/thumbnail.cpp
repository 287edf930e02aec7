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
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "images/chunk_output.hpp"
#include "images/thumbnail.hpp"
#include "images/webp_picture.hpp"
#include "images/png_writer.hpp"

namespace {

// The encoders' settings, chosen by measurement on the benchmark's textures
// at 128 x 128 (see the note of the change that chose them): lossy at
// quality 75 with the fastest method, and lossless at the fastest level.
constexpr float thumbnail_lossy_quality = 75;
constexpr int thumbnail_lossy_method = 0;
constexpr int thumbnail_lossless_level = 0;
// A flat thumbnail is kept lossless up to this size; past it, lossy is far smaller.
constexpr std::size_t thumbnail_lossless_most = 12 * 1024;

// PNG thumbnails: libdeflate's level 1 and the "sub" filter. Measured on
// 128 x 128 thumbnails of the benchmark's textures under alpha that is random
// at every pixel: level 6 took 1.9 ms a thumbnail for 15.4 KB, level 1 0.33 ms
// for 18.2 KB (lossless WebP 0.9 ms for 37 KB, lossy WebP with exact alpha 1.8
// ms for 11.6 KB); on the smooth textures 0.79 ms for 5.2 KB against 0.28 ms
// for 7.3 KB. The pixels are the same; only the deflate search is shorter.
constexpr png_settings png_thumbnail_settings{1, 1, png_row_filter::sub, false};

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

// libwebp's memory writer, freed however the encoding ends (its picture: images/webp_picture.hpp).
struct webp_memory {
    WebPMemoryWriter writer;
    webp_memory() { WebPMemoryWriterInit(&writer); }
    ~webp_memory() { WebPMemoryWriterClear(&writer); }
    webp_memory(const webp_memory&) = delete;
    webp_memory& operator=(const webp_memory&) = delete;
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

// Every channel rounded to its nearest of 16 levels (17 * k), the PNG of that:
// what type-4 textures hold anyway, and runs a fast deflate finds.
int encode_levels_png(const image_view& thumb, std::vector<std::uint8_t>& out)
{
    image32 levels;
    if (!make_image32(thumb.width, thumb.height, levels)) {
        errno = ENOMEM;
        return -1;
    }
    for (std::uint32_t y = 0; y < thumb.height; ++y) {
        const std::uint32_t* row = image_view_row(thumb, y);
        std::uint32_t* to = levels.row(y).data();
        for (std::uint32_t x = 0; x < thumb.width; ++x) {
            std::uint32_t p = 0;
            for (unsigned shift = 0; shift < 32; shift += 8) p |= ((row[x] >> shift & 0xFFu) + 8) / 17 * 17 << shift;
            to[x] = p;
        }
    }
    return encode_png(view_of(levels), png_thumbnail_settings, out);
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

int encode_thumbnail(image_view thumb, thumbnail_encoding encoding, std::vector<std::uint8_t>& out, const char** mime)
{
    out.clear();
    if (thumb.width == 0 || thumb.height == 0 || thumb.pixels == nullptr || thumb.stride < thumb.width ||
        thumb.width > thumbnail_max_side || thumb.height > thumbnail_max_side) {
        errno = EINVAL;
        return -1;
    }
    if (mime) *mime = thumbnail_webp;
    if (encoding == thumbnail_encoding::chosen) {
        if (flat(thumb)) {
            if (encode_webp(thumb, true, out) != 0) return -1;
            if (out.size() <= thumbnail_lossless_most) return 0;
        } else if (image_has_transparency(thumb)) {
            // libwebp spends four fifths of its time on an alpha plane that
            // varies: 16 levels a channel in a PNG cost a fifth of that.
            encoding = thumbnail_encoding::levels;
        }
        if (encoding == thumbnail_encoding::chosen) return encode_webp(thumb, false, out);
    }
    if (encoding == thumbnail_encoding::levels) {
        if (mime) *mime = thumbnail_png;
        return encode_levels_png(thumb, out);
    }
    return encode_webp(thumb, encoding == thumbnail_encoding::lossless, out);
}

namespace {

// The largest block taken from the 16-bit pixels directly: k rows of 15 * 15
// fit 16 bits down a column up to k = 291, but the quotients below are exact
// only while numerators stay below 2^24 and divisors below 2^16, which a
// block's colour sums (up to 34 * 225 * k * k + 15 * k * k) do up to k = 46.
// A larger block (a texture at least 47 times its thumbnail) takes the
// general builder.
constexpr std::uint32_t largest_nibble_block = 46;

// Rounded quotients of a block's sums by multiplying with a reciprocal:
// numerators stay below 2^24 and divisors below 2^16, so with the reciprocal
// ceil(2^40 / d) the product's top bits are exactly floor(n / d) (the error,
// below 2^-16, never reaches the next multiple of 1 / d).
constexpr unsigned reciprocal_shift = 40;

std::uint64_t reciprocal(std::uint64_t d)
{
    return ((std::uint64_t{1} << reciprocal_shift) + d - 1) / d;
}

std::uint32_t rounded_by(std::uint64_t n, std::uint64_t twice_d, std::uint64_t twice_d_reciprocal)
{
    // (2n + d) / 2d, half up, as the 32-bit builder rounds.
    return static_cast<std::uint32_t>(((2 * n + twice_d / 2) * twice_d_reciprocal) >> reciprocal_shift);
}

// The reciprocal of 2 * s for every alpha sum s a block of nibbles can have,
// made once.
const std::uint64_t* alpha_sum_reciprocals()
{
    constexpr std::uint32_t most = 15 * largest_nibble_block * largest_nibble_block;
    static const auto table = [] {
        std::unique_ptr<std::uint64_t[]> t(new std::uint64_t[most + 1]);
        t[0] = 0;
        for (std::uint32_t s = 1; s <= most; ++s) t[s] = reciprocal(2 * std::uint64_t{s});
        return t;
    }();
    return table.get();
}

// One thumbnail pixel from the sums of a block's nibbles (a block of `count`
// pixels): the widened channels are 17 times the nibbles, so its mean alpha
// is 17 * sum_a / count and its alpha-weighted colours 17 * sum_ca / sum_a,
// each rounded half up as the 32-bit builder rounds them.
std::uint32_t block_pixel(std::uint32_t sum_a, std::uint32_t sum_ra, std::uint32_t sum_ga, std::uint32_t sum_ba,
                          std::uint64_t count, std::uint64_t count_reciprocal, const std::uint64_t* reciprocals)
{
    if (sum_a == 0) return 0;
    const std::uint64_t twice = 2 * std::uint64_t{sum_a};
    const std::uint64_t r = reciprocals[sum_a];
    return rounded_by(17 * std::uint64_t{sum_a}, 2 * count, count_reciprocal) << 24 |
           rounded_by(17 * std::uint64_t{sum_ra}, twice, r) << 16 | rounded_by(17 * std::uint64_t{sum_ga}, twice, r) << 8 |
           rounded_by(17 * std::uint64_t{sum_ba}, twice, r);
}

// The column sums of `rows` rows of ARGB4444 pixels (each `width` pixels,
// `stride` bytes apart): alpha, and each colour times alpha, as nibbles.
// Returns the AND of the pixels. Eight columns at a time in SSE2's 16-bit
// lanes where the processor has them, the rows summed in registers: the
// compiler doesn't find that form by itself, and it is a large part of a
// page's work.
std::uint16_t sum_nibble_rows(const std::uint8_t* first, std::size_t stride, std::uint32_t rows, std::uint32_t width,
                              std::uint16_t* __restrict a, std::uint16_t* __restrict ra, std::uint16_t* __restrict ga,
                              std::uint16_t* __restrict ba)
{
    std::uint32_t x = 0;
    std::uint16_t all = 0xFFFF;
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        const __m128i nibble = _mm_set1_epi16(15);
        __m128i and_all = _mm_set1_epi16(-1);
        for (; x + 8 <= width; x += 8) {
            __m128i sa = _mm_setzero_si128(), sr = sa, sg = sa, sb = sa;
            for (std::uint32_t y = 0; y < rows; ++y) {
                const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + y * stride + 2 * x));
                and_all = _mm_and_si128(and_all, p);
                const __m128i al = _mm_srli_epi16(p, 12);
                sa = _mm_add_epi16(sa, al);
                sr = _mm_add_epi16(sr, _mm_mullo_epi16(_mm_and_si128(_mm_srli_epi16(p, 8), nibble), al));
                sg = _mm_add_epi16(sg, _mm_mullo_epi16(_mm_and_si128(_mm_srli_epi16(p, 4), nibble), al));
                sb = _mm_add_epi16(sb, _mm_mullo_epi16(_mm_and_si128(p, nibble), al));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(a + x), sa);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(ra + x), sr);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(ga + x), sg);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(ba + x), sb);
        }
        alignas(16) std::uint16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), and_all);
        for (const std::uint16_t lane : lanes) all &= lane;
    }
#endif
    for (; x < width; ++x) {
        std::uint16_t sa = 0, sr = 0, sg = 0, sb = 0;
        for (std::uint32_t y = 0; y < rows; ++y) {
            const std::uint8_t* at = first + y * stride + 2 * x;
            const auto p = static_cast<std::uint16_t>(at[0] | at[1] << 8);
            const auto al = static_cast<std::uint16_t>(p >> 12);
            all &= p;
            sa = static_cast<std::uint16_t>(sa + al);
            sr = static_cast<std::uint16_t>(sr + (p >> 8 & 15) * al);
            sg = static_cast<std::uint16_t>(sg + (p >> 4 & 15) * al);
            sb = static_cast<std::uint16_t>(sb + (p & 15) * al);
        }
        a[x] = sa;
        ra[x] = sr;
        ga[x] = sg;
        ba[x] = sb;
    }
    return all;
}

// Whole blocks of k x k pixels: each thumbnail row sums its k source rows
// column by column in 16 bits, then k columns at a time.
void nibble_blocks(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t k, image32& out,
                   std::uint16_t& alpha_and)
{
    std::vector<std::uint16_t> a(width), ra(width), ga(width), ba(width);
    std::uint16_t all = 0xFFFF;
    const std::size_t stride = std::size_t{width} * 2;
    const std::uint64_t count = std::uint64_t{k} * k;
    const std::uint64_t count_reciprocal = reciprocal(2 * count);
    const std::uint64_t* reciprocals = alpha_sum_reciprocals();
    for (std::uint32_t ty = 0; ty < out.height; ++ty) {
        all &= sum_nibble_rows(pixels.data() + std::size_t{ty} * k * stride, stride, k, width, a.data(), ra.data(),
                               ga.data(), ba.data());
        std::uint32_t* to = out.row(ty).data();
        for (std::uint32_t tx = 0; tx < out.width; ++tx) {
            std::uint32_t sa = 0, sr = 0, sg = 0, sb = 0;
            for (std::uint32_t x = tx * k; x < (tx + 1) * k; ++x) {
                sa += a[x];
                sr += ra[x];
                sg += ga[x];
                sb += ba[x];
            }
            to[tx] = block_pixel(sa, sr, sg, sb, count, count_reciprocal, reciprocals);
        }
    }
    alpha_and = all;
}

}  // namespace

int thumbnail_from_argb4444(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
                            unsigned max_side, image32& out, bool& transparent)
{
    transparent = false;
    if (!valid_size(width, height) || max_side == 0 || pixels.size() < std::uint64_t{width} * height * 2) return -1;
    std::uint32_t tw = 0, th = 0;
    thumbnail_dimensions(width, height, max_side, tw, th);
    const std::uint32_t k = width / tw;
    if (k >= 2 && k <= largest_nibble_block && width == k * tw && height == k * th) {
        if (!make_image32(tw, th, out)) return -1;
        std::uint16_t alpha_and = 0xFFFF;
        nibble_blocks(pixels, width, k, out, alpha_and);
        transparent = (alpha_and >> 12) != 15;
        return 0;
    }
    // Any other size: the rows widened one at a time for the builder.
    thumbnail_builder t;
    if (thumbnail_begin(t, width, height, max_side) != 0) return -1;
    std::unique_ptr<std::uint32_t[]> row(new (std::nothrow) std::uint32_t[width]);
    if (!row) return -1;
    std::uint32_t alpha_and = 0xFFFFFFFFu;
    for (std::uint32_t y = 0; y < height; ++y) {
        widen_argb4444(pixels.subspan(std::size_t{y} * width * 2, std::size_t{width} * 2), std::span(row.get(), width));
        for (std::uint32_t x = 0; x < width; ++x) alpha_and &= row[x];
        thumbnail_add_row(t, row.get());
    }
    transparent = (alpha_and >> 24) != 0xFF;
    return thumbnail_finish(t, out);
}
