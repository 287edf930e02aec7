// The page's worker (worker.js) calls the library's C API through these few
// functions: plain numbers and pointers in, JSON text or numbers out, so
// that no struct's layout is written twice. Every archive the worker holds
// is a file of the browser's in-memory file system, opened by its path.
#include "web/bridge.hpp"

#include <emscripten/emscripten.h>

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "morvex_tex/morvex_tex.h"
#include "words/escape.hpp"

namespace {

std::string last_error;   // the last failure, as JSON
std::string last_result;  // what the last call returning text returned
morvex_tex_image decoded = MORVEX_TEX_IMAGE_INIT;

void keep_error(const morvex_tex_error& error)
{
    const char* name = morvex_tex_error_name(error.kind);
    last_error = "{\"kind\": ";
    last_error += tex_json_string(name ? name : "unknown");
    last_error += ", \"message\": ";
    last_error += tex_json_string(error.message);
    last_error += ", \"image\": " + std::to_string(error.image) + "}";
}

void append_finding(std::string& out, const morvex_tex_finding& finding)
{
    const char* name = morvex_tex_finding_name(finding.kind);
    char text[512];
    morvex_tex_finding_text(&finding, text, sizeof text);
    out += "{\"kind\": ";
    out += tex_json_string(name ? name : "unknown");
    out += ", \"message\": ";
    out += tex_json_string(text);
    out += "}";
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* web_error()
{
    return last_error.c_str();
}

EMSCRIPTEN_KEEPALIVE morvex_tex_archive* web_open(const char* path)
{
    morvex_tex_archive* archive = nullptr;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    if (morvex_tex_open_path(path, std::char_traits<char>::length(path), &archive, &error) != 0) keep_error(error);
    return archive;
}

EMSCRIPTEN_KEEPALIVE void web_close(morvex_tex_archive* archive)
{
    morvex_tex_close(archive);
}

// {"header": {...}, "problems": [...], "entries": [...]}, as `list --json`
// names what it shows.
EMSCRIPTEN_KEEPALIVE const char* web_describe(const morvex_tex_archive* archive)
{
    std::string& out = last_result;
    morvex_tex_header header = MORVEX_TEX_HEADER_INIT;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    if (morvex_tex_get_header(archive, &header, &error) != 0) {
        keep_error(error);
        return nullptr;
    }
    out = "{\"header\": {\"signature\": ";
    out += tex_json_string(std::string(reinterpret_cast<const char*>(header.signature), 3));
    out += ", \"version\": " + std::to_string(header.version) + ", \"file_count\": " +
           std::to_string(header.file_count) + ", \"second_word\": " + std::to_string(header.second_word) +
           ", \"entry_count\": " + std::to_string(header.entry_count) + ", \"size\": " +
           std::to_string(header.archive_size) + ", \"header_padding_zero\": " +
           ((header.flags & MORVEX_TEX_PADDING_NOT_ZERO) ? "false" : "true") + "}, \"problems\": [";
    morvex_tex_finding findings[MORVEX_TEX_MAX_ENTRY_FINDINGS];
    const std::size_t count = morvex_tex_archive_findings(archive, findings, 4);
    for (std::size_t k = 0; k < count && k < 4; ++k) {
        if (k) out += ", ";
        append_finding(out, findings[k]);
    }
    out += "], \"entries\": [";
    const std::uint32_t entries = morvex_tex_entry_count(archive);
    for (std::uint32_t i = 0; i < entries; ++i) {
        morvex_tex_entry entry = MORVEX_TEX_ENTRY_INIT;
        if (morvex_tex_get_entry(archive, i, &entry, findings, MORVEX_TEX_MAX_ENTRY_FINDINGS, &error) != 0) {
            keep_error(error);
            return nullptr;
        }
        const bool read = entry.state == MORVEX_TEX_ENTRY_OK;
        out += i ? ",\n" : "\n";
        out += "{\"index\": " + std::to_string(i) + ", \"name\": ";
        if (read) {
            out += tex_json_string(std::string(entry.name, entry.name_size));
        } else {
            out += "null";
        }
        out += read ? ", \"type\": " + std::to_string(entry.type) + ", \"width\": " + std::to_string(entry.width) +
                          ", \"height\": " + std::to_string(entry.height)
                    : std::string(", \"type\": null, \"width\": null, \"height\": null");
        out += ", \"size\": " + std::to_string(entry.payload_size) + ", \"problems\": [";
        for (std::uint32_t k = 0; k < entry.finding_count && k < MORVEX_TEX_MAX_ENTRY_FINDINGS; ++k) {
            if (k) out += ", ";
            append_finding(out, findings[k]);
        }
        out += "]}";
    }
    out += "]}";
    return out.c_str();
}

// Decodes one entry: its RGBA8 pixels (width * height * 4 bytes, kept until
// web_release or the next decode), their width and height in size[0..1].
EMSCRIPTEN_KEEPALIVE const std::uint8_t* web_decode(const morvex_tex_archive* archive, std::uint32_t index,
                                                    std::uint32_t* size)
{
    morvex_tex_image_free(&decoded);
    decoded = MORVEX_TEX_IMAGE_INIT;
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    if (morvex_tex_decode(archive, index, &decoded, &error) != 0) {
        keep_error(error);
        return nullptr;
    }
    size[0] = decoded.width;
    size[1] = decoded.height;
    return decoded.rgba;
}

EMSCRIPTEN_KEEPALIVE void web_release()
{
    morvex_tex_image_free(&decoded);
}

// The format a word names ("png", "webp", ...), as the library knows them:
// 0 for none.
EMSCRIPTEN_KEEPALIVE std::uint32_t web_format(const char* word)
{
    return morvex_tex_format_for(word, std::char_traits<char>::length(word));
}

// One entry written as an image file in `format` (a morvex_tex_format) to
// `path`, the bytes `extract --format` writes.
EMSCRIPTEN_KEEPALIVE int web_write_image(const morvex_tex_archive* archive, std::uint32_t index, std::uint32_t format,
                                         const char* path)
{
    std::uint32_t size[2] = {0, 0};
    const std::uint8_t* rgba = web_decode(archive, index, size);
    if (!rgba) return -1;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        last_error = "{\"kind\": \"system\", \"message\": \"the image's file could not be made\", \"image\": 0}";
        web_release();
        return -1;
    }
    const morvex_tex_pixels pixels{decoded.width, decoded.height, decoded.stride, decoded.rgba};
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    const int status = morvex_tex_write_image_fd(fd, format, &pixels, &error);
    if (status != 0) keep_error(error);
    close(fd);
    web_release();
    return status;
}

}  // extern "C"
