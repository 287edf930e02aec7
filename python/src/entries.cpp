// morvex_tex.Entry: one record of an archive's table with its header's
// fields and problems (those of `morvex_tex list`), its pixels as a NumPy
// array, its payload as stored, and a Pillow image.
#include "binding.hpp"

#include <pybind11/numpy.h>

namespace binding {

entry entry_at(const archive_ptr& archive, std::uint32_t index)
{
    entry out;
    out.archive = archive;
    std::vector<morvex_tex_finding> found(MORVEX_TEX_MAX_ENTRY_FINDINGS);
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    const int rc = with_archive(*archive, [&](const morvex_tex_archive* a) {
        return morvex_tex_get_entry(a, index, &out.info, found.data(), found.size(), &e);
    });
    if (rc != 0) {
        if (e.kind == MORVEX_TEX_ERROR_NO_ENTRY) throw py::index_error(e.message);
        fail(e);
    }
    found.resize(std::min<std::size_t>(out.info.finding_count, found.size()));
    out.findings = std::move(found);
    return out;
}

namespace {

bool readable(const entry& e)
{
    return e.info.state == MORVEX_TEX_ENTRY_OK;
}

// A field of the entry's header: None when the header couldn't be read.
typed<caption::optional_int_result> header_field(const entry& e, std::uint32_t value)
{
    return readable(e) ? py::object(py::int_(value)) : py::object(py::none());
}

// The library's own image handed over as the array's memory, freed with
// morvex_tex_image_free: for entries whose header the Entry couldn't read or
// that changed size since, and for those without pixels.
py::array adopted_pixels(const entry& self)
{
    morvex_tex_image image = MORVEX_TEX_IMAGE_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    const int rc = with_archive(*self.archive, [&](const morvex_tex_archive* a) {
        return morvex_tex_decode(a, self.info.index, &image, &e);
    });
    if (rc != 0) fail(e);
    if (!image.rgba) {
        // An entry without pixels (0 x 0, the first most often): an empty array.
        return py::array_t<std::uint8_t>({static_cast<py::ssize_t>(image.height), static_cast<py::ssize_t>(image.width), py::ssize_t{4}});
    }
    const auto free_pixels = [](void* rgba) {
        morvex_tex_image owned = MORVEX_TEX_IMAGE_INIT;
        owned.rgba = static_cast<std::uint8_t*>(rgba);
        morvex_tex_image_free(&owned);
    };
    py::capsule owner;
    try {
        owner = py::capsule(image.rgba, free_pixels);
    } catch (...) {
        morvex_tex_image_free(&image);
        throw;
    }
    const auto stride = static_cast<py::ssize_t>(image.stride);
    return py::array_t<std::uint8_t>({static_cast<py::ssize_t>(image.height), static_cast<py::ssize_t>(image.width), py::ssize_t{4}},
                                     {stride, py::ssize_t{4}, py::ssize_t{1}}, image.rgba, owner);
}

// The array is NumPy's own, made at the size the entry's header gave and
// decoded into: NumPy's allocator serves it (huge pages for a large one
// where the system offers them), and no other copy is made. Nothing else
// holds it until it is returned, so it is filled without the GIL.
py::array pixels(const entry& self)
{
    const std::uint32_t width = self.info.width, height = self.info.height;
    if (!readable(self) || width == 0 || height == 0) return adopted_pixels(self);
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width), py::ssize_t{4}});
    const std::size_t size = std::size_t{width} * height * 4;
    void* into = out.mutable_data();
    morvex_tex_image image = MORVEX_TEX_IMAGE_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    const int rc = with_archive(*self.archive, [&](const morvex_tex_archive* a) {
        return morvex_tex_decode_into(a, self.info.index, into, size, &image, &e);
    });
    // The archive changed underneath since the Entry was made: its image as it is now.
    if ((rc != 0 && e.kind == MORVEX_TEX_ERROR_BUFFER) || (rc == 0 && (image.width != width || image.height != height))) {
        return adopted_pixels(self);
    }
    if (rc != 0) fail(e);
    return out;
}

// The pixels decoded into the caller's array, which must be of the entry's
// shape, uint8, C-contiguous and writable: reading many entries of one size
// into one array costs what the program's own walk costs, no fresh memory
// for each.
py::array pixels_into(const entry& self, const py::object& given)
{
    if (!py::isinstance<py::array>(given)) throw py::type_error("out is a numpy.ndarray of uint8, or None");
    py::array out = py::reinterpret_borrow<py::array>(given);
    const std::uint32_t width = self.info.width, height = self.info.height;
    const bool fits = out.dtype().is(py::dtype::of<std::uint8_t>()) && out.ndim() == 3 &&
                      out.shape(0) == static_cast<py::ssize_t>(height) && out.shape(1) == static_cast<py::ssize_t>(width) &&
                      out.shape(2) == 4 && (out.flags() & py::array::c_style) != 0 && out.writeable();
    if (!fits) {
        throw py::value_error(py::str("out must be a writable, C-contiguous uint8 array of shape ({}, {}, 4), as the entry is")
                                  .format(height, width)
                                  .cast<std::string>());
    }
    if (width == 0 || height == 0) return out;
    void* into = out.mutable_data();
    const std::size_t size = std::size_t{width} * height * 4;
    morvex_tex_image image = MORVEX_TEX_IMAGE_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    const int rc = with_archive(*self.archive, [&](const morvex_tex_archive* a) {
        return morvex_tex_decode_into(a, self.info.index, into, size, &image, &e);
    });
    if (rc != 0) fail(e);
    // The archive changed underneath since the Entry was made.
    if (image.width != width || image.height != height) {
        throw py::value_error(py::str("the entry is {} x {} now, not the {} x {} it was when listed")
                                  .format(image.width, image.height, width, height)
                                  .cast<std::string>());
    }
    return out;
}

