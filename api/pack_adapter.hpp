// What the API asks of the packer: its structs made into a request of pack/
// (pack/pack.hpp: create and replace, requests in, results and notes out),
// carried out there, and the result made into what the API reports.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format/format.hpp"
#include "morvex_tex/morvex_tex.h"

struct api_pack_image {
    std::string name;                          // stored (create) or matched (replace) under; empty: from the path
    std::string path;                          // an image file; empty: `pixels`
    const morvex_tex_pixels* pixels = nullptr; // checked already
    bool rgb = false;                          // the pixels are R, G, B bytes, without alpha
    bool name_as_path = false;                 // replace: `name` is matched as a file's path is
};

// What the packer is asked to do.
enum class api_pack_command { create, replace, add, remove, rename, update };

struct api_pack_request {
    api_pack_command command = api_pack_command::create;
    std::string in_path;   // replace: the archive patched; add, remove, rename: the archive edited in place
    std::string out_path;
    std::vector<api_pack_image> images;
    std::uint8_t type = 6; // create: every entry's type
    bool force = false;    // write over a file of another kind, or one named like an image
    int level = 0;         // type-4 payloads: 1 to 12; 0: the packer's default
    unsigned workers = 1;  // threads that decode and compress images
    std::function<bool()> stop;  // asked before each image: true stops the run, nothing written
    std::vector<std::string> patterns, excluded;  // remove: the entries dropped, but those excluded
    bool ignore_case = false;                     // ... in either letter case
    std::string old_name, new_name;               // rename
};

// One entry of the archive written, in table order.
struct api_pack_entry {
    std::uint32_t index = 0;
    std::uint32_t action = 0;   // morvex_tex_pack_action
    std::uint32_t type = 0;
    std::uint32_t width = 0, height = 0;
    std::uint64_t payload = 0;
    std::uint32_t warnings = 0; // MORVEX_TEX_PACK_ALPHA_LOST, _RESIZED
    std::uint32_t source = 0;   // the image it came from
    std::string name;
};

// Why nothing was written.
struct api_pack_failure {
    std::uint32_t kind = MORVEX_TEX_OK;   // morvex_tex_error_kind
    int error = 0;
    std::string message;
    std::optional<tex_finding> finding;   // MORVEX_TEX_ERROR_DAMAGED
    std::optional<std::size_t> image;     // the image refused
};

using api_pack_report_fn = std::function<void(const api_pack_entry&)>;

// Writes the whole archive or nothing: 0, or -1 with `failure` filled.
int api_pack_run(const api_pack_request& request, const api_pack_report_fn& report, api_pack_failure& failure);
