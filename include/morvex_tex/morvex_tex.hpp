// morvex_tex for C++20: the C API of <morvex_tex/morvex_tex.h> with RAII
// handles, std::string, std::vector and std::span, and errors thrown as
// morvex_tex::error. Header only and inline: no standard-library type
// crosses the library's boundary, so any C++ standard library may use it.
// What may run on several threads at once is as for the C API (an archive's
// const members, on one archive, from any number of threads). The values it
// hands out are in cxx_values.hpp; writing images and archives in
// cxx_write.hpp, both included here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "morvex_tex/cxx_values.hpp"

namespace morvex_tex {

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
    // The payload as stored.
    std::vector<std::uint8_t> payload(std::uint32_t index) const
    {
        std::uint64_t size = 0;
        detail::call c;
        if (morvex_tex_read_payload(handle(), index, nullptr, 0, &size, &c.e) != 0 && c.e.kind != MORVEX_TEX_ERROR_BUFFER) {
            throw error(c.e);
        }
        std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
        c.check(morvex_tex_read_payload(handle(), index, out.data(), out.size(), &size, &c.e));
        return out;
    }
    using report_fn = std::function<void(std::uint32_t, const std::vector<finding>&)>;
    // `stop`, asked before each entry, stops the call when it says so (or
    // throws): morvex_tex::error of kind MORVEX_TEX_ERROR_STOPPED.
    morvex_tex_test_result test(std::uint32_t jobs = 0, const report_fn& each = {}, const std::function<bool()>& stop = {}) const
    {
        morvex_tex_test_options o = MORVEX_TEX_TEST_OPTIONS_INIT;
        o.jobs = jobs;
        morvex_tex_test_result r = MORVEX_TEX_TEST_RESULT_INIT;
        struct context {
            const report_fn* f;
            detail::call* c;
        };
        detail::call c;
        detail::stopper stopper{&stop, &c};
        if (stop) {
            o.stop = detail::stopper::ask;
            o.stop_context = &stopper;
        }
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
        detail::stopper stopper{&options.stop, &c};
        if (options.stop) {
            o.stop = detail::stopper::ask;
            o.stop_context = &stopper;
        }
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

}  // namespace morvex_tex

#include "morvex_tex/cxx_write.hpp"
