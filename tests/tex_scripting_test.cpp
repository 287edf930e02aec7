// morvex_tex as scripts and many archives use it: several archives per call,
// bytes on standard output, standard input as an archive, filters, -C's
// parents, one exit-status convention, round trips without renames, the
// progress bar in a terminal, and the bash completion.
#include <gtest/gtest.h>

#if defined(MORVEX_TEX_PATH) && defined(MORVEX_PACK_PATH)

#include <filesystem>
#include <regex>

#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

test::run_result tex(const std::vector<std::string>& args, const fs::path& cwd)
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=2"});
}

// A shell line run in `cwd`, with $TEX standing for morvex_tex.
test::run_result shell(const std::string& line, const fs::path& cwd)
{
    return test::run_program("/bin/sh", {"-c", "TEX='" + std::string(MORVEX_TEX_PATH) + "'; " + line}, cwd);
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<std::uint32_t> solid(std::size_t n, std::uint32_t argb)
{
    return std::vector<std::uint32_t>(n, argb);
}

// Entries named alike in two archives, in folders, in both letter cases.
tex_writer_archive sample(std::uint32_t colour)
{
    return test::archive_of({tex_type6_entry("sky.tga", 3, 2, solid(6, colour)),
                             tex_type6_entry("ui/button.png", 2, 2, solid(4, colour ^ 0xFF)),
                             tex_type6_entry("ui/deep/Icon.PNG", 1, 1, solid(1, colour ^ 0xFF00)),
                             tex_type6_entry("ground.bmp", 2, 1, solid(2, colour | 0xFF000000u))});
}

std::vector<std::string> files_beneath(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) out.push_back(fs::relative(e.path(), dir).generic_string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(TexScripting, SeveralArchivesPerCall)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample(0x80112233));
    test::write_archive(dir, "b.PAK", sample(0x80445566));
    // A file from an earlier extraction, named like a pattern: not an archive, so a pattern.
    test::write_file(dir / "sky.tga", {1, 2, 3});

    auto r = tex({"extract", "-C", "out", "a.pak", "b.PAK", "sky*"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files_beneath(dir / "out"), (std::vector<std::string>{"a/sky.tga", "b/sky.tga"}));
    EXPECT_EQ(test::read_tga(dir / "out/b/sky.tga").argb, solid(6, 0x80445566));
    r = tex({"extract", "-C", "one", "a.pak", "sky.tga"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files_beneath(dir / "one"), std::vector<std::string>{"sky.tga"});
    // -i takes a pattern even where an archive is named.
    r = tex({"extract", "-C", "none", "a.pak", "-i", "b.PAK"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "morvex_tex: a.pak: no entry matches b.PAK\n");

    r = tex({"list", "a.pak", "b.PAK"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("a.pak:\n0 ") && has(r.out, "\n\nb.PAK:\n0 ")) << r.out;
    // JSON: one object as before for one archive; for several, every archive
    // named has its object, an unreadable one saying why. (To list, a later
    // operand that names no archive is a pattern: standard input, empty
    // here, is the unreadable one.)
    r = tex({"list", "--json", "a.pak"}, dir.path());
    EXPECT_TRUE(r.out.starts_with("{\"archive\": \"a.pak\"")) << r.out;
    for (const std::string command : {"list", "test"}) {
        const std::string gone = command == "list" ? "-" : "gone.pak";
        r = tex({command, "--json", "a.pak", gone, "b.PAK"}, dir.path());
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_TRUE(r.out.starts_with("{\"archives\": [{\"archive\": \"a.pak\", \"readable\": true,")) << r.out;
        EXPECT_TRUE(has(r.out, "{\"archive\": \"" + gone + "\", \"readable\": false, \"size\": null,")) << r.out;
        EXPECT_TRUE(has(r.out, command == "list" ? "\"problems\": [\"not a TEX version 3 archive\"]"
                                                 : "\"problems\": [\"No such file or directory\"]"))
            << r.out;
        EXPECT_TRUE(has(r.out, "{\"archive\": \"b.PAK\"")) << command;
    }
}

TEST(TexScripting, EachArchivesFolderIsMadeBeneathDirByTheOutputRules)
{
    // out/b is a link before the run: leading outside, it is refused (as a
    // stored name's folder is) and nothing of b.pak is written anywhere;
    // leading to a folder inside, it is followed.
    struct stem_case {
        const char* what;
        std::vector<std::string> dir_args;  // -C and its value, or none
        std::string stem_folder;            // where the b folder is, from the test's folder
        std::string link;                   // what the link there holds; "@outside" for the outside folder's real path
        bool refused;
    };
    const std::vector<stem_case> cases = {
        {"relative, out of -C", {"-C", "out"}, "out/b", "../outside", true},
        {"absolute, out of -C", {"-C", "out"}, "out/b", "@outside", true},
        {"relative, out of the current folder", {}, "b", "../outside", true},
        {"inside -C", {"-C", "out"}, "out/b", "mine", false},
    };
    for (const stem_case& c : cases) {
        temp_dir dir;
        fs::create_directories(dir / "work" / "out" / "mine");
        fs::create_directory(dir / "outside");
        test::write_archive(dir, "work/a.pak", sample(0x80112233));
        test::write_archive(dir, "work/b.pak", sample(0x80445566));
        const std::string target = c.link == "@outside" ? (dir / "outside").string() : c.link;
        fs::create_symlink(target, dir / "work" / c.stem_folder);
        std::vector<std::string> args = {"extract", "-q"};
        args.insert(args.end(), c.dir_args.begin(), c.dir_args.end());
        args.insert(args.end(), {"a.pak", "b.pak"});
        const auto r = tex(args, dir / "work");
        EXPECT_EQ(r.status, c.refused ? 2 : 0) << c.what << "\n" << r.err;
        EXPECT_EQ(fs::is_empty(dir / "outside"), true) << c.what;
        if (c.refused) {
            EXPECT_TRUE(has(r.err, c.stem_folder + ": is a link that leads outside")) << c.what << "\n" << r.err;
        } else {
            EXPECT_EQ(test::read_tga(dir / "work/out/mine/sky.tga").argb, solid(6, 0x80445566)) << c.what;
        }
        // The other archive is extracted all the same.
        const fs::path a_folder = c.dir_args.empty() ? dir / "work/a" : dir / "work/out/a";
        EXPECT_EQ(test::read_tga(a_folder / "sky.tga").argb, solid(6, 0x80112233)) << c.what;
    }
}

TEST(TexScripting, BytesOnStandardOutputAndStandardInputAsAnArchive)
{
    temp_dir dir;
    tex_writer_archive a = sample(0x80112233);
    test::write_archive(dir, "a.pak", a);
    // The images as their names say, in table order, read back by a decoder of the test's own.
    auto r = shell("exec $TEX extract -O --format tga a.pak 'ui/*' > out.bin", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "extracted ui/button.tga\nextracted ui/deep/Icon.tga\n2 extracted")) << r.err;
    const std::vector<std::uint8_t> both = test::read_file(dir / "out.bin");
    const std::size_t first = 18 + 2 * 2 * 4;
    ASSERT_GE(both.size(), first);
    test::write_file(dir / "1.tga", {both.begin(), both.begin() + first});
    test::write_file(dir / "2.tga", {both.begin() + first, both.end()});
    EXPECT_EQ(test::read_tga(dir / "1.tga").argb, solid(4, 0x80112233 ^ 0xFF));
    EXPECT_EQ(test::read_tga(dir / "2.tga").argb, solid(1, 0x80112233 ^ 0xFF00));
    // Raw: the payloads as stored; from standard input too.
    r = shell("exec $TEX extract -O --raw - sky.tga ground.bmp < a.pak > raw.bin", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::uint8_t> payloads = a.entries[1].payload;
    payloads.insert(payloads.end(), a.entries[4].payload.begin(), a.entries[4].payload.end());
    EXPECT_EQ(test::read_file(dir / "raw.bin"), payloads);
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"1.tga", "2.tga", "a.pak", "out.bin", "raw.bin"}));
    r = shell("cat a.pak | exec $TEX list -", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "ui/deep/Icon.PNG")) << r.out;
    r = shell("exec $TEX test - < a.pak", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "-: 5 entries, 4 decoded, 0 problems")) << r.out;
}

