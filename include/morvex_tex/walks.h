/* morvex_tex: testing and extracting a whole archive, entry by entry, as
 * `morvex_tex test` and `morvex_tex extract` do (the same checks, decisions,
 * decoders and output rules, on worker threads). Included by
 * <morvex_tex/morvex_tex.h>.
 *
 * Both hand each entry's outcome to a callback, in table order, on the
 * calling thread; what the callback is given lasts until it returns. */
#ifndef MORVEX_TEX_WALKS_H
#define MORVEX_TEX_WALKS_H

#include "morvex_tex/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How many decoding threads: 0 for MORVEX_TEX_JOBS when it holds a number
 * from 1 to 256, else as many as the processors this process may run on
 * (one for raw copies). At most 256. */
#define MORVEX_TEX_MAX_JOBS 256

/* ---------------------------------------------------------------------
 * Testing: every check, and every entry from 1 on decoded fully, writing
 * nothing. */

typedef struct morvex_tex_test_options {
    uint32_t size;   /* sizeof(morvex_tex_test_options) */
    uint32_t jobs;
    morvex_tex_stop_fn stop;   /* NULL: never stopped */
    void* stop_context;
} morvex_tex_test_options;

#define MORVEX_TEX_TEST_OPTIONS_INIT {sizeof(morvex_tex_test_options), 0, NULL, NULL}

typedef struct morvex_tex_test_result {
    uint32_t size;       /* sizeof(morvex_tex_test_result), set by the caller */
    uint32_t entries;    /* the records in the table */
    uint64_t decoded;    /* entries decoded whole */
    uint64_t problems;   /* the archive's findings and every entry's, as `morvex_tex test` counts them */
    uint32_t stopped;    /* 1 when the stop hook ended the call early */
} morvex_tex_test_result;

#define MORVEX_TEX_TEST_RESULT_INIT {sizeof(morvex_tex_test_result), 0, 0, 0, 0}

/* One entry's report: its findings, those `morvex_tex test` prints. */
typedef struct morvex_tex_entry_report {
    uint32_t size;                        /* sizeof(morvex_tex_entry_report) as the library knows it */
    uint32_t index;
    morvex_tex_string name;               /* the stored name; data NULL when its header couldn't be read */
    const morvex_tex_finding* findings;
    size_t finding_count;
} morvex_tex_entry_report;

typedef void (*morvex_tex_report_fn)(void* context, const morvex_tex_entry_report* report);

/* options may be NULL (the defaults), `each` NULL when no report is wanted.
 * Fails only for bad arguments, and when stopped: problems are in the
 * result. */
MORVEX_TEX_API int morvex_tex_test(const morvex_tex_archive* archive, const morvex_tex_test_options* options,
                                   morvex_tex_test_result* result, morvex_tex_report_fn each, void* context,
                                   morvex_tex_error* error);

/* ---------------------------------------------------------------------
 * Extracting: entries 1 and up, or those whose stored names an include
 * pattern matches (shell wildcards where * matches / too; a pattern ending
 * in / takes everything beneath that folder) and no exclude pattern does,
 * written beneath a folder by the rules of `morvex_tex extract`: nothing is
 * written outside it, each file is put in place whole or not at all. */

#define MORVEX_TEX_EXTRACT_RAW 1u          /* payloads as stored; excludes a format */
#define MORVEX_TEX_EXTRACT_KEEP 2u         /* never replace an existing file */
#define MORVEX_TEX_EXTRACT_IGNORE_CASE 4u  /* patterns match in any letter case */

typedef struct morvex_tex_extract_options {
    uint32_t size;                      /* sizeof(morvex_tex_extract_options) */
    uint32_t flags;                     /* MORVEX_TEX_EXTRACT_* */
    uint32_t format;                    /* morvex_tex_format: every image in it; AS_NAMED: as its name says */
    uint32_t jobs;
    morvex_tex_string folder;           /* where (made, with its missing parents); data NULL: the current folder */
    const morvex_tex_string* include;   /* include_count patterns; none: every entry */
    size_t include_count;
    const morvex_tex_string* exclude;
    size_t exclude_count;
    uint8_t* include_matched;           /* NULL, or include_count bytes: set to 1 for a pattern that matched */
    morvex_tex_stop_fn stop;            /* NULL: never stopped */
    void* stop_context;
} morvex_tex_extract_options;

#define MORVEX_TEX_EXTRACT_OPTIONS_INIT \
    {sizeof(morvex_tex_extract_options), 0, 0, 0, {NULL, 0}, NULL, 0, NULL, 0, NULL, NULL, NULL}

typedef enum morvex_tex_verdict {
    MORVEX_TEX_EXTRACTED = 1,      /* written (findings: its warnings) */
    MORVEX_TEX_FAILED = 2,         /* not written (findings: why) */
    MORVEX_TEX_SKIPPED = 3,        /* its name was taken and KEEP kept what was there */
    MORVEX_TEX_SAME_AS = 4,        /* it shares an earlier entry's header: that one's outcome stands */
    MORVEX_TEX_NOT_EXTRACTED = 5   /* the output's file system took no more (result's stopped_by) */
} morvex_tex_verdict;

typedef struct morvex_tex_outcome {
    uint32_t size;                        /* sizeof(morvex_tex_outcome) as the library knows it */
    uint32_t index;
    uint32_t verdict;                     /* morvex_tex_verdict */
    uint32_t same_as;                     /* SAME_AS: the earlier entry */
    morvex_tex_string name;               /* the stored name; data NULL when its header couldn't be read */
    morvex_tex_string output;             /* the name written beneath the folder; data NULL when none */
    const morvex_tex_finding* findings;
    size_t finding_count;
} morvex_tex_outcome;

typedef void (*morvex_tex_outcome_fn)(void* context, const morvex_tex_outcome* outcome);

typedef struct morvex_tex_extract_result {
    uint32_t size;            /* sizeof(morvex_tex_extract_result), set by the caller */
    uint32_t unmatched;       /* include patterns that matched no entry */
    uint64_t extracted;
    uint64_t failed;
    uint64_t skipped;
    uint64_t same;            /* SAME_AS outcomes */
    uint64_t not_extracted;
    uint64_t warned;          /* warnings among the extracted */
    int32_t stopped_by;       /* errno that stopped every later output (a full disk, say), or 0 */
    uint32_t reserved;
    uint32_t stopped;         /* 1 when the stop hook ended the call early */
} morvex_tex_extract_result;

#define MORVEX_TEX_EXTRACT_RESULT_INIT {sizeof(morvex_tex_extract_result), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}

/* Fails (nothing written) for bad options and when the folder can't be
 * opened or made; otherwise 0, whatever became of the entries: the result
 * counts them, `each` (may be NULL) is told of every entry taken from 1 on.
 * Stopped, it fails with MORVEX_TEX_ERROR_STOPPED: the files placed before
 * stay, each whole, and the result counts them. */
MORVEX_TEX_API int morvex_tex_extract(const morvex_tex_archive* archive, const morvex_tex_extract_options* options,
                                      morvex_tex_extract_result* result, morvex_tex_outcome_fn each, void* context,
                                      morvex_tex_error* error);

#ifdef __cplusplus
}
#endif

#endif
