// morvex_tex.create and morvex_tex.replace: images given as NumPy arrays,
// PIL images or image files, handed to the library's packer as they are
// (arrays by their memory, without a copy when their rows are laid out as the
// library reads them).
#include "binding.hpp"

#include <limits>
#include <optional>

#include <pybind11/numpy.h>

namespace binding {

namespace {

struct source {
    std::optional<std::string> name;
    std::optional<std::string> path;
    py::object array;  // keeps the pixels alive for the call
    morvex_tex_pixels pixels{};
    std::uint32_t flags = 0;
};

bool is_pil_image(py::handle image)
{
    const py::dict modules = py::module_::import("sys").attr("modules");
    return modules.contains("PIL.Image") && py::isinstance(image, modules["PIL.Image"].attr("Image"));
}

// An image in memory as an array of uint8, (height, width, 4) or (height,
// width, 3): a pixel's bytes together, rows `stride` bytes apart.
py::array pixel_array(py::handle image)
{
    py::object from = py::reinterpret_borrow<py::object>(image);
    if (is_pil_image(image)) {
        // Pillow's other modes become the nearest of the two: with alpha
        // where the mode or its transparency has any.
        const std::string mode = image.attr("mode").cast<std::string>();
        if (mode != "RGBA" && mode != "RGB") {
            const bool alpha = mode.find('A') != std::string::npos || py::dict(image.attr("info")).contains("transparency");
            from = image.attr("convert")(alpha ? "RGBA" : "RGB");
        }
    }
    const py::module_ numpy = py::module_::import("numpy");
    py::array a = numpy.attr("asarray")(from);
    const auto shape_error = [&] {
        return py::type_error("an image is a uint8 array of shape (height, width, 4) RGBA or (height, width, 3) RGB, a path to an "
                              "image file, or a PIL image; not " + py::repr(py::getattr(a, "dtype")).cast<std::string>() + " " +
                              py::repr(py::getattr(a, "shape")).cast<std::string>());
    };
    if (a.ndim() != 3 || (a.shape(2) != 3 && a.shape(2) != 4) || !a.dtype().is(py::dtype::of<std::uint8_t>())) throw shape_error();
    const py::ssize_t channels = a.shape(2);
    if (a.strides(2) != 1 || a.strides(1) != channels || a.strides(0) < a.shape(1) * channels) {
        a = numpy.attr("ascontiguousarray")(a);
    }
    return a;
}

source source_of(py::handle name, py::handle image, bool replace)
{
    source s;
    if (!name.is_none()) s.name = name_bytes(name, "an image's name");
    if (is_path(image)) {
        s.path = path_bytes(image);
        return s;
    }
    const py::array a = pixel_array(image);
    const auto limit = static_cast<py::ssize_t>(std::numeric_limits<std::uint32_t>::max());
    if (a.shape(0) > limit || a.shape(1) > limit) throw py::value_error("an image is 1 to 65535 pixels a side");
    s.pixels = {static_cast<std::uint32_t>(a.shape(1)), static_cast<std::uint32_t>(a.shape(0)), static_cast<std::size_t>(a.strides(0)),
                static_cast<const std::uint8_t*>(a.data())};
    s.array = a;
    if (a.shape(2) == 3) s.flags |= MORVEX_TEX_SOURCE_RGB;
    // Pixels have no path: their name is matched as `morvex_tex replace`
    // matches a file's (sky.png patches sky.tga).
    if (replace && s.name) s.flags |= MORVEX_TEX_SOURCE_NAME_AS_PATH;
    return s;
}

std::vector<source> sources_of(py::handle images, bool replace)
{
    const bool mapping = py::isinstance<py::dict>(images) || py::isinstance(images, py::module_::import("collections.abc").attr("Mapping"));
    const py::object pairs = mapping ? images.attr("items")() : py::reinterpret_borrow<py::object>(images);
    std::vector<source> out;
    for (const py::handle pair : pairs) {
        if (!py::isinstance<py::tuple>(pair) && !py::isinstance<py::list>(pair)) {
            throw py::type_error("images is a dict {name: image} or a list of (name, image) pairs");
        }
        const py::sequence p = py::reinterpret_borrow<py::sequence>(pair);
        if (p.size() != 2) throw py::type_error("images is a dict {name: image} or a list of (name, image) pairs");
        out.push_back(source_of(p[0], p[1], replace));
    }
    return out;
}

struct written {
    std::string name;
    std::uint32_t warnings = 0;
};

// Runs create or replace on the sources, the GIL released; the result as a
// PackResult.
template <typename Run>
py::object pack(const std::vector<source>& sources, morvex_tex_pack_options options, py::handle progress, bool by_image,
                Run&& run)
{
    // create's images are counted as they are taken: the hook is asked
    // before each. replace asks before each entry of the archive, and says
    // only when it is done.
    struct counted : call_hook {
        using call_hook::call_hook;
        std::uint64_t asked = 0;
        bool by_image = false;
    } hook(progress, sources.size());
    hook.by_image = by_image;
    options.stop = [](void* p) {
        auto* h = static_cast<counted*>(p);
        if (h->by_image && h->asked > 0) h->step(h->asked);
        ++h->asked;
        return call_hook::ask(p);
    };
    options.stop_context = &hook;
    std::vector<morvex_tex_image_source> structs(sources.size());
    std::vector<const morvex_tex_image_source*> pointers;
    for (std::size_t n = 0; n < sources.size(); ++n) {
        morvex_tex_image_source& s = structs[n];
        s = MORVEX_TEX_IMAGE_SOURCE_INIT;
        if (sources[n].name) s.name = {sources[n].name->data(), sources[n].name->size()};
        if (sources[n].path) s.path = {sources[n].path->data(), sources[n].path->size()};
        s.pixels = sources[n].pixels;
        s.flags = sources[n].flags;
        pointers.push_back(&s);
    }
    struct context {
        std::vector<written> warned;
        std::exception_ptr thrown;
    } c;
    const morvex_tex_pack_fn each = [](void* p, const morvex_tex_pack_entry* e) {
        auto* written_so_far = static_cast<context*>(p);
        if (written_so_far->thrown || e->warnings == 0) return;
        try {
            written_so_far->warned.push_back({{e->name.data, e->name.size}, e->warnings});
        } catch (...) {
            written_so_far->thrown = std::current_exception();
        }
    };
    morvex_tex_pack_result r = MORVEX_TEX_PACK_RESULT_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = 0;
    {
        py::gil_scoped_release unlocked;
        rc = run(pointers.data(), pointers.size(), &options, &r, each, &c, &e);
    }
    if (c.thrown) std::rethrow_exception(c.thrown);
    hook.finish(rc == 0);
    if (rc != 0) fail(e);
    py::list warnings;
    for (const written& w : c.warned) {
        if (w.warnings & MORVEX_TEX_PACK_ALPHA_LOST) warnings.append(py::make_tuple(name_text(w.name.data(), w.name.size()), "alpha_lost"));
        if (w.warnings & MORVEX_TEX_PACK_RESIZED) warnings.append(py::make_tuple(name_text(w.name.data(), w.name.size()), "resized"));
    }
    return python_type("PackResult")(r.entries, r.added, r.replaced, r.unchanged, r.kept, warnings, r.deleted, r.renamed);
}

morvex_tex_pack_options options_of(std::uint32_t type, bool force, py::handle level, py::handle jobs)
{
    morvex_tex_pack_options o = MORVEX_TEX_PACK_OPTIONS_INIT;
    o.type = type;
    o.flags = force ? MORVEX_TEX_PACK_FORCE : 0u;
    if (!level.is_none()) {
        const Py_ssize_t l = integer_of(level, "level");
        if (l < 1 || l > 12) throw py::value_error("level is 1 (fastest) to 12 (smallest), or None");
        o.level = static_cast<std::uint32_t>(l);
    }
    o.jobs = jobs_of(jobs);
    return o;
}

pack_result create(path_arg path, images_arg images, std::uint32_t type, bool force, optional_int_arg level,
                   optional_int_arg jobs, progress_arg progress)
{
    const std::string out = path_bytes(path);
    const std::vector<source> sources = sources_of(images, false);
    return pack(sources, options_of(type, force, level, jobs), progress, true,
                [&](auto... args) { return morvex_tex_create(out.data(), out.size(), args...); });
}

pack_result replace(path_arg in_path, path_arg out_path, images_arg images, bool force, optional_int_arg level,
                    optional_int_arg jobs, progress_arg progress)
{
    const std::string in = path_bytes(in_path), out = path_bytes(out_path);
    const std::vector<source> sources = sources_of(images, true);
    return pack(sources, options_of(0, force, level, jobs), progress, false, [&](auto... args) {
        return morvex_tex_replace(in.data(), in.size(), out.data(), out.size(), args...);
    });
}

pack_result add(path_arg path, images_arg images, std::uint32_t type, optional_int_arg level, optional_int_arg jobs,
                progress_arg progress)
{
    const std::string at = path_bytes(path);
    const std::vector<source> sources = sources_of(images, false);
    return pack(sources, options_of(type, false, level, jobs), progress, true,
                [&](auto... args) { return morvex_tex_add(at.data(), at.size(), args...); });
}

pack_result update(path_arg path, images_or_path_arg images, std::uint32_t type, optional_int_arg level, optional_int_arg jobs,
                   progress_arg progress)
{
    const std::string at = path_bytes(path);
    // A folder (or one file) given alone, as on the command line.
    const bool one_path = py::isinstance<py::str>(images) || py::isinstance<py::bytes>(images) ||
                          py::hasattr(images, "__fspath__");
    const std::vector<source> sources =
        sources_of(one_path ? py::object(py::make_tuple(py::make_tuple(py::none(), images))) : py::reinterpret_borrow<py::object>(images), true);
    return pack(sources, options_of(type, false, level, jobs), progress, false,
                [&](auto... args) { return morvex_tex_update(at.data(), at.size(), args...); });
}

pack_result remove(path_arg path, patterns_arg patterns, optional_patterns_arg exclude, bool ignore_case)
{
    const std::string at = path_bytes(path);
    const std::vector<std::string> take = patterns_of(listed(patterns)), leave = patterns_of(listed(exclude));
    if (take.empty()) throw py::value_error("delete() takes at least one pattern");
    std::vector<morvex_tex_string> take_strings, leave_strings;
    for (const std::string& p : take) take_strings.push_back({p.data(), p.size()});
    for (const std::string& p : leave) leave_strings.push_back({p.data(), p.size()});
    morvex_tex_pack_options o = MORVEX_TEX_PACK_OPTIONS_INIT;
    o.flags = ignore_case ? MORVEX_TEX_PACK_IGNORE_CASE : 0u;
    return pack({}, o, py::none(), false, [&](const morvex_tex_image_source* const*, std::size_t, auto... args) {
        return morvex_tex_delete(at.data(), at.size(), take_strings.data(), take_strings.size(), leave_strings.data(),
                                 leave_strings.size(), args...);
    });
}

pack_result rename(path_arg path, name_arg old_name, name_arg new_name)
{
    const std::string at = path_bytes(path);
    const std::string from = name_bytes(old_name, "a name"), to = name_bytes(new_name, "a name");
    const morvex_tex_pack_options o = MORVEX_TEX_PACK_OPTIONS_INIT;
    return pack({}, o, py::none(), false, [&](const morvex_tex_image_source* const*, std::size_t, auto... args) {
        return morvex_tex_rename(at.data(), at.size(), {from.data(), from.size()}, {to.data(), to.size()}, args...);
    });
}

}  // namespace

void bind_pack(py::module_& m)
{
    m.def("add", &add, py::arg("path"), py::arg("images"), py::arg("type") = 6, py::kw_only(), py::arg("level") = py::none(),
          py::arg("jobs") = py::none(), py::arg("progress") = py::none(),
          R"(Adds the images after the entries of the archive at ``path``, in place, as ``morvex_tex add``.

``images`` as for create(), each stored under a name the archive doesn't hold
yet (morvex_tex.Error of kind "name" otherwise); ``type`` as for create().
Every entry already there stays byte for byte; the archive is replaced only
when its copy is complete, locked against other edits meanwhile, and left as
it was on any failure. Returns a PackResult. ``progress`` as for create().)");
    m.def("update", &update, py::arg("path"), py::arg("images"), py::arg("type") = 6, py::kw_only(),
          py::arg("level") = py::none(), py::arg("jobs") = py::none(), py::arg("progress") = py::none(),
          R"(Puts back into the archive at ``path`` what changed, and adds what is new, in place, as ``morvex_tex update``.

``images`` as for replace(), or the path of a folder (every image beneath it,
matched by its path inside it, as ``morvex_tex extract -C`` wrote it): each
image goes into the entry replace() would patch, in the entry's own type, only
when its pixels differ; an image no entry takes is added as add() adds it, of
``type``. When nothing differs the archive is left as it was, not rewritten
(``added`` and ``replaced`` 0). Returns a PackResult. ``progress`` as for
replace().)");
    m.def("delete", &remove, py::arg("path"), py::arg("patterns"), py::arg("exclude") = py::none(),
          py::arg("ignore_case") = false,
          R"(Drops the entries the patterns match from the archive at ``path``, in place, as ``morvex_tex delete``.

``patterns`` (a str or a list; shell wildcards, * matching / too, "ui/"
everything beneath ui/) take entries from 1 on, ``exclude`` keeps those it
matches; a pattern that takes no entry is an error (kind "name") and nothing
is written. Every other entry stays byte for byte. Returns a PackResult
(``deleted``).)");
    m.def("rename", &rename, py::arg("path"), py::arg("old"), py::arg("new"),
          R"(Stores every entry named ``old`` under ``new`` in the archive at ``path``, in place, as ``morvex_tex rename``.

``new`` must be a name the archive doesn't hold yet. Every entry stays byte for
byte but for that name. Returns a PackResult (``renamed``).)");
    m.def("create", &create, py::arg("path"), py::arg("images"), py::arg("type") = 6, py::arg("force") = false, py::kw_only(),
          py::arg("level") = py::none(), py::arg("jobs") = py::none(), py::arg("progress") = py::none(),
          R"(Writes a new archive at ``path``, as ``morvex_tex create``: an empty first entry, then one entry per image, in order.

``images`` is a dict {name: image} or a list of (name, image) pairs; an image
is a uint8 array of shape (height, width, 4) RGBA or (height, width, 3) RGB,
a PIL image, or the path of a PNG, TGA, BMP, PCX, JPEG or WebP file (whose
name is stored when the pair's name is None, a JPEG's or WebP's with .png). ``type`` 6 stores 8 bits a channel, 4
zlib-compressed 4 bits a channel (each the nearest of 16 levels, at ``level``
1 to 12). ``force`` writes over a file that is no archive. Nothing is written
unless everything succeeds. Returns a PackResult. ``progress``, when given, is
called as progress(done, total) as images are taken; an exception it raises,
or Ctrl-C, stops the call (nothing written) and comes out of it. The GIL is
released meanwhile.)");
    m.def("replace", &replace, py::arg("in_path"), py::arg("out_path"), py::arg("images"), py::kw_only(), py::arg("force") = false,
          py::arg("level") = py::none(), py::arg("jobs") = py::none(), py::arg("progress") = py::none(),
          R"(Copies the archive ``in_path`` to ``out_path`` with each image put in the entry it names, as ``morvex_tex replace``.

``images`` as for create(). An array or PIL image patches the entry its name
names as ``morvex_tex replace`` matches a file: the one stored under that path
with the most of its folders, else the one of the same path and stem
("sky.png" patches "sky.tga"); a file given with a name patches the entry of
exactly that name, and one with the name None as its own path matches. Each
entry keeps its type; every other entry, and an image that didn't change,
stays byte for byte. Returns a PackResult, whose warnings name the entries
that lost their alpha or changed size. ``progress``, when given, is called as
progress(total, total) once done; an exception it raises, or Ctrl-C, stops the
call (nothing written) and comes out of it. The GIL is released meanwhile.)");
}

}  // namespace binding
