// Errors as values, findings in the ABI's terms, and the small calls every
// part of the API shares.
#include "api/internal.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "words/words.hpp"
#include "format/finding_names.hpp"
#include "morvex/version.hpp"

namespace api {

namespace {

using k = tex_finding_kind;

// Cut at a character boundary, so the message stays valid UTF-8.
void put_message(char (&to)[512], const std::string& message)
{
    std::size_t n = std::min(message.size(), sizeof to - 1);
    if (n < message.size()) {
        while (n > 0 && (static_cast<unsigned char>(message[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(to, message.data(), n);
    to[n] = '\0';
}

void fill(morvex_tex_error* out, std::uint32_t kind, int error, std::uint64_t needed, const tex_finding* finding,
          const std::string& message)
{
    if (!out || out->size < sizeof(morvex_tex_error)) return;
    morvex_tex_error full{};
    full.size = out->size;
    full.kind = kind;
    full.error = error;
    full.needed = needed;
    if (finding) full.finding = to_api(*finding);
    put_message(full.message, message);
    copy_out(out, full);
}

// The ABI's stable numbers of the modules' enumerations. Switches without a
// default: a new value without its number breaks the build.
std::uint32_t kind_number(tex_finding_kind kind)
{
    switch (kind) {
    case k::archive_cut_at_limit: return MORVEX_TEX_FINDING_ARCHIVE_CUT_AT_LIMIT;
    case k::archive_header_cut: return MORVEX_TEX_FINDING_ARCHIVE_HEADER_CUT;
    case k::header_padding: return MORVEX_TEX_FINDING_HEADER_PADDING;
    case k::table_cut: return MORVEX_TEX_FINDING_TABLE_CUT;
    case k::entry_past_end: return MORVEX_TEX_FINDING_ENTRY_PAST_END;
    case k::entry_header_cut: return MORVEX_TEX_FINDING_ENTRY_HEADER_CUT;
    case k::entry_padding: return MORVEX_TEX_FINDING_ENTRY_PADDING;
    case k::sizes_differ: return MORVEX_TEX_FINDING_SIZES_DIFFER;
    case k::types_differ: return MORVEX_TEX_FINDING_TYPES_DIFFER;
    case k::unknown_type: return MORVEX_TEX_FINDING_UNKNOWN_TYPE;
    case k::payload_past_end: return MORVEX_TEX_FINDING_PAYLOAD_PAST_END;
    case k::runs_over_header: return MORVEX_TEX_FINDING_RUNS_OVER_HEADER;
    case k::inflation_spent: return MORVEX_TEX_FINDING_INFLATION_SPENT;
    case k::repeat: return MORVEX_TEX_FINDING_REPEAT;
    case k::repeat_other_size: return MORVEX_TEX_FINDING_REPEAT_OTHER_SIZE;
    case k::name_refused: return MORVEX_TEX_FINDING_NAME_REFUSED;
    case k::no_image_format: return MORVEX_TEX_FINDING_NO_IMAGE_FORMAT;
    case k::no_pixels: return MORVEX_TEX_FINDING_NO_PIXELS;
    case k::too_many_pixels: return MORVEX_TEX_FINDING_TOO_MANY_PIXELS;
    case k::too_few_to_inflate: return MORVEX_TEX_FINDING_TOO_FEW_TO_INFLATE;
    case k::payload_short: return MORVEX_TEX_FINDING_PAYLOAD_SHORT;
    case k::payload_cut: return MORVEX_TEX_FINDING_PAYLOAD_CUT;
    case k::stream_damaged: return MORVEX_TEX_FINDING_STREAM_DAMAGED;
    case k::stream_too_long: return MORVEX_TEX_FINDING_STREAM_TOO_LONG;
    case k::inflated_length: return MORVEX_TEX_FINDING_INFLATED_LENGTH;
    case k::no_memory_payload: return MORVEX_TEX_FINDING_NO_MEMORY_PAYLOAD;
    case k::no_memory_inflate: return MORVEX_TEX_FINDING_NO_MEMORY_INFLATE;
    case k::no_memory_image: return MORVEX_TEX_FINDING_NO_MEMORY_IMAGE;
    case k::no_memory: return MORVEX_TEX_FINDING_NO_MEMORY;
    case k::output_failed: return MORVEX_TEX_FINDING_OUTPUT_FAILED;
    case k::output_exists: return MORVEX_TEX_FINDING_OUTPUT_EXISTS;
    }
    return UINT32_MAX;
}

bool kind_of_number(std::uint32_t number, tex_finding_kind& out)
{
    for (std::size_t n = 0; n < tex_finding_kind_count; ++n) {
        if (kind_number(static_cast<tex_finding_kind>(n)) == number) {
            out = static_cast<tex_finding_kind>(n);
            return true;
        }
    }
    return false;
}

std::uint64_t name_problem_number(name_problem p)
{
    switch (p) {
    case name_problem::none: return 0;
    case name_problem::control_byte: return MORVEX_TEX_NAME_CONTROL_BYTE;
    case name_problem::absolute_path: return MORVEX_TEX_NAME_ABSOLUTE_PATH;
    case name_problem::dot_dot: return MORVEX_TEX_NAME_DOT_DOT;
    case name_problem::link_outside: return MORVEX_TEX_NAME_LINK_OUTSIDE;
    case name_problem::device_name: return MORVEX_TEX_NAME_DEVICE_NAME;
    case name_problem::stream_name: return MORVEX_TEX_NAME_STREAM_NAME;
    case name_problem::trailing_dot_or_space: return MORVEX_TEX_NAME_TRAILING_DOT_OR_SPACE;
    case name_problem::reserved_character: return MORVEX_TEX_NAME_RESERVED_CHARACTER;
    }
    return 0;
}

std::uint64_t stage_number(output_stage s)
{
    switch (s) {
    case output_stage::create: return MORVEX_TEX_STAGE_CREATE;
    case output_stage::write: return MORVEX_TEX_STAGE_WRITE;
    case output_stage::place: return MORVEX_TEX_STAGE_PLACE;
    }
    return 0;
}

}  // namespace

int patterns_of(const morvex_tex_string* from, std::size_t count, std::vector<std::string>& out, morvex_tex_error* error)
{
    if (count > 0 && !from) return api::fail_argument(error, "patterns counted but not given");
    for (std::size_t n = 0; n < count; ++n) {
        std::string p;
        if (!api::text_of(from[n].data, from[n].size, p)) return api::fail_argument(error, "a pattern is bytes without NUL");
        out.push_back(std::move(p));
    }
    return 0;
}

int fail(morvex_tex_error* out, std::uint32_t kind, int error, const std::string& message)
{
    fill(out, kind, error, 0, nullptr, message);
    return -1;
}

int fail_needing(morvex_tex_error* out, std::uint64_t needed, const std::string& message)
{
    fill(out, MORVEX_TEX_ERROR_BUFFER, 0, needed, nullptr, message);
    return -1;
}

int fail_finding(morvex_tex_error* out, std::uint32_t kind, const tex_finding& finding, const std::string& message)
{
    fill(out, kind, finding.error, 0, &finding, message);
    return -1;
}

int fail_errno(morvex_tex_error* out, int error, const std::string& what)
{
    const std::string words = std::strerror(error);
    return fail(out, error == ENOMEM ? MORVEX_TEX_ERROR_NO_MEMORY : MORVEX_TEX_ERROR_SYSTEM, error,
                what.empty() ? words : what + ": " + words);
}

int fail_argument(morvex_tex_error* out, const std::string& message)
{
    return fail(out, MORVEX_TEX_ERROR_ARGUMENT, EINVAL, message);
}

int succeed(morvex_tex_error* out)
{
    fill(out, MORVEX_TEX_OK, 0, 0, nullptr, "");
    return 0;
}

morvex_tex_finding to_api(const tex_finding& f)
{
    morvex_tex_finding out{kind_number(f.kind), f.error, f.a, f.b, f.c, f.d};
    if (f.kind == k::name_refused) out.a = name_problem_number(static_cast<name_problem>(f.a));
    if (f.kind == k::output_failed) out.a = stage_number(static_cast<output_stage>(f.a));
    return out;
}

tex_finding from_api(const morvex_tex_finding& f)
{
    tex_finding out{};
    kind_of_number(f.kind, out.kind);
    out.a = f.a;
    out.b = f.b;
    out.c = f.c;
    out.d = f.d;
    out.error = f.error;
    // The modules' numbers of name problems and stages are the ABI's.
    static_assert(MORVEX_TEX_NAME_RESERVED_CHARACTER == static_cast<int>(name_problem::reserved_character));
    static_assert(MORVEX_TEX_STAGE_PLACE == static_cast<int>(output_stage::place));
    return out;
}

std::vector<morvex_tex_finding> to_api(const std::vector<tex_finding>& found)
{
    std::vector<morvex_tex_finding> out;
    out.reserve(found.size());
    for (const tex_finding& f : found) out.push_back(to_api(f));
    return out;
}

std::string finding_words(const tex_finding& f)
{
    return finding_text(f);
}

std::size_t copy_findings(const std::vector<tex_finding>& found, morvex_tex_finding* out, std::size_t capacity)
{
    for (std::size_t n = 0; out && n < std::min(capacity, found.size()); ++n) out[n] = to_api(found[n]);
    return found.size();
}

bool text_of(const char* data, std::size_t size, std::string& out)
{
    if (!data) return false;
    out.assign(data, size);
    return out.find('\0') == std::string::npos;
}

morvex_tex_string view_of(const std::string& s)
{
    return morvex_tex_string{s.data(), s.size()};
}

bool format_of(std::uint32_t format, image_format& out)
{
    switch (format) {
    case MORVEX_TEX_FORMAT_AS_NAMED: out = image_format::none; return true;
    case MORVEX_TEX_FORMAT_TGA: out = image_format::tga; return true;
    case MORVEX_TEX_FORMAT_PNG: out = image_format::png; return true;
    case MORVEX_TEX_FORMAT_BMP: out = image_format::bmp; return true;
    case MORVEX_TEX_FORMAT_PCX: out = image_format::pcx; return true;
    case MORVEX_TEX_FORMAT_WEBP: out = image_format::webp; return true;
    default: return false;
    }
}

int check_pixels(const morvex_tex_pixels* image, morvex_tex_error* error, unsigned bytes_per_pixel)
{
    if (!image || !image->rgba) return fail_argument(error, "no pixels given");
    const std::uint64_t w = image->width, h = image->height;
    if (w == 0 || h == 0 || w > pack_max_side || h > pack_max_side || w * h > max_image_pixels) {
        return fail_argument(error, "an image is 1 to 65535 pixels a side, at most 16384 * 16384 in all");
    }
    if (image->stride < w * bytes_per_pixel) {
        return fail_argument(error, format_text("a row's stride is shorter than its width * %u bytes", bytes_per_pixel));
    }
    return 0;
}

}  // namespace api

extern "C" {

MORVEX_TEX_API uint32_t morvex_tex_abi_version(void)
{
    return MORVEX_TEX_ABI_VERSION;
}

MORVEX_TEX_API const char* morvex_tex_version(void)
{
    return morvex_version;
}

MORVEX_TEX_API const char* morvex_tex_error_name(uint32_t kind)
{
    static const char* const names[] = {"ok",        "system", "not_archive", "no_memory", "argument", "buffer",
                                        "no_entry", "entry",  "refused",     "image",     "name",     "damaged",
                                        "stopped"};
    return kind < sizeof names / sizeof names[0] ? names[kind] : nullptr;
}

MORVEX_TEX_API uint32_t morvex_tex_format_for(const char* name, size_t size)
{
    std::string text;
    if (!api::text_of(name, size, text)) return MORVEX_TEX_FORMAT_AS_NAMED;
    switch (image_format_for(text.find('.') == std::string::npos ? "." + text : text, image_use::write)) {
    case image_format::tga: return MORVEX_TEX_FORMAT_TGA;
    case image_format::png: return MORVEX_TEX_FORMAT_PNG;
    case image_format::bmp: return MORVEX_TEX_FORMAT_BMP;
    case image_format::pcx: return MORVEX_TEX_FORMAT_PCX;
    case image_format::webp: return MORVEX_TEX_FORMAT_WEBP;
    case image_format::jpeg:  // read only: none of the formats written
    case image_format::none: break;
    }
    return MORVEX_TEX_FORMAT_AS_NAMED;
}

MORVEX_TEX_API const char* morvex_tex_finding_name(uint32_t kind)
{
    tex_finding_kind k{};
    return api::kind_of_number(kind, k) ? tex_finding_name(k) : nullptr;
}

MORVEX_TEX_API int morvex_tex_finding_kind_named(const char* name, size_t size, uint32_t* kind)
{
    tex_finding_kind k{};
    if (!name || !kind || !tex_finding_kind_named(std::string_view(name, size), k)) return -1;
    *kind = api::kind_number(k);
    return 0;
}

MORVEX_TEX_API size_t morvex_tex_finding_text(const morvex_tex_finding* finding, char* buffer, size_t size)
{
    tex_finding_kind k{};
    if (!finding || !api::kind_of_number(finding->kind, k)) {
        if (buffer && size > 0) buffer[0] = '\0';
        return 0;
    }
    try {
        const std::string text = api::finding_words(api::from_api(*finding));
        if (buffer && size > 0) {
            const std::size_t n = std::min(text.size(), size - 1);
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        }
        return text.size();
    } catch (...) {
        if (buffer && size > 0) buffer[0] = '\0';
        return 0;
    }
}

MORVEX_TEX_API int morvex_tex_finding_is_warning(const morvex_tex_finding* finding)
{
    return finding && finding->kind == MORVEX_TEX_FINDING_INFLATED_LENGTH ? 1 : 0;
}

}  // extern "C"
