// morvex_tex end to end: list and its JSON read back, test's exit status for
// every kind of damage, and extract's folder, patterns, formats and refusals.
#include <gtest/gtest.h>

#ifdef MORVEX_TEX_PATH

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <variant>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "support/json.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;
using test::json;
using test::parse_json;

test::run_result run_tex(const std::vector<std::string>& args, const fs::path& cwd, const std::string& jobs = "1")
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=" + jobs});
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Archives.

std::vector<std::uint32_t> pixels6(unsigned n, std::uint32_t seed)
{
    std::vector<std::uint32_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = 0x80000000u | ((k + seed) * 0x2468ACu);
    return px;
}

std::vector<std::uint16_t> pixels4(unsigned n, unsigned seed)
{
    std::vector<std::uint16_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = static_cast<std::uint16_t>((k + seed) * 0x1357u);
    return px;
}

// Three entries of both types, one in a folder.
tex_writer_archive sound_archive()
{
    return test::archive_of({tex_type4_entry("sky.tga", 5, 3, pixels4(15, 1)), tex_type6_entry("sub/dir/ring.png", 4, 4, pixels6(16, 2)),
                       tex_type6_entry("badge.bmp", 2, 3, pixels6(6, 3))});
}

// ---------------------------------------------------------------------------
// list

