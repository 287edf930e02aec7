// The module's start: its version, the translation of the library's errors
// into Python's exceptions, and the conversions every part shares.
#include "binding.hpp"

#include <cerrno>
#include <cstring>

namespace binding {

void fail(const morvex_tex_error& e)
{
    throw failure{e, {}, false};
}

void fail(const morvex_tex_error& e, const std::string& path)
{
    throw failure{e, path, true};
}

void raise(const failure& f)
{
    const morvex_tex_error& e = f.error;
    try {
        switch (e.kind) {
        case MORVEX_TEX_ERROR_SYSTEM:
            if (e.error == 0) break;
            {
                // OSError(errno, ...) is the errno's subclass, as Python's own calls raise it.
                const py::object os_error = py::reinterpret_borrow<py::object>(PyExc_OSError);
                const py::object exception = f.has_path ? os_error(e.error, std::strerror(e.error), path_text(f.path))
                                                        : os_error(e.error, e.message);
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
                return;
            }
        case MORVEX_TEX_ERROR_NO_MEMORY: PyErr_SetString(PyExc_MemoryError, e.message); return;
        case MORVEX_TEX_ERROR_ARGUMENT: PyErr_SetString(PyExc_ValueError, e.message); return;
        default: break;
        }
        // An entry that can't be decoded is named by its problem's kind.
        const char* kind = morvex_tex_error_name(e.kind);
        py::object problem = py::none();
        const bool with_finding = e.kind == MORVEX_TEX_ERROR_ENTRY || e.kind == MORVEX_TEX_ERROR_DAMAGED;
        if (with_finding && morvex_tex_finding_name(e.finding.kind)) {
            problem = problem_of(e.finding);
            if (e.kind == MORVEX_TEX_ERROR_ENTRY) kind = morvex_tex_finding_name(e.finding.kind);
        }
        const py::object exception = python_type("Error")(kind ? kind : "unknown", e.message, problem);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    } catch (py::error_already_set& python) {
        python.restore();
    }
}

py::object python_type(const char* name)
{
    return py::module_::import("morvex_tex").attr(name);
}

py::object problem_of(const morvex_tex_finding& f)
{
    const char* kind = morvex_tex_finding_name(f.kind);
    std::string text(morvex_tex_finding_text(&f, nullptr, 0), '\0');
    morvex_tex_finding_text(&f, text.data(), text.size() + 1);
    return python_type("Problem")(kind ? kind : "unknown", text);
}

py::list problems_of(const morvex_tex_finding* f, std::size_t count)
{
    py::list out;
    for (std::size_t n = 0; n < count; ++n) out.append(problem_of(f[n]));
    return out;
}

py::str name_text(const char* data, std::size_t size)
{
    PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "surrogateescape");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

std::string name_bytes(py::handle name, const char* what)
{
    if (py::isinstance<py::bytes>(name)) return name.cast<std::string>();
    if (!py::isinstance<py::str>(name)) {
        throw py::type_error(std::string(what) + " is a str or bytes, not " + py::str(py::type::handle_of(name).attr("__name__")).cast<std::string>());
    }
    PyObject* bytes = PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape");
    if (!bytes) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes).cast<std::string>();
}

bool is_path(py::handle source)
{
    return py::isinstance<py::str>(source) || py::isinstance<py::bytes>(source) ||
           py::isinstance(source, py::module_::import("os").attr("PathLike"));
}

std::string path_bytes(py::handle path)
{
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

py::str path_text(const std::string& bytes)
{
    return py::module_::import("os").attr("fsdecode")(py::bytes(bytes));
}

bool is_integer(py::handle value)
{
    return PyIndex_Check(value.ptr()) != 0;
}

Py_ssize_t integer_of(py::handle value, const char* what)
{
    if (!is_integer(value)) {
        throw py::type_error(std::string(what) + " is an integer, not " +
                             py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
    }
    // Clamped rather than refused: any number that large is out of range.
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), nullptr);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

std::uint32_t jobs_of(py::handle jobs)
{
    if (jobs.is_none()) return 0;
    const Py_ssize_t n = integer_of(jobs, "jobs");
    if (n < 1 || n > MORVEX_TEX_MAX_JOBS) {
        throw py::value_error("jobs is a number of threads from 1 to " + std::to_string(MORVEX_TEX_MAX_JOBS) + ", or None");
    }
    return static_cast<std::uint32_t>(n);
}

call_hook::call_hook(py::handle callable, std::uint64_t total_work) : progress(py::reinterpret_borrow<py::object>(callable)), total(total_work)
{
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) throw py::type_error("progress is a callable (done, total), or None");
}

int call_hook::ask(void* context)
{
    auto* hook = static_cast<call_hook*>(context);
    py::gil_scoped_acquire held;
    if (!hook->thrown && PyErr_CheckSignals() != 0) hook->thrown.emplace();
    return hook->thrown ? 1 : 0;
}

void call_hook::step(std::uint64_t done)
{
    if (progress.is_none() || thrown) return;
    py::gil_scoped_acquire held;
    try {
        progress(done, total);
    } catch (py::error_already_set& e) {
        thrown.emplace(std::move(e));
    }
}

void call_hook::finish(bool went_through)
{
    if (thrown) {
        py::error_already_set e = std::move(*thrown);
        thrown.reset();
        throw e;
    }
    if (went_through && !progress.is_none()) progress(total, total);
}

}  // namespace binding

PYBIND11_MODULE(_morvex_tex, m)
{
    m.doc() = "The binding of libmorvex_tex's C API that the package morvex_tex is built on: use morvex_tex.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const binding::failure& f) {
            binding::raise(f);
        }
    });
    m.attr("__version__") = morvex_tex_version();
    binding::bind_entries(m);
    binding::bind_archive(m);
    binding::bind_pack(m);
    binding::bind_diff(m);
}
