// morvex_tex gallery end to end: where the page goes, exit statuses, a card
// for every entry with the problems `test` finds in its words, thumbnails
// that decode to the entry's colours, and a page that grows only linearly.
// (The page in a real browser: tests/browser/.)
#include <gtest/gtest.h>

#if defined(MORVEX_TEX_PATH)

#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <webp/decode.h>

#include "app/gallery_page.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

test::run_result tex(const std::vector<std::string>& args, const fs::path& cwd)
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=2"});
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string read_text(const fs::path& path)
{
    const std::vector<std::uint8_t> bytes = test::read_file(path);
    return {bytes.begin(), bytes.end()};
}

tex_writer_archive textures()
{
    return test::archive_of({tex_type6_entry("sky.tga", 8, 4, std::vector<std::uint32_t>(32, 0xFF3366CCu)),
                             tex_type4_entry("ui/button.png", 4, 4, std::vector<std::uint16_t>(16, 0xF0F0u)),
                             tex_type6_entry("clear.tga", 2, 2, std::vector<std::uint32_t>(4, 0x00000000u))});
}

TEST(TexGallery, WhereThePageGoesAndTheExitStatus)
{
    temp_dir dir;
    test::write_archive(dir, "game.PAK", textures());
    tex_writer_archive damaged = textures();
    damaged.entries[2].payload.back() ^= 1;
    test::write_archive(dir, "bad.pak", damaged);
    fs::create_directory(dir / "pages");

    EXPECT_EQ(tex({"gallery", "game.PAK"}, dir.path()).status, 0);
    EXPECT_TRUE(fs::exists(dir / "game.html"));
    EXPECT_EQ(tex({"gallery", "-o", "pages/one.html", "game.PAK"}, dir.path()).status, 0);
    EXPECT_EQ(read_text(dir / "pages/one.html"), read_text(dir / "game.html"));
    const auto to_stdout = tex({"gallery", "-o", "-", "game.PAK"}, dir.path());
    EXPECT_EQ(to_stdout.out, read_text(dir / "game.html"));
    // Several archives: a page each, beside each other; a problem shown: 1.
    EXPECT_EQ(tex({"gallery", "game.PAK", "bad.pak"}, dir.path()).status, 1);
    EXPECT_TRUE(fs::exists(dir / "bad.html"));
    struct usage {
        std::vector<std::string> args;
        int status;
    };
    for (const usage& u : std::vector<usage>{{{"gallery"}, 2},
                                             {{"gallery", "-o", "x.html", "game.PAK", "bad.pak"}, 2},
                                             {{"gallery", "--size", "0", "game.PAK"}, 2},
                                             {{"gallery", "--size", "1025", "game.PAK"}, 2},
                                             {{"gallery", "missing.pak"}, 2},
                                             {{"gallery", "--bogus", "game.PAK"}, 2}}) {
        EXPECT_EQ(tex(u.args, dir.path()).status, u.status) << u.args.back();
    }
    // An existing page is replaced in one step; nothing else is left.
    EXPECT_EQ(tex({"gallery", "game.PAK"}, dir.path()).status, 0);
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"bad.html", "bad.pak", "game.PAK", "game.html", "pages"}));
}

