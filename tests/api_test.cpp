// The library's public API (include/morvex_tex/), held to the programs: the
// same entries and findings however an archive is opened, the pixels of the
// extractor's files, the counts and files of `morvex_tex test` and `extract`,
// the packer's archives byte for byte, errors as values with nothing
// printed, and entries decoded on several threads at once.
#include <gtest/gtest.h>

#if defined(MORVEX_TEX_PATH) && defined(MORVEX_PACK_PATH)

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "words/words.hpp"
#include "morvex_tex/morvex_tex.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

test::run_result tex(const std::vector<std::string>& args, const fs::path& cwd)
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=2"});
}

std::vector<std::uint32_t> gradient(std::uint32_t w, std::uint32_t h, std::uint32_t seed)
{
    std::vector<std::uint32_t> px(std::size_t{w} * h);
    for (std::size_t n = 0; n < px.size(); ++n) px[n] = static_cast<std::uint32_t>((n * 0x9E3779B1u) ^ seed);
    return px;
}

std::vector<std::uint16_t> gradient4444(std::size_t n, std::uint16_t seed)
{
    std::vector<std::uint16_t> px(n);
    for (std::size_t k = 0; k < n; ++k) px[k] = static_cast<std::uint16_t>(k * 0x2F1 + seed);
    return px;
}

// An archive with a problem of every sort the index, the decision and the
// entry job find, beside sound entries of both types.
tex_writer_archive damaged()
{
    std::vector<tex_writer_entry> e;
    e.push_back(tex_type4_entry("sky.tga", 5, 3, gradient4444(15, 7)));
    e.push_back(tex_type6_entry("rings.png", 4, 2, gradient(4, 2, 1)));
    e.push_back(tex_type6_entry("ui/icon.bmp", 3, 3, gradient(3, 3, 2)));
    e.push_back(tex_type6_entry("sizes.pcx", 2, 2, gradient(2, 2, 3)));
    e.back().rep_c_sz = 7;
    e.push_back(tex_type6_entry("pad.tga", 1, 1, gradient(1, 1, 4)));
    e.back().padding[3] = 1;
    e.push_back(tex_type6_entry("odd.tga", 1, 1, gradient(1, 1, 5)));
    e.back().type = 9;
    e.push_back(tex_type6_entry("types.tga", 1, 1, gradient(1, 1, 6)));
    e.back().table_type = 4;
    tex_writer_entry broken;
    broken.name = "broken.tga";
    broken.width = broken.height = 4;
    broken.type = 4;
    broken.payload = {0x78, 0x9C, 1, 2, 3, 4};
    e.push_back(broken);
    e.push_back(tex_type6_entry("short.tga", 3, 3, gradient(3, 3, 8)));
    e.back().payload.resize(20);
    e.push_back(tex_type6_entry("../up.tga", 1, 1, gradient(1, 1, 9)));
    e.push_back(tex_type6_entry("plain.txt", 1, 1, gradient(1, 1, 10)));
    // Its stream holds 7 of its 9 pixels: decoded, with a warning.
    tex_writer_entry part = tex_type4_entry("part.tga", 3, 3, gradient4444(7, 11));
    e.push_back(part);
    e.push_back(tex_type6_entry("gone.tga", 2, 2, gradient(2, 2, 12)));
    e.back().offset = 0x7FFFFFF0;
    e.back().write_body = false;
    tex_writer_archive a = test::archive_of(std::move(e));
    a.padding[5] = 1;
    return a;
}

std::vector<std::uint32_t> argb_of(const std::uint8_t* rgba, std::size_t count)
{
    std::vector<std::uint32_t> out(count);
    for (std::size_t n = 0; n < count; ++n) {
        const std::uint8_t* p = rgba + 4 * n;
        out[n] = std::uint32_t{p[3]} << 24 | std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    }
    return out;
}

std::string joined(const std::vector<morvex_tex::finding>& found, bool warnings = true)
{
    std::string out;
    for (const morvex_tex::finding& f : found) {
        if (warnings || !f.warning()) out += (out.empty() ? "" : "; ") + f.text();
    }
    return out;
}

// What a handle says of the archive, as one text to compare.
std::string described(const morvex_tex::archive& a)
{
    const morvex_tex_header h = a.header();
    std::string out = format_text("%.3s %u %u %u %u %x %llu |", reinterpret_cast<const char*>(h.signature), h.version,
                                  h.file_count, h.second_word, h.entry_count, h.flags & ~MORVEX_TEX_READ_THROUGH,
                                  static_cast<unsigned long long>(h.archive_size));
    for (const morvex_tex::finding& f : a.findings()) out += std::string(f.name()) + " ";
    for (std::uint32_t i = 0; i < a.size(); ++i) {
        const morvex_tex::entry e = a.at(i);
        out += format_text("\n%u %s %u %ux%u %u/%u/%u %u %u %llu:", i, std::string(e.name()).c_str(), e.info.state,
                           e.info.width, e.info.height, e.info.type, e.info.table_type, e.info.flags, e.info.payload_size,
                           e.info.rep_c_sz, static_cast<unsigned long long>(e.info.payload_offset));
        for (const morvex_tex::finding& f : e.findings) {
            out += format_text(" %s(%llu,%llu,%llu,%llu)", std::string(f.name()).c_str(), static_cast<unsigned long long>(f.a),
                               static_cast<unsigned long long>(f.b), static_cast<unsigned long long>(f.c),
                               static_cast<unsigned long long>(f.d));
        }
    }
    return out;
}

