/* The library's C API called from C, as a program embedding it calls it:
 * walks and builds stopped by the caller's hook after a few entries, flag
 * bits the library doesn't know refused, the first (0 x 0) entry decoded
 * to an empty image, structs of the size first published accepted, the
 * version macros those of the library, and no signal's action changed.
 * Two archives compared, each change in order. Run with a scratch folder;
 * prints each failure and exits 1 on any. */
#include <morvex_tex/morvex_tex.h>

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(condition, ...)                                   \
    do {                                                        \
        if (!(condition)) {                                     \
            fprintf(stderr, "FAILED line %d: ", __LINE__);      \
            fprintf(stderr, __VA_ARGS__);                       \
            fputc('\n', stderr);                                \
            ++failures;                                         \
        }                                                       \
    } while (0)

/* Says stop once it has been asked `after` times. */
struct stopper {
    unsigned asked, after;
};

static int stop_after(void* context)
{
    struct stopper* s = (struct stopper*)context;
    return ++s->asked > s->after;
}

/* The changes a diff handed out, their names copied. */
struct change_seen {
    uint32_t kind;
    uint64_t differ;
    char a[40], b[40];
};
struct seen {
    unsigned count;
    struct change_seen rows[8];
};

static void note_change(void* context, const morvex_tex_change* change)
{
    struct seen* s = (struct seen*)context;
    if (s->count == 8) return;
    struct change_seen* c = &s->rows[s->count++];
    c->kind = change->kind;
    c->differ = change->pixels_differ;
    snprintf(c->a, sizeof c->a, "%.*s", change->a.name.data ? (int)change->a.name.size : 6,
             change->a.name.data ? change->a.name.data : "(none)");
    snprintf(c->b, sizeof c->b, "%.*s", change->b.name.data ? (int)change->b.name.size : 6,
             change->b.name.data ? change->b.name.data : "(none)");
}