TEST(TexGallery, ThePageFollowsThePolicyOfEveryNamedOutput)
{
    temp_dir dir;
    const fs::path game = test::write_archive(dir, "game.pak", textures());
    const std::vector<std::uint8_t> archive = test::read_file(game);
    ASSERT_EQ(link(game.c_str(), (dir / "other-name.html").c_str()), 0);
    // A device of our own, with the null device's numbers; a FIFO read as the page is written.
    const bool have_device = mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    test::write_file(dir / "notes.txt", {'m', 'i', 'n', 'e'});
    test::write_file(dir / "old.html", {'<', 'h', 't', 'm', 'l', '>'});
    struct page_case {
        std::vector<std::string> args;
        int status;
        const char* said;  // on standard error; "" for nothing
    };
    const std::vector<page_case> cases = {
        {{"-o", "game.pak", "game.pak"}, 2, "game.pak: is one of the archives read: not written over"},
        {{"-f", "-o", "game.pak", "game.pak"}, 2, "is one of the archives read"},
        {{"-o", "other-name.html", "game.pak"}, 2, "is one of the archives read"},
        {{"-o", "notes.txt", "game.pak"}, 2, "notes.txt: exists and is not an HTML page: not replaced (--force replaces it)"},
        {{"-o", "shot.png", "game.pak"}, 2, "shot.png: named like an image"},
        {{"-o", "old.html", "game.pak"}, 0, "wrote old.html (4 entries, no problems)"},
        {{"--force", "-o", "notes.txt", "game.pak"}, 0, "wrote notes.txt"},
        {{"-o", "fifo", "game.pak"}, 0, "wrote fifo"},
        {{"-o", "null", "game.pak"}, 0, "wrote null"},
    };
    for (const page_case& c : cases) {
        if (c.args[c.args.size() - 2] == "null" && !have_device) continue;
        // The FIFO is held open for writing here too, so that its reader
        // sees the end even if the program never opens it.
        std::string through_fifo;
        std::thread reader;
        int held = -1;
        if (c.args[c.args.size() - 2] == "fifo") {
            held = open((dir / "fifo").c_str(), O_RDWR | O_CLOEXEC);
            reader = std::thread([&] {
                const std::vector<std::uint8_t> got = test::read_file(dir / "fifo");
                through_fifo.assign(got.begin(), got.end());
            });
        }
        std::vector<std::string> args = {"gallery"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = tex(args, dir.path());
        if (held >= 0) close(held);
        const bool reader_used = reader.joinable();
        if (reader_used) reader.join();
        EXPECT_EQ(r.status, c.status) << c.args[c.args.size() - 2] << "\n" << r.err;
        EXPECT_TRUE(*c.said ? has(r.err, c.said) : r.err.empty()) << r.err;
        if (reader_used) {
            EXPECT_TRUE(has(through_fifo, "</html>"));
        }
    }
    EXPECT_EQ(test::read_file(game), archive);
    EXPECT_TRUE(has(read_text(dir / "notes.txt"), "</html>"));
    EXPECT_TRUE(has(read_text(dir / "old.html"), "</html>"));
    struct stat st {};
    EXPECT_TRUE(stat((dir / "fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(!have_device || (stat((dir / "null").c_str(), &st) == 0 && S_ISCHR(st.st_mode)));
}

TEST(TexGallery, EachCardsCommandTakesJustItsEntry)
{
    // Names a shell or a pattern would read otherwise, and names the page
    // shows with \xNN: the command copied from the card must still give the
    // shell the stored bytes and take that entry alone.
    const std::vector<std::string> names = {
        "q'uote.tga", "st*r.tga", "stXr.tga", "a\xE2\x80\xAE" "gpj.tga", "\xFF\xFE.tga", "c\x01.tga", "back\\slash.tga", "dir/",
    };
    std::vector<tex_writer_entry> entries;
    for (const std::string& n : names) entries.push_back(tex_type6_entry(n, 1, 1, std::vector<std::uint32_t>(1, 0xFF123456u)));
    const std::vector<std::uint8_t> archive = tex_build_archive(test::archive_of(entries));
    for (const std::string archive_name : {"plain.pak", "-dash.pak"}) {
        temp_dir dir;
        test::write_file(dir / archive_name, archive);
        const auto page = tex({"gallery", "-o", "-", "--", archive_name}, dir.path());
        std::vector<std::string> commands;
        for (std::size_t at = page.out.find("<code>"); at != std::string::npos; at = page.out.find("<code>", at + 1)) {
            std::string c = page.out.substr(at + 6, page.out.find("</code>", at) - at - 6);
            for (const auto& [entity, text] : std::vector<std::pair<std::string, std::string>>{
                     {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}}) {
                for (std::size_t e = c.find(entity); e != std::string::npos; e = c.find(entity, e + 1)) c.replace(e, entity.size(), text);
            }
            commands.push_back(c);
        }
        // Each card's command, then the same as a PNG beneath the archive's folder.
        ASSERT_EQ(commands.size(), 2 * names.size()) << page.out;
        fs::create_directory(dir / "bin");
        fs::create_symlink(MORVEX_TEX_PATH, dir / "bin" / "morvex_tex");
        const std::string folder = archive_name == "plain.pak" ? "plain" : "-dash";
        for (std::size_t k = 0; k < commands.size(); ++k) {
            const std::string& name = names[k / 2];
            const bool png = k % 2 == 1;
            EXPECT_EQ(commands[k].find("--format png") != std::string::npos, png) << commands[k];
            const fs::path run = dir / ("run" + std::to_string(k));
            fs::create_directory(run);
            fs::copy_file(dir / archive_name, run / archive_name);
            const auto r = test::run_program("/bin/bash", {"-c", "PATH=\"$PWD/../bin:$PATH\"; " + commands[k]}, run);
            EXPECT_FALSE(has(r.err, "no entry matches")) << commands[k] << "\n" << r.err;
            std::vector<std::string> made = test::list_dir(run);
            made.erase(std::find(made.begin(), made.end(), archive_name));
            if (r.status == 0) {
                if (png) {
                    EXPECT_EQ(made, std::vector<std::string>{folder}) << commands[k];
                    const std::string png_name = name.substr(0, name.rfind('.')) + ".png";
                    EXPECT_TRUE(fs::is_regular_file(run / folder / png_name)) << commands[k];
                    EXPECT_EQ(test::list_dir(run / folder), std::vector<std::string>{png_name.substr(0, png_name.find('/'))})
                        << commands[k];
                } else {
                    EXPECT_EQ(made, std::vector<std::string>{name}) << commands[k];
                }
            } else {
                // Refused names: the error is about that entry alone.
                EXPECT_TRUE(made.empty() || (png && made == std::vector<std::string>{folder})) << commands[k];
                EXPECT_TRUE(has(r.err, "entry " + std::to_string(k / 2 + 1) + " (")) << commands[k] << "\n" << r.err;
                EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            }
        }
    }
}

TEST(TexGallery, SaysWhatItWroteAndMakesThePagesFolder)
{
    temp_dir dir;
    test::write_archive(dir, "game.PAK", textures());
    tex_writer_archive damaged = textures();
    damaged.entries[2].payload.back() ^= 1;
    test::write_archive(dir, "bad.pak", damaged);
    test::write_file(dir / "file.txt", {'x'});
    struct said_case {
        std::vector<std::string> args;
        int status;
        std::string err;                // standard error, whole
        std::vector<std::string> made;  // pages that must be there afterwards
    };
    const std::vector<said_case> cases = {
        {{"game.PAK"}, 0, "wrote game.html (4 entries, no problems)\n", {"game.html"}},
        {{"bad.pak"}, 1, "wrote bad.html (4 entries, 1 problem)\n", {"bad.html"}},
        {{"game.PAK", "bad.pak"}, 1, "wrote game.html (4 entries, no problems)\nwrote bad.html (4 entries, 1 problem)\n", {}},
        {{"-q", "game.PAK", "bad.pak"}, 1, "", {"game.html", "bad.html"}},
        {{"--quiet", "-o", "q.html", "game.PAK"}, 0, "", {"q.html"}},
        {{"-o", "-", "game.PAK"}, 0, "wrote the page to standard output (4 entries, no problems)\n", {}},
        // Missing folders made, as extract -C makes them.
        {{"-o", "new/deeper/p.html", "game.PAK"}, 0, "wrote new/deeper/p.html (4 entries, no problems)\n",
         {"new/deeper/p.html"}},
        {{"-q", "-o", "new/other.html", "bad.pak"}, 1, "", {"new/other.html", "new/deeper/p.html"}},
        {{"-o", "file.txt/p.html", "game.PAK"}, 1, "morvex_tex: file.txt/p.html: Not a directory\n", {}},
        {{"-o", "more/shot.png", "game.PAK"}, 2,
         "morvex_tex: more/shot.png: named like an image: no page is written there (--force writes it)\n", {}},
    };
    for (const said_case& c : cases) {
        std::vector<std::string> args = {"gallery"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = tex(args, dir.path());
        EXPECT_EQ(r.status, c.status) << c.args.back() << "\n" << r.err;
        EXPECT_EQ(r.err, c.err) << c.args.front();
        for (const std::string& page : c.made) EXPECT_TRUE(has(read_text(dir / page), "</html>")) << page;
    }
    EXPECT_FALSE(fs::exists(dir / "more"));  // a refused name makes no folder either
}

TEST(TexGallery, CardsSayWhatTestSays)
{
    temp_dir dir;
    tex_writer_archive a = textures();
    a.entries[1].padding[2] = 7;
    a.entries.push_back(tex_type4_entry("broken.tga", 4, 4, std::vector<std::uint16_t>(16, 0x1234)));
    a.entries.back().payload.back() ^= 1;
    a.entries.push_back(tex_type6_entry("notes.txt", 1, 1, std::vector<std::uint32_t>(1, 0xFF00FF00u)));
    test::write_archive(dir, "a.pak", a);
    const auto r = tex({"gallery", "-o", "-", "a.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    const std::string& page = r.out;
    // A card for every entry, the first one marked.
    for (unsigned i = 0; i < 6; ++i) EXPECT_TRUE(has(page, "id=\"entry-" + std::to_string(i) + "\"")) << i;
    EXPECT_TRUE(has(page, "the archive's first entry, never extracted"));
    // Each problem `test` finds, in the same words, on its entry's card.
    const auto tested = tex({"test", "a.pak"}, dir.path());
    const std::regex line("entry ([0-9]+) \\(([^)]*)\\): (.*)");
    std::size_t problems = 0;
    for (std::sregex_iterator it(tested.out.begin(), tested.out.end(), line), end; it != end; ++it, ++problems) {
        const std::string card_start = "id=\"entry-" + (*it)[1].str() + "\"";
        const std::size_t from = page.find(card_start);
        const std::size_t to = page.find("</article>", from);
        ASSERT_NE(from, std::string::npos);
        EXPECT_TRUE(has(page.substr(from, to - from), gallery_html_text((*it)[3].str()))) << (*it)[3].str();
    }
    EXPECT_EQ(problems, 3u) << tested.out;
    EXPECT_TRUE(has(page, "<span id=\"problem-count\" class=\"bad\">3 problems</span>")) << page.substr(0, 2000);
    // A card whose pixels can't be decoded says so instead of a thumbnail,
    // its problem once; one whose name can't be written still shows its pixels.
    const std::size_t broken = page.find("id=\"entry-4\"");
    const std::string broken_card = page.substr(broken, page.find("</article>", broken) - broken);
    EXPECT_TRUE(has(broken_card, "<p class=\"none\">not decoded</p>")) << broken_card;
    std::size_t times = 0;
    for (std::size_t at = broken_card.find("damaged zlib stream"); at != std::string::npos;
         at = broken_card.find("damaged zlib stream", at + 1)) {
        ++times;
    }
    EXPECT_EQ(times, 1u) << broken_card;
    const std::size_t notes = page.find("id=\"entry-5\"");
    EXPECT_TRUE(has(page.substr(notes, page.find("</article>", notes) - notes), "data:image/"));
    // The commands that extract just that entry, as it is and as a PNG.
    EXPECT_TRUE(has(page, "morvex_tex extract &#39;a.pak&#39; -i &#39;ui/button.png&#39;")) << page.substr(0, 200);
    EXPECT_TRUE(has(page, "morvex_tex extract -C &#39;a&#39; --format png &#39;a.pak&#39; -i &#39;ui/button.png&#39;"));
}

std::vector<std::uint8_t> from_base64(const std::string& text)
{
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int held = 0;
    for (const char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<std::uint32_t>(digits.find(c));
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    return out;
}

TEST(TexGallery, ThumbnailsHoldTheEntrysColours)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", textures());
    const auto r = tex({"gallery", "-o", "-", "a.pak"}, dir.path());
    ASSERT_EQ(r.status, 0);
    // Solid colours: lossless thumbnails of exactly the entry's pixels,
    // decoded here by libwebp's decoder.
    const std::uint32_t want[] = {0xFF3366CCu, 0xFF00FF00u /* 0xF0F0 widened */, 0x00000000u};
    std::size_t k = 0;
    const std::regex uri("data:image/webp;base64,([A-Za-z0-9+/=]+)");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), uri), end; it != end; ++it, ++k) {
        const std::vector<std::uint8_t> file = from_base64((*it)[1]);
        int w = 0, h = 0;
        std::uint8_t* bgra = WebPDecodeBGRA(file.data(), file.size(), &w, &h);
        ASSERT_NE(bgra, nullptr) << k;
        for (int p = 0; p < w * h && k < 3; ++p) {
            std::uint32_t px = 0;
            std::memcpy(&px, bgra + 4 * p, 4);
            if (want[k] == 0) px &= 0xFF000000u;  // a clear pixel's colour is anyone's
            EXPECT_EQ(px, want[k]) << "entry " << k + 1;
        }
        WebPFree(bgra);
    }
    EXPECT_EQ(k, 3u);
    EXPECT_TRUE(has(r.out, "has transparent pixels") && has(r.out, "opaque"));
}

TEST(TexGallery, AHostileArchivesPageGrowsOnlyWithItsEntries)
{
    temp_dir dir;
    // Many records of one damaged entry under a hostile name, and one huge
    // image its payload can't fill.
    tex_writer_entry odd = tex_type6_entry("<script>x</script>\x1b[2J&\"'.tga", 4, 4, std::vector<std::uint32_t>(16, 1));
    tex_writer_archive a = test::archive_of({odd});
    for (int k = 0; k < 300; ++k) {
        tex_writer_entry again = odd;
        again.write_body = false;
        again.offset = static_cast<std::uint32_t>(tex_header_size + 302 * tex_table_entry_size);
        a.entries.push_back(again);
    }
    test::write_archive(dir, "h.pak", a);
    const auto r = tex({"gallery", "-o", "-", "h.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.out.size(), 64 * 1024 + 302 * gallery_card_max_bytes(128));
    EXPECT_LT(r.out.size() / 302, 4096u) << "bytes a card";
    EXPECT_FALSE(has(r.out, "<script>x")) << "a name became markup";
    EXPECT_FALSE(has(r.out, "\x1b"));
}

}  // namespace

#endif
