// morvex_tex for C++20: the values of the C++ layer (errors, findings,
// entries, images, extraction's options and outcomes) and the helpers its
// calls share. Included by <morvex_tex/morvex_tex.hpp>.
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
        : std::runtime_error(e.message), kind_(e.kind), errno_(e.error), needed_(e.needed), image_(e.image),
          finding_(e.finding)
    {
    }
    std::uint32_t kind() const noexcept { return kind_; }
    const char* kind_name() const noexcept { return morvex_tex_error_name(kind_); }
    int system_error() const noexcept { return errno_; }
    std::uint64_t needed() const noexcept { return needed_; }
    // create, replace: the index of the image the error is about.
    std::optional<std::size_t> image() const noexcept
    {
        return image_ ? std::optional<std::size_t>(image_ - 1) : std::nullopt;
    }
    const morvex_tex_finding& finding() const noexcept { return finding_; }

private:
    std::uint32_t kind_;
    int errno_;
    std::uint64_t needed_;
    std::uint32_t image_;
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

// A caller's stop function as the C API's hook: an exception it throws stops
// the call too, and is thrown again once it is back.
struct stopper {
    const std::function<bool()>* stop;
    call* c;
    static int ask(void* p)
    {
        auto* s = static_cast<stopper*>(p);
        bool yes = true;
        s->c->guard([&] { yes = (*s->stop)(); });
        return yes || s->c->thrown ? 1 : 0;
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
    // Asked before each entry: true stops the call (morvex_tex::error of kind
    // MORVEX_TEX_ERROR_STOPPED); the files placed before stay, each whole.
    std::function<bool()> stop;
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

}  // namespace morvex_tex