TEST(TexScripting, IncludeExcludeLetterCaseAndFolders)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample(0x80112233));
    struct selection {
        std::vector<std::string> args;
        std::vector<std::string> files;
    };
    const std::vector<selection> cases = {
        {{"ui/"}, {"ui/button.png", "ui/deep/Icon.PNG"}},
        {{"ui/", "-x", "*.PNG"}, {"ui/button.png"}},
        {{"-x", "ui/"}, {"ground.bmp", "sky.tga"}},
        {{"*.png"}, {"ui/button.png"}},
        {{"--ignore-case", "*.png"}, {"ui/button.png", "ui/deep/Icon.PNG"}},
        {{"--ignore-case", "UI/DEEP/"}, {"ui/deep/Icon.PNG"}},
        {{"-i", "sky.tga", "-x", "sky*"}, {}},
    };
    for (const selection& c : cases) {
        std::vector<std::string> args{"extract", "-C", "out", "a.pak"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = tex(args, dir.path());
        EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
        EXPECT_EQ(fs::exists(dir / "out") ? files_beneath(dir / "out") : std::vector<std::string>{}, c.files) << c.args[0];
        fs::remove_all(dir / "out");
    }
}

TEST(TexScripting, OneExitStatusConventionAndTheFolderMade)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample(0x80112233));
    test::write_file(dir / "note.txt", {'h', 'i'});
    fs::create_directory(dir / "real");
    fs::create_directory_symlink("real", dir / "link");
    struct call {
        std::vector<std::string> args;
        int status;
    };
    const std::vector<call> calls = {
        {{"extract", "-C", "deep/er/out", "a.pak"}, 0},
        {{"extract", "-C", "link/made/here", "a.pak"}, 0},
        {{"extract", "--bogus", "a.pak"}, 2},
        {{"list"}, 2},
        {{"test", "note.txt"}, 2},
        {{"extract", "-O", "-C", "x", "a.pak"}, 2},
        {{"extract", "a.pak", "nothing*"}, 1},
        {{"create"}, 2},
        {{"create", "--type", "5", "o.pak", "x.png"}, 2},
        {{"replace", "a.pak"}, 2},
        {{"replace", "a.pak", "b.pak", "missing.png"}, 1},
        {{"create", "note.txt", "missing.png"}, 1},
    };
    for (const call& c : calls) {
        const auto r = tex(c.args, dir.path());
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "") << ": " << r.err;
    }
    EXPECT_EQ(files_beneath(dir / "deep/er/out").size(), 4u);
    EXPECT_EQ(files_beneath(dir / "real/made/here").size(), 4u);
    // The packer's help and hints under morvex_tex's name; under its own, its own statuses.
    auto r = tex({"create", "--help"}, dir.path());
    EXPECT_TRUE(r.out.starts_with("Usage: morvex_tex create [OPTION]...")) << r.out;
    EXPECT_TRUE(has(r.out, "morvex_tex replace [OPTION]...") && !has(r.out, "morvex_tex_pack")) << r.out;
    r = tex({"replace", "a.pak"}, dir.path());
    EXPECT_TRUE(has(r.err, "Try 'morvex_tex replace --help'")) << r.err;
    EXPECT_EQ(test::run_program(MORVEX_PACK_PATH, {"create"}, dir.path()).status, 1);
}