TEST(TexList, ColumnsAlignAndDamagedEntriesAreMarked)
{
    temp_dir dir;
    tex_writer_archive a = sound_archive();
    test::write_archive(dir, "good.pak", a);
    auto r = run_tex({"list", "good.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0   6         0x0   0  index\n"
                     "1   4         5x3  " + std::to_string(a.entries[1].payload.size()) + "  sky.tga\n"
                     "2   6         4x4  64  sub/dir/ring.png\n"
                     "3   6         2x3  24  badge.bmp\n");
    a.entries[3].rep_c_sz = 7;
    a.entries[2].name = "../up.png";
    test::write_archive(dir, "bad.pak", a);
    r = run_tex({"list", "bad.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "  ../up.png  [name refused: "));
    EXPECT_TRUE(has(r.out, "  badge.bmp  [table size 24 differs from rep_c_sz 7]\n"));
}

TEST(TexList, JsonReadsBackWithEveryKeyForSoundAndDamagedArchives)
{
    temp_dir dir;
    tex_writer_archive a = sound_archive();
    a.second_word = 77;
    std::array<std::uint8_t, tex_name_size> odd{0xFF, '"', '\\', '\n', 0xC3, 0xA9, '.', 't', 'g', 'a'};
    a.entries[3].raw_name = odd;
    test::write_archive(dir, "good.pak", a);
    const auto r = run_tex({"list", "--json", "good.pak"}, dir.path());
    const json j = parse_json(r.out);
    EXPECT_EQ(j["archive"].str(), "good.pak");
    EXPECT_EQ(j["signature"].str(), "TEX");
    EXPECT_EQ(j["version"].num(), 3);
    EXPECT_EQ(j["file_count"].num(), 4);
    EXPECT_EQ(j["second_word"].num(), 77);
    EXPECT_EQ(j["size"].num(), static_cast<double>(fs::file_size(dir / "good.pak")));
    EXPECT_TRUE(std::get<bool>(j["header_padding_zero"].v));
    ASSERT_EQ(j["entries"].size(), 4u);
    const json& e = j["entries"][1];
    EXPECT_EQ(e["name"].str(), "sky.tga");
    EXPECT_EQ(e["type"].num(), 4);
    EXPECT_EQ(e["table_type"].num(), 4);
    EXPECT_EQ(e["width"].num(), 5);
    EXPECT_EQ(e["height"].num(), 3);
    EXPECT_EQ(e["size"].num(), static_cast<double>(a.entries[1].payload.size()));
    EXPECT_EQ(e["rep_c_sz"].num(), e["size"].num());
    EXPECT_EQ(e["in_file"].num(), j["entries"][2]["offset"].num() - e["offset"].num());
    EXPECT_EQ(e["problems"].size(), 0u);
    // The name's bytes come back, the 0xFF as \u00ff, the UTF-8 "é" as itself.
    EXPECT_EQ(j["entries"][3]["name"].str(), "\xff\"\\\n\xc3\xa9.tga");
    EXPECT_TRUE(has(r.out, "\\u00ff\\\"\\\\\\u000a\xc3\xa9.tga"));

    a.padding[5] = 1;
    a.entries[1].padding[0] = 1;
    a.entries[2].table_type = 4;
    a.entries[3].offset = 0x10000;
    a.entries[3].write_body = false;
    test::write_archive(dir, "bad.pak", a);
    const json b = parse_json(run_tex({"list", "--json", "bad.pak"}, dir.path()).out);
    EXPECT_FALSE(std::get<bool>(b["header_padding_zero"].v));
    EXPECT_EQ(b["problems"][0].str(), "header padding not zero");
    EXPECT_FALSE(std::get<bool>(b["entries"][1]["padding_zero"].v));
    EXPECT_EQ(b["entries"][2]["problems"][0].str(), "table type 4 differs from rep_t_id 6");
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(b["entries"][3]["name"].v));
    EXPECT_EQ(b["entries"][3]["problems"].size(), 1u);
    // Every problem has its kind, a stable name, in the same place; the
    // entries' from list as from test (which decodes too).
    EXPECT_EQ(e["problem_kinds"].size(), 0u);
    EXPECT_EQ(b["problem_kinds"][0].str(), "header_padding");
    EXPECT_EQ(b["entries"][1]["problem_kinds"][0].str(), "entry_padding");
    EXPECT_EQ(b["entries"][2]["problem_kinds"][0].str(), "types_differ");
    EXPECT_EQ(b["entries"][3]["problem_kinds"][0].str(), "entry_past_end");
    a.entries[1].payload.back() ^= 1;
    test::write_archive(dir, "bad.pak", a);
    const json t = parse_json(run_tex({"test", "--json", "bad.pak", "missing.pak"}, dir.path()).out)["archives"];
    for (std::size_t k = 0; k < t[0]["entries"].size(); ++k) {
        EXPECT_EQ(t[0]["entries"][k]["problems"].size(), t[0]["entries"][k]["problem_kinds"].size()) << k;
    }
    EXPECT_EQ(t[0]["entries"][1]["problem_kinds"][1].str(), "stream_damaged");
    EXPECT_EQ(t[1]["problem_kinds"][0].str(), "unreadable");
}

// ---------------------------------------------------------------------------
// test

TEST(TexTest, ExitStatusForEveryKindOfDamage)
{
    struct damage {
        const char* what;
        std::function<void(tex_writer_archive&)> apply;
        int status;
        const char* says;
    };
    const std::vector<damage> cases = {
        {"sound", [](tex_writer_archive&) {}, 0, "4 entries, 3 decoded, 0 problems"},
        {"checksum", [](tex_writer_archive& a) { a.entries[1].payload.back() ^= 1; }, 1, "entry 1 (sky.tga): "},
        {"type 6 short", [](tex_writer_archive& a) { a.entries[2].payload.resize(60); }, 1, "fewer than 4 * 4 * 4"},
        {"unknown type", [](tex_writer_archive& a) { a.entries[3].type = 5; }, 1, "unknown type 5"},
        {"past the end", [](tex_writer_archive& a) { a.entries[3].table_size = 0xFFFFFF00u; }, 1, "past the end"},
        {"padding", [](tex_writer_archive& a) { a.entries[2].padding[1] = 9; }, 1, "padding not zero"},
        {"header padding", [](tex_writer_archive& a) { a.padding[0] = 9; }, 1, "header padding not zero"},
        {"no pixels", [](tex_writer_archive& a) { a.entries[3].width = 0; }, 1, "entry 3 (badge.bmp): no pixels: 0 x 3"},
        {"unsafe name", [](tex_writer_archive& a) { a.entries[3].name = "/abs.bmp"; }, 1, "name refused"},
        {"table cut", [](tex_writer_archive& a) { a.file_count = 400000; }, 1, "table cut short"},
        {"overlap", [](tex_writer_archive& a) { a.entries[1].table_size = 200; }, 1, "runs over the header of entry 2"},
    };
    temp_dir dir;
    for (const damage& d : cases) {
        tex_writer_archive a = sound_archive();
        d.apply(a);
        test::write_archive(dir, "a.pak", a);
        const auto r = run_tex({"test", "a.pak"}, dir.path());
        EXPECT_EQ(r.status, d.status) << d.what;
        EXPECT_TRUE(has(r.out, d.says)) << d.what << ":\n" << r.out;
        const json j = parse_json(run_tex({"test", "--json", "a.pak"}, dir.path()).out);
        EXPECT_EQ(j["archives"].size(), 1u) << d.what;
        EXPECT_TRUE(fs::exists(dir / "a.pak") && test::list_dir(dir.path()).size() == 1) << d.what << ": wrote";
    }
    test::write_file(dir / "no.pak", {'Z', 'I', 'P', 3});
    for (const std::vector<std::string>& args : {std::vector<std::string>{"test", "no.pak"}, {"test", "a.pak", "missing.pak"},
                                                {"test"}, {"test", "--bogus", "a.pak"}, {"list", "no.pak"}}) {
        const auto r = run_tex(args, dir.path());
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.err.rfind("morvex_tex: ", 0), 0u) << r.err;
    }
}

// The counts of test's summary and list -v's total, the noun singular for one.
TEST(TexTest, CountsOfZeroOneAndTwoAreWorded)
{
    const auto sized_apart = [](tex_writer_entry e) {
        e.rep_c_sz = 7;  // a table size the header disagrees with: a problem both see
        return e;
    };
    const tex_writer_entry good = tex_type6_entry("g.tga", 1, 1, pixels6(1, 1));
    const tex_writer_entry bad = sized_apart(tex_type6_entry("b.tga", 2, 3, pixels6(6, 3)));
    struct row {
        std::vector<tex_writer_entry> entries;  // after the placeholder
        std::optional<std::uint32_t> file_count;
        const char* test_says;
        const char* list_says;  // list -v's total, after the sizes
    };
    const std::vector<row> rows = {
        {{}, 0, "a.pak: 0 entries, 0 decoded, 0 problems\n", "  0 entries\n"},
        {{}, {}, "a.pak: 1 entry, 0 decoded, 0 problems\n", "  1 entry\n"},
        {{good}, {}, "a.pak: 2 entries, 1 decoded, 0 problems\n", "  2 entries\n"},
        {{bad}, {}, "a.pak: 2 entries, 1 decoded, 1 problem\n", "  2 entries, 1 problem\n"},
        {{bad, bad}, {}, "a.pak: 3 entries, 2 decoded, 2 problems\n", "  3 entries, 2 problems\n"},
    };
    temp_dir dir;
    for (const row& r : rows) {
        tex_writer_archive a = test::archive_of(r.entries);
        a.file_count = r.file_count;
        test::write_archive(dir, "a.pak", a);
        const auto tested = run_tex({"test", "a.pak"}, dir.path());
        EXPECT_TRUE(tested.out.ends_with(r.test_says)) << tested.out;
        const auto listed = run_tex({"list", "-v", "a.pak"}, dir.path());
        EXPECT_TRUE(listed.out.ends_with(r.list_says)) << listed.out;
    }
    const auto filtered = run_tex({"list", "-v", "a.pak", "g*"}, dir.path());
    EXPECT_TRUE(filtered.out.ends_with("  0 of 3 entries\n")) << filtered.out;
}

// The phrase book's counts of bytes and records, singular for one.
TEST(TexTest, FindingsCountBytesAndRecords)
{
    struct row {
        std::function<void(tex_writer_archive&)> apply;
        const char* says;
    };
    const auto payload_of = [](std::size_t n) {
        return [n](tex_writer_archive& a) { a.entries[1].payload.resize(n); };
    };
    const std::vector<row> rows = {
        {payload_of(0), "payload holds 0 bytes, fewer than 1 * 1 * 4 (4)"},
        {payload_of(1), "payload holds 1 byte, fewer than 1 * 1 * 4 (4)"},
        {payload_of(2), "payload holds 2 bytes, fewer than 1 * 1 * 4 (4)"},
        {[](tex_writer_archive& a) { a.entries.clear(); a.file_count = 1; }, "table cut short: 0 of 1 record"},
        {[](tex_writer_archive& a) { a.entries.clear(); a.file_count = 2; }, "table cut short: 0 of 2 records"},
    };
    temp_dir dir;
    for (const row& r : rows) {
        tex_writer_archive a = test::archive_of({tex_type6_entry("p.tga", 1, 1, pixels6(1, 1))});
        r.apply(a);
        test::write_archive(dir, "a.pak", a);
        const auto tested = run_tex({"test", "a.pak"}, dir.path());
        EXPECT_TRUE(has(tested.out, r.says)) << tested.out;
    }
}

// ---------------------------------------------------------------------------
// extract

std::map<std::string, std::vector<std::uint8_t>> files_under(const fs::path& dir)
{
    std::map<std::string, std::vector<std::uint8_t>> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = test::read_file(e.path());
    }
    return out;
}

TEST(TexExtract, FolderPatternsKeepAndRaw)
{
    temp_dir dir;
    const tex_writer_archive a = sound_archive();
    test::write_archive(dir, "a.pak", a);
    auto r = run_tex({"extract", "-C", "out", "a.pak", "*.png", "sky*"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "extracted sky.tga\nextracted sub/dir/ring.png\n2 extracted, 0 failed, 0 skipped\n");
    EXPECT_EQ(test::read_png(dir / "out/sub/dir/ring.png").argb, pixels6(16, 2));

    test::write_file(dir / "out/sky.tga", {'m', 'i', 'n', 'e'});
    r = run_tex({"extract", "-C", "out", "--keep", "--raw", "-q", "a.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1 extracted, 0 failed, 2 skipped\n");
    EXPECT_EQ(test::read_file(dir / "out/sky.tga"), std::vector<std::uint8_t>({'m', 'i', 'n', 'e'}));
    EXPECT_EQ(test::read_file(dir / "out/badge.bmp"), a.entries[3].payload);

    r = run_tex({"extract", "-C", "out", "a.pak", "nothing*"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "morvex_tex: a.pak: no entry matches nothing*\n");
    EXPECT_EQ(run_tex({"extract", "--raw", "--format", "png", "a.pak"}, dir.path()).status, 2);
}

TEST(TexExtract, FormatGivesThatFormatsPixels)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", sound_archive());
    // The value in any letter case; the files' extensions always in lower case.
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {"png", "png"}, {"tga", "tga"}, {"PNG", "png"}, {"Tga", "tga"}};
    for (const auto& [given, format] : spellings) {
        const fs::path out = dir / ("out-" + given);
        const auto r = run_tex({"extract", "-C", out.filename().string(), "--format", given, "a.pak"}, dir.path());
        EXPECT_EQ(r.status, 0) << given << ": " << r.err;
        const auto read = format == "png" ? test::read_png : test::read_tga;
        EXPECT_EQ(read(out / ("sub/dir/ring." + format)).argb, pixels6(16, 2)) << given;
        const auto badge = read(out / ("badge." + format));
        EXPECT_EQ(badge.width, 2u);
        EXPECT_EQ(badge.argb, pixels6(6, 3)) << given;
        EXPECT_EQ(test::list_dir(out), (std::vector<std::string>{"badge." + format, "sky." + format, "sub"})) << given;
    }
    EXPECT_EQ(run_tex({"extract", "--format", "gif", "a.pak"}, dir.path()).status, 2);
}

TEST(TexExtract, HostileNamesStayBeneathTheFolder)
{
    temp_dir dir;
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "outside");
    fs::create_directory_symlink("../outside", dir / "out/link");
    const tex_writer_archive a = test::archive_of({tex_type6_entry("/tmp/abs.tga", 1, 1, pixels6(1, 1)),
                                             tex_type6_entry("../up.tga", 1, 1, pixels6(1, 2)),
                                             tex_type6_entry("link/x.tga", 1, 1, pixels6(1, 3)),
                                             tex_type6_entry("fine.tga", 1, 1, pixels6(1, 4))});
    test::write_archive(dir, "a.pak", a);
    const auto r = run_tex({"extract", "-C", "out", "a.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "extracted fine.tga\n1 extracted, 3 failed, 0 skipped\n");
    EXPECT_TRUE(has(r.err, "morvex_tex: a.pak: entry 3 (link/x.tga): name refused: its folder is a "
                           "link that leads outside the output folder"))
        << r.err;
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
    EXPECT_FALSE(fs::exists(dir / "up.tga"));
    EXPECT_EQ(test::list_dir(dir / "out"), (std::vector<std::string>{"fine.tga", "link"}));
    // A file outside doesn't count as existing beneath the folder for --keep.
    test::write_file(dir / "outside/x.tga", {1});
    const auto keep = run_tex({"extract", "-C", "out", "--keep", "a.pak", "link/*"}, dir.path());
    EXPECT_EQ(keep.out, "0 extracted, 1 failed, 0 skipped\n");
}

TEST(TexExtract, OneWorkerOrThreeGiveTheSameFilesAndLines)
{
    temp_dir dir;
    std::vector<tex_writer_entry> entries;
    for (unsigned k = 0; k < 12; ++k) {
        const std::string name = "t" + std::to_string(k) + (k % 3 ? ".tga" : ".png");
        entries.push_back(k % 2 ? tex_type6_entry(name, 40, 30, pixels6(1200, k)) : tex_type4_entry(name, 40, 30, pixels4(1200, k)));
    }
    entries[4].payload.back() ^= 1;
    test::write_archive(dir, "a.pak", test::archive_of(entries));
    const auto one = run_tex({"extract", "-j", "1", "-C", "one", "a.pak"}, dir.path());
    const auto three = run_tex({"extract", "-j3", "-C", "three", "a.pak"}, dir.path());
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(three.status, one.status);
    EXPECT_EQ(three.out, one.out);
    EXPECT_EQ(three.err, one.err);
    EXPECT_EQ(files_under(dir / "three"), files_under(dir / "one"));
    EXPECT_EQ(files_under(dir / "one").size(), 11u);
}

// ---------------------------------------------------------------------------
// test and extract agree, entry by entry

// The lines a program said about entries, "entry I (NAME): what", without
// the program's and the archive's names.
std::vector<std::string> entry_lines(const std::string& text)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (const std::size_t e = line.find("entry "); e != std::string::npos) out.push_back(line.substr(e));
        at = end + 1;
    }
    return out;
}

TEST(TexAgreement, TestSaysWhatExtractDoesForEveryKindOfDamage)
{
    struct damage {
        const char* what;
        std::function<void(tex_writer_archive&)> apply;
    };
    const std::vector<damage> cases = {
        {"sound", [](tex_writer_archive&) {}},
        {"checksum", [](tex_writer_archive& a) { a.entries[1].payload.back() ^= 1; }},
        {"stream cut", [](tex_writer_archive& a) { a.entries[1].payload.resize(a.entries[1].payload.size() / 2); }},
        {"stream short of its image", [](tex_writer_archive& a) {
             std::vector<std::uint16_t> fewer = pixels4(14, 1);
             a.entries[1].payload = tex_make_type4_payload(fewer);
         }},
        {"type 6 short", [](tex_writer_archive& a) { a.entries[2].payload.resize(60); }},
        {"unknown type", [](tex_writer_archive& a) { a.entries[3].type = 5; }},
        {"past the end", [](tex_writer_archive& a) { a.entries[3].table_size = 0xFFFFFF00u; }},
        {"no pixels", [](tex_writer_archive& a) { a.entries[3].width = 0; }},
        {"no image format", [](tex_writer_archive& a) { a.entries[3].name = "badge.txt"; }},
        {"unsafe name", [](tex_writer_archive& a) { a.entries[3].name = "/abs.bmp"; }},
        {"repeat with another size", [](tex_writer_archive& a) {
             tex_writer_entry again = a.entries[2];
             again.write_body = false;
             again.offset = static_cast<std::uint32_t>(tex_build_archive(a).size() - 80 - 24 - 80 - 64);
             again.table_size = 12;
             a.entries.push_back(again);
         }},
    };
    for (const damage& d : cases) {
        temp_dir dir;
        tex_writer_archive a = sound_archive();
        d.apply(a);
        test::write_archive(dir, "a.pak", a);
        const auto tested = run_tex({"test", "a.pak"}, dir.path());
        const auto extracted = run_tex({"extract", "-C", "out", "a.pak"}, dir.path());
        // Every entry extract fails or warns about, test names with the same words...
        const std::vector<std::string> said = entry_lines(tested.out);
        for (const std::string& line : entry_lines(extracted.err)) {
            for (std::size_t from = line.find("): ") + 3, to = 0; from != std::string::npos + 3 && from < line.size(); from = to + 2) {
                to = line.find("; ", from);
                const std::string one = line.substr(0, line.find("): ") + 3) + line.substr(from, to == std::string::npos ? std::string::npos : to - from);
                EXPECT_NE(std::find(said.begin(), said.end(), one), said.end()) << d.what << ": " << one << "\n" << tested.out;
                if (to == std::string::npos) break;
            }
        }
        // ... and what it decodes is what extract writes.
        const std::size_t decoded = std::stoul(tested.out.substr(tested.out.rfind("entries, ") + 9));
        const std::size_t written = std::stoul(extracted.out.substr(extracted.out.rfind('\n', extracted.out.size() - 2) + 1));
        EXPECT_EQ(decoded, written) << d.what << "\n" << tested.out << extracted.out << extracted.err;
        EXPECT_EQ(extracted.status, entry_lines(extracted.err).empty() ? 0 : 1) << d.what;
        EXPECT_EQ(tested.status, said.empty() ? 0 : 1) << d.what;
    }
}

TEST(TexExtract, KeepIsKeptWhateverTheWorkersAndFolders)
{
    temp_dir dir;
    const tex_writer_archive a = test::archive_of({tex_type6_entry("z.tga", 1, 1, pixels6(1, 1)),
                                                   tex_type6_entry("./z.tga", 1, 1, pixels6(1, 2)),
                                                   tex_type6_entry("abs/y.tga", 1, 1, pixels6(1, 3)),
                                                   tex_type6_entry("made/deep/w.tga", 1, 1, pixels6(1, 4))});
    test::write_archive(dir, "a.pak", a);
    for (const std::string jobs : {"1", "2", "3"}) {
        temp_dir out;
        fs::create_directories(out / "real");
        fs::create_directory_symlink(out / "real", out / "abs");  // absolute, inside the folder
        test::write_file(out / "real" / "y.tga", {'m', 'i', 'n', 'e'});
        const auto r = run_tex({"extract", "--keep", "-j", jobs, "-C", out.path().string(), (dir / "a.pak").string()},
                               dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "extracted z.tga\nskipped ./z.tga: exists\nskipped abs/y.tga: exists\n"
                         "extracted made/deep/w.tga\n2 extracted, 0 failed, 2 skipped\n")
            << jobs;
        EXPECT_EQ(test::read_tga(out / "z.tga").argb, pixels6(1, 1)) << jobs;
        EXPECT_EQ(test::read_file(out / "real" / "y.tga"), (std::vector<std::uint8_t>{'m', 'i', 'n', 'e'})) << jobs;
    }
    // A failed entry leaves no folder behind.
    tex_writer_archive damaged = test::archive_of({tex_type4_entry("new/deeper/x.tga", 2, 2, pixels4(4, 1))});
    damaged.entries[1].payload.back() ^= 1;
    test::write_archive(dir, "d.pak", damaged);
    const auto r = run_tex({"extract", "-C", "d", "d.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::is_empty(dir / "d"));
}

TEST(TexSettings, WorkersAndStandardOutputAreCheckedAndSaid)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", sound_archive());
    for (const std::string value : {"0", "-1", "257", "99999", "abc", "4x", ""}) {
        for (const std::string command : {"test", "extract"}) {
            const auto by_env = run_tex({command, "a.pak"}, dir.path(), value);
            EXPECT_EQ(by_env.status, 2) << command << " MORVEX_TEX_JOBS=" << value;
            EXPECT_TRUE(has(by_env.err, "MORVEX_TEX_JOBS takes a number from 1 to 256")) << by_env.err;
            const auto by_option = run_tex({command, "-j", value, "a.pak"}, dir.path());
            EXPECT_EQ(by_option.status, 2) << command << " -j " << value;
        }
        // The extractor's lines are fixed: there the setting counts as unset.
        const auto extractor = test::run_program(MORVEX_EXTRACTOR_PATH, {"a.pak"}, dir.path(), {"MORVEX_TEX_JOBS=" + value});
        EXPECT_EQ(extractor.status, 0);
        EXPECT_TRUE(has(extractor.out, "extraction of badge.bmp ok\n")) << value;
    }
    EXPECT_EQ(run_tex({"test", "a.pak"}, dir.path(), "256").status, 0);

    // A listing whose standard output can't be written fails, and says so.
    if (mknod((dir / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) GTEST_SKIP() << "no device node";
    for (const std::string command : {"list", "list --json", "test", "test --json"}) {
        const auto r = test::run_program("/bin/sh", {"-c", std::string("exec '") + MORVEX_TEX_PATH + "' " + command + " a.pak > full"},
                                         dir.path());
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_TRUE(has(r.err, "can't write to standard output: No space left on device")) << command << ": " << r.err;
    }
}

TEST(TexMemory, WorkersKeepNoMoreFreedMemoryThanOneThread)
{
    if (test::sanitized) GTEST_SKIP() << "a sanitizer's memory is not the program's";
    // 1024 x 1024 textures of one colour: a few hundred bytes of payload, a
    // 4 MiB image and 12 MiB of inflation room each.
    const std::vector<std::uint16_t> flat(1024 * 1024, 0xF123);
    const tex_writer_entry one_texture = tex_type4_entry("", 1024, 1024, flat, 9);
    std::vector<tex_writer_entry> entries(200, one_texture);
    for (unsigned k = 0; k < entries.size(); ++k) entries[k].name = "t" + std::to_string(k) + ".tga";
    temp_dir dir;
    test::write_archive(dir, "a.pak", test::archive_of(entries));
    const auto one = run_tex({"test", "-j", "1", "a.pak"}, dir.path());
    const auto many = run_tex({"test", "-j", "16", "a.pak"}, dir.path());
    ASSERT_EQ(one.status, 0) << one.out;
    ASSERT_EQ(many.out, one.out);
    // Within the workers' budget (40 MiB) and their first entries: each
    // thread's own arena kept 64 MiB of freed memory.
    EXPECT_LT(many.peak_kib, one.peak_kib + 64 * 1024) << one.peak_kib << " KiB with one thread";
}

TEST(TexEscapes, PathsAndOptionsReachTheTerminalEscaped)
{
    temp_dir dir;
    const std::string hostile = "-\x1b]0;pwned\a\xc2\x9bx.pak";
    test::write_archive(dir, "a.pak", sound_archive());
    fs::copy_file(dir / "a.pak", dir / ("d" + hostile));
    const std::vector<std::vector<std::string>> calls = {
        {"list", hostile}, {"test", "--", hostile}, {"extract", "-C", "o" + hostile, "a.pak", "x" + hostile},
        {"test", "d" + hostile + ".missing"}, {"list", "--json", "--", "d" + hostile}, {hostile},
    };
    for (const std::vector<std::string>& args : calls) {
        const auto r = run_tex(args, dir.path());
        for (const std::string& text : {r.out, r.err}) {
            EXPECT_EQ(text.find('\x1b'), std::string::npos) << args.back() << ": " << text;
            EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << args.back() << ": " << text;
        }
        EXPECT_TRUE(has(r.out + r.err, "\\x1B]0;pwned\\x07") || has(r.out, "\\u001b]0;pwned\\u0007"))
            << args[0] << ": " << r.out << r.err;
    }
}

TEST(TexExtract, AFullDiskStopsTheRunOnceWithNothingPartial)
{
    temp_dir dir;
    const fs::path disk = dir / "disk";
    fs::create_directory(disk);
    if (mount("morvex", disk.c_str(), "tmpfs", 0, "size=128k") != 0) GTEST_SKIP() << "can't mount a small tmpfs here";
    std::vector<tex_writer_entry> entries;
    for (unsigned k = 0; k < 12; ++k) entries.push_back(tex_type6_entry("t" + std::to_string(k) + ".tga", 64, 64, pixels6(4096, k)));
    test::write_archive(dir, "a.pak", test::archive_of(entries));
    const auto r = run_tex({"extract", "-j", "2", "-C", "disk/out", "a.pak"}, dir.path());
    const std::vector<std::string> placed = test::list_dir(disk / "out");
    std::vector<bool> whole;
    for (const std::string& name : placed) whole.push_back(test::read_tga(disk / "out" / name).argb.size() == 4096);
    umount(disk.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(has(r.err, "morvex_tex: disk/out: No space left on device: nothing more is extracted")) << r.err;
    EXPECT_TRUE(has(r.out, std::to_string(placed.size()) + " extracted, 0 failed, 0 skipped, ")) << r.out;
    // What is there is whole. (Jobs run ahead and fill the disk in their
    // own order: which entries made it depends on the threads.)
    EXPECT_LT(placed.size(), 12u);
    EXPECT_EQ(whole, std::vector<bool>(placed.size(), true));

    // With -O the bytes wait in the temporary folder: that is the one named.
    ASSERT_EQ(mount("morvex", disk.c_str(), "tmpfs", 0, "size=128k"), 0);
    test::write_archive(dir, "big.pak", test::archive_of({tex_type6_entry("big.tga", 256, 256, pixels6(65536, 1))}));
    const auto o = test::run_program("/bin/sh", {"-c", std::string("exec '") + MORVEX_TEX_PATH + "' extract -O big.pak > out.bin"},
                                     dir.path(), {"MORVEX_TEX_JOBS=1", "TMPDIR=" + disk.string()});
    umount(disk.c_str());
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(has(o.err, "morvex_tex: " + disk.string() + ": No space left on device: nothing more is extracted")) << o.err;
}

// ---------------------------------------------------------------------------
// The program

TEST(TexProgram, HelpVersionAndThePackersCommands)
{
    temp_dir dir;
    for (const std::string command : {"", "list", "test", "extract"}) {
        std::vector<std::string> args{"--help"};
        if (!command.empty()) args.insert(args.begin(), command);
        const auto r = run_tex(args, dir.path());
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_TRUE(has(r.out, "usage: morvex_tex " + command)) << command;
    }
    EXPECT_EQ(run_tex({"--version"}, dir.path()).out, "morvex_tex 1.0\n");
    EXPECT_EQ(run_tex({"unpack"}, dir.path()).err, "morvex_tex: unknown command unpack\nTry 'morvex_tex --help' for more information.\n");

    test::write_archive(dir, "a.pak", sound_archive());
    ASSERT_EQ(run_tex({"extract", "a.pak", "sky.tga"}, dir.path()).status, 0);
    EXPECT_EQ(run_tex({"create", "-q", "mine.pak", "sky.tga"}, dir.path()).status, 0);
    EXPECT_EQ(test::run_program(MORVEX_PACK_PATH, {"create", "-q", "theirs.pak", "sky.tga"}, dir.path()).status, 0);
    EXPECT_EQ(test::read_file(dir / "mine.pak"), test::read_file(dir / "theirs.pak"));
    // The packer's messages under this program's name.
    const auto missing = run_tex({"replace", "a.pak", "b.pak", "none.tga"}, dir.path());
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.rfind("morvex_tex: none.tga: ", 0), 0u) << missing.err;
}

}  // namespace

#endif