// The payload as stored: its size asked first, so that what is allocated is
// what the archive holds.
py::bytes raw(const entry& self)
{
    std::uint64_t size = 0;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = with_archive(*self.archive, [&](const morvex_tex_archive* a) {
        return morvex_tex_read_payload(a, self.info.index, nullptr, 0, &size, &e);
    });
    if (rc != 0 && e.kind != MORVEX_TEX_ERROR_BUFFER) fail(e);
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) throw py::error_already_set();
    // Nothing else holds the new bytes object yet: it is filled without the GIL.
    char* into = PyBytes_AS_STRING(out.ptr());
    rc = with_archive(*self.archive, [&](const morvex_tex_archive* a) {
        return morvex_tex_read_payload(a, self.info.index, into, static_cast<std::size_t>(size), nullptr, &e);
    });
    if (rc != 0) fail(e);
    return out;
}

py::object to_image(const entry& self)
{
    const py::object image = py::module_::import("PIL.Image");
    const py::array rgba = pixels(self);
    // The image reads the array's memory rather than a copy of it.
    return image.attr("frombuffer")("RGBA", py::make_tuple(rgba.shape(1), rgba.shape(0)), rgba, "raw", "RGBA", 0, 1);
}

std::string describe(const entry& self)
{
    std::string out = "<morvex_tex.Entry " + std::to_string(self.info.index);
    if (!readable(self)) return out + ", its header unreadable>";
    out += " " + py::repr(name_text(self.info.name, self.info.name_size)).cast<std::string>() + ", " +
           std::to_string(self.info.width) + "x" + std::to_string(self.info.height) + ", type " + std::to_string(self.info.type);
    if (!self.findings.empty()) out += ", " + std::to_string(self.findings.size()) + (self.findings.size() == 1 ? " problem" : " problems");
    return out + ">";
}

}  // namespace

void bind_entries(py::module_& m)
{
    in_package(py::class_<entry>(m, "Entry", R"(One record of an archive's table, and the entry it points at.

Taken from an Archive (``a[3]``, ``a["env/sky.tga"]``, iterating); it keeps
the archive open until it is closed. The header's fields (name, raw_name,
width, height, type) are None when the archive doesn't hold the entry's
header, as ``morvex_tex list --json`` has them null.)"))
        .def_property_readonly("index", [](const entry& e) { return e.info.index; }, "Its place in the table, from 0.")
        .def_property_readonly(
            "name",
            [](const entry& e) -> typed<caption::optional_str> {
                return readable(e) ? py::object(name_text(e.info.name, e.info.name_size)) : py::object(py::none());
            },
            "The stored name as str (bytes that aren't UTF-8 kept by \"surrogateescape\"), or None.")
        .def_property_readonly(
            "raw_name",
            [](const entry& e) -> typed<caption::optional_bytes> {
                return readable(e) ? py::object(py::bytes(e.info.name, e.info.name_size)) : py::object(py::none());
            },
            "The stored name's bytes up to its first zero byte, or None.")
        .def_property_readonly("width", [](const entry& e) { return header_field(e, e.info.width); }, "Pixels a row, or None.")
        .def_property_readonly("height", [](const entry& e) { return header_field(e, e.info.height); }, "Rows, or None.")
        .def_property_readonly("type", [](const entry& e) { return header_field(e, e.info.type); },
                               "The entry header's type: 4 (zlib, 4 bits a channel) or 6 (raw 8 bits a channel), or None.")
        .def_property_readonly("payload_size", [](const entry& e) { return e.info.payload_size; },
                               "The payload's bytes, as the table says.")
        .def_property_readonly("offset", [](const entry& e) { return e.info.offset; },
                               "Where the entry's header is in the archive, as the table says.")
        .def_property_readonly("problems", [](const entry& e) -> typed<caption::problems> { return problems_of(e.findings.data(), e.findings.size()); },
                               R"(What the listing finds of it, as ``morvex_tex list``: a list of Problem(kind, message).

Its header and table record, its name, the archive's budgets: what is known
without decoding it. Not what decoding finds (a damaged stream, one that
inflates to another size): Archive.test() decodes every entry and names
those too, and pixels() raises morvex_tex.Error for an entry it can't decode.)")
        .def("pixels", [](const entry& e, const typed<caption::optional_pixels>& out) -> typed<caption::pixels> {
                 return out.is_none() ? pixels(e) : pixels_into(e, out);
             }, py::arg("out") = py::none(), R"(The pixels: a numpy.ndarray of uint8, shape (height, width, 4), RGBA, top row first.

Exactly the pixels of the TGA and PNG files ``morvex_tex extract`` writes. Any
entry with pixels decodes, the first and those whose names couldn't name a
file too. One that can't raises morvex_tex.Error whose kind is its problem's
("stream_damaged", "payload_past_end", ...). The GIL is released meanwhile.

``out``, when given, is an array of the entry's shape (uint8, C-contiguous,
writable) that the pixels are decoded into, and is returned: reading many
entries of one size through one array allocates nothing for each.)")
        .def("raw", &raw, R"(The payload as stored: bytes (what ``morvex_tex extract --raw`` writes).

Raises morvex_tex.Error ("entry_past_end", "entry_header_cut",
"payload_past_end") when the archive doesn't hold it.)")
        .def("to_image", [](const entry& e) -> typed<caption::image> { return to_image(e); }, R"(The pixels as a PIL.Image.Image in mode "RGBA" (ImportError without Pillow).)")
        .def("__repr__", &describe);
}

}  // namespace binding
