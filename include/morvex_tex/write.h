/* morvex_tex: writing image files, and building and patching archives, as
 * `morvex_tex create` and `morvex_tex replace` do. Included by
 * <morvex_tex/morvex_tex.h>.
 *
 * Every file is written as an unnamed (or unpredictably named) file beside
 * its name and put in place only when complete: a failure leaves nothing,
 * and what was under the name survives it. */
#ifndef MORVEX_TEX_WRITE_H
#define MORVEX_TEX_WRITE_H

#include "morvex_tex/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------
 * Image files from RGBA8 pixels: 1 to 65535 pixels a side, at most 16384 *
 * 16384 in all; TGA, PNG and WebP (lossless) keep the alpha, BMP and PCX
 * drop it. The bytes are those of the extractor's files for the same pixels. */

#define MORVEX_TEX_WRITE_KEEP 1u   /* fail (MORVEX_TEX_ERROR_SYSTEM, EEXIST) rather than replace a file */
#define MORVEX_TEX_WRITE_FORCE 2u  /* write over a file not named like an image */

/* To `path` (UTF-8), in `format`, or with MORVEX_TEX_FORMAT_AS_NAMED in the
 * one its extension selects (MORVEX_TEX_ERROR_NAME when none). The path is
 * taken as the programs take a path the user names: its folder is the
 * caller's to name, links and all; what is under the name is replaced whole
 * (a link replaced, not followed), or, a device, FIFO or socket, written
 * through, and "-" is standard output (refused on a terminal). An existing
 * file not named like an image, and a folder, are refused
 * (MORVEX_TEX_ERROR_REFUSED) but for MORVEX_TEX_WRITE_FORCE over a file. */
MORVEX_TEX_API int morvex_tex_write_image(const char* path, size_t path_size, uint32_t format,
                                          const morvex_tex_pixels* image, uint32_t flags, morvex_tex_error* error);

/* The library installs no signal handler. A program that wants no temporary
 * file left behind when it is interrupted calls this from its own handler
 * of SIGINT, SIGTERM, SIGHUP and SIGPIPE (on Windows, its console control
 * handler), just before the process ends: no file is put in place after it
 * (one being placed completes or is undone), and the temporary files of the
 * outputs in the making, the library's in every thread, are removed.
 * Async-signal-safe; the library writes nothing more once it was called. */
MORVEX_TEX_API void morvex_tex_interrupted(void);

/* To an open descriptor, from its position on, sequentially; it stays open
 * and the caller's. `format` must name one. */
MORVEX_TEX_API int morvex_tex_write_image_fd(int fd, uint32_t format, const morvex_tex_pixels* image,
                                             morvex_tex_error* error);

/* ---------------------------------------------------------------------
 * Building and patching archives. An image comes from a file (PNG, TGA,
 * BMP or PCX, read by the packer's bounded decoders) or from RGBA8 pixels
 * in memory. The output path may be new, an existing TEX archive, an empty
 * file or a link (replaced, not followed); a file of another kind, or a
 * name ending in an image extension, is refused (MORVEX_TEX_ERROR_REFUSED)
 * unless forced, and so is any of the call's inputs, forced or not. */

/* Pixels in memory without alpha: `pixels.rgba` holds bytes R, G, B, 3 a
 * pixel (stride >= width * 3), an image that carries no alpha as BMP and PCX
 * files don't: stored opaque, and replace treats it as it treats such a file. */
#define MORVEX_TEX_SOURCE_RGB 1u
/* Replace, pixels: `name` is matched as an image file's path is (the entry
 * stored under it with the most of its folders, else the one of the same
 * path and stem), not as the exact stored name. Not with a path. */
#define MORVEX_TEX_SOURCE_NAME_AS_PATH 2u

typedef struct morvex_tex_image_source {
    uint32_t size;              /* sizeof(morvex_tex_image_source) */
    uint32_t flags;             /* MORVEX_TEX_SOURCE_*; 0 (the field was reserved before there were any) */
    morvex_tex_string name;     /* create: stored under it; replace: the entry it patches. data NULL: from the path */
    morvex_tex_string path;     /* the image file; data NULL: `pixels` */
    morvex_tex_pixels pixels;   /* when there is no path: the image, its alpha kept (unless MORVEX_TEX_SOURCE_RGB) */
} morvex_tex_image_source;

