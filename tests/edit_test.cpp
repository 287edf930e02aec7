// add, delete, rename and replace in place, run as a user runs them: what
// they don't change stays byte for byte, and an edit that fails (refused,
// killed part way, out of room) leaves the archive as it was, owner and
// permissions included.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "format/format.hpp"
#include "format/writer.hpp"
#include "pack/pack.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

// Each entry's 80-byte header and payload as stored, found through the table
// and checked to lie end to end after it.
std::vector<bytes> stored_entries(const fs::path& path)
{
    const bytes f = test::read_file(path);
    std::vector<bytes> out;
    if (f.size() < tex_header_size) {
        ADD_FAILURE() << path << ": no header";
        return out;
    }
    const tex_header h = tex_parse_header(std::span(f).first<tex_header_size>());
    std::size_t next = tex_header_size + std::size_t{h.file_count} * tex_table_entry_size;
    for (std::uint32_t i = 0; i < h.file_count; ++i) {
        const tex_table_entry t =
            tex_parse_table_entry(std::span(f).subspan(tex_header_size + i * tex_table_entry_size).first<tex_table_entry_size>());
        const std::size_t end = std::size_t{t.offset} + tex_entry_header_size + t.compressed_size;
        if (t.offset != next || end > f.size()) {
            ADD_FAILURE() << path << ": entry " << i << " out of place";
            return out;
        }
        out.emplace_back(f.begin() + t.offset, f.begin() + static_cast<std::ptrdiff_t>(end));
        next = end;
    }
    EXPECT_EQ(next, f.size()) << path;
    return out;
}

std::string name_of(const bytes& entry)
{
    return tex_entry_name(tex_parse_entry_header(std::span(entry).first<tex_entry_header_size>()));
}

// An archive's names in table order.
std::vector<std::string> names(const std::vector<bytes>& entries)
{
    std::vector<std::string> out;
    for (const bytes& e : entries) out.push_back(name_of(e));
    return out;
}

test::rgba_image tile(std::uint32_t side, std::uint32_t seed)
{
    test::rgba_image img{side, side, {}};
    for (std::uint32_t k = 0; k < side * side; ++k) img.argb.push_back(0xFF000000u | (k * 2654435761u + seed * 40503u));
    return img;
}

// g.pak: a placeholder, two images (one large enough that a small limit on
// file size stops the writing part way), an entry whose stream is damaged,
// and a small image.
tex_writer_archive game()
{
    tex_writer_entry damaged;
    damaged.name = "env/bad.tga";
    damaged.type = 4;
    damaged.width = damaged.height = 2;
    damaged.payload = {0x78, 0x9C, 0xFF, 0xFF, 0xFF};
    return test::archive_of({tex_type6_entry("ui/a.tga", 64, 64, tile(64, 1).argb),
                             tex_type4_entry("ui/b.tga", 3, 2, std::vector<std::uint16_t>{0xF123, 0xF456, 0x8789, 0xFABC, 0x0DEF, 0xF000}), damaged,
                             tex_type6_entry("env/sky.png", 2, 2, tile(2, 3).argb)});
}

// The command line of `sh -c`, in a folder holding g.pak (mode 0640, and
// owned by someone else where the test may give it away), link.pak leading
// to it, and new.png; $TEX is the program.
struct edited {
    test::run_result run;
    std::vector<bytes> before, after;
    std::vector<std::string> files_before, files_after;
    struct stat was {}, is {};
};

edited edit(const test::temp_dir& dir, const std::string& command)
{
    edited e;
    fs::remove_all(dir / "out");
    test::write_archive(dir, "g.pak", game());
    EXPECT_EQ(chmod((dir / "g.pak").c_str(), 0640), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(chown((dir / "g.pak").c_str(), 4321, 4321), 0);
    }
    if (!fs::is_symlink(dir / "link.pak")) fs::create_symlink("g.pak", dir / "link.pak");
    test::save_png(dir / "new.png", tile(5, 9));
    e.before = stored_entries(dir / "g.pak");
    e.files_before = test::list_dir(dir.path());
    EXPECT_EQ(stat((dir / "g.pak").c_str(), &e.was), 0);
    e.run = test::run_program("/bin/sh", {"-c", command}, dir.path(), {std::string("TEX=") + MORVEX_TEX_PATH});
    e.after = stored_entries(dir / "g.pak");
    e.files_after = test::list_dir(dir.path());
    EXPECT_EQ(stat((dir / "g.pak").c_str(), &e.is), 0);
    return e;
}

