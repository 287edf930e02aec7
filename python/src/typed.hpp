// What help() shows of the module's calls: the types of their arguments and
// results as __init__.pyi writes them. An argument taken as any Python object
// (a path, images, a callable or None, checked where it is used) is a
// typed<Caption>: a py::object like any other, whose pybind11 type caption is
// Caption::text, so that the signature line pybind11 writes into a call's
// docstring names the types a caller may give instead of "handle".
#pragma once

#include <utility>

#include <pybind11/pybind11.h>

namespace binding {

namespace py = pybind11;

// Any object is taken; what it must be is said by its caption and checked by
// the call.
template <typename Caption>
class typed : public py::object {
public:
    typed() = default;
    typed(py::object o) : py::object(std::move(o)) {}  // NOLINT: results convert implicitly
    typed(py::handle h, borrowed_t) : py::object(h, borrowed_t{}) {}
    typed(py::handle h, stolen_t) : py::object(h, stolen_t{}) {}
    static bool check_(py::handle h) { return h.ptr() != nullptr; }
};

// The captions: __init__.pyi's types with its aliases written out
// (os.PathLike standing for os.PathLike[str] and os.PathLike[bytes]).
#define MORVEX_CAPTION(Name, Text)                                     \
    struct Name {                                                      \
        static constexpr auto text = py::detail::const_name(Text);     \
    }
#define MORVEX_PATH "str | bytes | os.PathLike"
#define MORVEX_IMAGE "numpy.typing.NDArray[numpy.uint8] | PIL.Image.Image | " MORVEX_PATH
#define MORVEX_NAMES "str | bytes | collections.abc.Iterable[str | bytes]"

namespace caption {
MORVEX_CAPTION(path, MORVEX_PATH);
MORVEX_CAPTION(source, MORVEX_PATH " | bytearray | memoryview | numpy.ndarray | typing.IO[bytes]");
MORVEX_CAPTION(images, "collections.abc.Mapping[str, " MORVEX_IMAGE "] | collections.abc.Mapping[bytes, " MORVEX_IMAGE
                       "] | collections.abc.Iterable[tuple[str | bytes | None, " MORVEX_IMAGE "]]");
MORVEX_CAPTION(images_or_path, "collections.abc.Mapping[str, " MORVEX_IMAGE "] | collections.abc.Mapping[bytes, " MORVEX_IMAGE
                               "] | collections.abc.Iterable[tuple[str | bytes | None, " MORVEX_IMAGE "]] | " MORVEX_PATH);
MORVEX_CAPTION(name, "str | bytes");
MORVEX_CAPTION(patterns, MORVEX_NAMES);
MORVEX_CAPTION(optional_patterns, MORVEX_NAMES " | None");
MORVEX_CAPTION(optional_int, "int | None");
MORVEX_CAPTION(format, "typing.Literal['tga', 'png', 'bmp', 'pcx', 'webp'] | None");
MORVEX_CAPTION(progress, "collections.abc.Callable[[int, int], object] | None");
MORVEX_CAPTION(key, "int | slice | str | bytes");
MORVEX_CAPTION(index, "int | slice");
MORVEX_CAPTION(entries, "collections.abc.Iterator[morvex_tex.Entry]");
MORVEX_CAPTION(any_object, "object");
MORVEX_CAPTION(archive, "morvex_tex.Archive");
MORVEX_CAPTION(entry_or_list, "morvex_tex.Entry | list[morvex_tex.Entry]");
MORVEX_CAPTION(optional_int_result, "int | None");
MORVEX_CAPTION(optional_str, "str | None");
MORVEX_CAPTION(optional_bytes, "bytes | None");
MORVEX_CAPTION(problems, "list[morvex_tex.Problem]");
MORVEX_CAPTION(names, "list[str | None]");
MORVEX_CAPTION(found, "list[tuple[morvex_tex.Entry | None, morvex_tex.Problem]]");
MORVEX_CAPTION(pixels, "numpy.typing.NDArray[numpy.uint8]");
MORVEX_CAPTION(optional_pixels, "numpy.typing.NDArray[numpy.uint8] | None");
MORVEX_CAPTION(image, "PIL.Image.Image");
MORVEX_CAPTION(extract_result, "morvex_tex.ExtractResult");
MORVEX_CAPTION(pack_result, "morvex_tex.PackResult");
}  // namespace caption

// The arguments and results the module's calls take and give.
using path_arg = typed<caption::path>;
using images_arg = typed<caption::images>;
using images_or_path_arg = typed<caption::images_or_path>;
using name_arg = typed<caption::name>;
using patterns_arg = typed<caption::patterns>;
using optional_patterns_arg = typed<caption::optional_patterns>;
using optional_int_arg = typed<caption::optional_int>;
using progress_arg = typed<caption::progress>;
using pack_result = typed<caption::pack_result>;
using entries_result = typed<caption::entries>;

// A class of the module, named as it is imported (morvex_tex.Archive) in the
// signatures of the calls defined on it after this.
template <typename T>
py::class_<T> in_package(py::class_<T> cls)
{
    cls.attr("__module__") = "morvex_tex";
    return cls;
}

#undef MORVEX_CAPTION
#undef MORVEX_PATH
#undef MORVEX_IMAGE
#undef MORVEX_NAMES

}  // namespace binding

namespace pybind11::detail {

template <typename Caption>
struct handle_type_name<binding::typed<Caption>> {
    static constexpr auto name = Caption::text;
};

}  // namespace pybind11::detail
