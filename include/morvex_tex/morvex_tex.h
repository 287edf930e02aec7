/* morvex_tex: reading TEX version 3 texture archives, decoding their
 * entries, extracting them, and writing images and archives. doc/api.md
 * says who frees what, which calls may run at once, and how errors and
 * versions work.
 *
 * Every call returns 0 on success or -1 with its morvex_tex_error filled
 * (unless said otherwise). The library never prints and never ends the
 * process.
 *
 * Threads: every call taking a `const morvex_tex_archive*` may run on
 * several threads at once on one archive (decoding different entries, or
 * the same one, listing, testing, extracting): the archive's index is
 * read-only once opened and every read is at an offset. morvex_tex_close
 * must not run while another call uses the archive. */
#ifndef MORVEX_TEX_H
#define MORVEX_TEX_H

#include "morvex_tex/types.h"
#include "morvex_tex/findings.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------
 * Opening. Each makes a new archive handle in *out (freed by
 * morvex_tex_close), or fails with *out NULL: MORVEX_TEX_ERROR_SYSTEM when
 * it can't be read, MORVEX_TEX_ERROR_NOT_ARCHIVE when it is no TEX version
 * 3 archive. A damaged archive opens: its findings say what is wrong. */

/* A file by its path (UTF-8; path_size bytes, no NUL among them). A pipe or
 * FIFO is read through into an unnamed temporary file, no further than the
 * archive's furthest entry; folders and character devices are refused. */
MORVEX_TEX_API int morvex_tex_open_path(const char* path, size_t path_size, morvex_tex_archive** out,
                                        morvex_tex_error* error);

/* An open descriptor, which stays the caller's: a regular file is read at
 * offsets through a duplicate of it (its position never moves); anything
 * else is read through from its position as a stream. */
MORVEX_TEX_API int morvex_tex_open_fd(int fd, morvex_tex_archive** out, morvex_tex_error* error);

/* Bytes in memory, copied (as far as the archive reaches) into an unnamed
 * temporary file: the caller may free them once this returns. */
MORVEX_TEX_API int morvex_tex_open_memory(const void* bytes, size_t size, morvex_tex_archive** out,
                                          morvex_tex_error* error);

/* A stream: `read` is called, on this thread and only during this call, to
 * fill up to `size` bytes of `buffer`; it returns how many it gave, 0 at the
 * end, or -1 to fail the open (with errno set, or EIO is said). Read through
 * as a pipe is. */
typedef int64_t (*morvex_tex_read_fn)(void* context, void* buffer, size_t size);
MORVEX_TEX_API int morvex_tex_open_stream(morvex_tex_read_fn read, void* context, morvex_tex_archive** out,
                                          morvex_tex_error* error);

/* Frees the archive and everything it holds; NULL is ignored. */
MORVEX_TEX_API void morvex_tex_close(morvex_tex_archive* archive);

/* ---------------------------------------------------------------------
 * The header, the entries and their findings, as plain values. */

#define MORVEX_TEX_HEADER_CUT 1u         /* the archive holds fewer than the header's 256 bytes */
#define MORVEX_TEX_TABLE_CUT 2u          /* it holds fewer table records than its file count */
#define MORVEX_TEX_PADDING_NOT_ZERO 4u   /* the header's (or the entry header's) padding is not all zero */
#define MORVEX_TEX_READ_THROUGH 8u       /* it came from a stream, read into a temporary file */
#define MORVEX_TEX_CUT_AT_LIMIT 16u      /* ... which held more than an archive can address */

typedef struct morvex_tex_header {
    uint32_t size;             /* sizeof(morvex_tex_header), set by the caller */
    uint8_t signature[3];      /* "TEX", in any letter case */
    uint8_t version;           /* 3 */
    uint32_t file_count;       /* as the header says */
    uint32_t second_word;      /* as the header says, not interpreted */
    uint32_t entry_count;      /* the records present: file_count, cut to what the archive holds */
    uint32_t flags;            /* MORVEX_TEX_HEADER_CUT, _TABLE_CUT, _PADDING_NOT_ZERO, _READ_THROUGH, _CUT_AT_LIMIT */
    uint64_t archive_size;     /* bytes, as read when opened */
} morvex_tex_header;

#define MORVEX_TEX_HEADER_INIT {sizeof(morvex_tex_header), {0, 0, 0}, 0, 0, 0, 0, 0, 0}

MORVEX_TEX_API int morvex_tex_get_header(const morvex_tex_archive* archive, morvex_tex_header* out,
                                         morvex_tex_error* error);

/* The records in the table; 0 for NULL. */
MORVEX_TEX_API uint32_t morvex_tex_entry_count(const morvex_tex_archive* archive);

/* The archive's own findings (at most 4): how many there are; the first
 * `capacity` of them are written to `out` (which may be NULL when capacity
 * is 0). */
MORVEX_TEX_API size_t morvex_tex_archive_findings(const morvex_tex_archive* archive, morvex_tex_finding* out,
                                                  size_t capacity);

typedef enum morvex_tex_entry_state {
    MORVEX_TEX_ENTRY_OK = 0,          /* its header was read */
    MORVEX_TEX_ENTRY_PAST_END = 1,    /* its offset lies at or past the end of the archive */
    MORVEX_TEX_ENTRY_HEADER_CUT = 2   /* the archive ends inside its 80-byte header */
} morvex_tex_entry_state;

