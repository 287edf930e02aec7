// Fuzz target: the extractor's whole run on one input taken as an archive,
// extraction included, converted and then raw, inside a private temporary
// folder that is emptied after each run; then the companion's list, test and
// gallery, and its diff of the input with itself and with a copy whose names
// and types are changed (every other entry renamed, the others' types 4 and 6
// swapped).
// Besides the sanitizers, it aborts when a run leaves a file its report
// doesn't call extracted (a partial output, a temporary file, the output of a
// failed entry) or writes beside its folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "app/app.hpp"
#include "app/tex_cli.hpp"
#include "entries/entries.hpp"
#include "words/escape.hpp"

namespace {

namespace fs = std::filesystem;

// root/archive is the input, root/report the standard output of the last run;
// entries are extracted into root/out.
struct workspace {
    fs::path root, archive, report, out;
    workspace()
    {
        std::string pattern = (fs::temp_directory_path() / "morvex-fuzz.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        root = pattern;
        archive = root / "archive";
        report = root / "report";
        out = root / "out";
        fs::create_directory(out);
    }
    ~workspace()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// The names of the "extraction of NAME ok" lines of the report, as paths
// (control bytes escaped, as the report shows them).
std::set<std::string> extracted_names(const workspace& w)
{
    static const std::string head = "extraction of ", tail = " ok";
    std::set<std::string> names;
    std::ifstream in(w.report);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
            // "./x.tga" is written as x.tga.
            const fs::path name = line.substr(head.size(), line.size() - head.size() - tail.size());
            names.insert(name.lexically_normal().string());
        }
    }
    return names;
}

// Empties the output folder; aborts on what a run must never leave.
void check_and_empty(const workspace& w)
{
    for (const auto& e : fs::directory_iterator(w.root)) {
        if (e.path() != w.archive && e.path() != w.report && e.path() != w.out) std::abort();  // written beside
    }
    const std::set<std::string> extracted = extracted_names(w);
    for (const auto& e : fs::recursive_directory_iterator(w.out)) {
        // The report shows names with control bytes escaped: compare them so.
        const std::string shown = tex_printable_name(e.path().lexically_relative(w.out).generic_string());
        if (e.is_directory()) {
            // Only a folder an extracted name holds is made.
            const auto beneath = extracted.lower_bound(shown + "/");
            if (beneath == extracted.end() || !beneath->starts_with(shown + "/")) std::abort();
        } else if (extracted.count(shown) == 0) {
            std::abort();  // not an extracted entry
        }
    }
    for (const auto& e : fs::directory_iterator(w.out)) fs::remove_all(e.path());
}

// The input with the first name byte of every odd entry changed and the type
// of every even one swapped between 4 and 6, in its header and its table
// record, written to `to`: renames and type changes for diff to find.
void write_changed(const fs::path& from, const std::uint8_t* data, std::size_t size, const fs::path& to)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    const int fd = open(from.c_str(), O_RDONLY);
    if (fd < 0) std::abort();
    tex_index index;
    if (tex_open_index(fd, size, index) == 0 && index.recognised) {
        tex_table_cursor cursor{&index, {}, 0, 0};
        for (std::uint32_t i = 0; i < index.count; ++i) {
            const tex_entry_view v = tex_read_entry(index, cursor, i);
            if (v.state != tex_entry_state::ok) continue;
            const std::uint64_t header = v.record.offset;
            if (i % 2 == 1) {
                bytes[header] = static_cast<std::uint8_t>(bytes[header] == 'z' ? 'y' : 'z');
            } else if (v.header.rep_t_id == 4 || v.header.rep_t_id == 6) {
                const std::uint8_t type = v.header.rep_t_id == 4 ? 6 : 4;
                bytes[header + 36] = type;
                bytes[tex_header_size + std::uint64_t{i} * tex_table_entry_size] = type;
            }
        }
    }
    close(fd);
    std::FILE* f = std::fopen(to.c_str(), "wb");
    if (!f || (size != 0 && std::fwrite(bytes.data(), 1, size, f) != size) || std::fclose(f) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const workspace w;
    std::FILE* f = std::fopen(w.archive.c_str(), "wb");
    if (!f || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();

    std::string program = "morvex_tex_extractor", path = w.archive.string(), flag = "-no-convert";
    for (const int argc : {2, 3}) {
        char* argv[] = {program.data(), path.data(), flag.data(), nullptr};
        if (!std::freopen(w.report.c_str(), "w", stdout)) std::abort();
        const fs::path cwd = fs::current_path();
        fs::current_path(w.out);
        extractor_main(argc, argv);
        std::fflush(stdout);
        fs::current_path(cwd);
        check_and_empty(w);
    }

    // The companion's listing (text and JSON), its full test of every entry
    // and its gallery page, their errors kept off the fuzzer's own standard
    // error.
    std::fflush(stderr);
    const int saved_err = dup(2);
    if (!std::freopen("/dev/null", "w", stderr)) std::abort();
    std::string list = "list", test = "test", json = "--json";
    char* list_text[] = {list.data(), path.data(), nullptr};
    char* list_json[] = {list.data(), json.data(), path.data(), nullptr};
    char* test_text[] = {test.data(), path.data(), nullptr};
    char* test_json[] = {test.data(), json.data(), path.data(), nullptr};
    tex_list_main(2, list_text);
    tex_list_main(3, list_json);
    tex_test_main(2, test_text);
    tex_test_main(3, test_json);
    // And its gallery page, every thumbnail made and encoded.
    std::string gallery = "gallery", to = "-o", dash = "-";
    char* gallery_page[] = {gallery.data(), to.data(), dash.data(), path.data(), nullptr};
    tex_gallery_main(4, gallery_page);
    // diff, with itself and with renames and type changes, on two threads.
    const fs::path changed = w.root / "changed";
    write_changed(w.archive, data, size, changed);
    std::string diff = "diff", jobs = "-j2", other = changed.string();
    char* diff_same[] = {diff.data(), jobs.data(), path.data(), path.data(), nullptr};
    char* diff_changed[] = {diff.data(), json.data(), jobs.data(), path.data(), other.data(), nullptr};
    tex_diff_main(4, diff_same);
    tex_diff_main(5, diff_changed);
    fs::remove(changed);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_err, 2);
    close(saved_err);
    return 0;
}
