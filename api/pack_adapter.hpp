// What the API asks of the packer, as requests in and outcomes out. Today the
// two requests are carried out in pack_adapter.cpp with the packer's building
// blocks (pack/pack.hpp's payload writers, entry comparisons and name
// candidates) and the output layer, because pack_create and pack_replace
// print their own messages and read image files only. Once pack/ takes
// requests and returns its refusals as values, these two functions become
// calls of it, and nothing else in api/ changes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "morvex_tex/morvex_tex.h"
#include "format/format.hpp"

struct pack_request_image {
    std::string name;                          // stored (create) or matched (replace) under; empty: from the path
    std::string path;                          // an image file; empty: `pixels`
    const morvex_tex_pixels* pixels = nullptr; // checked already
};

struct pack_request {
    std::string in_path;   // replace: the archive patched
    std::string out_path;
    std::vector<pack_request_image> images;
    std::uint8_t type = 6; // create: every entry's type
    bool force = false;    // write over a file of another kind, or one named like an image
};

// One entry of the archive written, in table order.
struct pack_entry_report {
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
struct pack_failure {
    std::uint32_t kind = MORVEX_TEX_OK;   // morvex_tex_error_kind
    int error = 0;
    std::string message;
    std::optional<tex_finding> finding;   // MORVEX_TEX_ERROR_DAMAGED
    std::optional<std::size_t> image;     // the image refused
};

using pack_report_fn = std::function<void(const pack_entry_report&)>;

// Each writes the whole archive or nothing: 0, or -1 with `failure` filled.
int pack_request_create(const pack_request& request, const pack_report_fn& report, pack_failure& failure);
int pack_request_replace(const pack_request& request, const pack_report_fn& report, pack_failure& failure);