#define MORVEX_TEX_IMAGE_SOURCE_INIT {sizeof(morvex_tex_image_source), 0, {NULL, 0}, {NULL, 0}, {0, 0, 0, NULL}}

#define MORVEX_TEX_PACK_FORCE 1u        /* write over a file of another kind, or one named like an image;
                                           create: over a TEX archive (refused otherwise, MORVEX_TEX_ERROR_REFUSED) */
#define MORVEX_TEX_PACK_IGNORE_CASE 2u  /* delete: patterns match in either letter case */

typedef struct morvex_tex_pack_options {
    uint32_t size;    /* sizeof(morvex_tex_pack_options) */
    uint32_t type;    /* create: 6 (raw 32-bit pixels, the default when 0) or 4 (zlib, 4 bits a channel) */
    uint32_t flags;   /* MORVEX_TEX_PACK_* */
    uint32_t level;   /* type-4 payloads written: 1 (fastest) to 12 (smallest); 0: the programs' default */
    uint32_t jobs;    /* threads that decode and compress images, 1 to 256; 0: as the programs choose */
    morvex_tex_stop_fn stop;  /* NULL: never stopped; stopped, nothing is written */
    void* stop_context;
} morvex_tex_pack_options;

#define MORVEX_TEX_PACK_OPTIONS_INIT {sizeof(morvex_tex_pack_options), 0, 0, 0, 0, NULL, NULL}

typedef enum morvex_tex_pack_action {
    MORVEX_TEX_PACK_PLACEHOLDER = 1,  /* create: the empty first entry, which no extractor writes */
    MORVEX_TEX_PACK_ADDED = 2,        /* create: an image */
    MORVEX_TEX_PACK_REPLACED = 3,     /* replace: the entry holds the new image */
    MORVEX_TEX_PACK_UNCHANGED = 4,    /* replace: the image was the entry's own: kept byte for byte */
    MORVEX_TEX_PACK_KEPT = 5,         /* replace, add, delete, rename: kept byte for byte */
    MORVEX_TEX_PACK_DELETED = 6,      /* delete: not written; its index is the archive's before */
    MORVEX_TEX_PACK_RENAMED = 7       /* rename: kept byte for byte but for its name */
} morvex_tex_pack_action;

#define MORVEX_TEX_PACK_ALPHA_LOST 1u  /* the image carries no alpha where the entry had some */
#define MORVEX_TEX_PACK_RESIZED 2u     /* the image's size is not the entry's */

typedef struct morvex_tex_pack_entry {
    uint32_t size;              /* sizeof(morvex_tex_pack_entry) as the library knows it */
    uint32_t index;
    uint32_t action;            /* morvex_tex_pack_action */
    uint32_t type;
    uint32_t width;
    uint32_t height;
    uint64_t payload_size;
    uint32_t warnings;          /* MORVEX_TEX_PACK_ALPHA_LOST, _RESIZED */
    uint32_t source;            /* ADDED, REPLACED, UNCHANGED: the index of its image among `images` */
    morvex_tex_string name;     /* the stored name */
} morvex_tex_pack_entry;

typedef void (*morvex_tex_pack_fn)(void* context, const morvex_tex_pack_entry* entry);

typedef struct morvex_tex_pack_result {
    uint32_t size;        /* sizeof(morvex_tex_pack_result), set by the caller */
    uint32_t entries;     /* in the archive written */
    uint32_t added;
    uint32_t replaced;
    uint32_t unchanged;
    uint32_t kept;
    uint32_t stopped;     /* 1 when the stop hook ended the call early (nothing written) */
    uint32_t deleted;
    uint32_t renamed;
} morvex_tex_pack_result;

#define MORVEX_TEX_PACK_RESULT_INIT {sizeof(morvex_tex_pack_result), 0, 0, 0, 0, 0, 0, 0, 0}

/* A new archive at `out_path`: an empty placeholder first, then one entry
 * per image in order, of options->type, named as given or after its file
 * (32 bytes at most, ending in .png, .tga, .bmp or .pcx). options, result
 * and each may be NULL. Nothing is written unless everything succeeds; the
 * error names the first image refused (`image` holds 1 + its index). */
