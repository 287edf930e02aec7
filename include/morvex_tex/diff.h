/* morvex_tex: comparing two archives entry by entry, as `morvex_tex diff`
 * does (the same matching, decoders and kinds of change). Included by
 * <morvex_tex/morvex_tex.h>.
 *
 * Entries are matched by their stored names, the n-th of a name in A with
 * the n-th in B. An entry only in A and one only in B with the same payload
 * bytes, type, width and height are one entry renamed (each paired once, in
 * table order). A matched pair whose payloads differ, or whose type changed
 * between 4 and 6 while its size didn't, is decoded and its pixels compared. */
#ifndef MORVEX_TEX_DIFF_H
#define MORVEX_TEX_DIFF_H

#include "morvex_tex/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Stable numbers; morvex_tex_change_name() gives each the name `morvex_tex
 * diff --json` calls it by. */
typedef enum morvex_tex_change_kind {
    MORVEX_TEX_CHANGE_ONLY_IN_A = 1,     /* "only_in_a": `b` absent */
    MORVEX_TEX_CHANGE_ONLY_IN_B = 2,     /* "only_in_b": `a` absent */
    MORVEX_TEX_CHANGE_SIZE_OR_TYPE = 3,  /* "size_or_type": width or height differ (or a type other than 4 and 6) */
    MORVEX_TEX_CHANGE_SAME_PIXELS = 4,   /* "same_pixels": other bytes, the same pixels */
    MORVEX_TEX_CHANGE_PIXELS = 5,        /* "pixels": pixels differ (the type may have changed too) */
    MORVEX_TEX_CHANGE_UNDECODED = 6,     /* "undecoded": other bytes, one side's pixels can't be decoded */
    MORVEX_TEX_CHANGE_RENAMED = 7,       /* "renamed": the same bytes, type and size under another name */
    MORVEX_TEX_CHANGE_TYPE = 8           /* "type": the type changed, the pixels are the same */
} morvex_tex_change_kind;

/* "only_in_a", "renamed", ...: a static string; NULL for a number that is no
 * kind. */
MORVEX_TEX_API const char* morvex_tex_change_name(uint32_t kind);

/* One side's entry of a change. Never grown. */
typedef struct morvex_tex_diff_entry {
    uint32_t index;          /* in its archive's table */
    uint32_t type;           /* the entry header's: 4 or 6 for images */
    uint32_t width;
    uint32_t height;
    uint32_t payload_size;   /* the table's */
    morvex_tex_string name;  /* the stored name; data NULL when the side has no such entry */
} morvex_tex_diff_entry;

typedef struct morvex_tex_change {
    uint32_t size;                       /* sizeof(morvex_tex_change) as the library knows it */
    uint32_t kind;                       /* morvex_tex_change_kind */
    morvex_tex_diff_entry a;             /* A's entry (name.data NULL for ONLY_IN_B) */
    morvex_tex_diff_entry b;             /* B's entry (name.data NULL for ONLY_IN_A) */
    uint64_t pixels;                     /* PIXELS, SAME_PIXELS, TYPE: the pixels compared; else 0 */
    uint64_t pixels_differ;              /* ... of them, those that differ */
    uint32_t largest_difference;         /* ... the largest difference of one channel, 0 to 255 */
    uint32_t finding_count;
    const morvex_tex_finding* findings;  /* UNDECODED: what kept the pixels from being decoded */
} morvex_tex_change;

typedef void (*morvex_tex_change_fn)(void* context, const morvex_tex_change* change);

#define MORVEX_TEX_DIFF_IGNORE_CASE 1u   /* patterns match in any letter case */

typedef struct morvex_tex_diff_options {
    uint32_t size;                      /* sizeof(morvex_tex_diff_options) */
    uint32_t flags;                     /* MORVEX_TEX_DIFF_* */
    uint32_t jobs;                      /* decoding threads, as for morvex_tex_test */
    uint32_t reserved;                  /* 0 */
    const morvex_tex_string* include;   /* include_count patterns, as extract takes them; none: every entry */
    size_t include_count;
    const morvex_tex_string* exclude;
    size_t exclude_count;
    morvex_tex_stop_fn stop;            /* NULL: never stopped */
    void* stop_context;
} morvex_tex_diff_options;

#define MORVEX_TEX_DIFF_OPTIONS_INIT {sizeof(morvex_tex_diff_options), 0, 0, 0, NULL, 0, NULL, 0, NULL, NULL}

typedef struct morvex_tex_diff_result {
    uint32_t size;        /* sizeof(morvex_tex_diff_result), set by the caller */
    uint32_t stopped;     /* 1 when the stop hook ended the call early */
    uint64_t changed;     /* changes of entries in both (a rename too), as `morvex_tex diff` counts them */
    uint64_t only_in_a;
    uint64_t only_in_b;
    uint64_t renamed;     /* of `changed` */
} morvex_tex_diff_result;

#define MORVEX_TEX_DIFF_RESULT_INIT {sizeof(morvex_tex_diff_result), 0, 0, 0, 0, 0}

/* Compares archive `a` with `b`, handing each change to `each` (may be
 * NULL) on the calling thread: A's entries in table order, then those only
 * in B; what it is given lasts until it returns. The archives are the same
 * when the result counts nothing. options may be NULL. Fails only for bad
 * arguments, and when stopped (MORVEX_TEX_ERROR_STOPPED, the result counting
 * the changes handed out). */
MORVEX_TEX_API int morvex_tex_diff(const morvex_tex_archive* a, const morvex_tex_archive* b,
                                   const morvex_tex_diff_options* options, morvex_tex_diff_result* result,
                                   morvex_tex_change_fn each, void* context, morvex_tex_error* error);

#ifdef __cplusplus
}
#endif

#endif