TEST(PublicApi, EveryWayOfOpeningGivesTheSameEntriesAndFindingsAsList)
{
    temp_dir dir;
    const fs::path path = test::write_archive(dir, "damaged.pak", damaged());
    const std::vector<std::uint8_t> bytes = test::read_file(path);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // A pipe holding the archive: read through, as a stream.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_LT(bytes.size(), 65536u);
    ASSERT_EQ(write(pipe_fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(pipe_fds[1]);

    const std::string expected = described(morvex_tex::archive::open(path.string()));
    std::size_t fed = 0;
    const std::vector<std::pair<const char*, std::function<morvex_tex::archive()>>> ways = {
        {"fd", [&] { return morvex_tex::archive::open_fd(fd); }},
        {"pipe", [&] { return morvex_tex::archive::open_fd(pipe_fds[0]); }},
        {"memory", [&] { return morvex_tex::archive::from_memory(bytes); }},
        {"stream in pieces of 7 bytes", [&] {
             return morvex_tex::archive::from_stream([&](std::span<std::uint8_t> into) {
                 const std::size_t n = std::min<std::size_t>({7, into.size(), bytes.size() - fed});
                 std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(fed), n, into.begin());
                 fed += n;
                 return n;
             });
         }},
    };
    for (const auto& [way, open_it] : ways) {
        SCOPED_TRACE(way);
        EXPECT_EQ(described(open_it()), expected);
    }
    // The caller's descriptor stays open and where it was.
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    close(fd);
    close(pipe_fds[0]);

    // Entry by entry, the problems `morvex_tex list` prints, in its words;
    // entries asked for out of order (and again) say the same.
    const auto listed = tex({"list", "damaged.pak"}, dir.path());
    ASSERT_EQ(listed.status, 1) << listed.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = listed.out.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(listed.out.substr(at, end - at));
    }
    const morvex_tex::archive a = morvex_tex::archive::open(path.string());
    ASSERT_EQ(lines.size(), a.size() + 1);
    EXPECT_EQ(lines[0], "archive: [" + joined(a.findings()) + "]");
    for (std::uint32_t i : {12u, 3u, 0u, 13u, 7u, 8u, 1u, 2u, 4u, 5u, 6u, 9u, 10u, 11u, 12u}) {
        const std::string& line = lines[i + 1];
        const std::size_t open_bracket = line.rfind("  [");
        const std::string problems = open_bracket == std::string::npos ? "" : line.substr(open_bracket + 3, line.size() - open_bracket - 4);
        EXPECT_EQ(joined(a.at(i).findings), problems) << "entry " << i;
    }

    // Each kind has its stable name, which names it back.
    std::set<std::string> names;
    for (std::uint32_t kind = 0; kind < MORVEX_TEX_FINDING_KIND_COUNT; ++kind) {
        const std::string name = morvex_tex_finding_name(kind);
        std::uint32_t back = UINT32_MAX;
        EXPECT_EQ(morvex_tex_finding_kind_named(name.data(), name.size(), &back), 0) << name;
        EXPECT_EQ(back, kind);
        EXPECT_TRUE(names.insert(name).second) << name;
    }
    EXPECT_EQ(morvex_tex_finding_name(MORVEX_TEX_FINDING_KIND_COUNT), nullptr);
    EXPECT_STREQ(morvex_tex_finding_name(MORVEX_TEX_FINDING_ENTRY_PAST_END), "entry_past_end");
    EXPECT_STREQ(morvex_tex_finding_name(MORVEX_TEX_FINDING_STREAM_DAMAGED), "stream_damaged");
}

