// morvex_tex_create, _replace, _add, _update, _delete and _rename: the caller's structs made into a
// request of the packer (pack_adapter.hpp), its outcome made into values.
#include "api/internal.hpp"

#include <algorithm>
#include "api/pack_adapter.hpp"
#include "words/words.hpp"

namespace {


int request_of(const char* out_path, std::size_t out_size, const morvex_tex_image_source* const* images,
               std::size_t count, const morvex_tex_pack_options* options, api_pack_request& r, morvex_tex_error* error)
{
    if (!api::known_or_absent(options)) return api::fail_argument(error, "options of no known size");
    const morvex_tex_pack_options o = api::options_or_defaults(options);
    constexpr std::uint32_t known = MORVEX_TEX_PACK_FORCE | MORVEX_TEX_PACK_IGNORE_CASE;
    if ((o.flags & ~known) != 0) return api::fail_argument(error, format_text("flags %#x are not known", o.flags & ~known));
    r.ignore_case = (o.flags & MORVEX_TEX_PACK_IGNORE_CASE) != 0;
    r.stop = api::stop_hook(o.stop, o.stop_context);
    if (o.type != 0 && o.type != 4 && o.type != 6) return api::fail_argument(error, "an archive's images are of type 4 or 6");
    r.type = o.type == 4 ? 4 : 6;
    r.force = (o.flags & MORVEX_TEX_PACK_FORCE) != 0;
    if (o.jobs > MORVEX_TEX_MAX_JOBS) return api::fail_argument(error, format_text("jobs are 1 to %u, not %u", MORVEX_TEX_MAX_JOBS, o.jobs));
    r.level = static_cast<int>(std::min<std::uint32_t>(o.level, 1000));
    r.workers = o.jobs ? o.jobs : extract_workers(false);
    if (!api::text_of(out_path, out_size, r.out_path) || r.out_path.empty()) {
        return api::fail_argument(error, "a path is bytes without NUL");
    }
    if (count > 0 && !images) return api::fail_argument(error, "images counted but not given");
    for (std::size_t n = 0; n < count; ++n) {
        const morvex_tex_image_source* s = images[n];
        if (!api::size_ok(s)) return api::fail_argument(error, format_text("image %zu: of no known size", n));
        api_pack_image img;
        const bool named = s->name.data != nullptr, from_file = s->path.data != nullptr;
        if ((named && !api::text_of(s->name.data, s->name.size, img.name)) ||
            (from_file && (!api::text_of(s->path.data, s->path.size, img.path) || img.path.empty()))) {
            return api::fail_argument(error, format_text("image %zu: a name or path is bytes without NUL", n));
        }
        if ((s->flags & ~(MORVEX_TEX_SOURCE_RGB | MORVEX_TEX_SOURCE_NAME_AS_PATH)) != 0 || (from_file && s->flags != 0) ||
            ((s->flags & MORVEX_TEX_SOURCE_NAME_AS_PATH) && (!named || img.name.empty()))) {
            return api::fail_argument(error, format_text("image %zu: flags %u are not for it", n, s->flags));
        }
        if (!from_file) {
            img.rgb = (s->flags & MORVEX_TEX_SOURCE_RGB) != 0;
            img.name_as_path = (s->flags & MORVEX_TEX_SOURCE_NAME_AS_PATH) != 0;
            if (api::check_pixels(&s->pixels, error, img.rgb ? 3 : 4) != 0) return -1;
            img.pixels = &s->pixels;
        }
        r.images.push_back(std::move(img));
    }
    return 0;
}

int carry_out(const api_pack_request& r, morvex_tex_pack_result* result, morvex_tex_pack_fn each, void* context,
              morvex_tex_error* error)
{
    morvex_tex_pack_result sum{};
    const api_pack_report_fn report = [&](const api_pack_entry& e) {
        ++sum.entries;
        sum.added += e.action == MORVEX_TEX_PACK_ADDED;
        sum.replaced += e.action == MORVEX_TEX_PACK_REPLACED;
        sum.unchanged += e.action == MORVEX_TEX_PACK_UNCHANGED;
        sum.kept += e.action == MORVEX_TEX_PACK_KEPT;
        sum.deleted += e.action == MORVEX_TEX_PACK_DELETED;
        sum.renamed += e.action == MORVEX_TEX_PACK_RENAMED;
        sum.entries -= e.action == MORVEX_TEX_PACK_DELETED;
        if (!each) return;
        const morvex_tex_pack_entry out{sizeof(morvex_tex_pack_entry), e.index, e.action, e.type, e.width, e.height,
                                        e.payload, e.warnings, e.source, api::view_of(e.name)};
        each(context, &out);
    };
    api_pack_failure failure;
    if (api_pack_run(r, report, failure) != 0) {
        if (failure.kind == MORVEX_TEX_ERROR_STOPPED && result) {
            // Nothing was written: the result says only that.
            morvex_tex_pack_result stopped{};
            stopped.stopped = 1;
            api::copy_out(result, stopped);
        }
        if (failure.finding) return api::fail_finding(error, failure.kind, *failure.finding, failure.message);
        const int rc = api::fail(error, failure.kind, failure.error, failure.message);
        if (error && error->size >= sizeof(morvex_tex_error) && failure.image) {
            error->image = static_cast<std::uint32_t>(std::min<std::size_t>(*failure.image, UINT32_MAX - 1) + 1);
        }
        return rc;
    }
    if (result) api::copy_out(result, sum);
    return api::succeed(error);
}

// add and update: the archive at `path` edited in place with the images.
int edit_with_images(api_pack_command command, const char* path, std::size_t path_size,
                     const morvex_tex_image_source* const* images, std::size_t count, const morvex_tex_pack_options* options,
                     morvex_tex_pack_result* result, morvex_tex_pack_fn each, void* context, morvex_tex_error* error)
{
    if (result && !api::known(result)) return api::fail_argument(error, "a result of no known size");
    return api::guarded(error, [&] {
        api_pack_request r;
        if (request_of(path, path_size, images, count, options, r, error) != 0) return -1;
        r.command = command;
        r.in_path = r.out_path;
        return carry_out(r, result, each, context, error);
    });
}

}  // namespace

