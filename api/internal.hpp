// What the C functions of api/ share: the archive handle, errors as values,
// the conversions between the modules' records and the ABI's plain structs.
// Nothing here crosses the library's boundary but through the C structs of
// include/morvex_tex/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "morvex_tex/morvex_tex.h"
#include "entries/entries.hpp"
#include "files/files.hpp"
#include "format/format.hpp"
#include "images/images.hpp"

// The handle: the archive file (closed with it), its index, and the walk's
// budgets before every 16th entry, filled as far as an entry was asked for,
// so that an entry's findings out of table order cost at most 15 headers.
struct morvex_tex_archive {
    tex_archive_file file;
    tex_index index;
    mutable std::mutex walk_lock;
    mutable std::vector<entry_walk> checkpoints;
    // Walks already made up to an entry (by walk_before, and past one by its
    // findings), where the next ones start when a caller goes through the
    // entries in order: asking for an entry, then decoding it. `at` 0: none.
    struct made_walk {
        std::uint32_t at = 0;
        entry_walk walk;
    };
    mutable made_walk made_walks[2];
    // Table records read ahead of the one asked for (read_entry_at), for
    // callers that ask for entry after entry: records `ahead_first` on.
    mutable std::mutex ahead_lock;
    mutable std::vector<std::uint8_t> ahead;
    mutable std::uint32_t ahead_first = 0;
};

namespace api {

// ---------------------------------------------------------------------------
// Errors as values.

// Fills *out (when there is one) and returns -1.
int fail(morvex_tex_error* out, std::uint32_t kind, int error, const std::string& message);
int fail_needing(morvex_tex_error* out, std::uint64_t needed, const std::string& message);
int fail_finding(morvex_tex_error* out, std::uint32_t kind, const tex_finding& finding, const std::string& message);
// The system's errno and its words, after `what: ` when `what` is not empty.
int fail_errno(morvex_tex_error* out, int error, const std::string& what);
int fail_argument(morvex_tex_error* out, const std::string& message);
// Marks *out a success and returns 0.
int succeed(morvex_tex_error* out);

// Runs `body` (returning 0 or -1), turning whatever it throws into an
// error: no exception crosses the C boundary.
template <typename Body>
int guarded(morvex_tex_error* out, Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(out, MORVEX_TEX_ERROR_NO_MEMORY, ENOMEM, "not enough memory");
    } catch (const std::exception& e) {
        return fail(out, MORVEX_TEX_ERROR_SYSTEM, EIO, e.what());
    } catch (...) {
        return fail(out, MORVEX_TEX_ERROR_SYSTEM, EIO, "unexpected failure");
    }
}

// ---------------------------------------------------------------------------
// Structs that carry their size. The library reads and writes no byte of
// them past the caller's size; a caller's size below the struct's first
// published size is refused. (When a struct grows, its first size stays the
// old sizeof, written here as a number.)

template <typename T>
bool size_ok(const T* s)
{
    return s && s->size >= sizeof(T);
}

// The structs that grew: the size each was first published with, the end of
// its last field then, which a caller built with those headers passes.
template <typename T>
inline constexpr std::size_t first_size = sizeof(T);
template <>
inline constexpr std::size_t first_size<morvex_tex_test_options> = offsetof(morvex_tex_test_options, jobs) + 4;
template <>
inline constexpr std::size_t first_size<morvex_tex_test_result> = offsetof(morvex_tex_test_result, problems) + 8;
template <>
inline constexpr std::size_t first_size<morvex_tex_extract_options> =
    offsetof(morvex_tex_extract_options, include_matched) + sizeof(void*);
template <>
inline constexpr std::size_t first_size<morvex_tex_extract_result> = offsetof(morvex_tex_extract_result, reserved) + 4;
template <>
inline constexpr std::size_t first_size<morvex_tex_pack_options> = offsetof(morvex_tex_pack_options, jobs) + 4;
template <>
inline constexpr std::size_t first_size<morvex_tex_pack_result> = offsetof(morvex_tex_pack_result, kept) + 4;

// The caller's patterns as strings: -1 (an argument error) for patterns
// counted but not given, or one holding a NUL.
int patterns_of(const morvex_tex_string* from, std::size_t count, std::vector<std::string>& out, morvex_tex_error* error);