TEST(EditCommands, ChangeWhatTheyNameInPlaceAndKeepEverythingElse)
{
    test::temp_dir dir;
    struct row {
        const char* command;
        std::vector<std::string> names;  // g.pak's after
        std::vector<int> from;           // for each, the entry of before it is byte for byte (-1: changed)
    };
    const std::vector<row> rows = {
        {"\"$TEX\" add g.pak new.png",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png", "new.png"}, {0, 1, 2, 3, 4, -1}},
        {"\"$TEX\" add -t 4 link.pak new.png=ui/new.tga",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png", "ui/new.tga"}, {0, 1, 2, 3, 4, -1}},
        // The damaged entry goes as any other: nothing is decoded.
        {"\"$TEX\" delete g.pak 'env/'", {"index", "ui/a.tga", "ui/b.tga"}, {0, 1, 2}},
        {"\"$TEX\" delete -x '*.png' g.pak 'env/*'", {"index", "ui/a.tga", "ui/b.tga", "env/sky.png"}, {0, 1, 2, 4}},
        {"\"$TEX\" delete --ignore-case g.pak UI/A.TGA", {"index", "ui/b.tga", "env/bad.tga", "env/sky.png"}, {0, 2, 3, 4}},
        {"\"$TEX\" rename link.pak ui/a.tga ui/c.tga",
         {"index", "ui/c.tga", "ui/b.tga", "env/bad.tga", "env/sky.png"}, {0, -1, 2, 3, 4}},
        {"\"$TEX\" replace g.pak g.pak new.png=env/sky.png",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png"}, {0, 1, 2, 3, -1}},
        // Standard input to standard output: g.pak only read.
        {"\"$TEX\" delete - ui/b.tga < g.pak > out.pak && mv out.pak g.pak",
         {"index", "ui/a.tga", "env/bad.tga", "env/sky.png"}, {0, 1, 3, 4}},
        {"cat g.pak | \"$TEX\" replace - g.pak new.png=ui/b.tga",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png"}, {0, 1, -1, 3, 4}},
        // update: a folder's images by their paths inside it (ui/a.png puts
        // its pixels into ui/a.tga, by stem), the new ones added; an image
        // that is what its entry holds leaves it byte for byte.
        {"mkdir -p ed/ui && cp new.png ed/ui/a.png && cp new.png ed/extra.png && \"$TEX\" update -q g.pak ed && rm -r ed",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png", "extra.png"}, {0, -1, 2, 3, 4, -1}},
        {"\"$TEX\" extract -q -C ed g.pak ui/a.tga && cp new.png ed/ui/b.png && \"$TEX\" update g.pak ed && rm -r ed",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png"}, {0, 1, -1, 3, 4}},
        {"\"$TEX\" update link.pak new.png=env/sky.png new.png=x/new.bmp",
         {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png", "x/new.bmp"}, {0, 1, 2, 3, -1, -1}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.command);
        const edited e = edit(dir, r.command);
        ASSERT_EQ(e.run.status, 0) << e.run.err;
        ASSERT_EQ(names(e.after), r.names);
        for (std::size_t k = 0; k < r.from.size(); ++k) {
            if (r.from[k] < 0) continue;
            EXPECT_EQ(e.after[k], e.before[static_cast<std::size_t>(r.from[k])]) << "entry " << k;
        }
        EXPECT_EQ(e.files_after, e.files_before) << "a file left beside the archive";
        EXPECT_TRUE(fs::is_symlink(dir / "link.pak")) << "the link was replaced, not followed";
        // Only an archive edited in place keeps its owner and permissions.
        if (std::string(r.command).find(" - ") != std::string::npos) continue;
        EXPECT_EQ(e.is.st_mode, e.was.st_mode);
        EXPECT_EQ(e.is.st_uid, e.was.st_uid);
        EXPECT_EQ(e.is.st_gid, e.was.st_gid);
    }

    // What changed is what was asked: a rename only the name, an image added
    // or put back its pixels, read back by another decoder.
    const edited renamed = edit(dir, "\"$TEX\" rename g.pak ui/a.tga ui/c.tga");
    ASSERT_EQ(renamed.run.status, 0) << renamed.run.err;
    EXPECT_TRUE(std::equal(renamed.after[1].begin() + tex_name_size, renamed.after[1].end(),
                           renamed.before[1].begin() + tex_name_size, renamed.before[1].end()));
    for (const auto& [command, written] : std::map<std::string, std::string>{
             {"\"$TEX\" add g.pak new.png", "new.png"},
             {"\"$TEX\" replace g.pak g.pak new.png=env/sky.png", "env/sky.png"},
             {"\"$TEX\" update -t 4 link.pak new.png=env/sky.png", "env/sky.png"}}) {
        const edited e = edit(dir, command + " && \"$TEX\" extract -q -C out --format png g.pak " + written);
        ASSERT_EQ(e.run.status, 0) << e.run.err;
        EXPECT_EQ(test::read_png(dir / "out" / written).argb, tile(5, 9).argb) << command;
    }
}

TEST(EditCommands, AnEditThatFailsLeavesTheArchiveAsItWas)
{
    test::temp_dir dir;
    struct row {
        const char* command;
        int status;
        const char* said;  // in standard error (or output, for a dry run)
    };
    const std::vector<row> rows = {
        {"\"$TEX\" add -n g.pak new.png", 0, "entry 5: new.png"},
        {"\"$TEX\" delete --dry-run g.pak 'ui/*'", 0, "would be deleted"},
        {"\"$TEX\" add g.pak new.png=ui/b.tga", 1, "g.pak has an entry named ui/b.tga already"},
        {"\"$TEX\" add g.pak new.png missing.png", 1, "missing.png: No such file or directory"},
        {"\"$TEX\" add g.pak new.png=x.txt", 1, "x.txt (the NAME given for new.png): unknown image format"},
        {"\"$TEX\" add g.pak g.pak", 1, "another file than the images"},
        {"\"$TEX\" delete g.pak 'UI/*'", 1, "no entry matches UI/*; with --ignore-case it matches ui/a.tga and 1 more"},
        {"\"$TEX\" delete g.pak index", 1, "no entry matches index but the first entry, which is never deleted"},
        {"\"$TEX\" delete g.pak ui/a.tga nothing", 1, "no entry matches nothing"},
        {"\"$TEX\" rename g.pak ui/a.tga ui/b.tga", 1, "g.pak has an entry named ui/b.tga already"},
        {"\"$TEX\" rename g.pak gone.tga x.tga", 1, "g.pak: no entry named gone.tga"},
        {"\"$TEX\" rename g.pak ui/a.tga ../x.tga", 1, "../x.tga (the NAME given for ui/a.tga): it has a \"..\" component"},
        // A name is a path: one that leads where another does is refused, or
        // held already.
        {"\"$TEX\" rename g.pak ui/a.tga ui//c.tga", 1, "ui//c.tga (the NAME given for ui/a.tga): part 2 of it is empty (store it as ui/c.tga)"},
        {"\"$TEX\" add g.pak new.png=./new.png", 1, "./new.png (the NAME given for new.png): part 1 of it is \".\" (store it as new.png)"},
        {"\"$TEX\" add g.pak new.png=ui/./c.tga", 1, "part 2 of it is \".\" (store it as ui/c.tga)"},
        {"\"$TEX\" add g.pak new.png=ui/c.tga/", 1, "ui/c.tga/ (the NAME given for new.png): "},
        {"\"$TEX\" add g.pak new.png=a.png new.png=./a.png", 1, "part 1 of it is \".\""},
        {"\"$TEX\" replace g.pak g.pak missing.png", 1, "missing.png: No such file or directory"},
        // update: nothing to change leaves the archive untouched, and says
        // so; a dry run says what it would do; a refused image stops it.
        {"\"$TEX\" extract -q -C ed g.pak 'ui/*' && \"$TEX\" update g.pak ed; s=$?; rm -r ed; exit $s", 0,
         "g.pak: every image is what its entry holds already: left as it was"},
        {"\"$TEX\" update -n g.pak new.png=ui/b.tga new.png", 0,
         "entry 2: ui/b.tga                         type 4      5 x 5"},
        {"\"$TEX\" update g.pak new.png missing.png", 1, "missing.png: No such file or directory"},
        // create writes no archive over one, and operands in the wrong order
        // are named as such; both before anything is read.
        {"\"$TEX\" create g.pak new.png", 2, "g.pak: is a TEX archive of 5 entries already: not replaced (add or update"},
        {"\"$TEX\" add new.png g.pak", 2, "new.png is no archive, but g.pak is: the archive comes first"},
        {"\"$TEX\" update new.png g.pak", 2, "new.png is no archive, but g.pak is: the archive comes first"},
        {"\"$TEX\" replace new.png g.pak out.pak", 2, "new.png is no archive, but g.pak is: the archive comes first"},
        {"\"$TEX\" create new.png g.pak", 2, "g.pak is a TEX archive, not an image"},
        // A folder's image is blamed by its path inside the folder.
        {"mkdir -p ed/sub && cp new.png ed/sub/a-name-longer-than-32-bytes.png && \"$TEX\" add g.pak ed; s=$?; rm -r ed; exit $s",
         1, "its path inside the folder, sub/a-name-longer-than-32-bytes.png, is 35 bytes long; an entry's name holds at "
            "most 32 (IMAGE=NAME stores it under another)"},
        // Killed while writing (the file grows past the limit), and a
        // write refused for the same reason.
        {"ulimit -f 8; exec \"$TEX\" delete g.pak ui/b.tga", 128 + SIGXFSZ, ""},
        {"trap '' XFSZ; ulimit -f 8; exec \"$TEX\" add g.pak new.png", 1, "File too large"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.command);
        const edited e = edit(dir, r.command);
        EXPECT_EQ(e.run.status, r.status) << e.run.err;
        EXPECT_NE((e.run.err + e.run.out).find(r.said), std::string::npos) << e.run.err << e.run.out;
        EXPECT_EQ(e.after, e.before);
        EXPECT_EQ(e.files_after, e.files_before);
        EXPECT_EQ(e.is.st_ino, e.was.st_ino) << "the archive was replaced";
        EXPECT_EQ(e.is.st_mode, e.was.st_mode);
    }
}

// Two edits of one archive at once: the second waits for the first's copy to
// be in place, saying so on a terminal, and both changes are kept.
TEST(EditCommands, EditsOfOneArchiveTakeTurns)
{
    test::temp_dir dir;
    test::write_archive(dir, "g.pak", game());
    test::save_png(dir / "new.png", tile(5, 9));
    // The shell holds the lock as an edit in progress would, until Enter.
    const std::string tex = MORVEX_TEX_PATH;
    const test::terminal_session held = test::drive_terminal(
        "/bin/sh", {"-c", "exec 9<g.pak; flock -x 9; \"" + tex + "\" add g.pak new.png & read go; flock -u 9; wait $!; echo \"add: $?\""},
        dir.path(), 100, {{"", "waiting for another edit of it to finish"}, {"\n", "add: 0"}}, 60);
    EXPECT_TRUE(held.finished) << (held.shown.empty() ? "" : held.shown.back());
    EXPECT_EQ(names(stored_entries(dir / "g.pak")),
              (std::vector<std::string>{"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png", "new.png"}));

    // Eight edits started at once: each waits its turn, and none is lost.
    test::write_archive(dir, "g.pak", game());
    std::vector<std::string> want = {"index", "ui/a.tga", "ui/b.tga", "env/bad.tga", "env/sky.png"};
    for (int k = 0; k < 8; ++k) {
        want.push_back("n" + std::to_string(k) + ".png");
        test::save_png(dir / want.back(), tile(16, static_cast<std::uint32_t>(k)));
    }
    const test::run_result all = test::run_program(
        "/bin/sh", {"-c", "for k in 0 1 2 3 4 5 6 7; do \"$TEX\" add g.pak n$k.png & done; s=0; "
                          "for k in 0 1 2 3 4 5 6 7; do wait %$((k + 1)) || s=1; done; exit $s"},
        dir.path(), {"TEX=" + tex});
    EXPECT_EQ(all.status, 0) << all.err;
    std::vector<std::string> got = names(stored_entries(dir / "g.pak"));
    std::sort(got.begin() + std::min<std::ptrdiff_t>(5, static_cast<std::ptrdiff_t>(got.size())), got.end());
    EXPECT_EQ(got, want);
}

// An archive made elsewhere may hold names that are one path ("x.tga" and
// "./x.tga"): extract says which file replaced another, and add takes either
// as held already.
TEST(EditCommands, NamesOfOnePathAreOneFile)
{
    test::temp_dir dir;
    test::write_archive(dir, "f.pak", test::archive_of({tex_type6_entry("x.tga", 2, 2, tile(2, 1).argb),
                                                        tex_type6_entry("./x.tga", 2, 2, tile(2, 2).argb),
                                                        tex_type6_entry("a//b.tga", 2, 2, tile(2, 3).argb)}));
    test::save_png(dir / "new.png", tile(5, 9));
    const test::run_result out = test::run_program(MORVEX_TEX_PATH, {"extract", "-C", "out", "f.pak"}, dir.path());
    EXPECT_EQ(out.status, 0);
    EXPECT_NE(out.err.find("f.pak: entry 2 (./x.tga): its file x.tga replaced entry 1's, written earlier"), std::string::npos)
        << out.err;
    EXPECT_NE(out.out.find("\n2 extracted, 0 failed, 0 skipped, 1 replaced an earlier entry's file\n"), std::string::npos)
        << out.out;
    EXPECT_EQ(test::read_tga(dir / "out" / "x.tga").argb, tile(2, 2).argb);
    for (const char* name : {"a/b.tga", "x.tga"}) {
        const test::run_result add =
            test::run_program(MORVEX_TEX_PATH, {"add", "f.pak", std::string("new.png=") + name}, dir.path());
        EXPECT_EQ(add.status, 1);
        EXPECT_NE(add.err.find(std::string("f.pak has an entry named ") + name + " already"), std::string::npos) << add.err;
    }
}

// Something that takes no lock writes the archive while it is edited: the
// copy is not put in its place, and what was written stays.
TEST(EditCommands, AnArchiveChangedDuringTheEditIsNotReplaced)
{
    test::temp_dir dir;
    test::save_png(dir / "new.png", tile(5, 9));
    const std::string archive = (dir / "g.pak").string();
    for (const char* change : {"append", "replace", "none"}) {
        SCOPED_TRACE(change);
        test::write_archive(dir, "g.pak", game());
        pack_request request;
        request.source = request.output = archive;
        request.images.push_back({(dir / "new.png").string(), "", nullptr});
        pack_result result;
        ASSERT_EQ(pack_add(request, result), 0);
        if (std::string(change) == "append") {
            bytes grown = test::read_file(dir / "g.pak");
            grown.push_back(0);
            test::write_file(dir / "g.pak", grown);
        } else if (std::string(change) == "replace") {
            test::write_archive(dir, "other.pak", game());
            fs::rename(dir / "other.pak", dir / "g.pak");
        }
        const bytes before = test::read_file(dir / "g.pak");
        const int placed = pack_place(result);
        if (std::string(change) == "none") {
            EXPECT_EQ(placed, 0);
            EXPECT_EQ(names(stored_entries(dir / "g.pak")).back(), "new.png");
            continue;
        }
        ASSERT_EQ(placed, -1);
        EXPECT_EQ(result.notes.back().kind, pack_note_kind::archive_changed);
        EXPECT_EQ(test::read_file(dir / "g.pak"), before);
        EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"g.pak", "new.png"})) << "a file left beside it";
    }
}

}  // namespace
