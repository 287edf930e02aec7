// Opening archives from a path, a descriptor, memory or a read callback: each
// ends as a descriptor every reader reads at offsets (the file itself, or
// what was read through into an unnamed temporary file), indexed once.
#include "api/internal.hpp"

#include <cerrno>
#include <memory>

#include "words/words.hpp"
#include "files/archive_spool.hpp"

namespace {

// Indexes the opened file and hands the archive over; `what` begins messages.
int finish_open(std::unique_ptr<morvex_tex_archive> a, const std::string& what, morvex_tex_archive** out,
                morvex_tex_error* error)
{
    const bool ordered = tex_open_index(a->file.fd, a->file.size, a->index) == 0;
    const std::string prefix = what.empty() ? "" : what + ": ";
    if (!a->index.recognised) return api::fail(error, MORVEX_TEX_ERROR_NOT_ARCHIVE, 0, prefix + "not a TEX version 3 archive");
    if (!ordered) {
        return api::fail(error, MORVEX_TEX_ERROR_NO_MEMORY, ENOMEM,
                         prefix + format_text("can't hold the order of %u table records in memory", a->index.count));
    }
    *out = a.release();
    return api::succeed(error);
}

template <typename Open>
int open_with(morvex_tex_archive** out, morvex_tex_error* error, const std::string& what, Open&& open)
{
    if (!out) return api::fail_argument(error, "no place for the archive handle");
    *out = nullptr;
    return api::guarded(error, [&] {
        auto a = std::make_unique<morvex_tex_archive>();
        errno = 0;
        if (open(a->file) != 0) return api::fail_errno(error, errno ? errno : EIO, what);
        return finish_open(std::move(a), what, out, error);
    });
}

}  // namespace

extern "C" {

MORVEX_TEX_API int morvex_tex_open_path(const char* path, size_t path_size, morvex_tex_archive** out,
                                        morvex_tex_error* error)
{
    std::string p;
    if (!api::text_of(path, path_size, p) || p.empty()) {
        if (out) *out = nullptr;
        return api::fail_argument(error, "a path is bytes without NUL");
    }
    return open_with(out, error, p, [&](tex_archive_file& f) { return tex_open_archive(p.c_str(), f); });
}

MORVEX_TEX_API int morvex_tex_open_fd(int fd, morvex_tex_archive** out, morvex_tex_error* error)
{
    if (fd < 0) {
        if (out) *out = nullptr;
        return api::fail_errno(error, EBADF, "");
    }
    return open_with(out, error, "", [&](tex_archive_file& f) { return api::adopt_descriptor(fd, f); });
}

MORVEX_TEX_API int morvex_tex_open_memory(const void* bytes, size_t size, morvex_tex_archive** out,
                                          morvex_tex_error* error)
{
    if (!bytes && size > 0) {
        if (out) *out = nullptr;
        return api::fail_argument(error, "no bytes given");
    }
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    std::size_t at = 0;
    const tex_stream_read read_some = [&](std::span<std::uint8_t> into) -> std::int64_t {
        const std::size_t n = std::min(into.size(), size - at);
        if (n > 0) std::memcpy(into.data(), from + at, n);
        at += n;
        return static_cast<std::int64_t>(n);
    };
    return open_with(out, error, "", [&](tex_archive_file& f) { return tex_spool_stream(read_some, f, tex_max_archive_size); });
}

MORVEX_TEX_API int morvex_tex_open_stream(morvex_tex_read_fn read, void* context, morvex_tex_archive** out,
                                          morvex_tex_error* error)
{
    if (!read) {
        if (out) *out = nullptr;
        return api::fail_argument(error, "no read callback given");
    }
    const tex_stream_read read_some = [&](std::span<std::uint8_t> into) -> std::int64_t {
        errno = 0;
        const std::int64_t got = read(context, into.data(), into.size());
        if (got < 0 || static_cast<std::uint64_t>(got) > into.size()) {
            if (got >= 0 || errno == 0) errno = EIO;
            return -1;
        }
        return got;
    };
    return open_with(out, error, "", [&](tex_archive_file& f) { return tex_spool_stream(read_some, f, tex_max_archive_size); });
}

MORVEX_TEX_API void morvex_tex_close(morvex_tex_archive* archive)
{
    delete archive;
}

MORVEX_TEX_API int morvex_tex_get_header(const morvex_tex_archive* archive, morvex_tex_header* out,
                                         morvex_tex_error* error)
{
    if (!archive || !api::size_ok(out)) return api::fail_argument(error, "no archive, or a header struct of no known size");
    const tex_index& index = archive->index;
    morvex_tex_header h{};
    std::copy(index.header.signature.begin(), index.header.signature.end(), h.signature);
    h.version = index.header.version;
    h.file_count = index.header.file_count;
    h.second_word = index.header.second_word;
    h.entry_count = index.count;
    h.flags = (index.header_cut ? MORVEX_TEX_HEADER_CUT : 0) | (index.table_cut ? MORVEX_TEX_TABLE_CUT : 0) |
              (index.padding_zero ? 0 : MORVEX_TEX_PADDING_NOT_ZERO) |
              (archive->file.read_through ? MORVEX_TEX_READ_THROUGH : 0) |
              (archive->file.cut_at_limit ? MORVEX_TEX_CUT_AT_LIMIT : 0);
    h.archive_size = index.size;
    api::copy_out(out, h);
    return api::succeed(error);
}

MORVEX_TEX_API uint32_t morvex_tex_entry_count(const morvex_tex_archive* archive)
{
    return archive ? archive->index.count : 0;
}

MORVEX_TEX_API size_t morvex_tex_archive_findings(const morvex_tex_archive* archive, morvex_tex_finding* out,
                                                  size_t capacity)
{
    if (!archive) return 0;
    try {
        return api::copy_findings(tex_archive_findings(archive->index, archive->file.cut_at_limit), out, capacity);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