TEST(TexScripting, RoundTripsWithoutRenames)
{
    temp_dir dir;
    tex_writer_archive a = sample(0x80112233);
    a.entries.push_back(tex_type6_entry("twin.tga", 1, 1, solid(1, 1)));
    a.entries.push_back(tex_type6_entry("twin.bmp", 1, 1, solid(1, 2)));
    test::write_archive(dir, "a.pak", a);
    ASSERT_EQ(tex({"extract", "-q", "-C", "png", "--format", "png", "a.pak"}, dir.path()).status, 0);
    // Every image back under its stem: the archive as it was, byte for byte.
    auto r = tex({"replace", "-q", "a.pak", "same.pak", "png/sky.png", "png/ui/button.png", "png/ui/deep/Icon.png",
                  "png/ground.png"},
                 dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::read_file(dir / "same.pak"), test::read_file(dir / "a.pak"));
    // Two entries of one stem: refused, naming both.
    r = tex({"replace", "-q", "a.pak", "twin.pak", "png/twin.png"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "has entries twin.bmp and twin.tga of the same stem")) << r.err;
    EXPECT_FALSE(fs::exists(dir / "twin.pak"));
    // A folder: every image beneath it, by its path inside, sorted.
    test::write_file(dir / "png" / "readme.txt", {'x'});
    r = tex({"create", "-q", "tree.pak", "png"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    r = tex({"list", "--names", "tree.pak"}, dir.path());
    EXPECT_EQ(r.out, "ground.png\nsky.png\ntwin.png\nui/button.png\nui/deep/Icon.png\n");
    ASSERT_EQ(tex({"create", "-q", "again.pak", "png"}, dir.path()).status, 0);
    EXPECT_EQ(test::read_file(dir / "again.pak"), test::read_file(dir / "tree.pak"));
}

// A TGA whose rows are stored top first while its header says bottom-up, as
// some image editors write them: 3 x 2 pixels, top row red, bottom row blue.
std::vector<std::uint8_t> tga_rows_against_its_header()
{
    std::vector<std::uint8_t> f = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 2, 0, 32, 8};
    for (const std::uint32_t argb : {0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u, 0xFF0000FFu, 0xFF0000FFu, 0xFF0000FFu}) {
        for (int k = 0; k < 4; ++k) f.push_back(static_cast<std::uint8_t>(argb >> (8 * k)));
    }
    return f;
}

TEST(TexScripting, AnEditedTextureGoesBackTheRightWayUpThroughPng)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample(0x80112233));
    // The way round: extract as PNG, edit, put back by stem.
    ASSERT_EQ(tex({"extract", "-q", "-C", "edit", "--format", "png", "a.pak", "sky.tga"}, dir.path()).status, 0);
    test::rgba_image sky = test::read_png(dir / "edit" / "sky.png");
    ASSERT_EQ(sky.width, 3u);
    for (std::uint32_t x = 0; x < 3; ++x) sky.argb[x] = 0xFFFF0000u;  // the top row red
    test::save_png(dir / "edit" / "sky.png", sky);
    auto r = tex({"replace", "-q", "a.pak", "b.pak", "edit/sky.png"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(tex({"extract", "-q", "-C", "back", "b.pak", "sky.tga"}, dir.path()).status, 0);
    const test::rgba_image back = test::read_tga(dir / "back" / "sky.tga");
    EXPECT_EQ(back.at(0, 0), 0xFFFF0000u);
    EXPECT_EQ(back.at(2, 1), 0x80112233u);
    // A TGA whose rows contradict its header is read as its header says:
    // stored upside down, as other readers of TGA files show it too.
    test::write_file(dir / "sky.tga", tga_rows_against_its_header());
    r = tex({"replace", "-q", "a.pak", "c.pak", "sky.tga"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(tex({"extract", "-q", "-C", "flipped", "c.pak", "sky.tga"}, dir.path()).status, 0);
    EXPECT_EQ(test::read_tga(dir / "flipped" / "sky.tga").at(0, 0), 0xFF0000FFu);
}

TEST(TexScripting, TheProgressBarFitsTheTerminal)
{
    temp_dir dir;
    std::vector<tex_writer_entry> entries;
    for (unsigned k = 0; k < 40; ++k) entries.push_back(tex_type6_entry("texture-number-" + std::to_string(k) + ".tga", 8, 8, solid(64, k)));
    test::write_archive(dir, "a.pak", test::archive_of(entries));
    for (const unsigned short columns : {std::uint16_t{40}, std::uint16_t{100}}) {
        const auto r = test::run_in_terminal(MORVEX_TEX_PATH, {"extract", "-q", "-C", "out" + std::to_string(columns), "a.pak"},
                                             dir.path(), columns);
        EXPECT_EQ(r.status, 0) << r.out;
        // Each redraw: a carriage return, "clear the line", then the bar.
        std::vector<std::string> draws;
        for (std::size_t at = 0; (at = r.out.find("\r\x1b[K", at)) != std::string::npos;) {
            at += 4;
            const std::size_t end = r.out.find_first_of("\r\n", at);
            draws.push_back(r.out.substr(at, end == std::string::npos ? std::string::npos : end - at));
        }
        ASSERT_FALSE(draws.empty()) << r.out;
        for (const std::string& d : draws) EXPECT_LT(d.size(), columns) << "'" << d << "'";
        // The last one drawn: all 40 of 40, not the table's 41 records.
        std::string last;  // the clearing at the end is followed by the summary
        for (const std::string& d : draws) last = has(d, "%") ? d : last;
        EXPECT_TRUE(has(last, " 40/40 100% ")) << last;
        EXPECT_TRUE(has(last, "texture-number-39.tga") || columns < 60) << last;
        EXPECT_TRUE(has(r.out, "40 extracted, 0 failed, 0 skipped"));
    }
    // Off a terminal: nothing on standard error.
    EXPECT_EQ(tex({"extract", "-q", "-C", "plain", "a.pak"}, dir.path()).err, "");
}

TEST(TexScripting, CompletionOffersOptionsAndStoredNames)
{
    const char* const script = "/usr/share/bash-completion/bash_completion";
    if (!fs::exists(script)) GTEST_SKIP() << "bash-completion is not installed";
    temp_dir dir;
    test::write_archive(dir, "a.pak", sample(0x80112233));
    fs::create_directory(dir / "bin");
    fs::create_symlink(MORVEX_TEX_PATH, dir / "bin" / "morvex_tex");
    const auto complete = [&](const std::string& words) {
        const std::string line = std::string("source ") + script + "; source '" + MORVEX_SOURCE_DIR +
                                 "/completion/morvex_tex'; PATH=\"$PWD/bin:$PATH\"; COMP_WORDS=(" + words +
                                 "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=\"${COMP_WORDS[*]}\"; "
                                 "COMP_POINT=${#COMP_LINE}; _morvex_tex; printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
        return test::run_program("/bin/bash", {"-c", line}, dir.path()).out;
    };
    EXPECT_EQ(complete("morvex_tex extract a.pak ui/"), "ui/button.png\nui/deep/Icon.PNG\n");
    // Where a pattern or another archive may go: archives, folders, stored names.
    EXPECT_EQ(complete("morvex_tex extract -x s a.pak ''"), "a.pak\nbin\nground.bmp\nsky.tga\nui/button.png\nui/deep/Icon.PNG\n");
    EXPECT_EQ(complete("morvex_tex extract a.pak -x s"), "sky.tga\n");
    EXPECT_TRUE(has(complete("morvex_tex extract --"), "--to-stdout\n") && has(complete("morvex_tex extract -"), "-O\n"));
    EXPECT_TRUE(has(complete("morvex_tex create -"), "-n\n") && has(complete("morvex_tex replace --"), "--dry-run\n"));
    EXPECT_TRUE(has(complete("morvex_tex list --"), "--names\n") && has(complete("morvex_tex list -"), "-v\n"));
    // list takes patterns as extract does; a bundle's last letter takes the next word.
    EXPECT_EQ(complete("morvex_tex list -v a.pak ui/"), "ui/button.png\nui/deep/Icon.PNG\n");
    EXPECT_EQ(complete("morvex_tex extract -qC bin a.pak s"), "sky.tga\n");
    EXPECT_EQ(complete("morvex_tex extract a.pak -qx s"), "sky.tga\n");
    // The editing commands: delete takes patterns, rename one stored name, then nothing.
    EXPECT_EQ(complete("morvex_tex delete -n a.pak ui/"), "ui/button.png\nui/deep/Icon.PNG\n");
    EXPECT_EQ(complete("morvex_tex rename a.pak s"), "sky.tga\n");
    EXPECT_EQ(complete("morvex_tex rename a.pak sky.tga s"), "\n");  // no offer
    EXPECT_TRUE(has(complete("morvex_tex de"), "delete\n") && has(complete("morvex_tex delete --"), "--exclude\n"));
}

// The completion in an interactive bash, keys typed as a person types them:
// a stored name reaches the command as stored, whatever it holds, and takes
// that entry alone, as the value of -i or -x and as an operand.
TEST(TexScripting, CompletedNamesReachTheCommandAsStored)
{
    const std::string script = "/usr/share/bash-completion/bash_completion";
    if (!fs::exists(script)) GTEST_SKIP() << "bash-completion is not installed";
    temp_dir dir;
    const std::vector<std::string> names = {"ab$(touch PWNED).tga", "b`touch PWNED`.tga", "it's a \"q\".tga", "c*[1].tga",
                                            "cc1.tga", "sky.tga", "sun.tga", "e:f=g.tga", "n\x01\nl.tga"};
    std::vector<tex_writer_entry> entries;
    for (const std::string& name : names) entries.push_back(tex_type6_entry(name, 1, 1, solid(1, 0xFF102030)));
    test::write_archive(dir, "t.pak", test::archive_of(std::move(entries)));
    // Nothing else in the folder begins as a name does.
    fs::create_directory(dir / "path");
    fs::create_symlink(MORVEX_TEX_PATH, dir / "path" / "morvex_tex");
    test::write_file(dir / "inputrc", {});
    std::string listed;
    for (const std::string& name : names) listed += name + '\0';
    EXPECT_EQ(tex({"list", "--names0", "t.pak"}, dir.path()).out, listed);

    const std::string ready = " ready> ";
    struct row {
        std::vector<test::terminal_step> keys;  // after "morvex_tex extract -q -C outN t.pak "
        std::vector<std::string> written;
        std::string summary;
    };
    const std::vector<row> rows = {
        {{{"-i a\t\r", ready}}, {names[0]}, "1 extracted, 0 failed"},
        {{{"-x a\t\r", ready}}, {names[1], names[2], names[3], names[4], names[5], names[6], names[7]}, "7 extracted, 1 failed"},
        {{{"a\t\r", ready}}, {names[0]}, "1 extracted, 0 failed"},
        {{{"b\t\r", ready}}, {names[1]}, "1 extracted, 0 failed"},
        {{{"'it\t\r", ready}}, {names[2]}, "1 extracted, 0 failed"},
        // Its wildcards escaped, or cc1.tga would come too.
        {{{"-i c*\t\r", ready}}, {names[3]}, "1 extracted, 0 failed"},
        {{{"e:\t\r", ready}}, {names[7]}, "1 extracted, 0 failed"},
        // Taken, then refused for its control byte.
        {{{"n\t\r", ready}}, {}, "0 extracted, 1 failed"},
        // Two candidates listed, then one: the next keys wait for the line
        // drawn again below the list, or its prompt passes for the last one.
        {{{"-i s\t\t", ready + "morvex_tex extract"}, {"k\t\r", ready}}, {names[5]}, "1 extracted, 0 failed"},
    };
    const std::vector<std::string> shell = {"-i", "PATH=" + (dir / "path").string() + ":/usr/bin:/bin", "HOME=" + dir.path().string(),
                                            "TERM=dumb", "LC_ALL=C", "INPUTRC=" + (dir / "inputrc").string(), "HISTFILE=",
                                            "PS1=[$?]" + ready, "PS2=[more]" + ready, "/bin/bash", "--norc", "--noprofile", "-i"};
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const std::string out = "out" + std::to_string(k);
        std::vector<test::terminal_step> steps = {
            {"", ready},
            {"source " + script + "; source '" + MORVEX_SOURCE_DIR + "/completion/morvex_tex'\r", ready},
            {"morvex_tex extract -q -C " + out + " t.pak ", ""}};
        steps.insert(steps.end(), rows[k].keys.begin(), rows[k].keys.end());
        const test::terminal_session session = test::drive_terminal("/usr/bin/env", shell, dir.path(), 200, steps, 60);
        std::string shown;
        for (const std::string& s : session.shown) shown += s;
        EXPECT_TRUE(session.finished) << k << ": " << shown;
        EXPECT_FALSE(fs::exists(dir / "PWNED")) << k << ": " << shown;
        fs::remove(dir / "PWNED");
        EXPECT_TRUE(has(session.shown.back(), rows[k].summary) && !has(session.shown.back(), "[more]")) << k << ": " << shown;
        std::vector<std::string> written = rows[k].written;
        std::sort(written.begin(), written.end());
        EXPECT_EQ(fs::exists(dir / out) ? files_beneath(dir / out) : std::vector<std::string>{}, written) << k << ": " << shown;
    }
}

// Archives alone on the line, as dropped on the program: each goes into the
// folder beside it named after it, exactly as `extract -C FOLDER ARCHIVE`
// would put it there; anything else is the usage error, and nothing is made.
TEST(TexScripting, DroppedArchivesGoIntoTheFolderBesideEach)
{
    struct row {
        const char* what;
        std::vector<std::string> there;  // made first: "NAME/" an empty folder, "NAME" a file
        std::vector<std::string> args;
        int status;
        std::vector<std::string> folders;  // where each archive's entries went, in order
    };
    const std::vector<row> rows = {
        {"a folder beside each", {}, {"a.pak", "sub/b.PAK"}, 0, {"a", "sub/b"}},
        {"its name holds files", {"a/mine"}, {"a.pak"}, 0, {"a-2"}},
        {"both names hold files", {"a/mine", "a-2/mine"}, {"a.pak"}, 0, {"a-3"}},
        {"a file of its name", {"a"}, {"a.pak"}, 0, {"a-2"}},
        {"an empty folder is taken", {"a/"}, {"a.pak"}, 0, {"a"}},
        {"one no archive", {}, {"a.pak", "notes.txt"}, 2, {}},
        {"one missing", {}, {"a.pak", "gone.pak"}, 2, {}},
        {"an option", {}, {"a.pak", "-q"}, 2, {}},
        {"standard input", {}, {"a.pak", "-"}, 2, {}},
    };
    const auto everything_beneath = [](const fs::path& dir) {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(dir)) out.push_back(fs::relative(e.path(), dir).generic_string());
        std::sort(out.begin(), out.end());
        return out;
    };
    const std::vector<std::string> entries = {"ground.bmp", "sky.tga", "ui/button.png", "ui/deep/Icon.PNG"};
    for (const row& r : rows) {
        temp_dir dir;
        fs::create_directories(dir / "sub");
        test::write_archive(dir, "a.pak", sample(0x80112233));
        test::write_archive(dir, "sub/b.PAK", sample(0x80112233));
        test::write_file(dir / "notes.txt", {'n', 'o'});
        for (const std::string& t : r.there) {
            fs::create_directories((dir / t).parent_path());
            if (!t.ends_with('/')) test::write_file(dir / t, {'m', 'i', 'n', 'e'});
        }
        // What extract says of the same archive, into a folder of its own.
        const temp_dir elsewhere;
        const test::run_result once = tex({"extract", "-C", elsewhere.path().string(), "a.pak"}, dir.path());
        const std::vector<std::string> before = everything_beneath(dir.path());

        const test::run_result got = tex(r.args, dir.path());
        EXPECT_EQ(got.status, r.status) << r.what << ": " << got.err;
        if (r.status != 0) {
            EXPECT_TRUE(got.err.starts_with("morvex_tex: ")) << r.what << ": " << got.err;
            EXPECT_EQ(everything_beneath(dir.path()), before) << r.what;
            continue;
        }
        std::string said;
        for (const std::string& folder : r.folders) {
            EXPECT_EQ(files_beneath(dir / folder), entries) << r.what << ": " << folder;
            said += once.out;
        }
        EXPECT_EQ(got.out, said) << r.what;
        EXPECT_TRUE(has(once.out, "4 extracted, 0 failed, 0 skipped\n")) << once.out;
        for (const std::string& t : r.there) {
            if (t.ends_with('/')) continue;
            EXPECT_EQ(test::read_file(dir / t), std::vector<std::uint8_t>({'m', 'i', 'n', 'e'})) << r.what;
        }
    }
}

}  // namespace

#endif
