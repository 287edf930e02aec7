// The archives the packer copies (replace, add, delete, rename): read
// through the archive index as every reader reads them, their entries
// decoded by the entry job where an image is compared with one, and kept
// byte for byte otherwise (archive.cpp). Included by pack/'s commands and
// their tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pack/pack.hpp"

// ---------------------------------------------------------------------------
// The archive `replace` patches, read through the archive index.

struct pack_source {
    std::string path;
    tex_archive_file file;
    tex_index index;
    std::vector<pack_note> notes;  // why pack_open_source refused it
};

// Opens and indexes the archive ("-": standard input, spooled), and refuses
// one whose entries could not be kept byte for byte in a well-formed output
// (the index's findings but an unknown type; the first `findings_kept`, then
// their count), leaving out the findings of entries `dropped` takes, which
// won't be kept. 0 or -1.
int pack_open_source(const std::string& path, pack_source& out, std::uint32_t findings_kept = pack_findings_kept,
                     const std::function<bool(const tex_entry_view&)>& dropped = {});

// True when the entry, whose pixels the entry job decoded (`image`, with
// `found` its findings), already holds exactly the image in its own type
// (type 4 once rounded to 4-bit levels; for an image whose file carries no
// alpha, in its colour channels only): it is then kept byte for byte, so that
// putting back unchanged images leaves the archive as it was, whatever format
// they were extracted to.
bool pack_entry_holds(const tex_entry_view& v, const image32& decoded, const std::vector<tex_finding>& found,
                      const pack_image& image);

// True when some pixel the entry's payload really held isn't fully opaque
// (of a short type-4 stream, only those it reached).
bool pack_entry_has_alpha(const image32& decoded, const std::vector<tex_finding>& found);

// ---------------------------------------------------------------------------
// Payloads kept as stored.

// Copies `size` payload bytes from `offset` of an archive. -1 with errno.
int pack_copy_payload(tex_payload_out& out, int fd, std::uint64_t offset, std::uint32_t size);
