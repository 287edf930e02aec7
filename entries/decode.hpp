// An entry's pixels decoded into memory, for callers that want the image
// rather than a file (the library's API): the entry job's own decoders, so
// the pixels are those of every file the job writes.
#pragma once

#include <span>
#include <vector>

#include "entries/entries.hpp"

// Decodes the request's payload (type 4 or 6) into `out`, rows top first, as
// extract_entry does before writing. 0, or -1 with the reason last among
// `found` (which may also hold a warning: a stream of another length).
int decode_entry_pixels(const extract_request& request, image32& out, std::vector<tex_finding>& found);

// The same into the caller's `pixels`, at least the request's width * height
// of them (rows of `width` pixels), as RGBA8 bytes (R, G, B, A): nothing is
// allocated for them, and they need no second pass.
int decode_entry_pixels_into(const extract_request& request, std::span<std::uint32_t> pixels, std::vector<tex_finding>& found);
