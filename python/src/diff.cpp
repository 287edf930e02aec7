// morvex_tex.diff: the library's comparison of two archives (morvex_tex_diff),
// each change a morvex_tex.Change as `morvex_tex diff --json` has it.
#include "binding.hpp"

namespace binding {

namespace {

// A change copied out of the callback, which runs without the GIL.
struct side_copy {
    bool present = false;
    morvex_tex_diff_entry entry{};
    std::string name;
};

struct change_copy {
    std::uint32_t kind = 0;
    side_copy a, b;
    std::uint64_t pixels = 0, differ = 0;
    std::uint32_t largest = 0;
    std::vector<morvex_tex_finding> findings;
};

side_copy copy_of(const morvex_tex_diff_entry& e)
{
    side_copy out;
    out.present = e.name.data != nullptr;
    out.entry = e;
    if (out.present) out.name.assign(e.name.data, e.name.size);
    out.entry.name = {nullptr, 0};
    return out;
}

// An archive opened for the call, closed with it.
struct opened {
    morvex_tex_archive* archive = nullptr;
    opened() = default;
    opened(const opened&) = delete;
    opened& operator=(const opened&) = delete;
    ~opened() { morvex_tex_close(archive); }
};

void open_at(const std::string& path, opened& out)
{
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = 0;
    {
        py::gil_scoped_release unlocked;
        rc = morvex_tex_open_path(path.data(), path.size(), &out.archive, &e);
    }
    if (rc != 0) fail(e, path);
}

py::object side_object(const side_copy& s)
{
    if (!s.present) return py::none();
    const morvex_tex_diff_entry& e = s.entry;
    return python_type("DiffEntry")(e.index, name_text(s.name.data(), s.name.size()), e.type, e.width, e.height,
                                    e.payload_size);
}

// What it gives, as help() names it.
struct changes_caption {
    static constexpr auto text = py::detail::const_name("list[morvex_tex.Change]");
};

typed<changes_caption> diff(path_arg a_path, path_arg b_path, optional_patterns_arg patterns, optional_patterns_arg exclude,
                             bool ignore_case, optional_int_arg jobs)
{
    const std::string a_at = path_bytes(a_path), b_at = path_bytes(b_path);
    const std::vector<std::string> take = patterns_of(listed(patterns)), leave = patterns_of(listed(exclude));
    std::vector<morvex_tex_string> take_strings, leave_strings;
    for (const std::string& p : take) take_strings.push_back({p.data(), p.size()});
    for (const std::string& p : leave) leave_strings.push_back({p.data(), p.size()});
    opened a, b;
    open_at(a_at, a);
    open_at(b_at, b);
    // Asked before each entry: Ctrl-C stops the call within an entry's time.
    call_hook hook(py::none(), 0);
    morvex_tex_diff_options o = MORVEX_TEX_DIFF_OPTIONS_INIT;
    o.flags = ignore_case ? MORVEX_TEX_DIFF_IGNORE_CASE : 0u;
    o.jobs = jobs_of(jobs);
    o.include = take_strings.data();
    o.include_count = take_strings.size();
    o.exclude = leave_strings.data();
    o.exclude_count = leave_strings.size();
    o.stop = call_hook::ask;
    o.stop_context = &hook;
    struct context {
        std::vector<change_copy> changes;
        std::exception_ptr thrown;
    } c;
    const morvex_tex_change_fn each = [](void* p, const morvex_tex_change* change) {
        auto* found = static_cast<context*>(p);
        if (found->thrown) return;
        try {
            found->changes.push_back({change->kind, copy_of(change->a), copy_of(change->b), change->pixels,
                                      change->pixels_differ, change->largest_difference,
                                      {change->findings, change->findings + change->finding_count}});
        } catch (...) {
            found->thrown = std::current_exception();
        }
    };
    morvex_tex_diff_result r = MORVEX_TEX_DIFF_RESULT_INIT;
    morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
    int rc = 0;
    {
        py::gil_scoped_release unlocked;
        rc = morvex_tex_diff(a.archive, b.archive, &o, &r, each, &c, &e);
    }
    if (c.thrown) std::rethrow_exception(c.thrown);
    hook.finish(false);
    if (rc != 0) fail(e);
    const py::object change_type = python_type("Change");
    py::list out;
    for (const change_copy& ch : c.changes) {
        const side_copy& named = ch.a.present ? ch.a : ch.b;
        const char* kind = morvex_tex_change_name(ch.kind);
        out.append(change_type(kind ? kind : "unknown", name_text(named.name.data(), named.name.size()), side_object(ch.a),
                               side_object(ch.b), ch.pixels, ch.differ, ch.largest,
                               problems_of(ch.findings.data(), ch.findings.size())));
    }
    return out;
}

}  // namespace

void bind_diff(py::module_& m)
{
    m.def("diff", &diff, py::arg("a"), py::arg("b"), py::arg("patterns") = py::none(), py::arg("exclude") = py::none(),
          py::arg("ignore_case") = false, py::kw_only(), py::arg("jobs") = py::none(),
          R"(How the archive at path ``b`` differs from the one at path ``a``, as ``morvex_tex diff`` finds it.

Returns a list of Change, A's entries in table order, then those only in B;
an empty list when they hold the same textures. Each Change's ``change`` is
the kind ``morvex_tex diff --json`` names: "only_in_a", "only_in_b",
"renamed" (the same bytes, type and size under another name), "size_or_type",
"same_pixels", "pixels", "type" (the type changed, the pixels didn't) or
"undecoded" (its ``problems`` say why); ``a`` and ``b`` are the two entries
(DiffEntry, or None where a side has none). ``patterns`` and ``exclude`` take
entries as extract's do. Ctrl-C stops the call (KeyboardInterrupt); the GIL is
released meanwhile.)");
}

}  // namespace binding
