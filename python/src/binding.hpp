// The Python module `morvex_tex` (python/morvex_tex/_morvex_tex): a pybind11
// binding of the public C API (include/morvex_tex/), nothing decided here
// that the library decides. What its files share: the archive handle an
// Archive and its entries hold, failures carried out of the code that runs
// without the GIL and raised as Python's exceptions once it is held again,
// and the small conversions (names, paths, problems) every call makes.
//
// The GIL is released around every call of the library that reads, decodes,
// tests, extracts or writes; nothing Python is touched while it is.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "morvex_tex/morvex_tex.h"
#include "typed.hpp"

namespace py = pybind11;

namespace binding {

// ---------------------------------------------------------------------------
// Failures.

// A call of the library that failed, thrown wherever it happened (the GIL
// may be released there) and raised by the module's exception translator:
// OSError's subclass for the system's errno (with the path when the call was
// given one), MemoryError, ValueError for an argument the library refused,
// morvex_tex.Error for the rest.
struct failure {
    morvex_tex_error error;
    std::string path;  // file system bytes
    bool has_path = false;
};

[[noreturn]] void fail(const morvex_tex_error& e);
[[noreturn]] void fail(const morvex_tex_error& e, const std::string& path);

// Sets the Python exception for `f`; the GIL is held.
void raise(const failure& f);

// ---------------------------------------------------------------------------
// The archive.

// An open archive, shared by an Archive and the entries taken from it. A
// call holds `lock` shared while it uses the archive (the GIL released);
// close takes it alone, so it never frees what a call is still reading,
// and every call after it finds `archive` NULL.
struct shared_archive {
    morvex_tex_archive* archive = nullptr;
    std::shared_mutex lock;
    shared_archive() = default;
    shared_archive(const shared_archive&) = delete;
    shared_archive& operator=(const shared_archive&) = delete;
    ~shared_archive() { morvex_tex_close(archive); }
};
using archive_ptr = std::shared_ptr<shared_archive>;

// Runs body(archive) with the GIL released and the archive held open;
// ValueError when it was closed.
template <typename Body>
auto with_archive(shared_archive& a, Body&& body)
{
    py::gil_scoped_release unlocked;
    std::shared_lock<std::shared_mutex> held(a.lock);
    if (!a.archive) throw py::value_error("I/O operation on a closed archive");
    return body(static_cast<const morvex_tex_archive*>(a.archive));
}

// The same with the GIL held, for calls that take no time.
template <typename Body>
auto with_archive_held(shared_archive& a, Body&& body)
{
    std::shared_lock<std::shared_mutex> held(a.lock);
    if (!a.archive) throw py::value_error("I/O operation on a closed archive");
    return body(static_cast<const morvex_tex_archive*>(a.archive));
}

// An entry as the library describes it, with the archive it came from.
struct entry {
    archive_ptr archive;
    morvex_tex_entry info = MORVEX_TEX_ENTRY_INIT;
    std::vector<morvex_tex_finding> findings;
};

// Entry `index` of the archive (an index past the table: IndexError).
entry entry_at(const archive_ptr& archive, std::uint32_t index);

// Patterns given as None, one str or bytes, or an iterable of them; and as
// the library's bytes.
py::list listed(py::handle patterns);
std::vector<std::string> patterns_of(const py::list& patterns);

// ---------------------------------------------------------------------------
// Following and stopping a long call.

// What a long call (test, extract, create, replace) asks of Python while it
// runs without the GIL: `ask`, the library's stop hook, is called on the
// calling thread before each entry or image; it takes the GIL to run the
// signal handlers (Ctrl-C raises KeyboardInterrupt there, within the time of
// an entry) and says stop once an exception is pending. `step` reports
// progress(done, total) as entries are done. An exception raised by either
// stops the call, and `finish` raises it once the call is over.
struct call_hook {
    py::object progress;  // None, or a callable (done, total)
    std::uint64_t total = 0;
    std::optional<py::error_already_set> thrown;

    explicit call_hook(py::handle callable, std::uint64_t total_work);
    static int ask(void* context);        // the GIL released
    void step(std::uint64_t done);        // the GIL released
    // The GIL held: raises what was thrown; after a call that went through,
    // reports it all done.
    void finish(bool went_through);
};

// ---------------------------------------------------------------------------
// Conversions.

// A type of morvex_tex/__init__.py: Error, Problem, ExtractResult, PackResult.
py::object python_type(const char* name);

// morvex_tex.Problem(kind, message) of a finding: its stable name (that of
// `morvex_tex list --json`) and the programs' words for it.
py::object problem_of(const morvex_tex_finding& f);
py::list problems_of(const morvex_tex_finding* f, std::size_t count);

// A stored name as str: UTF-8, bytes that aren't as "surrogateescape" keeps
// them (os.fsdecode's way), so that it encodes back to the same bytes.
py::str name_text(const char* data, std::size_t size);

// A name or pattern given as str (encoded as name_text decodes) or bytes.
std::string name_bytes(py::handle name, const char* what);

// A path given as str, bytes or os.PathLike, in the file system's bytes
// (os.fsencode); TypeError for anything else.
bool is_path(py::handle source);
std::string path_bytes(py::handle path);
py::str path_text(const std::string& bytes);

// An integer argument (an int, or anything with __index__ as NumPy's
// integers) clamped to Py_ssize_t; TypeError for anything else.
bool is_integer(py::handle value);
Py_ssize_t integer_of(py::handle value, const char* what);

// A `jobs` argument: None for the library's default (0).
std::uint32_t jobs_of(py::handle jobs);

// The module's parts (archive.cpp, entries.cpp, pack.cpp, diff.cpp).
void bind_archive(py::module_& m);
void bind_entries(py::module_& m);
void bind_pack(py::module_& m);
void bind_diff(py::module_& m);

}  // namespace binding