TEST(PublicApi, DecodedPixelsAreTheExtractorsFiles)
{
    temp_dir dir;
    const fs::path path = test::write_archive(dir, "damaged.pak", damaged());
    const auto r = tex({"extract", "--format", "tga", "-C", "out", "damaged.pak"}, dir.path());
    ASSERT_EQ(r.status, 1) << r.err;  // the damaged entries fail
    const morvex_tex::archive a = morvex_tex::archive::open(path.string());
    struct row {
        const char* name;
        const char* file;
        std::uint32_t warnings;
    };
    for (const row& e : {row{"sky.tga", "sky.tga", 0}, row{"rings.png", "rings.tga", 0}, row{"ui/icon.bmp", "ui/icon.tga", 0},
                         row{"part.tga", "part.tga", 1}, row{"plain.txt", "plain.tga", 0}}) {
        SCOPED_TRACE(e.name);
        const std::optional<std::uint32_t> index = a.find(e.name);
        ASSERT_TRUE(index);
        const test::rgba_image file = test::read_tga(dir / "out" / e.file);
        std::vector<std::uint8_t> buffer(std::size_t{file.width} * file.height * 4, 0xEE);
        const morvex_tex_image into = a.decode_into(*index, buffer);
        EXPECT_EQ(into.width, file.width);
        EXPECT_EQ(into.height, file.height);
        EXPECT_EQ(argb_of(buffer.data(), file.argb.size()), file.argb);
        // At an address no pixel is aligned to, the same bytes.
        std::vector<std::uint8_t> odd(buffer.size() + 1, 0xEE);
        EXPECT_EQ(a.decode_into(*index, std::span(odd).subspan(1)).rgba, odd.data() + 1);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), odd.begin() + 1));
        const morvex_tex::image decoded = a.decode(*index);
        EXPECT_EQ(decoded.rgba, buffer);
        ASSERT_EQ(decoded.warnings.size(), e.warnings);
        if (e.warnings) {
            EXPECT_EQ(decoded.warnings[0].kind, MORVEX_TEX_FINDING_INFLATED_LENGTH);
        }
    }
    // The first entry is never extracted, but its pixels decode.
    tex_writer_archive first = damaged();
    first.entries[0] = tex_type6_entry("index.tga", 2, 1, gradient(2, 1, 99));
    const fs::path other = test::write_archive(dir, "first.pak", first);
    EXPECT_EQ(argb_of(morvex_tex::archive::open(other.string()).decode(0).rgba.data(), 2), gradient(2, 1, 99));
}

std::string summary_of(const std::string& out)
{
    const std::size_t end = out.rfind('\n', out.size() - 2);
    return out.substr(end == std::string::npos ? 0 : end + 1);
}

