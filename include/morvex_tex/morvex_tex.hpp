// morvex_tex for C++20: the C API of <morvex_tex/morvex_tex.h> with RAII
// handles, std::string, std::vector and std::span, and errors thrown as
// morvex_tex::error. Header only and inline: no standard-library type
// crosses the library's boundary, so any C++ standard library may use it.
// What may run on several threads at once is as for the C API (an archive's
// const members, on one archive, from any number of threads).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "morvex_tex/morvex_tex.h"

namespace morvex_tex {

// A failed call: the C error's kind (morvex_tex_error_kind), errno and words.
class error : public std::runtime_error {
public:
    explicit error(const morvex_tex_error& e)
        : std::runtime_error(e.message), kind_(e.kind), errno_(e.error), needed_(e.needed), finding_(e.finding) {}
    std::uint32_t kind() const noexcept { return kind_; }
    const char* kind_name() const noexcept { return morvex_tex_error_name(kind_); }
    int system_error() const noexcept { return errno_; }
    std::uint64_t needed() const noexcept { return needed_; }
    const morvex_tex_finding& finding() const noexcept { return finding_; }

private:
    std::uint32_t kind_;
    int errno_;
    std::uint64_t needed_;
    morvex_tex_finding finding_;
};

namespace detail {

// One C call's error, thrown when it failed; and the first exception a
// callback threw, held while the C call runs and thrown once it is back.
struct call {
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    std::exception_ptr thrown;
    void check(int rc)
    {
        if (thrown) std::rethrow_exception(thrown);
        if (rc != 0) throw error(e);
    }
    template <typename F>
    void guard(F&& f) noexcept
    {
        if (thrown) return;
        try {
            f();
        } catch (...) {
            thrown = std::current_exception();
        }
    }
};

inline morvex_tex_string text(std::string_view s)
{
    return {s.data(), s.size()};
}

}  // namespace detail

// A finding, with its stable name and the programs' words for it.
struct finding : morvex_tex_finding {
    finding(const morvex_tex_finding& f = {}) : morvex_tex_finding(f) {}
    std::string_view name() const
    {
        const char* n = morvex_tex_finding_name(kind);
        return n ? n : "";
    }
    std::string text() const
    {
        std::string out(morvex_tex_finding_text(this, nullptr, 0), '\0');
        morvex_tex_finding_text(this, out.data(), out.size() + 1);
        return out;
    }
    bool warning() const { return morvex_tex_finding_is_warning(this) != 0; }
};

inline std::vector<finding> findings_of(const morvex_tex_finding* f, std::size_t count)
{
    return std::vector<finding>(f, f + count);
}

struct entry {
    morvex_tex_entry info = MORVEX_TEX_ENTRY_INIT;
    std::vector<finding> findings;
    bool readable() const { return info.state == MORVEX_TEX_ENTRY_OK; }
    std::string_view name() const { return {info.name, info.name_size}; }
};

// Decoded pixels: RGBA8, rows top first, width * 4 bytes a row.
struct image {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> rgba;
    std::vector<finding> warnings;
    morvex_tex_pixels pixels() const { return {width, height, std::size_t{width} * 4, rgba.data()}; }
};

struct extract_options {
    std::string folder = ".";
    std::vector<std::string> include, exclude;
    bool ignore_case = false, raw = false, keep = false;
    std::uint32_t format = MORVEX_TEX_FORMAT_AS_NAMED;
    std::uint32_t jobs = 0;
};

struct outcome {
    std::uint32_t index = 0, verdict = 0, same_as = 0;
    std::optional<std::string> name;  // none when the entry's header couldn't be read
    std::string output;
    std::vector<finding> findings;
};

struct extract_result {
    morvex_tex_extract_result counts = MORVEX_TEX_EXTRACT_RESULT_INIT;
    std::vector<bool> matched;  // each include pattern
};

class archive {
public:
    static archive open(std::string_view path)
    {
        return opened([&](morvex_tex_archive** a, morvex_tex_error* e) { return morvex_tex_open_path(path.data(), path.size(), a, e); });
    }
    static archive open_fd(int fd)
    {
        return opened([&](morvex_tex_archive** a, morvex_tex_error* e) { return morvex_tex_open_fd(fd, a, e); });
    }
    static archive from_memory(std::span<const std::uint8_t> bytes)
    {
        return opened([&](morvex_tex_archive** a, morvex_tex_error* e) {
            return morvex_tex_open_memory(bytes.data(), bytes.size(), a, e);
        });
    }
    // `read` fills the span's start and says how many bytes: 0 at the end.
    static archive from_stream(const std::function<std::size_t(std::span<std::uint8_t>)>& read)
    {
        struct context {
            const std::function<std::size_t(std::span<std::uint8_t>)>* read;
            detail::call* c;
        };
        detail::call c;
        context ctx{&read, &c};
        const morvex_tex_read_fn trampoline = [](void* p, void* buffer, std::size_t size) -> std::int64_t {
            auto* x = static_cast<context*>(p);
            std::int64_t got = -1;
            x->c->guard([&] { got = static_cast<std::int64_t>((*x->read)({static_cast<std::uint8_t*>(buffer), size})); });
            return got;
        };
        morvex_tex_archive* a = nullptr;
        c.check(morvex_tex_open_stream(trampoline, &ctx, &a, &c.e));
        return archive(a);
    }

