// Windows' own rules, tested on Windows (under Wine in CI): names Windows
// can't hold as files are refused before anything is opened; `\` separates
// folders; names that differ only in case are one file; long paths; links
// and junctions that lead out of the output folder; Ctrl-C; archives from a
// pipe; arguments beyond ASCII; devices as the packer's output and input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include "words/escape.hpp"
#include "support/process_windows.hpp"
#include "support/support.hpp"
#include "files/windows.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

constexpr DWORD control_c_exit = 0xC000013A;

tex_writer_entry pixel(const std::string& name, std::uint32_t argb)
{
    const std::vector<std::uint32_t> px{argb};
    return tex_type6_entry(name, 1, 1, px);
}

// A path as UTF-8, and UTF-8 as a path.
std::string utf8(const fs::path& p)
{
    return tex_narrow(p.wstring());
}

fs::path path_of(const std::string& utf8_path)
{
    return fs::path(tex_wide(utf8_path));
}

// Every file and folder beneath `dir`, as UTF-8 paths with '/'.
std::set<std::string> tree(const fs::path& dir)
{
    std::set<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string p = utf8(fs::relative(e.path(), dir).generic_wstring());
        found.insert(e.is_directory() ? p + "/" : p);
    }
    return found;
}

test::run_result morvex_tex(const std::vector<std::string>& args, const fs::path& cwd,
                            const std::vector<std::string>& env = {})
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, env);
}

TEST(WindowsNames, NamesWindowsCantHoldAreRefusedAndNeverOpened)
{
    struct refusal {
        const char* name;
        const char* reason;
    };
    const std::vector<refusal> cases = {
        {"CON.tga", "it is a device name on Windows"},
        {"con", "it is a device name on Windows"},
        {"nul.png", "it is a device name on Windows"},
        {"Aux.x.bmp", "it is a device name on Windows"},
        {"PRN .tga", "it is a device name on Windows"},
        {"com1.tga", "it is a device name on Windows"},
        {"LPT9.pcx", "it is a device name on Windows"},
        {"COM\xc2\xb9.tga", "it is a device name on Windows"},
        {"conin$.tga", "it is a device name on Windows"},
        {"sub/NUL.tga", "it is a device name on Windows"},
        {"CON/x.tga", "it is a device name on Windows"},
        {"x.tga:hidden", "it holds a \":\" (a stream name on Windows)"},
        {"ab:c.tga", "it holds a \":\" (a stream name on Windows)"},
        {"a:b.tga", "it is an absolute path"},
        {"x.tga.", "a part of it ends in a dot or a space, which Windows drops"},
        {"x.tga ", "a part of it ends in a dot or a space, which Windows drops"},
        {"dir./x.tga", "a part of it ends in a dot or a space, which Windows drops"},
        {"a<b.tga", "it holds a character Windows forbids in names (<>\"|?*)"},
        {"a>b.tga", "it holds a character Windows forbids in names (<>\"|?*)"},
        {"a\"b.tga", "it holds a character Windows forbids in names (<>\"|?*)"},
        {"a|b.tga", "it holds a character Windows forbids in names (<>\"|?*)"},
        {"a?b.tga", "it holds a character Windows forbids in names (<>\"|?*)"},
        {"a*b.tga", "it holds a character Windows forbids in names (<>\"|?*)"},
        {"C:x.tga", "it is an absolute path"},
        {"\\x.tga", "it is an absolute path"},
        {"..\\x.tga", "it has a \"..\" component"},
        {"a\\..\\..\\x.tga", "it has a \"..\" component"},
    };
    temp_dir dir;
    std::vector<tex_writer_entry> entries;
    for (const refusal& c : cases) entries.push_back(pixel(c.name, 0xFF102030u));
    test::write_archive(dir, "w.pak", test::archive_of(std::move(entries)));

    // The extractor's report, line by line, and nothing written.
    const auto r = test::run_extractor({"w.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    for (const refusal& c : cases) {
        const std::string line =
            std::string("ERROR : refusing to write ") + tex_printable_name(c.name) + ": " + c.reason + "\n";
        EXPECT_NE(r.out.find(line), std::string::npos) << c.name;
    }
    EXPECT_EQ(tree(dir.path()), std::set<std::string>{"w.pak"});

    // morvex_tex's line per entry, folders allowed, and still nothing.
    const auto x = morvex_tex({"extract", "-q", "-C", "out", "w.pak"}, dir.path());
    EXPECT_EQ(x.status, 1);
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const std::string line = "morvex_tex: w.pak: entry " + std::to_string(k + 1) + " (" +
                                 tex_printable_name(cases[k].name) + "): name refused: " + cases[k].reason + "\n";
        EXPECT_NE(x.err.find(line), std::string::npos) << cases[k].name << "\n" << x.err;
    }
    EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"out/", "w.pak"}));
}

