// The table of image formats, and every question asked of it: which format a
// name selects, which writer writes it, which decoder reads a file.
#include "images/images.hpp"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>

namespace {

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with(std::span<const std::uint8_t> file, std::string_view magic)
{
    if (file.size() < magic.size()) return false;
    for (std::size_t k = 0; k < magic.size(); ++k) {
        if (file[k] != static_cast<std::uint8_t>(magic[k])) return false;
    }
    return true;
}

bool looks_like_png(std::span<const std::uint8_t> file)
{
    return starts_with(file, "\x89PNG\r\n\x1a\n");
}

bool looks_like_bmp(std::span<const std::uint8_t> file)
{
    return starts_with(file, "BM");
}

// Manufacturer byte, a known version, run-length encoding: no TGA header
// starts so, since a TGA whose ID field is 10 bytes and whose colour map type
// is 0 cannot be of image type 1 (which needs a colour map).
bool looks_like_pcx(std::span<const std::uint8_t> file)
{
    if (file.size() < 3 || file[0] != 0x0A || file[2] != 1) return false;
    return file[1] == 0 || (file[1] >= 2 && file[1] <= 5);
}

// Start of image, then the first marker's byte.
bool looks_like_jpeg(std::span<const std::uint8_t> file)
{
    return starts_with(file, "\xFF\xD8\xFF");
}

bool looks_like_webp(std::span<const std::uint8_t> file)
{
    return starts_with(file, "RIFF") && file.size() >= 12 && starts_with(file.subspan(8), "WEBP");
}

const image_format_row rows[] = {
    {image_format::tga, "tga", nullptr, "TGA", nullptr, nullptr, pack_decode_tga, write_tga, true},
    {image_format::png, "png", nullptr, "PNG", "no PNG signature", looks_like_png, pack_decode_png, write_png, true},
    {image_format::bmp, "bmp", nullptr, "BMP", "no BM signature", looks_like_bmp, pack_decode_bmp, write_bmp, true},
    {image_format::pcx, "pcx", nullptr, "PCX", "no PCX header", looks_like_pcx, pack_decode_pcx, write_pcx, true},
    {image_format::jpeg, "jpg", "jpeg", "JPEG", "no JPEG signature", looks_like_jpeg, pack_decode_jpeg, nullptr, false},
    {image_format::webp, "webp", nullptr, "WebP", "no RIFF WEBP signature", looks_like_webp, pack_decode_webp, write_webp,
     false},
};

bool same_name(std::string_view name, const char* mine)
{
    if (!mine || name.size() != std::strlen(mine)) return false;
    for (std::size_t k = 0; k < name.size(); ++k) {
        if (ascii_lower(name[k]) != mine[k]) return false;
    }
    return true;
}

}  // namespace

std::span<const image_format_row> image_formats()
{
    return rows;
}

const image_format_row* image_format_row_of(image_format format)
{
    for (const image_format_row& r : rows) {
        if (r.format == format) return &r;
    }
    return nullptr;
}

const image_format_row* image_format_named(std::string_view name)
{
    for (const image_format_row& r : rows) {
        if (same_name(name, r.name) || same_name(name, r.other_name)) return &r;
    }
    return nullptr;
}

bool image_format_serves(const image_format_row& row, image_use use)
{
    switch (use) {
    case image_use::read: return row.decode != nullptr;
    case image_use::write: return row.encode != nullptr;
    case image_use::store: return row.stored;
    }
    return false;
}

std::string image_format_list(image_use use, const char* prefix)
{
    std::vector<const char*> names;
    for (const image_format_row& r : rows) {
        if (!image_format_serves(r, use)) continue;
        names.push_back(r.name);
        if (r.other_name) names.push_back(r.other_name);
    }
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) {
        out += k == 0 ? "" : k + 1 == names.size() ? " or " : ", ";
        out += prefix;
        out += names[k];
    }
    return out;
}

std::string image_format_list(const char* prefix)
{
    return image_format_list(image_use::store, prefix);
}

image_format image_format_for(const std::string& name, image_use use)
{
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return image_format::none;
    const image_format_row* row = image_format_named(std::string_view(name).substr(dot + 1));
    return row && image_format_serves(*row, use) ? row->format : image_format::none;
}

image_format image_format_for(const std::string& name)
{
    return image_format_for(name, image_use::store);
}

bool make_image32(std::uint32_t width, std::uint32_t height, image32& out)
{
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (width == 0 || height == 0 || pixels > max_image_pixels) return false;
    out.pixels.reset(new (std::nothrow) std::uint32_t[static_cast<std::size_t>(pixels)]);  // at most max_image_pixels
    if (!out.pixels) return false;
    out.width = width;
    out.height = height;
    return true;
}

int write_image(int fd, image_format format, image_view image)
{
    const image_format_row* row = image_format_row_of(format);
    if (!row || !row->encode) {
        errno = EINVAL;
        return -1;
    }
    return row->encode(fd, image);
}

// ---------------------------------------------------------------------------
// Which decoder reads a file.

bool pack_sniff_format(std::span<const std::uint8_t> file, const std::string& name, image_format& out)
{
    for (const image_format_row& r : rows) {
        if (r.sniff && r.sniff(file)) {
            out = r.format;
            return true;
        }
    }
    // A format without a signature is taken at its name's word.
    const image_format_row* named = image_format_row_of(image_format_for(name, image_use::read));
    if (named && !named->sniff) {
        out = named->format;
        return true;
    }
    return false;
}

int pack_decode_image(std::span<const std::uint8_t> file, const std::string& name, pack_image& out,
                      std::string& reason)
{
    image_format format{};
    if (!pack_sniff_format(file, name, format)) {
        const image_format_row* named = image_format_row_of(image_format_for(name, image_use::read));
        reason = named ? std::string("not a ") + named->title + " image (" + named->signature + ")"
                       : "unknown image format (the name must end in " + image_format_list(image_use::read, ".") + ")";
        return -1;
    }
    return image_format_row_of(format)->decode(file, out, reason);
}

int pack_check_size(std::uint64_t width, std::uint64_t height, std::string& reason)
{
    if (width < 1 || height < 1 || width > pack_max_side || height > pack_max_side ||
        width * height > pack_max_pixels) {
        reason = std::to_string(width) + " x " + std::to_string(height) +
                 " pixels; an entry holds 1 to 65535 pixels a side and at most 16384 x 16384 in all";
        return -1;
    }
    return 0;
}

int pack_start_image(std::uint64_t width, std::uint64_t height, pack_image& out, std::string& reason)
{
    if (pack_check_size(width, height, reason) != 0) return -1;
    out.width = static_cast<std::uint16_t>(width);
    out.height = static_cast<std::uint16_t>(height);
    out.argb.assign(static_cast<std::size_t>(width * height), 0xFF000000u);  // checked by pack_check_size
    out.has_alpha = false;
    return 0;
}