TEST(PublicApi, TestAndExtractCountAndWriteAsTheCommands)
{
    temp_dir dir;
    const fs::path path = test::write_archive(dir, "damaged.pak", damaged());
    const morvex_tex::archive a = morvex_tex::archive::open(path.string());

    const auto tested = tex({"test", "damaged.pak"}, dir.path());
    ASSERT_EQ(tested.status, 1);
    std::string reports;
    const morvex_tex_test_result t = a.test(3, [&](std::uint32_t i, const std::vector<morvex_tex::finding>& found) {
        const morvex_tex::entry e = a.at(i);
        const std::string name = e.readable() ? std::string(e.name()) : "-";
        for (const morvex_tex::finding& f : found) reports += format_text("damaged.pak: entry %u (%s): %s\n", i, name.c_str(), f.text().c_str());
    });
    EXPECT_EQ(format_text("damaged.pak: %s, %llu decoded, %s\n", counted(t.entries, "entry", "entries").c_str(),
                          static_cast<unsigned long long>(t.decoded), counted(t.problems, "problem", "problems").c_str()),
              summary_of(tested.out));
    EXPECT_NE(tested.out.find(reports), std::string::npos) << reports;

    struct row {
        const char* what;
        std::vector<std::string> args;
        morvex_tex::extract_options options;
    };
    morvex_tex::extract_options raw, png, keep, patterns, folder, unmatched;
    raw.raw = true;
    png.format = MORVEX_TEX_FORMAT_PNG;
    keep.keep = true;
    patterns.include = {"*.TGA", "ui/ICON.bmp"};
    patterns.exclude = {"sk?.*"};
    patterns.ignore_case = true;
    folder.include = {"ui/"};
    unmatched.include = {"sky.tga", "nothing*"};
    const std::vector<row> rows = {
        {"as named", {}, {}},
        {"raw", {"--raw"}, raw},
        {"png", {"--format", "png"}, png},
        {"keep", {"--keep"}, keep},
        {"patterns", {"--ignore-case", "-x", "sk?.*", "-i", "*.TGA", "-i", "ui/ICON.bmp"}, patterns},
        {"folder", {"-i", "ui/"}, folder},
        {"unmatched", {"-i", "sky.tga", "-i", "nothing*"}, unmatched},
    };
    int n = 0;
    for (row r : rows) {
        SCOPED_TRACE(r.what);
        const std::string cli = format_text("cli%d", n), lib = format_text("lib%d", ++n);
        for (const std::string& d : {cli, lib}) {
            fs::create_directories(dir / d);
            test::write_file(dir / d / "sky.tga", {1, 2, 3});  // replaced, unless kept
        }
        std::vector<std::string> args = {"extract", "-C", cli, "damaged.pak"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const auto done = tex(args, dir.path());
        r.options.folder = (dir / lib).string();
        r.options.jobs = 2;
        std::vector<std::string> failures;
        const morvex_tex::extract_result x = a.extract(r.options, [&](const morvex_tex::outcome& o) {
            if (o.verdict == MORVEX_TEX_FAILED) {
                failures.push_back(format_text("morvex_tex: damaged.pak: entry %u (%s): %s\n", o.index,
                                               o.name ? o.name->c_str() : "-", joined(o.findings, false).c_str()));
            }
        });
        const morvex_tex_extract_result& c = x.counts;
        EXPECT_EQ(summary_of(done.out), format_text("%llu extracted, %llu failed, %llu skipped\n",
                                                    static_cast<unsigned long long>(c.extracted),
                                                    static_cast<unsigned long long>(c.failed),
                                                    static_cast<unsigned long long>(c.skipped)));
        EXPECT_EQ(done.status, c.failed || c.warned || c.unmatched ? 1 : 0);
        EXPECT_EQ(failures.size(), c.failed);
        for (const std::string& line : failures) EXPECT_NE(done.err.find(line), std::string::npos) << line << done.err;
        for (std::size_t p = 0; p < x.matched.size(); ++p) {
            const bool said = done.err.find("no entry matches " + r.options.include[p] + "\n") != std::string::npos;
            EXPECT_NE(x.matched[p], said) << r.options.include[p];
        }
        const std::vector<std::string> files = test::list_dir(dir / cli);
        EXPECT_EQ(files, test::list_dir(dir / lib));
        for (const std::string& f : files) {
            if (fs::is_regular_file(dir / cli / f)) {
                EXPECT_EQ(test::read_file(dir / cli / f), test::read_file(dir / lib / f)) << f;
            }
        }
        if (fs::is_directory(dir / cli / "ui")) {
            EXPECT_EQ(test::list_dir(dir / cli / "ui"), test::list_dir(dir / lib / "ui"));
        }
    }
}

TEST(PublicApi, ErrorsAreValuesAndNothingIsPrinted)
{
    temp_dir dir;
    const fs::path path = test::write_archive(dir, "damaged.pak", damaged());
    test::write_file(dir / "notes.txt", {'h', 'e', 'l', 'l', 'o', '\n'});
    morvex_tex_archive* a = nullptr;
    ASSERT_EQ(morvex_tex_open_path(path.c_str(), path.string().size(), &a, nullptr), 0);
    const std::string missing = (dir / "missing.pak").string(), notes = (dir / "notes.txt").string();
    const std::string with_nul("a\0b", 3);
    std::uint8_t small[16];
    morvex_tex_image image = MORVEX_TEX_IMAGE_INIT;
    morvex_tex_extract_options both = MORVEX_TEX_EXTRACT_OPTIONS_INIT;
    both.flags = MORVEX_TEX_EXTRACT_RAW;
    both.format = MORVEX_TEX_FORMAT_PNG;
    morvex_tex_extract_result result = MORVEX_TEX_EXTRACT_RESULT_INIT;
    const std::uint8_t pixel[4] = {1, 2, 3, 4};
    const morvex_tex_pixels one{1, 1, 4, pixel};

    struct row {
        const char* what;
        std::function<int(morvex_tex_error*)> call;
        std::uint32_t kind;
        int error;
        std::string message;
        std::uint32_t finding;
    };
    morvex_tex_archive* none = nullptr;
    const std::vector<row> rows = {
        {"a missing file", [&](morvex_tex_error* e) { return morvex_tex_open_path(missing.data(), missing.size(), &none, e); },
         MORVEX_TEX_ERROR_SYSTEM, ENOENT, missing + ": No such file or directory", 0},
        {"no archive", [&](morvex_tex_error* e) { return morvex_tex_open_path(notes.data(), notes.size(), &none, e); },
         MORVEX_TEX_ERROR_NOT_ARCHIVE, 0, notes + ": not a TEX version 3 archive", 0},
        {"a folder", [&](morvex_tex_error* e) { return morvex_tex_open_path(dir.path().c_str(), dir.path().string().size(), &none, e); },
         MORVEX_TEX_ERROR_SYSTEM, EISDIR, dir.path().string() + ": Is a directory", 0},
        {"a NUL in a path", [&](morvex_tex_error* e) { return morvex_tex_open_path(with_nul.data(), 3, &none, e); },
         MORVEX_TEX_ERROR_ARGUMENT, EINVAL, "a path is bytes without NUL", 0},
        {"a buffer too small", [&](morvex_tex_error* e) { return morvex_tex_decode_into(a, 1, small, sizeof small, &image, e); },
         MORVEX_TEX_ERROR_BUFFER, 0, "entry 1 needs 60 bytes, not 16", 0},
        {"no such entry", [&](morvex_tex_error* e) { return morvex_tex_decode(a, 99, &image, e); }, MORVEX_TEX_ERROR_NO_ENTRY, 0,
         "no entry 99: the archive has 14", 0},
        {"a damaged stream", [&](morvex_tex_error* e) { return morvex_tex_decode(a, 8, &image, e); }, MORVEX_TEX_ERROR_ENTRY, 0,
         "entry 8: damaged zlib stream (bad data, cut short, or a wrong check value)", MORVEX_TEX_FINDING_STREAM_DAMAGED},
        {"no header", [&](morvex_tex_error* e) { return morvex_tex_decode(a, 13, &image, e); }, MORVEX_TEX_ERROR_ENTRY, 0,
         "entry 13: header at 0x7FFFFFF0 lies past the end of the archive", MORVEX_TEX_FINDING_ENTRY_PAST_END},
        {"raw and a format", [&](morvex_tex_error* e) { return morvex_tex_extract(a, &both, &result, nullptr, nullptr, e); },
         MORVEX_TEX_ERROR_ARGUMENT, EINVAL, "raw and a format exclude each other", 0},
        {"an image without a format", [&](morvex_tex_error* e) { return morvex_tex_write_image(notes.data(), notes.size(), 0, &one, 0, e); },
         MORVEX_TEX_ERROR_NAME, 0, notes + ": no image format for its name (it must end in .tga, .png, .bmp, .pcx or .webp)", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(r.call(&e), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(e.kind, r.kind) << morvex_tex_error_name(e.kind);
        EXPECT_EQ(e.error, r.error);
        EXPECT_EQ(std::string(e.message), r.message);
        if (r.kind == MORVEX_TEX_ERROR_BUFFER) {
            EXPECT_EQ(e.needed, 60u);
        }
        if (r.finding) {
            EXPECT_EQ(e.finding.kind, r.finding);
        }
        EXPECT_EQ(r.call(nullptr), -1);  // no error wanted: the same failure
    }
    EXPECT_EQ(none, nullptr);
    morvex_tex_close(a);
}

TEST(PublicApi, CreateAndReplaceWriteThePackersArchives)
{
    temp_dir dir;
    const std::vector<std::uint32_t> sky = gradient(6, 4, 0x11), ground = gradient(3, 5, 0x22);
    std::vector<std::uint8_t> sky_rgba(sky.size() * 4), ground_rgba(ground.size() * 4);
    const auto to_rgba = [](const std::vector<std::uint32_t>& argb, std::vector<std::uint8_t>& out) {
        for (std::size_t n = 0; n < argb.size(); ++n) {
            out[4 * n] = static_cast<std::uint8_t>(argb[n] >> 16);
            out[4 * n + 1] = static_cast<std::uint8_t>(argb[n] >> 8);
            out[4 * n + 2] = static_cast<std::uint8_t>(argb[n]);
            out[4 * n + 3] = static_cast<std::uint8_t>(argb[n] >> 24);
        }
    };
    to_rgba(sky, sky_rgba);
    to_rgba(ground, ground_rgba);
    const morvex_tex_pixels sky_px{6, 4, 24, sky_rgba.data()}, ground_px{3, 5, 12, ground_rgba.data()};
    morvex_tex::write_image((dir / "sky.png").string(), sky_px);
    morvex_tex::write_image((dir / "ground.tga").string(), ground_px);
    fs::create_directories(dir / "edit");
    morvex_tex::write_image((dir / "edit/sky.bmp").string(), ground_px, 0, false);

    for (const std::uint32_t type : {4u, 6u}) {
        SCOPED_TRACE(type);
        const std::string t = std::to_string(type);
        auto r = test::run_program(MORVEX_PACK_PATH, {"-q", "--type", t, "create", "cli" + t + ".pak", "sky.png", "ground.tga"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const morvex_tex_pack_result made = morvex_tex::create(
            (dir / ("lib" + t + ".pak")).string(),
            {morvex_tex::image_source::file((dir / "sky.png").string()), morvex_tex::image_source::file((dir / "ground.tga").string())},
            type);
        EXPECT_EQ(made.entries, 3u);
        EXPECT_EQ(made.added, 2u);
        EXPECT_EQ(test::read_file(dir / ("cli" + t + ".pak")), test::read_file(dir / ("lib" + t + ".pak")));

        r = test::run_program(MORVEX_PACK_PATH, {"-q", "replace", "cli" + t + ".pak", "cli" + t + "b.pak", "edit/sky.bmp"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::uint32_t> actions;
        morvex_tex::replace((dir / ("lib" + t + ".pak")).string(), (dir / ("lib" + t + "b.pak")).string(),
                            {morvex_tex::image_source::file((dir / "edit/sky.bmp").string())}, false,
                            [&](const morvex_tex_pack_entry& e) { actions.push_back(e.action + 10 * e.warnings); });
        EXPECT_EQ(actions, (std::vector<std::uint32_t>{MORVEX_TEX_PACK_KEPT, MORVEX_TEX_PACK_REPLACED + 10 * (MORVEX_TEX_PACK_ALPHA_LOST | MORVEX_TEX_PACK_RESIZED),
                                                       MORVEX_TEX_PACK_KEPT}));
        EXPECT_EQ(test::read_file(dir / ("cli" + t + "b.pak")), test::read_file(dir / ("lib" + t + "b.pak")));
    }

    // Pixels in memory, stored raw, come back as they went in, alpha and all;
    // patched by name, the others stay byte for byte.
    morvex_tex::create((dir / "mem.pak").string(),
                       {morvex_tex::image_source::memory("a/sky.tga", sky_px), morvex_tex::image_source::memory("g.pcx", ground_px)});
    morvex_tex::replace((dir / "mem.pak").string(), (dir / "mem2.pak").string(), {morvex_tex::image_source::memory("g.pcx", sky_px)});
    const morvex_tex::archive mem = morvex_tex::archive::open((dir / "mem2.pak").string());
    EXPECT_EQ(mem.decode(1).rgba, sky_rgba);
    EXPECT_EQ(mem.decode(2).rgba, sky_rgba);
    EXPECT_EQ(mem.at(1).name(), "a/sky.tga");

    // Refusals, each with nothing written.
    test::write_archive(dir, "damaged.pak", damaged());
    test::write_file(dir / "notes.txt", {'x'});
    struct row {
        const char* what;
        std::function<void()> call;
        std::uint32_t kind;
        std::string message;
    };
    const auto at = [&](const char* name) { return (dir / name).string(); };
    const std::vector<row> rows = {
        {"a damaged archive", [&] { morvex_tex::replace(at("damaged.pak"), at("out.pak"), {morvex_tex::image_source::memory("sky.tga", sky_px)}); },
         MORVEX_TEX_ERROR_DAMAGED, at("damaged.pak") + ": header padding not zero: it can't be kept byte for byte"},
        {"no such entry", [&] { morvex_tex::replace(at("mem.pak"), at("out.pak"), {morvex_tex::image_source::memory("nope.tga", sky_px)}); },
         MORVEX_TEX_ERROR_NAME, "nope.tga: " + at("mem.pak") + " has no entry named nope.tga"},
        {"a file of another kind", [&] { morvex_tex::create(at("notes.txt"), {morvex_tex::image_source::memory("s.tga", sky_px)}); },
         MORVEX_TEX_ERROR_REFUSED, at("notes.txt") + ": exists and is not a TEX archive: not replaced (--force replaces it)"},
        {"a name too long", [&] { morvex_tex::create(at("out.pak"), {morvex_tex::image_source::memory(std::string(30, 'n') + ".png", sky_px)}); },
         MORVEX_TEX_ERROR_NAME, std::string(30, 'n') + ".png: its name is 34 bytes long; an entry's name holds at most 32"},
        {"an image that isn't", [&] { morvex_tex::create(at("out.pak"), {morvex_tex::image_source::file(at("notes.txt"), "n.png")}); },
         MORVEX_TEX_ERROR_IMAGE, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        testing::internal::CaptureStderr();
        try {
            r.call();
            ADD_FAILURE() << "no error";
        } catch (const morvex_tex::error& e) {
            EXPECT_EQ(e.kind(), r.kind) << e.what();
            if (!r.message.empty()) {
                EXPECT_EQ(std::string(e.what()), r.message);
            }
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(fs::exists(dir / "out.pak"));
    }
    EXPECT_EQ(test::read_file(dir / "notes.txt"), std::vector<std::uint8_t>{'x'});
    morvex_tex::create(at("notes.txt"), {morvex_tex::image_source::memory("s.tga", sky_px)}, 6, true);
    EXPECT_EQ(morvex_tex::archive::open(at("notes.txt")).size(), 2u);
}

TEST(PublicApi, WrittenImagesAreTheExtractorsBytes)
{
    temp_dir dir;
    const fs::path path = test::write_archive(dir, "damaged.pak", damaged());
    const morvex_tex::archive a = morvex_tex::archive::open(path.string());
    const morvex_tex::image sky = a.decode(*a.find("sky.tga"));
    for (const char* format : {"tga", "png", "bmp", "pcx", "webp"}) {
        SCOPED_TRACE(format);
        const auto r = tex({"extract", "--format", format, "-C", format, "damaged.pak", "sky.tga"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string name = std::string("sky.") + format;
        morvex_tex::write_image((dir / name).string(), sky.pixels());
        EXPECT_EQ(test::read_file(dir / name), test::read_file(dir / format / name));
        // Through a descriptor, in the format named.
        const int fd = open((dir / ("fd." + name)).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const morvex_tex_pixels px = sky.pixels();
        EXPECT_EQ(morvex_tex_write_image_fd(fd, morvex_tex_format_for(format, std::strlen(format)), &px, nullptr), 0);
        close(fd);
        EXPECT_EQ(test::read_file(dir / ("fd." + name)), test::read_file(dir / name));
    }
    // Kept: an existing file is not replaced.
    EXPECT_THROW(morvex_tex::write_image((dir / "sky.tga").string(), sky.pixels(), 0, true), morvex_tex::error);

    // A path as the programs take one: a link replaced, not followed; a FIFO
    // written through; a file not named like an image, or a folder, refused
    // (the file written over when forced).
    test::write_file(dir / "target.png", {'t'});
    fs::create_symlink("target.png", dir / "link.png");
    test::write_file(dir / "notes.txt", {'n'});
    fs::create_directory(dir / "folder.png");
    ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    std::vector<std::uint8_t> piped;
    std::thread reader([&] { piped = test::read_file(dir / "pipe.png"); });
    const morvex_tex_pixels px = sky.pixels();
    const struct {
        const char* name;
        std::uint32_t format, flags, kind;
    } rows[] = {
        {"link.png", 0, 0, MORVEX_TEX_OK},
        {"pipe.png", 0, 0, MORVEX_TEX_OK},
        {"notes.txt", MORVEX_TEX_FORMAT_PNG, 0, MORVEX_TEX_ERROR_REFUSED},
        {"folder.png", 0, MORVEX_TEX_WRITE_FORCE, MORVEX_TEX_ERROR_REFUSED},
        {"notes.txt", MORVEX_TEX_FORMAT_PNG, MORVEX_TEX_WRITE_FORCE, MORVEX_TEX_OK},
    };
    for (const auto& r : rows) {
        morvex_tex_error e = MORVEX_TEX_ERROR_INIT;
        const std::string to = (dir / r.name).string();
        morvex_tex_write_image(to.data(), to.size(), r.format, &px, r.flags, &e);
        EXPECT_EQ(e.kind, r.kind) << r.name << ": " << e.message;
    }
    reader.join();
    EXPECT_TRUE(fs::is_symlink(dir / "pipe.png") || fs::is_fifo(dir / "pipe.png"));
    EXPECT_EQ(piped, test::read_file(dir / "sky.png"));
    EXPECT_FALSE(fs::is_symlink(dir / "link.png"));
    EXPECT_EQ(test::read_file(dir / "link.png"), test::read_file(dir / "sky.png"));
    EXPECT_EQ(test::read_file(dir / "target.png"), (std::vector<std::uint8_t>{'t'}));
    EXPECT_EQ(test::read_file(dir / "notes.txt"), test::read_file(dir / "sky.png"));
}

// An entry's pixels, or its error's kind as a byte.
std::vector<std::uint8_t> outcome_of(const morvex_tex::archive& a, std::uint32_t i)
{
    try {
        return a.decode(i).rgba;
    } catch (const morvex_tex::error& e) {
        return {static_cast<std::uint8_t>(e.kind()), static_cast<std::uint8_t>(e.finding().kind)};
    }
}

TEST(PublicApi, DifferentEntriesDecodeOnSeveralThreadsAtOnce)
{
    // From entry 22 on, every payload runs over the headers after it, to the
    // archive's end: those past the bytes the archive can pay for are refused
    // by the walk's budget, decoded alone as in a walk, in any order.
    temp_dir dir;
    std::vector<tex_writer_entry> entries;
    for (std::uint32_t n = 0; n < 40; ++n) {
        const std::uint16_t w = static_cast<std::uint16_t>(8 + n), h = static_cast<std::uint16_t>(5 + n % 7);
        entries.push_back(tex_type6_entry(format_text("e%u.tga", n), w, h, gradient(w, h, n)));
    }
    const tex_writer_archive archive = test::archive_of(std::move(entries));
    std::vector<std::uint8_t> bytes = tex_build_archive(archive);
    for (std::size_t i = 22; i < archive.entries.size(); ++i) {
        const std::size_t record = tex_header_size + i * tex_table_entry_size;
        const std::uint32_t payload_at = tex_le32(bytes, record + 4) + tex_entry_header_size;
        tex_put_le32(bytes, record + 8, static_cast<std::uint32_t>(bytes.size() - payload_at));
    }
    test::write_file(dir / "many.pak", bytes);
    const auto extracted = tex({"extract", "-C", "out", "many.pak"}, dir.path());
    const morvex_tex::archive a = morvex_tex::archive::open((dir / "many.pak").string());
    std::vector<std::vector<std::uint8_t>> alone;
    std::size_t decoded = 0;
    for (std::uint32_t i = 1; i < a.size(); ++i) {
        alone.push_back(outcome_of(a, i));
        const bool written = extracted.out.find(format_text("extracted e%u.tga\n", i - 1)) != std::string::npos;
        EXPECT_EQ(alone.back().size() > 2, written) << i;
        decoded += written;
    }
    EXPECT_GT(decoded, 22u);
    EXPECT_LT(decoded, 35u);
    EXPECT_EQ(alone[33], (std::vector<std::uint8_t>{MORVEX_TEX_ERROR_ENTRY, MORVEX_TEX_FINDING_RUNS_OVER_HEADER}));

    // Each thread its own order (strides prime to the count), on a new
    // handle, asking each entry's findings too: the walk's checkpoints are
    // made by whichever thread needs them first.
    const morvex_tex::archive b = morvex_tex::archive::open((dir / "many.pak").string());
    constexpr std::size_t strides[] = {1, 3, 7, 9, 11, 13};
    constexpr unsigned threads = std::size(strides);
    std::vector<std::vector<std::vector<std::uint8_t>>> seen(threads, std::vector<std::vector<std::uint8_t>>(alone.size()));
    std::vector<std::vector<std::string>> names(threads, std::vector<std::string>(alone.size()));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t k = 0; k < alone.size(); ++k) {
                const std::size_t i = (k * strides[t] + t) % alone.size();
                seen[t][i] = outcome_of(b, static_cast<std::uint32_t>(i + 1));
                names[t][i] = b.at(static_cast<std::uint32_t>(i + 1)).name();
            }
        });
    }
    for (std::thread& th : pool) th.join();
    for (unsigned t = 0; t < threads; ++t) {
        for (std::size_t i = 0; i < alone.size(); ++i) {
            EXPECT_TRUE(seen[t][i] == alone[i]) << "thread " << t << ", entry " << i + 1;
            EXPECT_EQ(names[t][i], format_text("e%zu.tga", i));
        }
    }
}

// The C++ layer's stop: a walk stopped after a few entries throws the
// STOPPED error, its files placed whole; an exception the stop throws comes
// out as itself.
TEST(PublicApi, TheCxxLayerStopsWalksWhenAsked)
{
    temp_dir dir;
    std::vector<tex_writer_entry> e;
    for (std::uint32_t n = 0; n < 10; ++n) e.push_back(tex_type6_entry(format_text("e%u.tga", n), 4, 4, gradient(4, 4, n)));
    const morvex_tex::archive a = morvex_tex::archive::open(test::write_archive(dir, "s.pak", test::archive_of(e)).string());
    int asked = 0;
    morvex_tex::extract_options o;
    o.folder = (dir / "out").string();
    o.jobs = 1;
    o.stop = [&] { return ++asked > 4; };
    try {
        a.extract(o);
        ADD_FAILURE() << "not stopped";
    } catch (const morvex_tex::error& stopped) {
        EXPECT_EQ(stopped.kind(), static_cast<std::uint32_t>(MORVEX_TEX_ERROR_STOPPED));
    }
    EXPECT_EQ(test::list_dir(dir / "out"), (std::vector<std::string>{"e0.tga", "e1.tga", "e2.tga"}));
    EXPECT_THROW(a.test(1, {}, [] () -> bool { throw std::range_error("mine"); }), std::range_error);
    EXPECT_EQ(a.test(1, {}, [] { return false; }).decoded, 10u);
}

// A patcher rewriting the archive while it is decoded: the entry's width
// flips between 1 and 64 under a caller whose buffer holds one pixel. Every
// call either fits the buffer or asks for more; none writes past it (the
// buffer ends where the allocation does, for AddressSanitizer to see).
TEST(PublicApi, AnArchiveRewrittenWhileDecodedIsNeverWrittenPast)
{
    temp_dir dir;
    // Its payload holds 64 pixels either way: both headers decode.
    const auto build = [](std::uint16_t width) {
        std::vector<tex_writer_entry> e;
        e.push_back(tex_type6_entry("a.tga", 64, 1, gradient(64, 1, 1)));
        e.back().width = width;
        return tex_build_archive(test::archive_of(std::move(e)));
    };
    const std::vector<std::uint8_t> narrow = build(1), wide = build(64);
    ASSERT_EQ(narrow.size(), wide.size());
    std::size_t first = 0, last = narrow.size();
    while (first < last && narrow[first] == wide[first]) ++first;
    while (last > first && narrow[last - 1] == wide[last - 1]) --last;
    ASSERT_LT(first, last);
    const fs::path path = dir / "flip.pak";
    test::write_file(path, narrow);
    const morvex_tex::archive a = morvex_tex::archive::open(path.string());

    std::atomic<bool> done{false};
    std::thread patcher([&] {
        const int fd = ::open(path.c_str(), O_WRONLY);
        for (unsigned n = 0; fd >= 0 && !done; ++n) {
            const std::vector<std::uint8_t>& from = n % 2 ? wide : narrow;
            if (::pwrite(fd, from.data() + first, last - first, static_cast<off_t>(first)) < 0) break;
        }
        if (fd >= 0) ::close(fd);
    });
    unsigned fitted = 0, refused = 0;
    for (unsigned n = 0; n < 4000; ++n) {
        const auto buffer = std::make_unique<std::uint8_t[]>(4);
        morvex_tex_image image = MORVEX_TEX_IMAGE_INIT;
        morvex_tex_error error = MORVEX_TEX_ERROR_INIT;
        if (morvex_tex_decode_into(a.handle(), 1, buffer.get(), 4, &image, &error) == 0) {
            EXPECT_EQ(image.width * image.height, 1u);
            ++fitted;
        } else {
            ++refused;
        }
    }
    done = true;
    patcher.join();
    EXPECT_EQ(fitted + refused, 4000u);
}

}  // namespace

#endif
