// The worker's long calls (web/bridge.hpp): testing an archive, and
// building and editing archives from images the worker wrote into the
// in-memory file system or holds as pixels. Each answers JSON text, or
// nullptr with web_edit_error() saying why.
#include "web/bridge.hpp"

#include <emscripten/emscripten.h>

#include <deque>
#include <string>
#include <vector>

#include "morvex_tex/morvex_tex.h"
#include "words/escape.hpp"

namespace {

std::string result_text;

// The images of the next create, replace, add or update, and the patterns of
// the next delete. A deque: what the sources point at never moves.
struct source {
    std::string name;
    std::string path;
    morvex_tex_image_source image = MORVEX_TEX_IMAGE_SOURCE_INIT;
};
std::deque<source> sources;

std::string error_text;

const char* failed(const morvex_tex_error& error)
{
    const char* name = morvex_tex_error_name(error.kind);
    error_text = "{\"kind\": ";
    error_text += tex_json_string(name ? name : "unknown");
    error_text += ", \"message\": ";
    error_text += tex_json_string(error.message);
    error_text += ", \"image\": " + std::to_string(error.image) + "}";
    return nullptr;
}

std::string finding_json(const morvex_tex_finding& finding, const std::string& index)
{
    const char* name = morvex_tex_finding_name(finding.kind);
    char text[512];
    morvex_tex_finding_text(&finding, text, sizeof text);
    std::string out = "{\"index\": " + index + ", \"kind\": ";
    out += tex_json_string(name ? name : "unknown");
    out += ", \"message\": ";
    out += tex_json_string(text);
    return out + "}";
}

void each_report(void* context, const morvex_tex_entry_report* report)
{
    std::string& out = *static_cast<std::string*>(context);
    for (std::size_t k = 0; k < report->finding_count; ++k) {
        if (out.size() > 1) out += ",\n";
        out += finding_json(report->findings[k], std::to_string(report->index));
    }
}

std::vector<const morvex_tex_image_source*> source_list()
{
    std::vector<const morvex_tex_image_source*> list;
    for (const source& s : sources) list.push_back(&s.image);
    return list;
}

const char* pack_answer(const morvex_tex_pack_result& result)
{
    result_text = "{\"entries\": " + std::to_string(result.entries) + ", \"added\": " + std::to_string(result.added) +
                  ", \"replaced\": " + std::to_string(result.replaced) + ", \"unchanged\": " +
                  std::to_string(result.unchanged) + ", \"kept\": " + std::to_string(result.kept) +
                  ", \"deleted\": " + std::to_string(result.deleted) + ", \"renamed\": " +
                  std::to_string(result.renamed) + "}";
    return result_text.c_str();
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* web_edit_error()
{
    return error_text.c_str();
}

EMSCRIPTEN_KEEPALIVE void web_sources_clear()
{
    sources.clear();
}

// An image file at `path`, stored under `name` (create, add) or put into the
// entry of that name (replace, update).
EMSCRIPTEN_KEEPALIVE void web_source_file(const char* name, const char* path)
{
    source& s = sources.emplace_back();
    s.name = name;
    s.path = path;
    if (!s.name.empty()) s.image.name = {s.name.data(), s.name.size()};
    s.image.path = {s.path.data(), s.path.size()};
}

// RGBA8 pixels, the caller's until the call that uses them returns.
EMSCRIPTEN_KEEPALIVE void web_source_pixels(const char* name, std::uint32_t width, std::uint32_t height,
                                            const std::uint8_t* rgba)
{
    source& s = sources.emplace_back();
    s.name = name;
    s.image.name = {s.name.data(), s.name.size()};
    s.image.pixels = {width, height, static_cast<std::size_t>(width) * 4, rgba};
}

// Every problem `morvex_tex test` finds: the archive's (index null), then
// each entry's. {"stopped": 0|1, "problems": [...]}.
EMSCRIPTEN_KEEPALIVE const char* web_test(const morvex_tex_archive* archive)
{
    std::string problems = "[";
    morvex_tex_finding findings[4];
    const std::size_t count = morvex_tex_archive_findings(archive, findings, 4);
    for (std::size_t k = 0; k < count && k < 4; ++k) {
        if (k) problems += ",\n";
        problems += finding_json(findings[k], "null");
    }
    web::steps steps;
    steps.total = morvex_tex_entry_count(archive);
    morvex_tex_test_options options = MORVEX_TEX_TEST_OPTIONS_INIT;
    options.jobs = 1;
    options.stop = web::stop_hook;
    options.stop_context = &steps;
    morvex_tex_test_result result = MORVEX_TEX_TEST_RESULT_INIT;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    const int status = morvex_tex_test(archive, &options, &result, each_report, &problems, &error);
    if (status != 0 && error.kind != MORVEX_TEX_ERROR_STOPPED) return failed(error);
    result_text = "{\"stopped\": " + std::to_string(result.stopped) + ", \"problems\": " + problems + "]}";
    return result_text.c_str();
}

// create (to `out`), replace (`in` to `out`), add or update (`in`, in
// place), with the sources given; type and level as `create` takes them.
EMSCRIPTEN_KEEPALIVE const char* web_pack(std::uint32_t operation, const char* in, const char* out, std::uint32_t type,
                                          std::uint32_t level)
{
    const std::vector<const morvex_tex_image_source*> list = source_list();
    web::steps steps;
    steps.total = static_cast<std::uint32_t>(list.size());
    morvex_tex_pack_options options = MORVEX_TEX_PACK_OPTIONS_INIT;
    options.type = type;
    options.level = level;
    options.jobs = 1;
    options.stop = web::stop_hook;
    options.stop_context = &steps;
    morvex_tex_pack_result result = MORVEX_TEX_PACK_RESULT_INIT;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    const std::string from = in;
    const std::string to = out;
    int status = -1;
    switch (operation) {
    case 0:
        status = morvex_tex_create(to.data(), to.size(), list.data(), list.size(), &options, &result, nullptr,
                                   nullptr, &error);
        break;
    case 1:
        status = morvex_tex_replace(from.data(), from.size(), to.data(), to.size(), list.data(), list.size(),
                                    &options, &result, nullptr, nullptr, &error);
        break;
    case 2:
        status = morvex_tex_add(from.data(), from.size(), list.data(), list.size(), &options, &result, nullptr,
                                nullptr, &error);
        break;
    case 3:
        status = morvex_tex_update(from.data(), from.size(), list.data(), list.size(), &options, &result, nullptr,
                                   nullptr, &error);
        break;
    default:
        break;
    }
    if (status != 0) return failed(error);
    return pack_answer(result);
}

// Drops the entries the sources' names take as patterns, in place.
EMSCRIPTEN_KEEPALIVE const char* web_delete(const char* path)
{
    std::vector<morvex_tex_string> patterns;
    for (const source& s : sources) patterns.push_back({s.name.data(), s.name.size()});
    const std::string archive = path;
    morvex_tex_pack_options options = MORVEX_TEX_PACK_OPTIONS_INIT;
    morvex_tex_pack_result result = MORVEX_TEX_PACK_RESULT_INIT;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    if (morvex_tex_delete(archive.data(), archive.size(), patterns.data(), patterns.size(), nullptr, 0, &options,
                          &result, nullptr, nullptr, &error) != 0)
        return failed(error);
    return pack_answer(result);
}

EMSCRIPTEN_KEEPALIVE const char* web_rename(const char* path, const char* old_name, const char* new_name)
{
    const std::string archive = path, from = old_name, to = new_name;
    morvex_tex_pack_options options = MORVEX_TEX_PACK_OPTIONS_INIT;
    morvex_tex_pack_result result = MORVEX_TEX_PACK_RESULT_INIT;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    if (morvex_tex_rename(archive.data(), archive.size(), {from.data(), from.size()}, {to.data(), to.size()},
                          &options, &result, nullptr, nullptr, &error) != 0)
        return failed(error);
    return pack_answer(result);
}

}  // extern "C"
