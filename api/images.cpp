// Image files from RGBA8 pixels, through the images module's writers: into a
// descriptor, or under a path by the output layer's rules (an unnamed file
// beside the name, put in place when complete).
#include "files/input.hpp"
#include "api/internal.hpp"

#include <cerrno>
#include <memory>

#include "words/words.hpp"

namespace {

// The caller's pixels as the writers take them: 0xAARRGGBB, rows top first.
std::unique_ptr<std::uint32_t[]> argb_pixels(const morvex_tex_pixels& image)
{
    auto out = std::make_unique<std::uint32_t[]>(std::size_t{image.width} * image.height);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.rgba + std::size_t{y} * image.stride;
        std::uint32_t* to = out.get() + std::size_t{y} * image.width;
        for (std::uint32_t x = 0; x < image.width; ++x) to[x] = api::argb_of(row + 4 * std::size_t{x});
    }
    return out;
}

// Why a path was refused, in the programs' words.
std::string refusal_text(const std::string& path, path_refusal why)
{
    switch (why) {
    case path_refusal::none: break;
    case path_refusal::other_kind:
        return path + ": exists and is not an image file: not replaced (MORVEX_TEX_WRITE_FORCE replaces it)";
    case path_refusal::folder: return path + ": is a folder";
    case path_refusal::terminal: return path + ": standard output is a terminal: no image is written there";
    case path_refusal::image_name:
    case path_refusal::input: break;
    }
    return path + ": refused";
}

int write_to(int fd, image_format format, const morvex_tex_pixels& image)
{
    const auto pixels = argb_pixels(image);
    return write_image(fd, format, image_view{image.width, image.height, image.width, pixels.get()});
}

}  // namespace

extern "C" {

MORVEX_TEX_API int morvex_tex_write_image(const char* path, size_t path_size, uint32_t format,
                                          const morvex_tex_pixels* image, uint32_t flags, morvex_tex_error* error)
{
    std::string p;
    image_format chosen = image_format::none;
    if (!api::text_of(path, path_size, p) || p.empty()) return api::fail_argument(error, "a path is bytes without NUL");
    if (!api::format_of(format, chosen)) return api::fail_argument(error, format_text("no format %u", format));
    if (api::check_pixels(image, error) != 0) return -1;
    constexpr std::uint32_t known = MORVEX_TEX_WRITE_KEEP | MORVEX_TEX_WRITE_FORCE;
    if ((flags & ~known) != 0) return api::fail_argument(error, format_text("flags %#x are not known", flags & ~known));
    return api::guarded(error, [&] {
        std::string folder, name;
        split_user_path(p, folder, name);
        if (chosen == image_format::none) chosen = image_format_for(name, image_use::write);
        if (chosen == image_format::none) {
            return api::fail(error, MORVEX_TEX_ERROR_NAME, 0,
                             p + ": no image format for its name (it must end in " +
                                 image_format_list(image_use::write, ".") + ")");
        }
        // The programs' one policy for a path the user names: a link is
        // replaced, not followed; a device or FIFO written through; a file
        // that is no image (by its name) kept unless forced.
        output_policy policy;
        policy.kind = output_kind::image;
        policy.force = (flags & MORVEX_TEX_WRITE_FORCE) != 0;
        path_output out;
        path_refusal why = path_refusal::none;
        if (output_begin_path(p, policy, out, why) != 0) {
            if (why == path_refusal::none) return api::fail_errno(error, errno, p);
            return api::fail(error, MORVEX_TEX_ERROR_REFUSED, 0, refusal_text(p, why));
        }
        if (write_to(out.file.fd, chosen, *image) != 0) return api::fail_errno(error, errno, p);
        if (output_commit_path(out, (flags & MORVEX_TEX_WRITE_KEEP) == 0) != 0) return api::fail_errno(error, errno, p);
        return api::succeed(error);
    });
}

MORVEX_TEX_API void morvex_tex_interrupted(void)
{
    output_interrupted();
}

MORVEX_TEX_API int morvex_tex_write_image_fd(int fd, uint32_t format, const morvex_tex_pixels* image,
                                             morvex_tex_error* error)
{
    image_format chosen = image_format::none;
    if (!api::format_of(format, chosen) || chosen == image_format::none) {
        return api::fail_argument(error, "writing to a descriptor takes a format");
    }
    if (api::check_pixels(image, error) != 0) return -1;
    return api::guarded(error, [&] {
        if (write_to(fd, chosen, *image) != 0) return api::fail_errno(error, errno, "");
        return api::succeed(error);
    });
}

}  // extern "C"