TEST(WindowsNames, BackslashSeparatesFoldersAsSlashDoes)
{
    temp_dir dir;
    test::write_archive(dir, "b.pak",
                        test::archive_of({pixel("a\\b\\c.tga", 0xFF0000FFu), pixel("a/d.tga", 0xFF00FF00u),
                                          pixel("a\\.\\e.tga", 0xFFFF0000u)}));
    const auto r = morvex_tex({"extract", "-C", "out", "b.pak"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tree(dir / "out"), (std::set<std::string>{"a/", "a/b/", "a/b/c.tga", "a/d.tga", "a/e.tga"}));
    EXPECT_EQ(test::read_tga(dir / "out" / "a" / "b" / "c.tga").at(0, 0), 0xFF0000FFu);
}

TEST(WindowsNames, NamesDifferingInCaseAreOneFileAsARepeatedNameIsOnLinux)
{
    temp_dir dir;
    test::write_archive(dir, "c.pak",
                        test::archive_of({pixel("Same.tga", 0xFFFF0000u), pixel("SAME.TGA", 0xFF0000FFu)}));
    // The later entry replaces the earlier, as it does under one name.
    auto r = morvex_tex({"extract", "-C", "out", "c.pak"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "extracted Same.tga\nextracted SAME.TGA\n2 extracted, 0 failed, 0 skipped\n");
    EXPECT_EQ(test::list_dir(dir / "out").size(), 1u);
    EXPECT_EQ(test::read_tga(dir / "out" / "same.tga").at(0, 0), 0xFF0000FFu);
    // --keep never replaces: the earlier stays, the later is skipped.
    fs::remove_all(dir / "out");
    r = morvex_tex({"extract", "--keep", "-C", "out", "c.pak"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "extracted Same.tga\nskipped SAME.TGA: exists\n1 extracted, 0 failed, 1 skipped\n");
    EXPECT_EQ(test::read_tga(dir / "out" / "SAME.tga").at(0, 0), 0xFFFF0000u);
    // The extractor too, and a file already there under another case counts.
    r = morvex_tex({"extract", "--keep", "-C", "out", "c.pak"}, dir.path());
    EXPECT_EQ(r.out, "skipped Same.tga: exists\nskipped SAME.TGA: exists\n0 extracted, 0 failed, 2 skipped\n");
    // Archives whose stems differ only in case get folders of their own,
    // numbered as a repeated stem is.
    fs::create_directories(dir / "x");
    fs::create_directories(dir / "y");
    test::write_archive(dir, "x/Game.pak", test::archive_of({pixel("s.tga", 0xFFFF0000u)}));
    test::write_archive(dir, "y/game.PAK", test::archive_of({pixel("s.tga", 0xFF0000FFu)}));
    r = morvex_tex({"extract", "-q", "-C", "stems", "x/Game.pak", "y/game.PAK"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::list_dir(dir / "stems"), (std::vector<std::string>{"Game", "game-2"}));
    EXPECT_EQ(test::read_tga(dir / "stems" / "Game" / "s.tga").at(0, 0), 0xFFFF0000u);
    EXPECT_EQ(test::read_tga(dir / "stems" / "game-2" / "s.tga").at(0, 0), 0xFF0000FFu);
}

TEST(WindowsNames, NamesBeyondAsciiAndArgumentsBeyondAscii)
{
    temp_dir dir;
    // UTF-8 names are those names; other bytes are read as Windows-1252.
    test::write_file(dir.path() / path_of("\xc3\xbc.pak"),
                     tex_build_archive(test::archive_of({pixel("\xc3\xa9t\xc3\xa9.tga", 0xFF000001u),
                                          pixel("\xe9t\xe9-1252.tga", 0xFF000002u),
                                          pixel("\xe2\x82\xac\xf0\x9f\x98\x80.tga", 0xFF000003u)})));
    const auto r = morvex_tex({"extract", "-C", "\xc3\xb6ut", "\xc3\xbc.pak"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"\xc3\xb6ut/", "\xc3\xb6ut/\xc3\xa9t\xc3\xa9.tga",
                                                       "\xc3\xb6ut/\xc3\xa9t\xc3\xa9-1252.tga",
                                                       "\xc3\xb6ut/\xe2\x82\xac\xf0\x9f\x98\x80.tga", "\xc3\xbc.pak"}));
    // The listing shows the stored bytes, as on Linux.
    const auto list = morvex_tex({"list", "\xc3\xbc.pak"}, dir.path());
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("\xe9t\xe9-1252.tga"), std::string::npos);
}

TEST(WindowsPaths, OutputFoldersLongerThanTheOldLimitWork)
{
    temp_dir dir;
    test::write_archive(dir, "l.pak", test::archive_of({pixel("deep/x.tga", 0xFF445566u)}));
    std::string folder = "out";
    while (folder.size() < 300) folder += "/" + std::string(40, 'f');
    // The folder and its parents are made, and the name's folder beneath.
    const auto r = morvex_tex({"extract", "-C", folder, "l.pak"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const fs::path root = fs::path(L"\\\\?\\" + fs::absolute(dir.path() / path_of(folder)).make_preferred().wstring());
    EXPECT_TRUE(fs::exists(root / "deep" / "x.tga"));
    // Again, into the folders that are there now.
    const auto again = morvex_tex({"extract", "-C", folder, "l.pak"}, dir.path());
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(fs::exists(root / "deep" / "x.tga"));
}

TEST(WindowsPaths, ALinkOrJunctionLeadingOutIsNeverFollowed)
{
    temp_dir dir;
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "elsewhere");
    const fs::path link = dir / "out" / "link";
    if (!CreateSymbolicLinkW(link.c_str(), (dir / "elsewhere").c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !fs::is_symlink(link)) {
        // Wine makes none; scripts/windows-test.sh tries the same with a
        // link of the system underneath.
        GTEST_SKIP() << "this system makes no symbolic links";
    }
    test::write_archive(dir, "k.pak", test::archive_of({pixel("link/x.tga", 0xFF445566u)}));
    const auto r = morvex_tex({"extract", "-C", "out", "k.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("name refused: its folder is a link that leads outside the output folder"), std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

TEST(WindowsPipes, AnArchiveFromAPipeIsSpooledAndTheSpoolIsGone)
{
    temp_dir dir;
    const auto archive = tex_build_archive(test::archive_of({pixel("p.tga", 0xFF010203u), pixel("q.tga", 0xFF040506u)}));
    test::write_file(dir / "p.pak", archive);
    const auto from_file = morvex_tex({"list", "--json", "p.pak"}, dir.path());

    const std::wstring name = L"\\\\.\\pipe\\morvex-test-" + std::to_wstring(tex_random64());
    const HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                         0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    temp_dir spool;
    temp_dir capture;
    test::run_process p = test::start_program(MORVEX_TEX_PATH, {"list", "--json", tex_narrow(name)}, dir.path(),
                                              {"TMP=" + utf8(spool.path()), "TEMP=" + utf8(spool.path())},
                                              capture.path(), 0);
    ConnectNamedPipe(pipe, nullptr);
    DWORD put = 0;
    // In pieces, as a pipe gives them.
    for (std::size_t at = 0; at < archive.size(); at += 100) {
        WriteFile(pipe, archive.data() + at, static_cast<DWORD>(std::min<std::size_t>(100, archive.size() - at)), &put,
                  nullptr);
    }
    CloseHandle(pipe);
    const test::run_result r = test::finish_program(p, capture.path());
    EXPECT_EQ(r.status, 0) << r.err;
    // The same entries as from the file, the archive's name aside.
    EXPECT_EQ(r.out.substr(r.out.find("\"entries\"")), from_file.out.substr(from_file.out.find("\"entries\"")));
    EXPECT_NE(r.out.find("\"p.tga\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"q.tga\""), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(spool.path()));
}

TEST(WindowsDevices, DevicesAreNeitherArchivesNorImagesAndThePackerWritesThroughThem)
{
    temp_dir dir;
    fs::create_directories(dir / "folder.png");
    // A 1 x 1 uncompressed 32-bit TGA.
    std::vector<std::uint8_t> tga(18 + 4, 0);
    tga[2] = 2;
    tga[12] = tga[14] = 1;
    tga[16] = 32;
    tga[18 + 3] = 0xFF;
    test::write_file(dir / "one.tga", tga);
    struct refused {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<refused> cases = {
        {{"list", "NUL"}, "morvex_tex: NUL: No such device"},
        {{"list", "con.pak"}, "morvex_tex: con.pak: No such device"},
        {{"list", "."}, "morvex_tex: .: Is a directory"},
        {{"create", "o.pak", "NUL.png=x.png"}, "not a regular file"},
        {{"create", "o.pak", "folder.png=x.png"}, "a folder, not an image file"},
    };
    for (const refused& c : cases) {
        const auto r = morvex_tex(c.args, dir.path());
        EXPECT_NE(r.status, 0) << c.args[1];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[1] << ": " << r.err;
    }
    // NUL as the output: written through, never replaced, nothing left.
    const auto r = morvex_tex({"create", "NUL", "one.tga"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"folder.png/", "one.tga"}));
}

// Waits, a bounded number of times, for `ready` to hold.
template <typename F>
bool eventually(F ready)
{
    for (int k = 0; k < 3000; ++k) {
        if (ready()) return true;
        Sleep(10);
    }
    return false;
}

TEST(WindowsInterrupt, CtrlBreakLeavesOnlyCompleteFiles)
{
    temp_dir dir;
    // Enough entries that the listing fills the pipe nobody reads, while
    // workers have files of their own in flight.
    std::vector<tex_writer_entry> entries;
    for (int k = 0; k < 6000; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "e%04d.tga", k);
        entries.push_back(pixel(name, 0xFF000000u + static_cast<std::uint32_t>(k)));
    }
    test::write_archive(dir, "i.pak", test::archive_of(std::move(entries)));
    fs::create_directories(dir / "out");

    // Standard output: a pipe read by no one.
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, &sa, 4096));
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    const fs::path exe = test::beside_tests(MORVEX_TEX_PATH);
    std::wstring line = L"\"" + exe.wstring() + L"\" extract -j 2 -C out i.pak";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = INVALID_HANDLE_VALUE;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    // A process group of its own, which can be sent Ctrl-Break.
    ASSERT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                               dir.path().c_str(), &si, &pi));
    CloseHandle(write_end);
    CloseHandle(pi.hThread);
    const auto in_flight = [&] {
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            if (e.path().filename().string().starts_with(".morvex-")) return true;
        }
        return false;
    };
    ASSERT_TRUE(eventually(in_flight)) << "no file was ever in flight";
    ASSERT_TRUE(eventually([&] { return WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT && in_flight(); }));
    // Its group, which shares this process's console, gets the event.
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId)) {
        TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        CloseHandle(read_end);
        // Wine delivers none this way; scripts/windows-test.sh sends Ctrl-C
        // through a terminal instead.
        GTEST_SKIP() << "this system delivers no console events to a process group";
    }
    const bool ended = WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (!ended) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(read_end);
    ASSERT_TRUE(ended);
    EXPECT_EQ(code, control_c_exit);
    // Nothing in flight stays; what is there is complete.
    std::size_t placed = 0;
    for (const auto& e : fs::directory_iterator(dir / "out")) {
        const std::string name = e.path().filename().string();
        EXPECT_FALSE(name.starts_with(".morvex-")) << name;
        EXPECT_EQ(test::read_tga(e.path()).width, 1u) << name;
        ++placed;
    }
    EXPECT_LT(placed, 6000u);
}

}  // namespace