extern "C" {

MORVEX_TEX_API int morvex_tex_create(const char* out_path, size_t out_size, const morvex_tex_image_source* const* images,
                                     size_t count, const morvex_tex_pack_options* options,
                                     morvex_tex_pack_result* result, morvex_tex_pack_fn each, void* context,
                                     morvex_tex_error* error)
{
    if (result && !api::known(result)) return api::fail_argument(error, "a result of no known size");
    return api::guarded(error, [&] {
        api_pack_request r;
        if (request_of(out_path, out_size, images, count, options, r, error) != 0) return -1;
        return carry_out(r, result, each, context, error);
    });
}

MORVEX_TEX_API int morvex_tex_replace(const char* in_path, size_t in_size, const char* out_path, size_t out_size,
                                      const morvex_tex_image_source* const* images, size_t count,
                                      const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                      morvex_tex_pack_fn each, void* context, morvex_tex_error* error)
{
    if (result && !api::known(result)) return api::fail_argument(error, "a result of no known size");
    return api::guarded(error, [&] {
        api_pack_request r;
        if (request_of(out_path, out_size, images, count, options, r, error) != 0) return -1;
        if (!api::text_of(in_path, in_size, r.in_path) || r.in_path.empty()) return api::fail_argument(error, "a path is bytes without NUL");
        r.command = api_pack_command::replace;
        return carry_out(r, result, each, context, error);
    });
}

MORVEX_TEX_API int morvex_tex_add(const char* path, size_t path_size, const morvex_tex_image_source* const* images,
                                  size_t count, const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                  morvex_tex_pack_fn each, void* context, morvex_tex_error* error)
{
    return edit_with_images(api_pack_command::add, path, path_size, images, count, options, result, each, context, error);
}

MORVEX_TEX_API int morvex_tex_update(const char* path, size_t path_size, const morvex_tex_image_source* const* images,
                                     size_t count, const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                     morvex_tex_pack_fn each, void* context, morvex_tex_error* error)
{
    return edit_with_images(api_pack_command::update, path, path_size, images, count, options, result, each, context, error);
}

MORVEX_TEX_API int morvex_tex_delete(const char* path, size_t path_size, const morvex_tex_string* patterns, size_t count,
                                     const morvex_tex_string* exclude, size_t exclude_count,
                                     const morvex_tex_pack_options* options, morvex_tex_pack_result* result,
                                     morvex_tex_pack_fn each, void* context, morvex_tex_error* error)
{
    if (result && !api::known(result)) return api::fail_argument(error, "a result of no known size");
    return api::guarded(error, [&] {
        api_pack_request r;
        if (request_of(path, path_size, nullptr, 0, options, r, error) != 0) return -1;
        if (count == 0) return api::fail_argument(error, "no pattern: delete takes at least one");
        if (api::patterns_of(patterns, count, r.patterns, error) != 0 || api::patterns_of(exclude, exclude_count, r.excluded, error) != 0) {
            return -1;
        }
        r.command = api_pack_command::remove;
        r.in_path = r.out_path;
        return carry_out(r, result, each, context, error);
    });
}

MORVEX_TEX_API int morvex_tex_rename(const char* path, size_t path_size, morvex_tex_string old_name,
                                     morvex_tex_string new_name, const morvex_tex_pack_options* options,
                                     morvex_tex_pack_result* result, morvex_tex_pack_fn each, void* context,
                                     morvex_tex_error* error)
{
    if (result && !api::known(result)) return api::fail_argument(error, "a result of no known size");
    return api::guarded(error, [&] {
        api_pack_request r;
        if (request_of(path, path_size, nullptr, 0, options, r, error) != 0) return -1;
        if (!api::text_of(old_name.data, old_name.size, r.old_name) || !api::text_of(new_name.data, new_name.size, r.new_name)) {
            return api::fail_argument(error, "a name is bytes without NUL");
        }
        r.command = api_pack_command::rename;
        r.in_path = r.out_path;
        return carry_out(r, result, each, context, error);
    });
}

}  // extern "C"
