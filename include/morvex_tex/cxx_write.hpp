// morvex_tex for C++20: image files and archives written (write_image,
// create, replace). Included by <morvex_tex/morvex_tex.hpp>.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "morvex_tex/cxx_values.hpp"

namespace morvex_tex {

inline void write_image(std::string_view path, const morvex_tex_pixels& pixels,
                        std::uint32_t format = MORVEX_TEX_FORMAT_AS_NAMED, bool keep = false)
{
    detail::call c;
    c.check(morvex_tex_write_image(path.data(), path.size(), format, &pixels, keep ? MORVEX_TEX_WRITE_KEEP : 0, &c.e));
}

// An image for create or replace: a file, or pixels in memory (which must
// outlive the call), stored or matched under `name` ("" : from the path);
// `flags` are MORVEX_TEX_SOURCE_* (RGB pixels, a name matched as a path).
struct image_source {
    std::string name, path;
    morvex_tex_pixels pixels{};
    std::uint32_t flags = 0;
    static image_source file(std::string path, std::string name = "") { return {std::move(name), std::move(path), {}, 0}; }
    static image_source memory(std::string name, const morvex_tex_pixels& pixels, std::uint32_t flags = 0)
    {
        return {std::move(name), "", pixels, flags};
    }
};

namespace detail {

template <typename Run>
morvex_tex_pack_result pack(const std::vector<image_source>& images, const morvex_tex_pack_options& options,
                            const std::function<void(const morvex_tex_pack_entry&)>& each, Run&& run)
{
    std::vector<morvex_tex_image_source> sources(images.size());
    std::vector<const morvex_tex_image_source*> pointers;
    for (std::size_t n = 0; n < images.size(); ++n) {
        morvex_tex_image_source& s = sources[n];
        s = MORVEX_TEX_IMAGE_SOURCE_INIT;
        if (!images[n].name.empty()) s.name = text(images[n].name);
        if (!images[n].path.empty()) s.path = text(images[n].path);
        s.pixels = images[n].pixels;
        s.flags = images[n].flags;
        pointers.push_back(&s);
    }
    morvex_tex_pack_options o = options;
    morvex_tex_pack_result r = MORVEX_TEX_PACK_RESULT_INIT;
    struct context {
        const std::function<void(const morvex_tex_pack_entry&)>* f;
        call* c;
    };
    call c;
    context ctx{&each, &c};
    const morvex_tex_pack_fn trampoline = [](void* p, const morvex_tex_pack_entry* e) {
        auto* x = static_cast<context*>(p);
        x->c->guard([&] { (*x->f)(*e); });
    };
    c.check(run(pointers.data(), pointers.size(), &o, &r, each ? trampoline : nullptr, &ctx, &c.e));
    return r;
}

}  // namespace detail

// What create and replace are asked beyond their images: MORVEX_TEX_PACK_OPTIONS_INIT
// with `type`, `flags`, `level` and `jobs` as wanted.
inline morvex_tex_pack_options pack_options(std::uint32_t type = 6, bool force = false, std::uint32_t level = 0,
                                            std::uint32_t jobs = 0)
{
    morvex_tex_pack_options o = MORVEX_TEX_PACK_OPTIONS_INIT;
    o.type = type;
    o.flags = force ? MORVEX_TEX_PACK_FORCE : 0;
    o.level = level;
    o.jobs = jobs;
    return o;
}

inline morvex_tex_pack_result create(std::string_view out, const std::vector<image_source>& images,
                                     const morvex_tex_pack_options& options,
                                     const std::function<void(const morvex_tex_pack_entry&)>& each = {})
{
    return detail::pack(images, options, each, [&](auto... args) { return morvex_tex_create(out.data(), out.size(), args...); });
}

inline morvex_tex_pack_result create(std::string_view out, const std::vector<image_source>& images, std::uint32_t type = 6,
                                     bool force = false, const std::function<void(const morvex_tex_pack_entry&)>& each = {})
{
    return create(out, images, pack_options(type, force), each);
}

inline morvex_tex_pack_result replace(std::string_view in, std::string_view out, const std::vector<image_source>& images,
                                      const morvex_tex_pack_options& options,
                                      const std::function<void(const morvex_tex_pack_entry&)>& each = {})
{
    return detail::pack(images, options, each, [&](auto... args) {
        return morvex_tex_replace(in.data(), in.size(), out.data(), out.size(), args...);
    });
}

inline morvex_tex_pack_result replace(std::string_view in, std::string_view out, const std::vector<image_source>& images,
                                      bool force = false, const std::function<void(const morvex_tex_pack_entry&)>& each = {})
{
    return replace(in, out, images, pack_options(0, force), each);
}

}  // namespace morvex_tex