MORVEX_TEX_API int morvex_tex_create(const char* out_path, size_t out_size, const morvex_tex_image_source* const* images,
                                     size_t count, const morvex_tex_pack_options* options,
                                     morvex_tex_pack_result* result, morvex_tex_pack_fn each, void* context,
                                     morvex_tex_error* error);

/* `in_path` copied to `out_path` with each image put in the entry it names
 * (without a name: the entry stored under the file's path with the most of
 * its folders, else the one of the same path and stem, sky.png for
 * sky.tga), in that entry's own type; every other entry, the first and the
 * header byte for byte, and an entry whose image didn't change too. An
 * archive with problems that keep an entry from being copied as it is
 * fails with MORVEX_TEX_ERROR_DAMAGED. */
MORVEX_TEX_API int morvex_tex_replace(const char* in_path, size_t in_size, const char* out_path, size_t out_size,
                                      const morvex_tex_image_source* const* images, size_t count,
                                      const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                      morvex_tex_pack_fn each, void* context, morvex_tex_error* error);

/* ---------------------------------------------------------------------
 * Editing an archive in place, as `morvex_tex add`, `update`, `delete`
 * and `rename` do: the archive at `path` is copied with the change, every other entry
 * byte for byte (a damaged one too), and the copy takes
 * its place only when complete, with its owner and permissions; a link to
 * it is followed. The archive is locked against other edits from before it
 * is read until the copy is in place, and nothing is replaced when
 * something else wrote it meanwhile (MORVEX_TEX_ERROR_SYSTEM, EBUSY). On any
 * failure the archive stays as it was. `each` is told of every entry of the
 * archive written (a deleted one too, with its old index). */

/* Each image added after the entries, of options->type (6 when 0), under a
 * name the archive doesn't hold yet (as given, or its file's name);
 * MORVEX_TEX_ERROR_NAME for one it holds. */
MORVEX_TEX_API int morvex_tex_add(const char* path, size_t path_size, const morvex_tex_image_source* const* images,
                                  size_t count, const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                  morvex_tex_pack_fn each, void* context, morvex_tex_error* error);

/* Every entry from 1 on that one of the patterns matches (shell wildcards
 * where * matches / too; one ending in / takes a folder) and none of
 * `exclude` does is dropped; the first entry always stays. A pattern that
 * matches no entry fails the call (MORVEX_TEX_ERROR_NAME). With
 * MORVEX_TEX_PACK_IGNORE_CASE in options->flags, in either letter case. */
MORVEX_TEX_API int morvex_tex_delete(const char* path, size_t path_size, const morvex_tex_string* patterns, size_t count,
                                     const morvex_tex_string* exclude, size_t exclude_count,
                                     const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                     morvex_tex_pack_fn each, void* context, morvex_tex_error* error);

/* Every entry from 1 on stored as `old_name` stored as `new_name`, a name
 * the archive doesn't hold yet (MORVEX_TEX_ERROR_NAME otherwise, and when
 * no entry is stored as `old_name`). */
/* Each image put into the entry morvex_tex_replace would match (a path
 * naming a folder stands for every image beneath it, matched by its path
 * inside the folder), in the entry's own type, when its pixels differ from
 * the entry's; an image no entry takes is added as morvex_tex_add adds it,
 * of options->type. When no entry changes and none is added, the archive is
 * left as it was, not even rewritten (result: added and replaced 0). */
MORVEX_TEX_API int morvex_tex_update(const char* path, size_t path_size, const morvex_tex_image_source* const* images,
                                     size_t count, const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                     morvex_tex_pack_fn each, void* context, morvex_tex_error* error);

MORVEX_TEX_API int morvex_tex_rename(const char* path, size_t path_size, morvex_tex_string old_name,
                                     morvex_tex_string new_name, const morvex_tex_pack_options* options,
                                     morvex_tex_pack_result* result, morvex_tex_pack_fn each, void* context,
                                     morvex_tex_error* error);

#ifdef __cplusplus
}
#endif

#endif
