/* morvex_tex: findings, what every check of an archive found, as kinds and
 * numbers. Each kind has a stable number (below), a stable snake_case name
 * (morvex_tex_finding_name, the same names `morvex_tex list --json` gives),
 * and the English phrase the programs print (morvex_tex_finding_text). Which
 * of a finding's numbers a kind uses is said beside it. */
#ifndef MORVEX_TEX_FINDINGS_H
#define MORVEX_TEX_FINDINGS_H

#include "morvex_tex/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum morvex_tex_finding_kind {
    /* The archive as a whole. */
    MORVEX_TEX_FINDING_ARCHIVE_CUT_AT_LIMIT = 0,  /* a: the bytes an archive can address (only those were read) */
    MORVEX_TEX_FINDING_ARCHIVE_HEADER_CUT = 1,    /* a: bytes the archive holds, b: the header's 256 */
    MORVEX_TEX_FINDING_HEADER_PADDING = 2,        /* the header's 244 padding bytes are not all zero */
    MORVEX_TEX_FINDING_TABLE_CUT = 3,             /* a: records read, b: file count, c: bytes the table needs, d: bytes after the header */
    /* One entry, as the archive stores it. */
    MORVEX_TEX_FINDING_ENTRY_PAST_END = 4,        /* a: the entry's offset, b: the archive's size */
    MORVEX_TEX_FINDING_ENTRY_HEADER_CUT = 5,      /* a: header bytes held, b: the header's 80 */
    MORVEX_TEX_FINDING_ENTRY_PADDING = 6,         /* the entry header's 39 padding bytes are not all zero */
    MORVEX_TEX_FINDING_SIZES_DIFFER = 7,          /* a: the table's payload size, b: the entry header's */
    MORVEX_TEX_FINDING_TYPES_DIFFER = 8,          /* a: the table's type, b: the entry header's */
    MORVEX_TEX_FINDING_UNKNOWN_TYPE = 9,          /* a: the type (4 and 6 are known) */
    MORVEX_TEX_FINDING_PAYLOAD_PAST_END = 10,     /* a: payload bytes, b: the payload's offset, c: the archive's size */
    MORVEX_TEX_FINDING_RUNS_OVER_HEADER = 11,     /* a: the entry whose header the payload covers, b: that header's offset */
    MORVEX_TEX_FINDING_INFLATION_SPENT = 12,      /* a: bytes its pixels take, b: bytes the archive may still inflate */
    MORVEX_TEX_FINDING_REPEAT = 13,               /* a: the earlier entry whose header it shares */
    MORVEX_TEX_FINDING_REPEAT_OTHER_SIZE = 14,    /* a: that entry, b: this payload size, c: that one's */
    /* What extracting the entry would do with it. */
    MORVEX_TEX_FINDING_NAME_REFUSED = 15,         /* a: morvex_tex_name_problem */
    MORVEX_TEX_FINDING_NO_IMAGE_FORMAT = 16,      /* the name selects no image format */
    MORVEX_TEX_FINDING_NO_PIXELS = 17,            /* a: width, b: height (one of them 0) */
    MORVEX_TEX_FINDING_TOO_MANY_PIXELS = 18,      /* a: width, b: height (over 16384 * 16384 in all) */
    MORVEX_TEX_FINDING_TOO_FEW_TO_INFLATE = 19,   /* a: payload bytes, b: width, c: height, d: bytes its pixels take */
    MORVEX_TEX_FINDING_PAYLOAD_SHORT = 20,        /* type 6; a: payload bytes, b: width, c: height, d: bytes its pixels take */
    /* What decoding or writing it met. */
    MORVEX_TEX_FINDING_PAYLOAD_CUT = 21,          /* a: bytes read, b: payload bytes */
    MORVEX_TEX_FINDING_STREAM_DAMAGED = 22,       /* the zlib stream is damaged, cut short or fails its check */
    MORVEX_TEX_FINDING_STREAM_TOO_LONG = 23,      /* a: the most bytes it may inflate to */
    MORVEX_TEX_FINDING_INFLATED_LENGTH = 24,      /* a warning; a: bytes inflated, b: width, c: height, d: bytes expected */
    MORVEX_TEX_FINDING_NO_MEMORY_PAYLOAD = 25,    /* a: bytes asked for */
    MORVEX_TEX_FINDING_NO_MEMORY_INFLATE = 26,    /* a: bytes asked for */
    MORVEX_TEX_FINDING_NO_MEMORY_IMAGE = 27,      /* a: width, b: height */
    MORVEX_TEX_FINDING_NO_MEMORY = 28,            /* out of memory elsewhere */
    MORVEX_TEX_FINDING_OUTPUT_FAILED = 29,        /* a: morvex_tex_output_stage; error: errno */
    MORVEX_TEX_FINDING_OUTPUT_EXISTS = 30         /* the output's name is taken and was to be kept */
} morvex_tex_finding_kind;

#define MORVEX_TEX_FINDING_KIND_COUNT 31

/* Why an entry's name can't name an output (NAME_REFUSED's a). */
typedef enum morvex_tex_name_problem {
    MORVEX_TEX_NAME_CONTROL_BYTE = 1,           /* it holds a control byte */
    MORVEX_TEX_NAME_ABSOLUTE_PATH = 2,          /* it begins with "/" */
    MORVEX_TEX_NAME_DOT_DOT = 3,                /* it has a ".." component */
    MORVEX_TEX_NAME_LINK_OUTSIDE = 4,           /* its folder is a link leading outside the output folder */
    MORVEX_TEX_NAME_DEVICE_NAME = 5,            /* Windows: a component is CON, NUL, COM1, ... */
    MORVEX_TEX_NAME_STREAM_NAME = 6,            /* Windows: it holds ':' */
    MORVEX_TEX_NAME_TRAILING_DOT_OR_SPACE = 7,  /* Windows: a component ends in a dot or a space */
    MORVEX_TEX_NAME_RESERVED_CHARACTER = 8      /* Windows: it holds one of <>"|?* */
} morvex_tex_name_problem;

/* Where making an output failed (OUTPUT_FAILED's a). */
typedef enum morvex_tex_output_stage {
    MORVEX_TEX_STAGE_CREATE = 0,
    MORVEX_TEX_STAGE_WRITE = 1,
    MORVEX_TEX_STAGE_PLACE = 2
} morvex_tex_output_stage;

/* The most findings one entry has in any call: room for this many is
 * always enough. */
#define MORVEX_TEX_MAX_ENTRY_FINDINGS 16

/* "entry_past_end", "sizes_differ", ...: the kind's stable name, a static
 * string; NULL for a number that is no kind. */
MORVEX_TEX_API const char* morvex_tex_finding_name(uint32_t kind);

/* The kind whose stable name is `name` (size bytes): 0 with *kind set, or -1
 * when no kind has that name. */
MORVEX_TEX_API int morvex_tex_finding_kind_named(const char* name, size_t size, uint32_t* kind);

/* The English phrase the programs print for the finding ("table size 24
 * differs from rep_c_sz 7"), as snprintf writes: at most size - 1 bytes and
 * a NUL into buffer (nothing when size is 0); returns the phrase's whole
 * length, so a return >= size means it was cut. */
MORVEX_TEX_API size_t morvex_tex_finding_text(const morvex_tex_finding* finding, char* buffer, size_t size);

/* 1 for a warning (the entry is still extracted: only INFLATED_LENGTH), 0
 * for a problem. */
MORVEX_TEX_API int morvex_tex_finding_is_warning(const morvex_tex_finding* finding);

#ifdef __cplusplus
}
#endif

#endif
