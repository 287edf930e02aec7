// Thumbnails, for the gallery page: made as an image's rows come, and encoded
// as a small WebP or PNG file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "images/images.hpp"


// The largest side a thumbnail may be asked for (the page's --size).
inline constexpr unsigned thumbnail_max_side = 1024;

// The size of the thumbnail of a width x height image: the image's own size
// when neither side exceeds max_side (the page enlarges it), otherwise the
// longest side max_side and the other in proportion, rounded to the nearest,
// at least 1. max_side is at least 1.
void thumbnail_dimensions(std::uint32_t width, std::uint32_t height, unsigned max_side, std::uint32_t& out_width,
                          std::uint32_t& out_height);

// A thumbnail made as the image's rows come, top first, so that a decoder
// can hand each row over while it is in the cache and no whole image need
// be held: the thumbnail, one row of sums (16 bytes a source column) and the
// thumbnail columns' spans. Each thumbnail pixel is the average of the area of
// the image it covers, weighted by alpha (on premultiplied colours, so that
// transparent pixels lend no colour): alpha rounded to the nearest, colours
// to the nearest of the alpha-weighted mean, in exact integer arithmetic.
struct thumbnail_builder {
    // The source columns one thumbnail column covers: first to last, the two
    // with their weights (w_last 0 when first == last), those between whole.
    struct column_span {
        std::uint32_t first, last, w_first, w_last;
    };
    std::uint32_t source_width = 0, source_height = 0;
    std::uint32_t next_row = 0;       // the source row to come
    std::uint32_t next_out_row = 0;   // the thumbnail row being summed
    image32 image;                    // the thumbnail, at thumbnail_dimensions
    std::unique_ptr<column_span[]> spans;  // none when rows are copied as they are
    // Per source column: alpha, and red, green and blue times alpha, all times
    // the rows' weights. The weights of a thumbnail row add up to H, so a sum
    // is at most 255 * 255 * 65535, below 2^32.
    std::unique_ptr<std::uint32_t[]> sum_a, sum_r, sum_g, sum_b;
};

// Prepares a thumbnail of a width x height image. 0, or -1 for an empty
// image, one with a side above 65535 or more than max_image_pixels pixels,
// max_side 0, or no memory.
int thumbnail_begin(thumbnail_builder& t, std::uint32_t width, std::uint32_t height, unsigned max_side);
// The next row of the image, `width` pixels 0xAARRGGBB; rows past the
// last are ignored.
void thumbnail_add_row(thumbnail_builder& t, const std::uint32_t* row);
// The thumbnail, once every row has come. 0, or -1 (nothing in `out`).
int thumbnail_finish(thumbnail_builder& t, image32& out);

// The thumbnail of a whole image, through a thumbnail_builder. 0, or -1 as
// thumbnail_begin, or for no pixels or a stride shorter than a row.
int make_thumbnail(image_view src, unsigned max_side, image32& out);

// True when any pixel's alpha is below 255.
bool image_has_transparency(image_view image);

// The thumbnail of a width x height image of ARGB4444 pixels (little-endian,
// as a type-4 entry inflates to: `pixels` holds width * height * 2 bytes),
// the same pixels as make_thumbnail of the widened image, without the image;
// and whether any of them is transparent. 0, or -1 as make_thumbnail.
int thumbnail_from_argb4444(std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
                            unsigned max_side, image32& out, bool& transparent);

// How a thumbnail is encoded.
enum class thumbnail_encoding {
    lossless,  // WebP, every pixel exact
    lossy,     // WebP, colours approximated, alpha exact: several times smaller on real textures
    levels,    // PNG of every channel rounded to 16 levels (17 * k)
    chosen,    // lossless when most pixels repeat their left neighbour and the file stays small; else
               // lossy when every pixel is opaque, and levels when some aren't
};

inline constexpr const char* thumbnail_webp = "image/webp";
inline constexpr const char* thumbnail_png = "image/png";

// The thumbnail (at most thumbnail_max_side a side) as a complete file, its
// type in *mime when given. 0, or -1 with errno.
int encode_thumbnail(image_view thumb, thumbnail_encoding encoding, std::vector<std::uint8_t>& out,
                     const char** mime = nullptr);
