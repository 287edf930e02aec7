/* morvex_tex: what every call of the library shares. Include
 * <morvex_tex/morvex_tex.h>, which includes this.
 *
 * The library is a C ABI: plain structs, opaque handles, strings as pointer
 * and length, callbacks with a context pointer. Structs that may grow carry
 * their own size in their first field: the caller sets it to sizeof the
 * struct it was compiled with (the *_INIT macros do), and the library reads
 * and writes no byte beyond it. Fields are only ever added at the end. */
#ifndef MORVEX_TEX_TYPES_H
#define MORVEX_TEX_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(MORVEX_TEX_BUILDING_DLL)
#    define MORVEX_TEX_API __declspec(dllexport)
#  elif defined(MORVEX_TEX_DLL)
#    define MORVEX_TEX_API __declspec(dllimport)
#  else
#    define MORVEX_TEX_API
#  endif
#elif defined(__GNUC__)
#  define MORVEX_TEX_API __attribute__((visibility("default")))
#else
#  define MORVEX_TEX_API
#endif

/* The ABI this header describes: the shared library's SONAME carries it
 * (libmorvex_tex.so.1). It changes only when a call or struct changes in a
 * way an existing program would notice. */
#define MORVEX_TEX_ABI_VERSION 1

/* The version of the library these headers come with, as
 * morvex_tex_version() gives it ("1.0": major.minor, and .patch when not 0).
 * A caller may test for a call added in a later version with these. */
#define MORVEX_TEX_VERSION_MAJOR 1
#define MORVEX_TEX_VERSION_MINOR 0
#define MORVEX_TEX_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes with their length; never NUL-terminated unless said. A string with
 * data NULL is absent (an empty string has data non-NULL and size 0). */
typedef struct morvex_tex_string {
    const char* data;
    size_t size;
} morvex_tex_string;

/* What a check found (morvex_tex/findings.h lists the kinds and what their
 * numbers mean). Findings are plain values, never grown: a new number would
 * be a new kind. */
typedef struct morvex_tex_finding {
    uint32_t kind;  /* morvex_tex_finding_kind */
    int32_t error;  /* errno where the system refused, else 0 */
    uint64_t a, b, c, d;
} morvex_tex_finding;

/* Why a call failed. Stable numbers; morvex_tex_error_name() gives each a
 * stable snake_case name. */
typedef enum morvex_tex_error_kind {
    MORVEX_TEX_OK = 0,
    MORVEX_TEX_ERROR_SYSTEM = 1,       /* the system refused: `error` holds errno */
    MORVEX_TEX_ERROR_NOT_ARCHIVE = 2,  /* not a TEX version 3 archive */
    MORVEX_TEX_ERROR_NO_MEMORY = 3,    /* not enough memory */
    MORVEX_TEX_ERROR_ARGUMENT = 4,     /* a null handle, an option out of range, a name holding NUL */
    MORVEX_TEX_ERROR_BUFFER = 5,       /* the caller's buffer is too small: `needed` bytes are */
    MORVEX_TEX_ERROR_NO_ENTRY = 6,     /* no entry of that index or name */
    MORVEX_TEX_ERROR_ENTRY = 7,        /* the entry can't be decoded: `finding` says why */
    MORVEX_TEX_ERROR_REFUSED = 8,      /* an output the rules refuse: an existing file of another kind, ... */
    MORVEX_TEX_ERROR_IMAGE = 9,        /* an image file that can't be read or written as an image */
    MORVEX_TEX_ERROR_NAME = 10,        /* a name no entry can be stored or found under */
    MORVEX_TEX_ERROR_DAMAGED = 11,     /* an archive whose entries can't be kept byte for byte: `finding` */
    MORVEX_TEX_ERROR_STOPPED = 12      /* the caller's stop hook ended the call early */
} morvex_tex_error_kind;

/* A caller's stop hook: asked, on the calling thread, before each entry of a
 * walk and each image of a create or replace; non-zero ends the call there
 * (MORVEX_TEX_ERROR_STOPPED, the result filled with what was done). It may
 * also follow the call's progress: it is asked as each one starts. */
typedef int (*morvex_tex_stop_fn)(void* context);

/* An error as a value. Every call that can fail takes a pointer to one
 * (NULL when the caller doesn't want it) and fills it, on success too (kind
 * MORVEX_TEX_OK, message empty). */
typedef struct morvex_tex_error {
    uint32_t size;                /* sizeof(morvex_tex_error), set by the caller */
    uint32_t kind;                /* morvex_tex_error_kind */
    int32_t error;                /* errno, 0 when none */
    uint32_t image;               /* create, replace: 1 + the index of the image the error is about; 0: none */
    uint64_t needed;              /* MORVEX_TEX_ERROR_BUFFER: the bytes the call needs; else 0 */
    morvex_tex_finding finding;   /* MORVEX_TEX_ERROR_ENTRY, _DAMAGED: the finding that stopped it */
    char message[512];            /* English, UTF-8, NUL-terminated; cut at a character if longer */
} morvex_tex_error;

#define MORVEX_TEX_ERROR_INIT {sizeof(morvex_tex_error), 0, 0, 0, 0, {0, 0, 0, 0, 0, 0}, {0}}

/* An image in memory: RGBA8 (bytes R, G, B, A a pixel), rows top first,
 * `stride` bytes apart (stride >= width * 4). */
typedef struct morvex_tex_pixels {
    uint32_t width;
    uint32_t height;
    size_t stride;
    const uint8_t* rgba;
} morvex_tex_pixels;

/* Image file formats. */
typedef enum morvex_tex_format {
    MORVEX_TEX_FORMAT_AS_NAMED = 0,  /* the one the name's extension selects */
    MORVEX_TEX_FORMAT_TGA = 1,       /* uncompressed 32-bit, alpha kept */
    MORVEX_TEX_FORMAT_PNG = 2,       /* 8-bit RGBA */
    MORVEX_TEX_FORMAT_BMP = 3,       /* 24-bit, alpha dropped */
    MORVEX_TEX_FORMAT_PCX = 4,       /* three 8-bit planes, alpha dropped */
    MORVEX_TEX_FORMAT_WEBP = 5       /* lossless, alpha kept */
} morvex_tex_format;

/* An archive opened for reading (morvex_tex.h). */
typedef struct morvex_tex_archive morvex_tex_archive;

/* The ABI of the library loaded, MORVEX_TEX_ABI_VERSION of the headers it
 * was built from; and its version, "1.0" say, a static string. */
MORVEX_TEX_API uint32_t morvex_tex_abi_version(void);
MORVEX_TEX_API const char* morvex_tex_version(void);

/* "system", "not_archive", ...: the kind's stable name; NULL for a number
 * that is no kind. A static string. */
MORVEX_TEX_API const char* morvex_tex_error_name(uint32_t kind);

/* The format a file name's extension selects (".tga", ".png", ".bmp",
 * ".pcx", ".webp", any letter case), or a format's own word ("png");
 * AS_NAMED when neither. */
MORVEX_TEX_API uint32_t morvex_tex_format_for(const char* name, size_t size);

#ifdef __cplusplus
}
#endif

#endif
