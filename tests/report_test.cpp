// End-to-end: the built extractor's whole report, progress bar, command line
// and exit status, on archives made by the archive writer.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

#include "support/support.hpp"

namespace {

using test::run_extractor;
using test::temp_dir;

std::string leading_lines(const std::string& file, const char* signature, int version)
{
    return test::banner + "file      : " + file + "\n\nsignature : " + signature + "\nversion   : " +
           std::to_string(version) + "\n\n";
}

const std::string refused = "don't know how to decode (signature and/or version not suported\n";

tex_writer_entry plain_entry(const std::string& name, std::uint8_t type, std::vector<std::uint8_t> payload,
                             std::uint16_t w = 0, std::uint16_t h = 0)
{
    tex_writer_entry e;
    e.name = name;
    e.type = type;
    e.payload = std::move(payload);
    e.width = w;
    e.height = h;
    return e;
}

TEST(CommandLine, NoArgumentPrintsUsageAndFails)
{
    temp_dir dir;
    const auto r = run_extractor({}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, test::banner + "syntaxe : morvex_tex_extractor.exe \"<file.pak>\" [-no-convert]\n");
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, MissingArchiveFailsAndPathsAreShownSafely)
{
    temp_dir dir;
    // A path that would drive the terminal is shown with those bytes escaped.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"nope.pak", "nope.pak"}, {"e\x1b[2J.pak", "e\\x1B[2J.pak"}, {"r\xe2\x80\xaegpj.pak", "r\\xE2\\x80\\xAEgpj.pak"}};
    for (const auto& [path, shown] : cases) {
        const auto r = run_extractor({path}, dir.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, test::banner + "can't open " + shown + "\n");
#ifndef _WIN32  // Windows' file names hold no control characters
        test::write_file(dir / path, {'T', 'E', 'X', 2});
        EXPECT_EQ(run_extractor({path}, dir.path()).out, leading_lines(shown, "TEX", 2) + refused);
#endif
    }
}

#ifndef _WIN32
TEST(CommandLine, AReportThatCantBeWrittenWholeFails)
{
    // Standard output a full device (one of our own, with the full device's
    // numbers) or a tiny full file system: the walk ends as always, the status
    // says the report is not whole, and standard error says why, once.
    temp_dir dir;
    test::write_archive(dir, "a.pak", test::archive_of({tex_type6_entry("x.tga", 1, 1, std::vector<std::uint32_t>(1, 1))}));
    test::write_file(dir / "junk.pak", {'J', 'U', 'N', 'K'});
    if (mknod((dir / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) GTEST_SKIP() << "can't make a device here";
    for (const char* archive : {"a.pak", "junk.pak"}) {
        const auto r = test::run_program(
            "/bin/sh", {"-c", std::string("exec '") + MORVEX_EXTRACTOR_PATH + "' " + archive + " > full"}, dir.path());
        EXPECT_EQ(r.status, 255) << archive;
        // The progress bar first, for an archive; then the one line.
        const std::size_t said = r.err.find("morvex_tex_extractor: can't write the report: ");
        EXPECT_NE(said, std::string::npos) << archive << ": " << r.err;
        EXPECT_EQ(r.err.find('\n', said), r.err.size() - 1) << r.err;
        // Written whole, the same run ends as it always has.
        EXPECT_EQ(run_extractor({archive}, dir.path()).status, 0);
    }
}

#endif

TEST(CommandLine, NoConvertIsTheOnlySecondArgumentAndIgnoresCase)
{
    // One 1 x 1 type-6 entry: raw output is its 4 payload bytes, converted output a TGA.
    tex_writer_archive a;
    a.entries.push_back(plain_entry("index", 6, {}));
    a.entries.push_back(plain_entry("x.tga", 6, {1, 2, 3, 4}, 1, 1));
    // What isn't -no-convert converts all the same, said once on standard
    // error, the report untouched.
    const struct {
        std::vector<std::string> extra;
        bool raw;
        const char* said;
    } cases[] = {
        {{"-no-convert"}, true, ""},   {{"-NO-CONVERT"}, true, ""}, {{"-No-CoNvErT"}, true, ""},
        {{"-no-convert", "x"}, false, "morvex_tex_extractor: ignored -no-convert x: entries are converted"},
        {{"-nocovert"}, false, "morvex_tex_extractor: ignored -nocovert: entries are converted"},
        {{}, false, ""},
    };
    for (const auto& c : cases) {
        temp_dir dir;
        test::write_archive(dir, "a.pak", a);
        std::vector<std::string> args{"a.pak"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto r = run_extractor(args, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("extraction of x.tga ok\n"), std::string::npos);
        const auto bytes = test::read_file(dir / "x.tga");
        EXPECT_EQ(bytes.size(), c.raw ? 4u : 18u + 4u) << (c.extra.empty() ? "" : c.extra[0]);
        EXPECT_EQ(r.err.find(c.said), 0u) << r.err;
        EXPECT_EQ(r.err.rfind("ignored"), *c.said ? r.err.find("ignored") : std::string::npos) << r.err;
    }
}

TEST(Recognition, SignatureCaseAndVersion)
{
    const struct {
        std::array<std::uint8_t, 3> signature;
        std::uint8_t version;
        const char* shown;
        bool recognised;
    } cases[] = {
        {{'T', 'E', 'X'}, 3, "TEX", true},  {{'t', 'e', 'x'}, 3, "tex", true}, {{'T', 'e', 'X'}, 3, "TeX", true},
        {{'T', 'E', 'X'}, 2, "TEX", false}, {{'T', 'E', 'X'}, 4, "TEX", false},
        {{'T', 0, 'X'}, 3, "T", false},  // printing stops at the zero byte
        {{'P', 'A', 'K'}, 3, "PAK", false},
        {{0x1B, 'c', 'X'}, 3, "\\x1BcX", false},  // an escape byte can't drive the terminal
    };
    for (const auto& c : cases) {
        temp_dir dir;
        tex_writer_archive a;
        a.signature = c.signature;
        a.version = c.version;
        test::write_archive(dir, "v.pak", a);
        const auto r = run_extractor({"v.pak"}, dir.path());
        EXPECT_EQ(r.status, 0);
        const std::string lead = leading_lines("v.pak", c.shown, c.version);
        if (c.recognised) {
            EXPECT_EQ(r.out.substr(0, lead.size() + 16), lead + "decoding as TEX\n");
            EXPECT_EQ(r.err, "progress : ok\n");
        } else {
            EXPECT_EQ(r.out, lead + refused);
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(Report, EmptyArchive)
{
    temp_dir dir;
    tex_writer_archive a;
    a.second_word = 0x12345678;
    test::write_archive(dir, "e.pak", a);
    const auto r = run_extractor({"e.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, leading_lines("e.pak", "TEX", 3) +
                         "decoding as TEX\n"
                         "nb files : 0x00000000 = 0\n"
                         "unknown  : 0x12345678 = 305419896\n"
                         "(skip 244 bytes of padding)\n");
    EXPECT_EQ(r.err, "progress : ok\n");
}

TEST(Report, SingleEntryIsCheckedButNeverExtracted)
{
    temp_dir dir;
    tex_writer_archive a;
    a.padding[243] = 0x7F;
    tex_writer_entry e = plain_entry("first.tga", 5, {9, 9, 9, 9}, 2, 1);
    e.table_size = 0x80000001;  // sizes print unsigned
    a.entries.push_back(e);
    test::write_archive(dir, "s.pak", a);
    const auto r = run_extractor({"s.pak"}, dir.path());

    std::string dump = "ERROR : 244 bytes aren't all for padding";
    for (int row = 0; row < 15; ++row) {
        char label[8];
        std::snprintf(label, sizeof label, "\n%02X :", row * 16);
        dump += label;
        dump += " 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00";
    }
    dump += "\nF0 : 00 00 00 7F\n";
    EXPECT_EQ(r.out, leading_lines("s.pak", "TEX", 3) +
                         "decoding as TEX\n"
                         "nb files : 0x00000001 = 1\n"
                         "unknown  : 0x00000000 = 0\n"
                         "(skip 244 bytes of padding)\n" +
                         dump +
                         "\nfile 0\n"
                         "   type id         : 5\n"
                         "   offset          : 0x0000010C = 268\n"
                         "   compressed size : 0x80000001 = 2147483649\n"
                         "\nfile 0 @ offset 0x0000010C (268)\n"
                         "file datas size... compressed = 0x80000001 (2147483649), in_file = 0x00000000 (0)\n"
                         "   filename : first.tga\n"
                         "   width    : 2\n"
                         "   height   : 1\n"
                         "   rep_t_id : 0x05 (5)\n"
                         "   rep_c_sz : 0x00000004 (4)\n"
                         "   (skip 39 bytes of padding)\n"
                         "ERROR : 2 compressed sizes not the same\n");
    EXPECT_EQ(r.err, "progress : ok\n");
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"s.pak"});
}

// Four entries, out of order on disk, with every consistency check tripped once.
TEST(Report, ChecksMismatchesUnknownTypesAndOrder)
{
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(plain_entry("index", 6, {}));
    tex_writer_entry one = plain_entry("one.bin", 4, {1, 2, 3, 4, 5}, 1, 1);
    one.offset = 0x400;
    one.table_type = 0x104;
    one.rep_c_sz = 7;
    one.padding[0] = 1;
    a.entries.push_back(one);
    tex_writer_entry odd = plain_entry("odd.bin", 5, {7, 7, 7});
    odd.offset = 0x180;  // before its predecessor: a negative in_file
    a.entries.push_back(odd);
    a.entries.push_back(plain_entry("two.bin", 6, {0x10, 0x20, 0x30, 0x40}, 1, 1));
    test::write_archive(dir, "c.pak", a);

    const auto r = run_extractor({"c.pak", "-no-convert"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, leading_lines("c.pak", "TEX", 3) +
                         "decoding as TEX\n"
                         "nb files : 0x00000004 = 4\n"
                         "unknown  : 0x00000000 = 0\n"
                         "(skip 244 bytes of padding)\n"
                         "\nfile 0\n"
                         "   type id         : 6\n"
                         "   offset          : 0x00000130 = 304\n"
                         "   compressed size : 0x00000000 = 0\n"
                         "\nfile 1\n"
                         "   type id         : 260\n"
                         "   offset          : 0x00000400 = 1024\n"
                         "   compressed size : 0x00000005 = 5\n"
                         "\nfile 2\n"
                         "   type id         : 5\n"
                         "   offset          : 0x00000180 = 384\n"
                         "   compressed size : 0x00000003 = 3\n"
                         "\nfile 3\n"
                         "   type id         : 6\n"
                         "   offset          : 0x00000455 = 1109\n"
                         "   compressed size : 0x00000004 = 4\n"
                         "\nfile 0 @ offset 0x00000130 (304)\n"
                         "file datas size... compressed = 0x00000000 (0), in_file = 0x000002D0 (720)\n"
                         "   filename : index\n"
                         "   width    : 0\n"
                         "   height   : 0\n"
                         "   rep_t_id : 0x06 (6)\n"
                         "   rep_c_sz : 0x00000000 (0)\n"
                         "   (skip 39 bytes of padding)\n"
                         "\nfile 1 @ offset 0x00000400 (1024)\n"
                         "file datas size... compressed = 0x00000005 (5), in_file = 0xFFFFFD80 (-640)\n"
                         "   filename : one.bin\n"
                         "   width    : 1\n"
                         "   height   : 1\n"
                         "   rep_t_id : 0x04 (4)\n"
                         "   rep_c_sz : 0x00000007 (7)\n"
                         "   (skip 39 bytes of padding)\n"
                         "ERROR : 39 bytes aren't all for padding\n"
                         "00 : 01 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00\n"
                         "10 : 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00\n"
                         "20 : 00 00 00 00 00 00 00\n"
                         "ERROR : 2 compressed sizes not the same\n"
                         "ERROR : 2 type_ids not the same\n"
                         "extraction of one.bin ok\n"
                         "\nfile 2 @ offset 0x00000180 (384)\n"
                         "file datas size... compressed = 0x00000003 (3), in_file = 0x000002D5 (725)\n"
                         "   filename : odd.bin\n"
                         "   width    : 0\n"
                         "   height   : 0\n"
                         "   rep_t_id : 0x05 (5)\n"
                         "   rep_c_sz : 0x00000003 (3)\n"
                         "   (skip 39 bytes of padding)\n"
                         "ERROR : unknown type\n"
                         "\nfile 3 @ offset 0x00000455 (1109)\n"
                         "file datas size... compressed = 0x00000004 (4), in_file = 0x00000000 (0)\n"
                         "   filename : two.bin\n"
                         "   width    : 1\n"
                         "   height   : 1\n"
                         "   rep_t_id : 0x06 (6)\n"
                         "   rep_c_sz : 0x00000004 (4)\n"
                         "   (skip 39 bytes of padding)\n"
                         "extraction of two.bin ok\n");
    EXPECT_EQ(r.err, "progress : " + std::string(50, '.') + "ok\n");
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"c.pak", "one.bin", "two.bin"}));
    // The table's size decides the payload length; the type-4 stream is written as stored.
    EXPECT_EQ(test::read_file(dir / "one.bin"), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST(Report, ProgressBarStopsOneStepShortOfFull)
{
    const struct {
        std::size_t entries;
        std::size_t dots;
    } cases[] = {{2, 33}, {3, 44}, {67, 66}, {68, 66}, {200, 66}};
    for (const auto& c : cases) {
        temp_dir dir;
        tex_writer_archive a;
        for (std::size_t i = 0; i < c.entries; ++i) a.entries.push_back(plain_entry("u" + std::to_string(i), 9, {}));
        test::write_archive(dir, "p.pak", a);
        const auto r = run_extractor({"p.pak"}, dir.path());
        EXPECT_EQ(r.err, "progress : " + std::string(c.dots, '.') + "ok\n") << c.entries << " entries";
    }
}

}  // namespace