static unsigned files_in(const char* folder)
{
    unsigned n = 0;
    DIR* d = opendir(folder);
    if (!d) return 0;
    for (struct dirent* e; (e = readdir(d)) != NULL;) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

static size_t path_size(const char* p)
{
    return strlen(p);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: api_calls SCRATCH-FOLDER\n");
        return 2;
    }
    char archive[4096], out[4096], folder[4096], image[4096];
    snprintf(archive, sizeof archive, "%s/c.pak", argv[1]);
    snprintf(out, sizeof out, "%s/stopped.pak", argv[1]);
    snprintf(folder, sizeof folder, "%s/out", argv[1]);
    snprintf(image, sizeof image, "%s/one.png", argv[1]);
    mkdir(argv[1], 0777);
    remove(out);

    char version[32];
    if (MORVEX_TEX_VERSION_PATCH) {
        snprintf(version, sizeof version, "%d.%d.%d", MORVEX_TEX_VERSION_MAJOR, MORVEX_TEX_VERSION_MINOR,
                 MORVEX_TEX_VERSION_PATCH);
    } else {
        snprintf(version, sizeof version, "%d.%d", MORVEX_TEX_VERSION_MAJOR, MORVEX_TEX_VERSION_MINOR);
    }
    CHECK(strcmp(version, morvex_tex_version()) == 0, "headers %s, library %s", version, morvex_tex_version());
    CHECK(strcmp(morvex_tex_error_name(MORVEX_TEX_ERROR_STOPPED), "stopped") == 0, "error 12 is %s",
          morvex_tex_error_name(MORVEX_TEX_ERROR_STOPPED));

    /* Twelve 16 x 16 images. */
    enum { count = 12, side = 16 };
    static uint8_t rgba[count][side * side * 4];
    morvex_tex_image_source sources[count];
    const morvex_tex_image_source* list[count];
    char names[count][16];
    for (int k = 0; k < count; ++k) {
        for (int n = 0; n < side * side * 4; ++n) rgba[k][n] = (uint8_t)(n * 7 + k * 31);
        const morvex_tex_image_source init = MORVEX_TEX_IMAGE_SOURCE_INIT;
        sources[k] = init;
        snprintf(names[k], sizeof names[k], "t%02d.tga", k);
        sources[k].name.data = names[k];
        sources[k].name.size = strlen(names[k]);
        sources[k].pixels.width = sources[k].pixels.height = side;
        sources[k].pixels.stride = side * 4;
        sources[k].pixels.rgba = rgba[k];
        list[k] = &sources[k];
    }
    morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
    unlink(archive); /* an earlier run's: create writes no archive over one */
    CHECK(morvex_tex_create(archive, path_size(archive), list, count, NULL, NULL, NULL, NULL, &error) == 0, "create: %s",
          error.message);

    /* A create stopped before its fourth image writes nothing. */
    struct stopper stop = {0, 3};
    morvex_tex_pack_options pack = MORVEX_TEX_PACK_OPTIONS_INIT;
    pack.jobs = 2;
    pack.stop = stop_after;
    pack.stop_context = &stop;
    morvex_tex_pack_result packed = MORVEX_TEX_PACK_RESULT_INIT;
    CHECK(morvex_tex_create(out, path_size(out), list, count, &pack, &packed, NULL, NULL, &error) == -1 &&
              error.kind == MORVEX_TEX_ERROR_STOPPED && packed.stopped == 1,
          "a stopped create: kind %u, stopped %u", error.kind, packed.stopped);
    struct stat st;
    CHECK(stat(out, &st) != 0, "a stopped create left %s", out);
    pack.flags = 0x80;
    pack.stop = NULL;
    CHECK(morvex_tex_create(out, path_size(out), list, count, &pack, NULL, NULL, NULL, &error) == -1 &&
              error.kind == MORVEX_TEX_ERROR_ARGUMENT,
          "pack flag 0x80: kind %u", error.kind);

    morvex_tex_archive* a = NULL;
    CHECK(morvex_tex_open_path(archive, path_size(archive), &a, &error) == 0, "open: %s", error.message);
    if (!a) return 1;

    /* test, stopped after three entries: those three decoded, no more. */
    for (unsigned jobs = 1; jobs <= 2; ++jobs) {
        struct stopper s = {0, 3};
        morvex_tex_test_options options = MORVEX_TEX_TEST_OPTIONS_INIT;
        options.jobs = jobs;
        options.stop = stop_after;
        options.stop_context = &s;
        morvex_tex_test_result result = MORVEX_TEX_TEST_RESULT_INIT;
        CHECK(morvex_tex_test(a, &options, &result, NULL, NULL, &error) == -1 && error.kind == MORVEX_TEX_ERROR_STOPPED,
              "a stopped test: kind %u", error.kind);
        /* On one thread, exactly the entries asked about before the stop
         * (0, 1 and 2: two decoded); on two, no more, and perhaps fewer: a
         * job not yet begun when the stop came is dropped. */
        CHECK(result.stopped == 1 && s.asked == 4 && (jobs == 1 ? result.decoded == 2 : result.decoded <= 2),
              "test stopped on %u threads: stopped %u, decoded %llu, asked %u", jobs, result.stopped,
              (unsigned long long)result.decoded, s.asked);
    }
    /* ... and extract: what it placed is whole, and counted. */
    {
        struct stopper s = {0, 5};
        morvex_tex_extract_options options = MORVEX_TEX_EXTRACT_OPTIONS_INIT;
        options.folder.data = folder;
        options.folder.size = strlen(folder);
        options.jobs = 1;
        options.stop = stop_after;
        options.stop_context = &s;
        morvex_tex_extract_result result = MORVEX_TEX_EXTRACT_RESULT_INIT;
        CHECK(morvex_tex_extract(a, &options, &result, NULL, NULL, &error) == -1 && error.kind == MORVEX_TEX_ERROR_STOPPED,
              "a stopped extract: kind %u", error.kind);
        CHECK(result.stopped == 1 && result.extracted == 4 && files_in(folder) == 4,
              "extract stopped: stopped %u, extracted %llu, files %u", result.stopped,
              (unsigned long long)result.extracted, files_in(folder));
        char first[4200];
        snprintf(first, sizeof first, "%s/t00.tga", folder);
        CHECK(stat(first, &st) == 0 && st.st_size == 18 + side * side * 4, "t00.tga is not whole");
        options.stop = NULL;
        options.flags = 0xffffffffu;
        CHECK(morvex_tex_extract(a, &options, &result, NULL, NULL, &error) == -1 && error.kind == MORVEX_TEX_ERROR_ARGUMENT,
              "extract flags 0xffffffff: kind %u", error.kind);
    }
    /* Structs of the size first published: read up to it, the rest taken as 0. */
    {
        morvex_tex_test_options options = MORVEX_TEX_TEST_OPTIONS_INIT;
        options.size = 8;
        options.stop = stop_after; /* past the size given: never read */
        morvex_tex_test_result result = MORVEX_TEX_TEST_RESULT_INIT;
        result.size = 24;
        CHECK(morvex_tex_test(a, &options, &result, NULL, NULL, &error) == 0 && result.decoded == count,
              "a test with structs of the first size: %s", error.message);
    }

    /* The first entry: an empty image. */
    morvex_tex_image empty = MORVEX_TEX_IMAGE_INIT;
    CHECK(morvex_tex_decode(a, 0, &empty, &error) == 0 && empty.width == 0 && empty.height == 0 && empty.rgba == NULL,
          "entry 0: %s", error.message);
    morvex_tex_image_free(&empty);
    CHECK(morvex_tex_decode_into(a, 0, NULL, 0, NULL, &error) == 0, "entry 0 into no buffer: %s", error.message);

    morvex_tex_pixels px = {side, side, side * 4, rgba[0]};
    CHECK(morvex_tex_write_image(image, path_size(image), MORVEX_TEX_FORMAT_AS_NAMED, &px, 0x80u, &error) == -1 &&
              error.kind == MORVEX_TEX_ERROR_ARGUMENT,
          "write flag 0x80: kind %u", error.kind);
    CHECK(morvex_tex_write_image(image, path_size(image), MORVEX_TEX_FORMAT_AS_NAMED, &px, 0, &error) == 0, "write: %s",
          error.message);
    morvex_tex_close(a);

    /* Comparing: B holds t00 renamed, t03 with one byte changed, t10 as type
     * 4 (at 4 bits a channel: other pixels) and no t11. */
    {
        char pa[4096], pb[4096];
        snprintf(pa, sizeof pa, "%s/diff_a.pak", argv[1]);
        snprintf(pb, sizeof pb, "%s/diff_b.pak", argv[1]);
        remove(pa); /* an earlier run's */
        remove(pb);
        static uint8_t other[side * side * 4];
        memcpy(other, rgba[3], sizeof other);
        other[5] ^= 0x40;
        morvex_tex_pack_options type4 = MORVEX_TEX_PACK_OPTIONS_INIT;
        type4.type = 4;
        const char* const t00 = sources[0].name.data;
        CHECK(morvex_tex_create(pa, path_size(pa), list, count, NULL, NULL, NULL, NULL, &error) == 0, "create A: %s", error.message);
        sources[0].name.data = "moved.tga";
        sources[0].name.size = 9;
        sources[3].pixels.rgba = other;
        CHECK(morvex_tex_create(pb, path_size(pb), list, count - 2, NULL, NULL, NULL, NULL, &error) == 0 &&
                  morvex_tex_add(pb, path_size(pb), &list[count - 2], 1, &type4, NULL, NULL, NULL, &error) == 0,
              "create B: %s", error.message);
        sources[0].name.data = t00;
        sources[0].name.size = strlen(t00);
        sources[3].pixels.rgba = rgba[3];
        morvex_tex_archive *a_side = NULL, *b_side = NULL;
        CHECK(morvex_tex_open_path(pa, path_size(pa), &a_side, &error) == 0 &&
                  morvex_tex_open_path(pb, path_size(pb), &b_side, &error) == 0,
              "open: %s", error.message);
        struct diff_row {
            uint32_t kind;
            const char* a;
            const char* b;
            uint64_t differ;  /* UINT64_MAX: any but 0 */
        };
        const struct diff_row want[] = {
            {MORVEX_TEX_CHANGE_RENAMED, "t00.tga", "moved.tga", 0},
            {MORVEX_TEX_CHANGE_PIXELS, "t03.tga", "t03.tga", 1},
            {MORVEX_TEX_CHANGE_PIXELS, "t10.tga", "t10.tga", UINT64_MAX},
            {MORVEX_TEX_CHANGE_ONLY_IN_A, "t11.tga", NULL, 0},
        };
        struct seen changes = {0};
        morvex_tex_diff_options options = MORVEX_TEX_DIFF_OPTIONS_INIT;
        morvex_tex_diff_result result = MORVEX_TEX_DIFF_RESULT_INIT;
        for (unsigned jobs = 1; jobs <= 2; ++jobs) {
            changes.count = 0;
            options.jobs = jobs;
            CHECK(morvex_tex_diff(a_side, b_side, &options, &result, note_change, &changes, &error) == 0, "diff: %s",
                  error.message);
            CHECK(changes.count == 4 && result.changed == 3 && result.only_in_a == 1 && result.only_in_b == 0 &&
                      result.renamed == 1,
                  "diff on %u threads: %u changes, %llu changed", jobs, changes.count, (unsigned long long)result.changed);
            for (unsigned k = 0; k < 4 && k < changes.count; ++k) {
                const struct change_seen* c = &changes.rows[k];
                CHECK(c->kind == want[k].kind && strcmp(c->a, want[k].a) == 0 &&
                          strcmp(c->b, want[k].b ? want[k].b : "(none)") == 0 &&
                          (want[k].differ == UINT64_MAX ? c->differ > 0 : c->differ == want[k].differ),
                      "change %u: %s %s -> %s, %llu pixels differ", k, morvex_tex_change_name(c->kind), c->a, c->b,
                      (unsigned long long)c->differ);
            }
        }
        CHECK(strcmp(morvex_tex_change_name(MORVEX_TEX_CHANGE_RENAMED), "renamed") == 0 && morvex_tex_change_name(0) == NULL,
              "change names");
        struct stopper s = {0, 1};
        options.stop = stop_after;
        options.stop_context = &s;
        CHECK(morvex_tex_diff(a_side, b_side, &options, &result, NULL, NULL, &error) == -1 &&
                  error.kind == MORVEX_TEX_ERROR_STOPPED && result.stopped == 1,
              "a stopped diff: kind %u", error.kind);
        options.stop = NULL;
        options.flags = 0x80;
        CHECK(morvex_tex_diff(a_side, b_side, &options, &result, NULL, NULL, &error) == -1 &&
                  error.kind == MORVEX_TEX_ERROR_ARGUMENT,
              "diff flag 0x80: kind %u", error.kind);
        morvex_tex_close(a_side);
        morvex_tex_close(b_side);
    }

    /* Editing in place: rename one, delete two by pattern, add one back. */
    {
        morvex_tex_pack_result r = MORVEX_TEX_PACK_RESULT_INIT;
        const morvex_tex_string from = {"t00.tga", 7}, to = {"ui/t00.tga", 10}, taken = {"t01.tga", 7};
        CHECK(morvex_tex_rename(archive, path_size(archive), from, to, NULL, &r, NULL, NULL, &error) == 0 && r.renamed == 1 &&
                  r.entries == count + 1,
              "rename: %s, renamed %u", error.message, r.renamed);
        CHECK(morvex_tex_rename(archive, path_size(archive), to, taken, NULL, NULL, NULL, NULL, &error) == -1 &&
                  error.kind == MORVEX_TEX_ERROR_NAME,
              "rename onto a name held: kind %u", error.kind);
        const morvex_tex_string patterns[] = {{"T0[23].TGA", 10}};
        morvex_tex_pack_options any_case = MORVEX_TEX_PACK_OPTIONS_INIT;
        any_case.flags = MORVEX_TEX_PACK_IGNORE_CASE;
        CHECK(morvex_tex_delete(archive, path_size(archive), patterns, 1, NULL, 0, &any_case, &r, NULL, NULL, &error) == 0 &&
                  r.deleted == 2 && r.entries == count - 1,
              "delete: %s, deleted %u, entries %u", error.message, r.deleted, r.entries);
        CHECK(morvex_tex_delete(archive, path_size(archive), patterns, 1, NULL, 0, NULL, &r, NULL, NULL, &error) == -1 &&
                  error.kind == MORVEX_TEX_ERROR_NAME,
              "delete of what isn't there: kind %u", error.kind);
        sources[2].name.data = "t02.tga";
        CHECK(morvex_tex_add(archive, path_size(archive), &list[2], 1, NULL, &r, NULL, NULL, &error) == 0 && r.added == 1 &&
                  r.entries == count,
              "add: %s, added %u", error.message, r.added);
        /* update: the same pixels leave the archive as it was, not rewritten;
         * others replace the entry's, and a name no entry holds is added. */
        struct stat was, is;
        CHECK(stat(archive, &was) == 0, "stat before update");
        CHECK(morvex_tex_update(archive, path_size(archive), &list[2], 1, NULL, &r, NULL, NULL, &error) == 0 &&
                  r.unchanged == 1 && r.replaced == 0 && r.added == 0 && stat(archive, &is) == 0 && is.st_ino == was.st_ino,
              "update with the same pixels: %s, unchanged %u, replaced %u", error.message, r.unchanged, r.replaced);
        sources[2].pixels.rgba = rgba[1];
        CHECK(morvex_tex_update(archive, path_size(archive), &list[2], 1, NULL, &r, NULL, NULL, &error) == 0 &&
                  r.replaced == 1 && r.entries == count,
              "update with other pixels: %s, replaced %u", error.message, r.replaced);
        sources[2].name.data = "t99.tga";
        CHECK(morvex_tex_update(archive, path_size(archive), &list[2], 1, NULL, &r, NULL, NULL, &error) == 0 &&
                  r.added == 1 && r.entries == count + 1,
              "update with a new name: %s, added %u", error.message, r.added);
        CHECK(morvex_tex_open_path(archive, path_size(archive), &a, &error) == 0, "open: %s", error.message);
        uint32_t at = 0;
        CHECK(a && morvex_tex_find_entry(a, "ui/t00.tga", 10, &at, &error) == 0 && at == 1 &&
                  morvex_tex_find_entry(a, "t02.tga", 7, &at, &error) == 0 && at == count - 1 &&
                  morvex_tex_find_entry(a, "t99.tga", 7, &at, &error) == 0 && at == count,
              "after the edits: %s", error.message);
        morvex_tex_close(a);
    }

    /* Outputs were written and placed: every signal still as the program left it. */
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    for (int k = 0; k < 4; ++k) {
        struct sigaction sa;
        sigaction(signals[k], NULL, &sa);
        CHECK(sa.sa_handler == SIG_DFL, "signal %d has a handler", signals[k]);
    }
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
