// morvex_tex.open and morvex_tex.Archive: an archive opened from a path, a
// bytes-like object or a binary file object; its entries by index, name or
// iteration; its own problems; test and extract as `morvex_tex test` and
// `morvex_tex extract` do them.
#include "binding.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace binding {

namespace {

struct archive_object {
    archive_ptr shared;
    std::string label;  // what it was opened from, for its repr
};

// Archive.entries: the table as a sequence, each Entry made when asked for,
// so that a hostile table of millions of records costs nothing until read.
struct entry_list {
    archive_ptr shared;
};

struct entry_iterator {
    archive_ptr shared;
    std::uint32_t next = 0, count = 0;
};

std::uint32_t count_of(shared_archive& a)
{
    return with_archive_held(a, [](const morvex_tex_archive* h) { return morvex_tex_entry_count(h); });
}

py::object entry_object(const archive_ptr& a, std::uint32_t index)
{
    return py::cast(entry_at(a, index));
}

py::object item(const archive_ptr& a, py::handle key)
{
    if (!py::isinstance<py::str>(key) && !py::isinstance<py::bytes>(key) && is_integer(key)) {
        const Py_ssize_t count = count_of(*a);
        Py_ssize_t i = integer_of(key, "an index");
        if (i < 0) i += count;
        if (i < 0 || i >= count) throw py::index_error("entry index out of range");
        return entry_object(a, static_cast<std::uint32_t>(i));
    }
    if (py::isinstance<py::slice>(key)) {
        std::size_t start = 0, stop = 0, step = 0, length = 0;
        if (!key.cast<py::slice>().compute(count_of(*a), &start, &stop, &step, &length)) throw py::error_already_set();
        py::list out;
        for (std::size_t n = 0; n < length; ++n, start += step) out.append(entry_object(a, static_cast<std::uint32_t>(start)));
        return out;
    }
    if (!py::isinstance<py::str>(key) && !py::isinstance<py::bytes>(key)) {
        throw py::type_error("an entry is taken by its index (int) or its stored name (str or bytes)");
    }
    const std::string name = name_bytes(key, "a name");
    std::uint32_t index = 0;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    const int rc = with_archive(*a, [&](const morvex_tex_archive* h) { return morvex_tex_find_entry(h, name.data(), name.size(), &index, &e); });
    if (rc != 0) {
        if (e.kind != MORVEX_TEX_ERROR_NO_ENTRY) fail(e);
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw py::error_already_set();
    }
    return entry_object(a, index);
}

// ---------------------------------------------------------------------------
// Opening.

archive_object open_path(py::handle source)
{
    const std::string path = path_bytes(source);
    if (py::isinstance<py::bytes>(source) && path.find('\0') != std::string::npos) {
        throw py::value_error("bytes are a path, and a path holds no NUL: pass an archive's bytes as a bytearray, a memoryview or an io.BytesIO");
    }
    auto shared = std::make_shared<shared_archive>();
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = 0;
    {
        py::gil_scoped_release unlocked;
        rc = morvex_tex_open_path(path.data(), path.size(), &shared->archive, &e);
    }
    if (rc != 0) fail(e, path);
    return {shared, py::repr(path_text(path)).cast<std::string>()};
}

archive_object open_memory(py::handle source)
{
    Py_buffer view;
    if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    auto shared = std::make_shared<shared_archive>();
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = 0;
    {
        py::gil_scoped_release unlocked;
        rc = morvex_tex_open_memory(view.buf, static_cast<std::size_t>(view.len), &shared->archive, &e);
    }
    if (rc != 0) fail(e);
    return {shared, "<" + std::to_string(view.len) + " bytes in memory>"};
}

// A file object read through by the library's stream reader, which calls
// back on this thread: the GIL is taken for each read, and an exception the
// file object raises ends the open and is raised again after it. readinto()
// fills a bytearray of ours, never the library's buffer, so that a view the
// file object keeps of what it was given stays valid after open() returns;
// the bytes are copied from it into the library's buffer.
struct stream {
    py::object readinto, read;
    py::bytearray chunk;  // grown to the largest read asked, reused
    std::optional<py::error_already_set> thrown;
    std::exception_ptr other;
};

// "a str", "an int": the type of what a file object's method returned.
std::string a_type(py::handle value)
{
    const std::string name = py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
    return (std::string("aeiou").find(name.front()) == std::string::npos ? "a " : "an ") + name;
}

// What readinto(b) returned for a buffer of `size` bytes: the count it filled.
std::size_t filled(py::handle n, std::size_t size)
{
    if (n.is_none()) throw py::value_error("readinto() returned None, no data ready: open() reads blocking files");
    if (!is_integer(n)) throw py::type_error("readinto() returned " + a_type(n) + ", not an int");
    const Py_ssize_t got = PyNumber_AsSsize_t(n.ptr(), nullptr);
    if (got == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (got < 0 || static_cast<std::size_t>(got) > size) {
        throw py::value_error("readinto() returned " + py::repr(n).cast<std::string>() + " for a buffer of " + std::to_string(size) +
                              " bytes");
    }
    return static_cast<std::size_t>(got);
}

std::size_t read_into(stream& s, void* buffer, std::size_t size)
{
    if (static_cast<std::size_t>(PyByteArray_GET_SIZE(s.chunk.ptr())) < size) {
        // A new one: the file object may still hold a view of the old.
        s.chunk = py::reinterpret_steal<py::bytearray>(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!s.chunk) throw py::error_already_set();
    }
    const py::object whole = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(s.chunk.ptr()));
    if (!whole) throw py::error_already_set();
    // While `view` exports it the bytearray can't be resized, whatever the file object does.
    const py::object view = whole[py::slice(0, static_cast<Py_ssize_t>(size), 1)];
    const std::size_t got = filled(s.readinto(view), size);
    std::memcpy(buffer, PyByteArray_AS_STRING(s.chunk.ptr()), got);
    return got;
}

std::size_t read_bytes(stream& s, void* buffer, std::size_t size)
{
    const py::object data = s.read(size);
    if (data.is_none()) throw py::value_error("read() returned None, no data ready: open() reads blocking files");
    if (!PyObject_CheckBuffer(data.ptr())) throw py::type_error("read() returned " + a_type(data) + ", not bytes");
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    const auto got = static_cast<std::size_t>(view.len);
    if (got > size) throw py::value_error("read() returned " + std::to_string(got) + " bytes when asked for " + std::to_string(size));
    std::memcpy(buffer, view.buf, got);
    return got;
}

std::int64_t read_some(void* context, void* buffer, std::size_t size)
{
    auto* s = static_cast<stream*>(context);
    py::gil_scoped_acquire held;
    try {
        // The library asks for a chunk at most, far below these bounds.
        size = std::min<std::size_t>(size, PY_SSIZE_T_MAX);
        return static_cast<std::int64_t>(s->readinto.is_none() ? read_bytes(*s, buffer, size) : read_into(*s, buffer, size));
    } catch (py::error_already_set& e) {
        s->thrown = std::move(e);
    } catch (...) {
        s->other = std::current_exception();
    }
    errno = EIO;
    return -1;
}

archive_object open_stream(py::handle source)
{
    stream s{py::getattr(source, "readinto", py::none()), source.attr("read"), py::bytearray(), std::nullopt, nullptr};
    auto shared = std::make_shared<shared_archive>();
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = 0;
    {
        py::gil_scoped_release unlocked;
        rc = morvex_tex_open_stream(read_some, &s, &shared->archive, &e);
    }
    if (s.thrown) throw *s.thrown;
    if (s.other) std::rethrow_exception(s.other);
    if (rc != 0) fail(e);
    const py::object name = py::getattr(source, "name", py::none());
    return {shared, name.is_none() ? "<file object>" : py::repr(name).cast<std::string>()};
}

archive_object open_any(py::handle source)
{
    if (is_path(source)) return open_path(source);
    if (PyObject_CheckBuffer(source.ptr())) return open_memory(source);
    if (py::hasattr(source, "read")) return open_stream(source);
    throw py::type_error("open() takes a path (str, bytes or os.PathLike), a bytes-like object or a binary file object");
}

// True when the archive has an entry stored under `key` (str or bytes); an
// index is never a name.
bool contains(const archive_ptr& a, py::handle key)
{
    if (!py::isinstance<py::str>(key) && !py::isinstance<py::bytes>(key)) return false;
    const std::string name = name_bytes(key, "a name");
    std::uint32_t index = 0;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    const int rc = with_archive(*a, [&](const morvex_tex_archive* h) { return morvex_tex_find_entry(h, name.data(), name.size(), &index, &e); });
    if (rc != 0 && e.kind != MORVEX_TEX_ERROR_NO_ENTRY) fail(e);
    return rc == 0;
}

// Every stored name in table order (None where an entry's header can't be
// read), read without the GIL, turned into str with it.
py::list names(const archive_ptr& a)
{
    std::vector<std::optional<std::string>> found;
    with_archive(*a, [&](const morvex_tex_archive* h) {
        const std::uint32_t n = morvex_tex_entry_count(h);
        found.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            morvex_tex_entry info = MORVEX_TEX_ENTRY_INIT;
            morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
            if (morvex_tex_get_entry(h, i, &info, nullptr, 0, &e) != 0 || info.state != MORVEX_TEX_ENTRY_OK) {
                found.emplace_back();
            } else {
                found.emplace_back(std::string(info.name, info.name_size));
            }
        }
        return 0;
    });
    py::list out;
    for (const auto& name : found) {
        if (name) {
            out.append(name_text(name->data(), name->size()));
        } else {
            out.append(py::none());
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Testing and extracting.

// An entry's findings as a walk reported them.
struct reported {
    std::uint32_t index = 0;
    std::uint32_t verdict = 0;
    std::string output;
    std::vector<morvex_tex_finding> findings;
};

struct walk_context {
    std::vector<reported> entries;
    std::exception_ptr thrown;
    call_hook& hook;
};

py::list archive_problems(shared_archive& a)
{
    morvex_tex_finding found[8];
    const std::size_t n = with_archive_held(a, [&](const morvex_tex_archive* h) { return morvex_tex_archive_findings(h, found, 8); });
    return problems_of(found, std::min<std::size_t>(n, 8));
}

typed<caption::found> test(archive_object& self, optional_int_arg jobs, progress_arg progress)
{
    call_hook hook(progress, count_of(*self.shared));
    morvex_tex_test_options o = MORVEX_TEX_TEST_OPTIONS_INIT;
    o.jobs = jobs_of(jobs);
    o.stop = call_hook::ask;
    o.stop_context = &hook;
    morvex_tex_test_result r = MORVEX_TEX_TEST_RESULT_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    walk_context c{{}, nullptr, hook};
    const morvex_tex_report_fn each = [](void* p, const morvex_tex_entry_report* report) {
        auto* walk = static_cast<walk_context*>(p);
        walk->hook.step(report->index + std::uint64_t{1});
        if (walk->thrown || report->finding_count == 0) return;
        try {
            walk->entries.push_back({report->index, 0, {}, {report->findings, report->findings + report->finding_count}});
        } catch (...) {
            walk->thrown = std::current_exception();
        }
    };
    const int rc = with_archive(*self.shared, [&](const morvex_tex_archive* a) { return morvex_tex_test(a, &o, &r, each, &c, &e); });
    if (c.thrown) std::rethrow_exception(c.thrown);
    hook.finish(rc == 0);
    if (rc != 0) fail(e);
    py::list out;
    for (const py::handle p : archive_problems(*self.shared)) out.append(py::make_tuple(py::none(), p));
    for (const reported& entry : c.entries) {
        const py::object found = entry_object(self.shared, entry.index);
        for (const morvex_tex_finding& f : entry.findings) out.append(py::make_tuple(found, problem_of(f)));
    }
    return out;
}

std::uint32_t format_of(py::handle format)
{
    if (format.is_none()) return MORVEX_TEX_FORMAT_AS_NAMED;
    const std::string word = py::str(format).cast<std::string>();
    const std::uint32_t f = word.find('.') == std::string::npos ? morvex_tex_format_for(word.data(), word.size()) : 0;
    if (f == MORVEX_TEX_FORMAT_AS_NAMED) throw py::value_error("format is \"tga\", \"png\", \"bmp\", \"pcx\", \"webp\" or None, not " + py::repr(format).cast<std::string>());
    return f;
}

typed<caption::extract_result> extract(archive_object& self, path_arg folder, optional_patterns_arg patterns,
                                       optional_patterns_arg exclude, typed<caption::format> format, bool raw, bool keep,
                                       optional_int_arg jobs, progress_arg progress)
{
    call_hook hook(progress, count_of(*self.shared));
    const std::string dir = path_bytes(folder);
    const py::list given = listed(patterns);
    const std::vector<std::string> include = patterns_of(given), leave = patterns_of(listed(exclude));
    std::vector<morvex_tex_string> include_strings, leave_strings;
    for (const std::string& p : include) include_strings.push_back({p.data(), p.size()});
    for (const std::string& p : leave) leave_strings.push_back({p.data(), p.size()});
    std::vector<std::uint8_t> matched(include.size());
    morvex_tex_extract_options o = MORVEX_TEX_EXTRACT_OPTIONS_INIT;
    o.flags = (raw ? MORVEX_TEX_EXTRACT_RAW : 0u) | (keep ? MORVEX_TEX_EXTRACT_KEEP : 0u);
    o.format = format_of(format);
    o.jobs = jobs_of(jobs);
    o.folder = {dir.data(), dir.size()};
    o.include = include_strings.data();
    o.include_count = include_strings.size();
    o.exclude = leave_strings.data();
    o.exclude_count = leave_strings.size();
    o.include_matched = matched.data();
    o.stop = call_hook::ask;
    o.stop_context = &hook;
    morvex_tex_extract_result r = MORVEX_TEX_EXTRACT_RESULT_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    walk_context c{{}, nullptr, hook};
    const morvex_tex_outcome_fn each = [](void* p, const morvex_tex_outcome* outcome) {
        auto* walk = static_cast<walk_context*>(p);
        walk->hook.step(outcome->index + std::uint64_t{1});
        if (walk->thrown || outcome->verdict == MORVEX_TEX_SAME_AS) return;
        try {
            reported out{outcome->index, outcome->verdict, {}, {outcome->findings, outcome->findings + outcome->finding_count}};
            if (outcome->output.data) out.output.assign(outcome->output.data, outcome->output.size);
            walk->entries.push_back(std::move(out));
        } catch (...) {
            walk->thrown = std::current_exception();
        }
    };
    const int rc = with_archive(*self.shared, [&](const morvex_tex_archive* a) { return morvex_tex_extract(a, &o, &r, each, &c, &e); });
    if (c.thrown) std::rethrow_exception(c.thrown);
    hook.finish(rc == 0);
    if (rc != 0) {
        if (e.kind == MORVEX_TEX_ERROR_SYSTEM) fail(e, dir);
        fail(e);
    }
    const py::object join = py::module_::import("os").attr("path").attr("join");
    const py::str base = path_text(dir);
    py::list extracted, failed, skipped, not_extracted, problems, unmatched;
    for (const reported& entry : c.entries) {
        const py::object found = entry_object(self.shared, entry.index);
        switch (entry.verdict) {
        case MORVEX_TEX_EXTRACTED: extracted.append(py::make_tuple(found, join(base, path_text(entry.output)))); break;
        case MORVEX_TEX_FAILED: failed.append(found); break;
        case MORVEX_TEX_SKIPPED: skipped.append(found); continue;
        default: not_extracted.append(found); break;
        }
        for (const morvex_tex_finding& f : entry.findings) problems.append(py::make_tuple(found, problem_of(f)));
    }
    for (std::size_t n = 0; n < matched.size(); ++n) {
        if (!matched[n]) unmatched.append(given[n]);
    }
    return python_type("ExtractResult")(extracted, failed, skipped, not_extracted, problems, unmatched);
}

void close(archive_object& self)
{
    morvex_tex_archive* a = nullptr;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> alone(self.shared->lock);
        a = std::exchange(self.shared->archive, nullptr);
    }
    morvex_tex_close(a);
}

bool closed(const archive_object& self)
{
    std::shared_lock<std::shared_mutex> held(self.shared->lock);
    return self.shared->archive == nullptr;
}

std::string describe(archive_object& self)
{
    if (closed(self)) return "<morvex_tex.Archive " + self.label + ", closed>";
    const std::uint32_t n = count_of(*self.shared);
    return "<morvex_tex.Archive " + self.label + ", " + std::to_string(n) + (n == 1 ? " entry>" : " entries>");
}

py::object next_entry(entry_iterator& it)
{
    if (it.next >= it.count) throw py::stop_iteration();
    return entry_object(it.shared, it.next++);
}

}  // namespace

// Patterns given as None, one str or bytes, or an iterable of them.
py::list listed(py::handle patterns)
{
    py::list out;
    if (patterns.is_none()) return out;
    if (py::isinstance<py::str>(patterns) || py::isinstance<py::bytes>(patterns)) {
        out.append(patterns);
        return out;
    }
    for (const py::handle p : patterns) out.append(p);
    return out;
}

std::vector<std::string> patterns_of(const py::list& patterns)
{
    std::vector<std::string> out;
    for (const py::handle p : patterns) out.push_back(name_bytes(p, "a pattern"));
    return out;
}

void bind_archive(py::module_& m)
{
    py::class_<entry_iterator>(m, "_EntryIterator", "The entries of an archive in table order, entry 0 first.")
        .def("__iter__", [](entry_iterator& it) -> entry_iterator& { return it; })
        .def("__next__", &next_entry);

    in_package(py::class_<entry_list>(m, "EntryList", "The table of an Archive, entry 0 included, as a sequence of Entry."))
        .def("__len__", [](const entry_list& l) { return count_of(*l.shared); })
        .def("__getitem__", [](const entry_list& l, typed<caption::index> key) -> typed<caption::entry_or_list> {
            if (!is_integer(key) && !py::isinstance<py::slice>(key)) throw py::type_error("entries are taken by index");
            return item(l.shared, key);
        }, py::arg("index"))
        .def("__iter__", [](const entry_list& l) -> entries_result { return py::cast(entry_iterator{l.shared, 0, count_of(*l.shared)}); },
             "The entries in table order, entry 0 first.")
        .def("__repr__", [](const entry_list& l) { return "<morvex_tex.EntryList of " + std::to_string(count_of(*l.shared)) + ">"; });

    in_package(py::class_<archive_object>(m, "Archive", R"(A TEX version 3 archive, opened by morvex_tex.open().

Its index is read once; entries, their problems and pixels are read at
offsets, and any number of threads may use one archive at once. close() (or
leaving a ``with`` block) frees it; a call on a closed archive raises
ValueError.)"))
        .def("__len__", [](archive_object& a) { return count_of(*a.shared); }, "The records in the table.")
        .def("__contains__", [](archive_object& a, typed<caption::any_object> key) { return contains(a.shared, key); }, py::arg("name"),
             "Whether an entry is stored under the name (str or bytes).")
        .def("names", [](archive_object& a) -> typed<caption::names> { return names(a.shared); },
             "Every stored name in table order (entry 0's too): a list of str, None where a header can't be read.")
        .def("__getitem__", [](archive_object& a, typed<caption::key> key) -> typed<caption::entry_or_list> { return item(a.shared, key); }, py::arg("key"),
             "An Entry by index (IndexError) or by stored name, str or bytes (KeyError): the first of that name.")
        .def("__iter__", [](archive_object& a) -> entries_result { return py::cast(entry_iterator{a.shared, 0, count_of(*a.shared)}); },
             "The entries in table order, entry 0 first.")
        .def_property_readonly("entries", [](archive_object& a) { return entry_list{a.shared}; },
                               "Every table record in table order, entry 0 included: a sequence of Entry.")
        .def_property_readonly("problems", [](archive_object& a) -> typed<caption::problems> { return archive_problems(*a.shared); },
                               "The archive's own problems (its header and table): a list of Problem.")
        .def_property_readonly("closed", &closed, "Whether close() was called.")
        .def("test", &test, py::arg("jobs") = py::none(), py::kw_only(), py::arg("progress") = py::none(),
             R"(Decodes every entry from 1 on, as ``morvex_tex test``, writing nothing.

Returns the problems it finds: a list of (entry, Problem), the archive's own
first with entry None. ``jobs`` threads decode (None: MORVEX_TEX_JOBS, or the
processors). ``progress``, when given, is called as progress(done, total) on
the calling thread as entries are done; an exception it raises stops the
call and comes out of it, and so does Ctrl-C (KeyboardInterrupt) within an
entry's time. The GIL is released meanwhile.)")
        .def("extract", &extract, py::arg("folder") = ".", py::arg("patterns") = py::none(), py::arg("exclude") = py::none(),
             py::arg("format") = py::none(), py::arg("raw") = false, py::arg("keep") = false, py::arg("jobs") = py::none(),
             py::kw_only(), py::arg("progress") = py::none(),
             R"(Extracts entries 1 and up beneath ``folder`` (made if missing), as ``morvex_tex extract``.

``patterns`` (a str or a list) takes only the entries whose stored names they
match (shell wildcards, * matching / too, "ui/" everything beneath ui/),
``exclude`` leaves out those it matches; ``format`` ("tga", "png", "bmp",
"pcx", "webp") writes every image in one format, ``raw`` the payloads as stored,
``keep`` never replaces a file. Returns an ExtractResult. The files are the
command's, byte for byte, written whole or not at all and never outside
``folder``. ``progress`` as for test(): stopped, the files placed stay, each
whole. The GIL is released meanwhile.)")
        .def("close", &close, "Closes the archive; its entries can't be read after it.")
        .def("__enter__", [](typed<caption::archive> self) { return self; }, "The archive itself, for a ``with`` block.")
        .def("__exit__", [](archive_object& a, py::args) { close(a); }, "Closes the archive at the end of a ``with`` block.")
        .def("__repr__", &describe);

    m.def("open", [](typed<caption::source> source) { return open_any(source); }, py::arg("source"),
          R"(Opens a TEX version 3 archive: a path (str, bytes or os.PathLike), a bytes-like object (bytearray, memoryview,
mmap, ... : its bytes), or a binary file object (read through from where it is).

bytes are always a path: an archive's bytes go as a bytearray, a memoryview or
an io.BytesIO. A file object is read with readinto() when it has one, else
read(); either must block until it has data, and give back what its contract
says (readinto(): an int from 0 to the buffer's size; read(): a bytes-like
object no longer than asked), or open() raises TypeError or ValueError. The
buffers readinto() is given are the module's own, and stay valid after.

A damaged archive opens: its problems are the archive's and its entries'.
Raises morvex_tex.Error (kind "not_archive") for anything else, and OSError's
subclasses (FileNotFoundError, PermissionError, IsADirectoryError, ...) when
the system refuses. Use it in a ``with`` block, or close() it.)");
}

}  // namespace binding