typedef struct morvex_tex_entry {
    uint32_t size;             /* sizeof(morvex_tex_entry), set by the caller */
    uint32_t index;
    uint32_t state;            /* morvex_tex_entry_state: the fields of the header are 0 unless OK */
    uint32_t flags;            /* MORVEX_TEX_PADDING_NOT_ZERO */
    char name[33];             /* the stored name up to its first zero byte (32 at most), NUL-terminated */
    uint8_t name_size;         /* its bytes */
    uint16_t width;
    uint16_t height;
    uint32_t type;             /* the entry header's type: 4 zlib ARGB4444, 6 raw ARGB8888 */
    uint32_t table_type;       /* the table's copy of the type */
    uint32_t offset;           /* the entry header's offset in the archive */
    uint32_t payload_size;     /* the table's payload size: the bytes read */
    uint32_t rep_c_sz;         /* the entry header's copy of the payload size */
    uint32_t in_file;          /* the next record's offset minus this one's; 0 for the last */
    uint64_t payload_offset;
    uint32_t finding_count;    /* its findings, however many the call had room for */
} morvex_tex_entry;

#define MORVEX_TEX_ENTRY_INIT {sizeof(morvex_tex_entry), 0, 0, 0, {0}, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}

/* Entry `index` (below morvex_tex_entry_count) and its findings, the same
 * as `morvex_tex list` shows: the archive's checks of it and, for an entry
 * `morvex_tex extract` would refuse, the reason (budgets counted from entry
 * 0 in table order). The first `capacity` findings go to `findings`
 * (MORVEX_TEX_MAX_ENTRY_FINDINGS is always room enough). */
MORVEX_TEX_API int morvex_tex_get_entry(const morvex_tex_archive* archive, uint32_t index, morvex_tex_entry* out,
                                        morvex_tex_finding* findings, size_t capacity, morvex_tex_error* error);

/* The first entry in table order whose stored name is exactly `name`:
 * 0 with *index set, or -1 with MORVEX_TEX_ERROR_NO_ENTRY. */
MORVEX_TEX_API int morvex_tex_find_entry(const morvex_tex_archive* archive, const char* name, size_t size,
                                         uint32_t* index, morvex_tex_error* error);

/* ---------------------------------------------------------------------
 * Decoding one entry into RGBA8 pixels (bytes R, G, B, A), rows top first,
 * exactly as the extractor's TGA and PNG files hold them. Any entry with
 * pixels decodes, the first too and whatever its name; one that can't
 * fails with MORVEX_TEX_ERROR_ENTRY and the finding that says why. */

typedef struct morvex_tex_image {
    uint32_t size;               /* sizeof(morvex_tex_image), set by the caller */
    uint32_t width;
    uint32_t height;
    uint32_t warning_count;      /* warnings met (the entry still decoded), at most 4 */
    size_t stride;               /* bytes a row: width * 4 */
    uint8_t* rgba;               /* width * height * 4 bytes */
    morvex_tex_finding warnings[4];
} morvex_tex_image;

#define MORVEX_TEX_IMAGE_INIT {sizeof(morvex_tex_image), 0, 0, 0, 0, NULL, {{0, 0, 0, 0, 0, 0}}}

/* Into new memory: out->rgba is the library's, freed by
 * morvex_tex_image_free. */
MORVEX_TEX_API int morvex_tex_decode(const morvex_tex_archive* archive, uint32_t index, morvex_tex_image* out,
                                     morvex_tex_error* error);

/* Frees what morvex_tex_decode allocated and sets rgba to NULL; NULL (or
 * rgba NULL) is ignored. Never for an image of morvex_tex_decode_into,
 * whose memory is the caller's. */
MORVEX_TEX_API void morvex_tex_image_free(morvex_tex_image* image);

/* Into the caller's `buffer` of `buffer_size` bytes (width * height * 4 are
 * needed: MORVEX_TEX_ERROR_BUFFER says how many when fewer, before anything
 * is decoded). `out` (may be NULL) is filled as by morvex_tex_decode, its
 * rgba pointing at `buffer`. */
MORVEX_TEX_API int morvex_tex_decode_into(const morvex_tex_archive* archive, uint32_t index, void* buffer,
                                          size_t buffer_size, morvex_tex_image* out, morvex_tex_error* error);

/* ---------------------------------------------------------------------
 * One entry's payload as stored: the table's payload size in bytes, read
 * from the entry's payload offset (what `morvex_tex extract --raw` writes).
 * Into the caller's `buffer` of `buffer_size` bytes; *size (may be NULL)
 * gets the payload's bytes. MORVEX_TEX_ERROR_ENTRY (with the finding) when
 * the entry's header can't be read or its payload runs past the archive's
 * end, and MORVEX_TEX_ERROR_BUFFER (`needed`) when the buffer is smaller,
 * both before anything is read: a call with no buffer asks the size. */
MORVEX_TEX_API int morvex_tex_read_payload(const morvex_tex_archive* archive, uint32_t index, void* buffer,
                                           size_t buffer_size, uint64_t* size, morvex_tex_error* error);

#ifdef __cplusplus
}
#endif

#include "morvex_tex/walks.h"
#include "morvex_tex/diff.h"
#include "morvex_tex/write.h"

#endif