// A struct the caller may leave out (NULL), or of a size the library knows.
template <typename T>
bool known_or_absent(const T* s)
{
    return !s || s->size >= first_size<T>;
}
template <typename T>
bool known(const T* s)
{
    return s && s->size >= first_size<T>;
}

// The caller's stop hook as the walks and the packer ask it; empty when none.
inline std::function<bool()> stop_hook(morvex_tex_stop_fn stop, void* context)
{
    if (!stop) return {};
    return [stop, context] { return stop(context) != 0; };
}

// Copies `full` out over the caller's struct, its size kept.
template <typename T>
void copy_out(T* out, const T& full)
{
    const std::uint32_t size = out->size;
    std::memcpy(static_cast<void*>(out), &full, std::min<std::size_t>(size, sizeof(T)));
    out->size = size;
}

// The caller's options, or the defaults (zero but for the size) for NULL.
template <typename T>
T options_or_defaults(const T* in)
{
    T full{};
    if (in) std::memcpy(static_cast<void*>(&full), in, std::min<std::size_t>(in->size, sizeof(T)));
    full.size = sizeof(T);
    return full;
}

// ---------------------------------------------------------------------------
// Conversions.

morvex_tex_finding to_api(const tex_finding& f);
tex_finding from_api(const morvex_tex_finding& f);
std::vector<morvex_tex_finding> to_api(const std::vector<tex_finding>& found);

// The English phrase of a finding, as the programs word it.
std::string finding_words(const tex_finding& f);

// Writes the first `capacity` findings to `out`; how many there are.
std::size_t copy_findings(const std::vector<tex_finding>& found, morvex_tex_finding* out, std::size_t capacity);

// Bytes given as pointer and size; false when they hold a NUL (no path or
// name does), or are NULL with a size.
bool text_of(const char* data, std::size_t size, std::string& out);

morvex_tex_string view_of(const std::string& s);

// morvex_tex_format to the images module's, and false for a number that is
// no format.
bool format_of(std::uint32_t format, image_format& out);

// RGBA8 bytes, a pixel at a time: 0xAARRGGBB from bytes R, G, B, A, and back.
inline std::uint32_t argb_of(const std::uint8_t* rgba)
{
    return std::uint32_t{rgba[3]} << 24 | std::uint32_t{rgba[0]} << 16 | std::uint32_t{rgba[1]} << 8 | rgba[2];
}
inline void put_rgba(std::uint8_t* rgba, std::uint32_t argb)
{
    rgba[0] = static_cast<std::uint8_t>(argb >> 16);
    rgba[1] = static_cast<std::uint8_t>(argb >> 8);
    rgba[2] = static_cast<std::uint8_t>(argb);
    rgba[3] = static_cast<std::uint8_t>(argb >> 24);
}

// Checks an image given in memory: sides 1 to 65535, at most max_image_pixels,
// rows of `bytes_per_pixel` bytes a pixel that fit their stride. 0, or -1
// with the error filled.
int check_pixels(const morvex_tex_pixels* image, morvex_tex_error* error, unsigned bytes_per_pixel = 4);

// ---------------------------------------------------------------------------
// Reading entries out of table order.

// Entry i read through a window of the two records it needs.
tex_entry_view read_entry_at(const morvex_tex_archive& archive, std::uint32_t i);

// The walk's budgets as `morvex_tex list` has them on reaching entry i.
entry_walk walk_before(const morvex_tex_archive& archive, std::uint32_t i);
// Keeps `walk`, made up to entry `at`, for walk_before to start from.
void remember_walk(const morvex_tex_archive& archive, std::uint32_t at, const entry_walk& walk);

// The findings `morvex_tex list` gives entry v, whose walk is `walk`
// (charged for it, as a walk in table order is).
std::vector<tex_finding> entry_findings(const tex_index& index, const tex_entry_view& v, entry_walk& walk);

// ---------------------------------------------------------------------------
// What depends on the system (system_posix.cpp, system_windows.cpp).

// A regular file's descriptor duplicated for the archive, with its size; or
// for anything else, read through as a stream. -1 with errno (EISDIR for a
// folder, ENODEV for a character device).
int adopt_descriptor(int fd, tex_archive_file& out);

}  // namespace api
