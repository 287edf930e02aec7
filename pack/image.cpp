// Reading image files within bounds and handing their bytes to the decoder of
// their format.
#include "pack/pack.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "extract/extract.hpp"
#include "pack/platform.hpp"

namespace {

bool starts_with(std::span<const std::uint8_t> file, std::string_view magic)
{
    if (file.size() < magic.size()) return false;
    for (std::size_t k = 0; k < magic.size(); ++k) {
        if (file[k] != static_cast<std::uint8_t>(magic[k])) return false;
    }
    return true;
}

// Manufacturer byte, a known version, run-length encoding: no TGA header
// starts so, since a TGA whose ID field is 10 bytes and whose colour map type
// is 0 cannot be of image type 1 (which needs a colour map).
bool looks_like_pcx(std::span<const std::uint8_t> file)
{
    if (file.size() < 3 || file[0] != 0x0A || file[2] != 1) return false;
    return file[1] == 0 || (file[1] >= 2 && file[1] <= 5);
}

}  // namespace

bool pack_sniff_format(std::span<const std::uint8_t> file, const std::string& name, pack_format& out)
{
    if (starts_with(file, "\x89PNG\r\n\x1a\n")) {
        out = pack_format::png;
    } else if (starts_with(file, "BM")) {
        out = pack_format::bmp;
    } else if (looks_like_pcx(file)) {
        out = pack_format::pcx;
    } else if (image_format_for(name) == image_format::tga) {
        out = pack_format::tga;
    } else {
        return false;
    }
    return true;
}

int pack_decode_image(std::span<const std::uint8_t> file, const std::string& name, pack_image& out,
                      std::string& reason)
{
    pack_format format{};
    if (!pack_sniff_format(file, name, format)) {
        switch (image_format_for(name)) {
        case image_format::png: reason = "not a PNG image (no PNG signature)"; break;
        case image_format::bmp: reason = "not a BMP image (no BM signature)"; break;
        case image_format::pcx: reason = "not a PCX image (no PCX header)"; break;
        default: reason = "unknown image format (the name must end in .png, .tga, .bmp or .pcx)"; break;
        }
        return -1;
    }
    switch (format) {
    case pack_format::png: return pack_decode_png(file, out, reason);
    case pack_format::tga: return pack_decode_tga(file, out, reason);
    case pack_format::bmp: return pack_decode_bmp(file, out, reason);
    case pack_format::pcx: return pack_decode_pcx(file, out, reason);
    }
    return -1;
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
    out.argb.assign(width * height, 0xFF000000u);
    out.has_alpha = false;
    return 0;
}

namespace {

// Opens a regular file of at most pack_max_file_size bytes.
int open_image_file(const std::string& path, pack_file& f, std::uint64_t& size, std::string& reason)
{
    pack_file_kind kind{};
    if (pack_open_file(path, f, kind, size) != 0) {
        reason = std::strerror(errno);
        return -1;
    }
    if (kind != pack_file_kind::regular) {
        reason = kind == pack_file_kind::folder ? "a folder, not an image file" : "not a regular file (a device, FIFO or socket)";
        return -1;
    }
    if (size > pack_max_file_size) {
        reason = std::to_string(size) + " bytes; an image file holds at most 1 GiB";
        return -1;
    }
    return 0;
}

}  // namespace

int pack_check_image_file(const std::string& path, std::string& reason)
{
    pack_file f;
    std::uint64_t size = 0;
    return open_image_file(path, f, size, reason);
}

int pack_read_image_file(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason)
{
    pack_file f;
    std::uint64_t size = 0;
    if (open_image_file(path, f, size, reason) != 0) return -1;
    out.assign(size, 0);
    std::size_t got = 0;
    while (got < out.size()) {
        const long long n = pack_read(f, std::span(out).subspan(got));
        if (n < 0) {
            reason = std::strerror(errno);
            return -1;
        }
        if (n == 0) {
            reason = "the file got shorter while it was read";
            return -1;
        }
        got += static_cast<std::size_t>(n);
    }
    return 0;
}