    const morvex_tex_archive* handle() const noexcept { return a_.get(); }

    morvex_tex_header header() const
    {
        morvex_tex_header h = MORVEX_TEX_HEADER_INIT;
        detail::call c;
        c.check(morvex_tex_get_header(handle(), &h, &c.e));
        return h;
    }
    std::uint32_t size() const { return morvex_tex_entry_count(handle()); }
    std::vector<finding> findings() const
    {
        morvex_tex_finding f[8];
        return findings_of(f, std::min<std::size_t>(morvex_tex_archive_findings(handle(), f, 8), 8));
    }
    entry at(std::uint32_t index) const
    {
        entry out;
        morvex_tex_finding f[MORVEX_TEX_MAX_ENTRY_FINDINGS];
        detail::call c;
        c.check(morvex_tex_get_entry(handle(), index, &out.info, f, MORVEX_TEX_MAX_ENTRY_FINDINGS, &c.e));
        out.findings = findings_of(f, std::min<std::size_t>(out.info.finding_count, MORVEX_TEX_MAX_ENTRY_FINDINGS));
        return out;
    }
    std::optional<std::uint32_t> find(std::string_view name) const
    {
        std::uint32_t index = 0;
        detail::call c;
        if (morvex_tex_find_entry(handle(), name.data(), name.size(), &index, &c.e) == 0) return index;
        if (c.e.kind == MORVEX_TEX_ERROR_NO_ENTRY) return std::nullopt;
        throw error(c.e);
    }
    image decode(std::uint32_t index) const
    {
        morvex_tex_image info = MORVEX_TEX_IMAGE_INIT;
        detail::call c;
        c.check(morvex_tex_decode(handle(), index, &info, &c.e));
        const std::unique_ptr<morvex_tex_image, void (*)(morvex_tex_image*)> owned(&info, morvex_tex_image_free);
        image out{info.width, info.height, {info.rgba, info.rgba + info.stride * info.height}, {}};
        out.warnings = findings_of(info.warnings, info.warning_count);
        return out;
    }
    // Into the caller's memory, width * height * 4 bytes: the image's size and warnings.
    morvex_tex_image decode_into(std::uint32_t index, std::span<std::uint8_t> out) const
    {
        morvex_tex_image info = MORVEX_TEX_IMAGE_INIT;
        detail::call c;
        c.check(morvex_tex_decode_into(handle(), index, out.data(), out.size(), &info, &c.e));
        return info;
    }
    using report_fn = std::function<void(std::uint32_t, const std::vector<finding>&)>;
    morvex_tex_test_result test(std::uint32_t jobs = 0, const report_fn& each = {}) const
    {
        morvex_tex_test_options o = MORVEX_TEX_TEST_OPTIONS_INIT;
        o.jobs = jobs;
        morvex_tex_test_result r = MORVEX_TEX_TEST_RESULT_INIT;
        struct context {
            const report_fn* f;
            detail::call* c;
        };
        detail::call c;
        context ctx{&each, &c};
        const morvex_tex_report_fn trampoline = [](void* p, const morvex_tex_entry_report* e) {
            auto* x = static_cast<context*>(p);
            x->c->guard([&] { (*x->f)(e->index, findings_of(e->findings, e->finding_count)); });
        };
        c.check(morvex_tex_test(handle(), &o, &r, each ? trampoline : nullptr, &ctx, &c.e));
        return r;
    }
    using outcome_fn = std::function<void(const outcome&)>;
    extract_result extract(const extract_options& options, const outcome_fn& each = {}) const
    {
        std::vector<morvex_tex_string> include, exclude;
        for (const std::string& p : options.include) include.push_back(detail::text(p));
        for (const std::string& p : options.exclude) exclude.push_back(detail::text(p));
        std::vector<std::uint8_t> matched(include.size());
        morvex_tex_extract_options o = MORVEX_TEX_EXTRACT_OPTIONS_INIT;
        o.flags = (options.raw ? MORVEX_TEX_EXTRACT_RAW : 0) | (options.keep ? MORVEX_TEX_EXTRACT_KEEP : 0) |
                  (options.ignore_case ? MORVEX_TEX_EXTRACT_IGNORE_CASE : 0);
        o.format = options.format;
        o.jobs = options.jobs;
        o.folder = detail::text(options.folder);
        o.include = include.data();
        o.include_count = include.size();
        o.exclude = exclude.data();
        o.exclude_count = exclude.size();
        o.include_matched = matched.data();
        struct context {
            const outcome_fn* f;
            detail::call* c;
        };
        detail::call c;
        context ctx{&each, &c};
        const morvex_tex_outcome_fn trampoline = [](void* p, const morvex_tex_outcome* e) {
            auto* x = static_cast<context*>(p);
            x->c->guard([&] {
                outcome out{e->index, e->verdict, e->same_as, std::nullopt, {}, findings_of(e->findings, e->finding_count)};
                if (e->name.data) out.name.emplace(e->name.data, e->name.size);
                if (e->output.data) out.output.assign(e->output.data, e->output.size);
                (*x->f)(out);
            });
        };
        extract_result r;
        c.check(morvex_tex_extract(handle(), &o, &r.counts, each ? trampoline : nullptr, &ctx, &c.e));
        r.matched.assign(matched.begin(), matched.end());
        return r;
    }

private:
    struct closer {
        void operator()(morvex_tex_archive* a) const noexcept { morvex_tex_close(a); }
    };
    explicit archive(morvex_tex_archive* a) : a_(a) {}
    template <typename Open>
    static archive opened(Open&& open)
    {
        morvex_tex_archive* a = nullptr;
        detail::call c;
        c.check(open(&a, &c.e));
        return archive(a);
    }
    std::unique_ptr<morvex_tex_archive, closer> a_;
};

inline void write_image(std::string_view path, const morvex_tex_pixels& pixels,
                        std::uint32_t format = MORVEX_TEX_FORMAT_AS_NAMED, bool keep = false)
{
    detail::call c;
    c.check(morvex_tex_write_image(path.data(), path.size(), format, &pixels, keep ? MORVEX_TEX_WRITE_KEEP : 0, &c.e));
}

// An image for create or replace: a file, or pixels in memory (which must
// outlive the call), stored or matched under `name` ("" : from the path).
struct image_source {
    std::string name, path;
    morvex_tex_pixels pixels{};
    static image_source file(std::string path, std::string name = "") { return {std::move(name), std::move(path), {}}; }
    static image_source memory(std::string name, const morvex_tex_pixels& pixels) { return {std::move(name), "", pixels}; }
};

namespace detail {

template <typename Run>
morvex_tex_pack_result pack(const std::vector<image_source>& images, std::uint32_t type, bool force,
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
        pointers.push_back(&s);
    }
    morvex_tex_pack_options o = MORVEX_TEX_PACK_OPTIONS_INIT;
    o.type = type;
    o.flags = force ? MORVEX_TEX_PACK_FORCE : 0;
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

inline morvex_tex_pack_result create(std::string_view out, const std::vector<image_source>& images, std::uint32_t type = 6,
                                     bool force = false, const std::function<void(const morvex_tex_pack_entry&)>& each = {})
{
    return detail::pack(images, type, force, each, [&](auto... args) { return morvex_tex_create(out.data(), out.size(), args...); });
}

inline morvex_tex_pack_result replace(std::string_view in, std::string_view out, const std::vector<image_source>& images,
                                      bool force = false, const std::function<void(const morvex_tex_pack_entry&)>& each = {})
{
    return detail::pack(images, 0, force, each, [&](auto... args) {
        return morvex_tex_replace(in.data(), in.size(), out.data(), out.size(), args...);
    });
}

}  // namespace morvex_tex
