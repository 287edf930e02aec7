// What a hostile archive can make the extractor do, end to end: archives that
// are not regular files, payloads that run over other entries, records that
// point at one entry, images no payload could fill, and no display needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/files.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::run_extractor;
using test::temp_dir;

bool has(const std::string& out, const std::string& text)
{
    return out.find(text) != std::string::npos;
}

std::vector<std::uint32_t> pixels6(unsigned n, std::uint32_t seed)
{
    std::vector<std::uint32_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = 0x80000000u | ((k + seed) * 0x2468ACu);
    return px;
}

std::uint64_t bytes_in(const fs::path& dir)
{
    std::uint64_t total = 0;
    for (const auto& e : fs::directory_iterator(dir)) total += e.is_regular_file() ? e.file_size() : 0;
    return total;
}

// ---------------------------------------------------------------------------
// Archives that are not regular files.

TEST(ArchiveInput, FoldersAndCharacterDevicesCantBeOpened)
{
    temp_dir dir;
    fs::create_directory(dir / "folder.pak");
    for (const std::string path : {"folder.pak", "/dev/zero", "/dev/null"}) {
        const auto r = run_extractor({path}, dir.path());
        EXPECT_EQ(r.status, 255) << path;
        EXPECT_EQ(r.out, test::banner + "can't open " + path + "\n") << path;
        EXPECT_EQ(r.err, "");
    }
}

TEST(ArchiveInput, AFifoIsReadThroughAndWalkedLikeAFile)
{
    temp_dir dir;
    const tex_writer_archive a = test::archive_of({tex_type6_entry("one.tga", 2, 2, pixels6(4, 1))});
    const std::vector<std::uint8_t> bytes = tex_build_archive(a);
    test::write_file(dir / "file.pak", bytes);
    const auto expected = run_extractor({"file.pak", "-no-convert"}, dir.path());
    fs::remove(dir / "one.tga");
    ASSERT_EQ(mkfifo((dir / "fifo.pak").c_str(), 0600), 0);
    std::thread writer([&] { test::write_file(dir / "fifo.pak", bytes); });
    const auto r = run_extractor({"fifo.pak", "-no-convert"}, dir.path());
    writer.join();
    EXPECT_EQ(r.status, 0);
    std::string want = expected.out;
    want.replace(want.find("file.pak"), 8, "fifo.pak");
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(test::read_file(dir / "one.tga"), a.entries[1].payload);
}

TEST(ArchiveInput, AStreamIsReadOnlyUpToTheLimit)
{
    // An archive whose one record names an entry far past the limit: only
    // the limit stops the reading.
    std::vector<std::uint8_t> stream(5000, 0x5A);
    std::copy_n("TEX\3", 4, stream.begin());
    tex_put_le32(stream, 4, 1);
    tex_put_le32(stream, tex_header_size + 4, 268);
    tex_put_le32(stream, tex_header_size + 8, 0xFFFFFF00u);
    for (const std::size_t length : {999u, 1000u, 1001u, 5000u}) {
        temp_dir dir;
        ASSERT_EQ(mkfifo((dir / "f").c_str(), 0600), 0);
        const std::vector<std::uint8_t> bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
        std::thread writer([&] { test::write_file(dir / "f", bytes); });
        tex_archive_file file;
        const int rc = tex_open_archive((dir / "f").c_str(), file, 1000);
        writer.join();
        ASSERT_EQ(rc, 0);
        EXPECT_TRUE(file.read_through);
        EXPECT_EQ(file.size, std::min<std::size_t>(length, 1000));
        EXPECT_EQ(file.cut_at_limit, length > 1000) << length;
        std::vector<std::uint8_t> back(file.size);
        EXPECT_EQ(tex_pread(file.fd, back, 0), file.size);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), stream.begin()));
    }
}

// Writes `head`, then up to `junk` zero bytes, into the FIFO at `path` until
// its reader closes it: how many bytes it took.
std::uint64_t feed_until_closed(const fs::path& path, const std::vector<std::uint8_t>& head, std::uint64_t junk)
{
    // Held back in this thread alone, SIGPIPE leaves the write failing with EPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const std::vector<std::uint8_t> zeros(1 << 16);
    std::uint64_t taken = 0;
    for (ssize_t put = 0; fd >= 0 && taken < head.size() + junk; taken += static_cast<std::uint64_t>(put)) {
        const bool in_head = taken < head.size();
        const auto n = in_head ? head.size() - taken : std::min<std::uint64_t>(zeros.size(), head.size() + junk - taken);
        put = write(fd, in_head ? head.data() + taken : zeros.data(), static_cast<std::size_t>(n));
        if (put <= 0) break;
    }
    if (fd >= 0) close(fd);
    const timespec now{};
    sigtimedwait(&pipe_signal, nullptr, &now);
    return taken;
}

TEST(ArchiveInput, AStreamIsReadNoFurtherThanAReaderLooks)
{
    // Entries 1 and 2, then a record back at entry 1: the archive's bytes end
    // with entry 2, before the last record's entry does.
    const tex_writer_entry one = tex_type6_entry("one.tga", 2, 2, pixels6(4, 1));
    tex_writer_archive a = test::archive_of({one, tex_type6_entry("two.tga", 3, 3, pixels6(9, 2)), one});
    a.entries[3].offset = tex_le32(tex_build_archive(a), tex_header_size + tex_table_entry_size + 4);
    a.entries[3].write_body = false;
    const std::vector<std::uint8_t> archive = tex_build_archive(a), not_one = {'X', 'X', 'X', 'X'}, nothing(4, 0);
    struct fed {
        const std::vector<std::uint8_t>& head;
        bool extractor;  // else morvex_tex list, standard input the stream
    };
    for (const fed& c : {fed{not_one, false}, fed{nothing, true}, fed{archive, false}, fed{archive, true}}) {
        SCOPED_TRACE((c.extractor ? "extractor, " : "list, ") + std::to_string(c.head.size()) + " bytes");
        temp_dir dir;
        fs::create_directory(dir / "file");
        fs::create_directory(dir / "fifo");
        std::vector<std::uint8_t> in_file = c.head;
        in_file.resize(in_file.size() + 4096);
        test::write_file(dir / "file/a.pak", in_file);
        ASSERT_EQ(mkfifo((dir / "fifo/a.pak").c_str(), 0600), 0);
        const std::vector<std::string> env = {"TMPDIR=" + dir.path().string()};
        const std::string tex = MORVEX_TEX_PATH;
        const auto run = [&](const std::string& folder) {
            if (c.extractor) return test::run_program(MORVEX_EXTRACTOR_PATH, {"a.pak", "-no-convert"}, dir / folder, env);
            if (folder == "file") return test::run_program(tex, {"list", "a.pak"}, dir / folder, env);
            return test::run_program("/bin/sh", {"-c", "exec '" + tex + "' list - < a.pak"}, dir / folder, env);
        };
        auto from_file = run("file");
        if (const std::size_t at = from_file.err.find(": a.pak: "); at != std::string::npos) from_file.err.replace(at, 9, ": -: ");
        // 256 MiB of junk: a stream read whole takes it all, one left alone
        // no more than the pipe's buffer and a read's worth.
        std::uint64_t taken = 0;
        std::thread writer([&] { taken = feed_until_closed(dir / "fifo/a.pak", c.head, 256u << 20); });
        const auto from_fifo = run("fifo");
        writer.join();
        EXPECT_LE(taken, c.head.size() + (2u << 20));
        EXPECT_EQ(from_fifo.status, from_file.status);
        EXPECT_EQ(from_fifo.out, from_file.out);
        EXPECT_EQ(from_fifo.err, from_file.err);
        EXPECT_EQ(test::list_dir(dir / "fifo"), test::list_dir(dir / "file"));
    }
}

// ---------------------------------------------------------------------------
// Payloads over other entries, and records that share an entry.

TEST(Overlap, PayloadsOverLaterHeadersAreExtractedWithinTheArchivesSize)
{
    // Every entry's payload runs to the end of the archive, over the headers
    // of all the entries after it: written as they say, the outputs would
    // grow with the square of the archive. They are written while the bytes
    // they take stay within the archive's size in all, then refused.
    std::vector<tex_writer_entry> entries;
    for (unsigned k = 0; k < 40; ++k) entries.push_back(tex_type6_entry("e" + std::to_string(k) + ".tga", 1, 1, pixels6(1, k)));
    tex_writer_archive a = test::archive_of(entries);
    std::vector<std::uint8_t> bytes = tex_build_archive(a);
    for (std::size_t i = 1; i < a.entries.size(); ++i) {
        const std::size_t record = tex_header_size + i * tex_table_entry_size;
        const std::uint32_t payload_at = tex_le32(bytes, record + 4) + tex_entry_header_size;
        tex_put_le32(bytes, record + 8, static_cast<std::uint32_t>(bytes.size() - payload_at));
    }
    for (const char* mode : {"", "-no-convert"}) {
        temp_dir dir;
        test::write_file(dir / "o.pak", bytes);
        std::vector<std::string> args{"o.pak"};
        if (*mode) args.push_back(mode);
        const auto r = run_extractor(args, dir.path());
        EXPECT_EQ(r.status, 0);
        std::uint64_t taken = 0;
        unsigned written = 0;
        for (unsigned k = 0; k + 1 < 40; ++k) {
            const std::size_t record = tex_header_size + (k + 1) * tex_table_entry_size;
            const std::uint32_t size = tex_le32(bytes, record + 8);
            const std::uint32_t next = tex_le32(bytes, record + tex_table_entry_size + 4);
            char refused[160];
            std::snprintf(refused, sizeof refused,
                          "ERROR : payload of e%u.tga runs over the header of entry %u (offset 0x%08X)\n"
                          "ERROR : extraction of e%u.tga was impossible\n",
                          k, k + 2, next, k);
            const bool fits = taken + size <= bytes.size();
            const std::string ok = "extraction of e" + std::to_string(k) + ".tga ok\n";
            EXPECT_TRUE(has(r.out, fits ? ok : std::string(refused))) << k << "\n" << r.out.substr(0, 3000);
            if (fits) {
                taken += size;
                ++written;
            }
        }
        EXPECT_TRUE(has(r.out, "extraction of e0.tga ok\n"));  // the damaged archive's bytes are had
        EXPECT_GE(written, 2u);
        EXPECT_TRUE(has(r.out, "extraction of e39.tga ok\n"));
        // The bound the manual states: in raw mode no more than twice the archive.
        EXPECT_LE(bytes_in(dir.path()) - bytes.size(), *mode ? 2 * bytes.size() : 40 * (18 + 4 + 26));
    }
}

TEST(Overlap, RecordsOfOneEntryRepeatItsOutcomeWithoutDoingItAgain)
{
    const std::vector<std::uint32_t> a_px = pixels6(4, 1), b_px = pixels6(4, 2);
    tex_writer_entry a = tex_type6_entry("x.tga", 2, 2, a_px);
    tex_writer_entry b = tex_type6_entry("x.tga", 2, 2, b_px);
    // A type-4 entry inflating to 2 bytes more than its pixels: lines of its own.
    std::vector<std::uint16_t> m_px(6, 0xF123);
    tex_writer_entry m = tex_type4_entry("m.tga", 2, 2, m_px);
    // Records 4 and 5 point at A and M again; record 6 at A with another size.
    tex_writer_entry again_a = a, again_m = m, other_a = a;
    for (tex_writer_entry* e : {&again_a, &again_m, &other_a}) {
        e->write_body = false;
        e->offset = 0;
    }
    other_a.table_size = 12;
    tex_writer_archive arch = test::archive_of({a, b, m, again_a, again_m, other_a});
    const std::vector<std::uint8_t> laid_out = tex_build_archive(arch);
    const auto offset_of = [&](std::size_t i) { return tex_le32(laid_out, tex_header_size + i * tex_table_entry_size + 4); };
    arch.entries[4].offset = arch.entries[6].offset = offset_of(1);
    arch.entries[5].offset = offset_of(3);
    const std::vector<std::uint8_t> grown = tex_build_archive(arch);
    temp_dir dir;
    test::write_file(dir / "r.pak", grown);
    const auto r = run_extractor({"r.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    const auto after_block = [&](unsigned i) {
        const std::size_t at = r.out.find("\nfile " + std::to_string(i) + " @");
        const std::size_t from = r.out.find("(skip 39 bytes of padding)\n", at) + 27;
        const std::size_t to = r.out.find("\nfile ", from);
        return r.out.substr(from, to == std::string::npos ? std::string::npos : to - from);
    };
    EXPECT_EQ(after_block(1), "extraction of x.tga ok\n");
    EXPECT_EQ(after_block(4), after_block(1));
    EXPECT_TRUE(has(after_block(3), "        12     != 2 * 2 * 2 (8)\nextraction of m.tga ok\n")) << r.out;
    EXPECT_EQ(after_block(5), after_block(3));
    EXPECT_EQ(after_block(6), "ERROR : 2 compressed sizes not the same\n"
                              "ERROR : entry 6 points at the header of entry 1 with another payload size (12 bytes, not 16)\n"
                              "ERROR : extraction of x.tga was impossible\n");
    // Record 4 did no work: x.tga is still B, the entry placed after A's first record.
    const test::rgba_image x = test::read_tga(dir / "x.tga");
    EXPECT_EQ(x.argb, b_px);
}

TEST(Overlap, AnImageNoPayloadCouldFillIsRefusedBeforeAnyWork)
{
    temp_dir dir;
    tex_writer_entry huge = tex_type4_entry("huge.tga", 16384, 16384, {});
    huge.payload = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};  // an empty stream
    tex_writer_entry fits = tex_type4_entry("fits.tga", 40, 13, {});
    fits.payload = huge.payload;  // 1040 bytes of pixels: 8 * 1032 + 1024 could hold them
    test::write_file(dir / "h.pak", tex_build_archive(test::archive_of({huge, fits})));
    const auto r = run_extractor({"h.pak"}, dir.path());
    EXPECT_TRUE(has(r.out, "ERROR : payload of huge.tga holds 8 bytes, too few to inflate to 16384 * 16384 * 2 "
                           "(536870912)\nERROR : extraction of huge.tga was impossible\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "        0     != 40 * 13 * 2 (1040)\nextraction of fits.tga ok\n"));
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"fits.tga", "h.pak"}));
}

// Every payload after the first runs to the end of the archive, over the
// headers of all the entries after it.
std::vector<std::uint8_t> overlapping(const tex_writer_archive& a, std::size_t from = 1)
{
    std::vector<std::uint8_t> bytes = tex_build_archive(a);
    for (std::size_t i = from; i < a.entries.size(); ++i) {
        const std::size_t record = tex_header_size + i * tex_table_entry_size;
        const std::uint32_t payload_at = tex_le32(bytes, record + 4) + tex_entry_header_size;
        tex_put_le32(bytes, record + 8, static_cast<std::uint32_t>(bytes.size() - payload_at));
    }
    return bytes;
}

std::size_t count_of(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(Overlap, WhatAnyWalkDecodesGrowsOnlyWithTheArchive)
{
#if defined(MORVEX_TEX_PATH)
    const auto tex = [](const std::vector<std::string>& args, const fs::path& cwd) {
        return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=2"});
    };
    // Overlapping entries under names the extractor refuses are still shown
    // on a page, and paid for: as many thumbnails as under image names.
    const auto thumbnails = [&](const std::string& suffix) {
        std::vector<tex_writer_entry> entries;
        for (unsigned k = 0; k < 40; ++k) {
            entries.push_back(tex_type6_entry("e" + std::to_string(k) + suffix, 1, 1, pixels6(1, k)));
        }
        temp_dir dir;
        test::write_file(dir / "o.pak", overlapping(test::archive_of(entries)));
        const auto r = tex({"gallery", "-o", "-", "o.pak"}, dir.path());
        EXPECT_EQ(r.status, 1) << suffix;
        return count_of(r.out, "src=\"data:image/");
    };
    const std::size_t shown = thumbnails(".tga");
    EXPECT_GE(shown, 2u);
    EXPECT_LT(shown, 40u);
    for (const std::string suffix : {"", ".txt", "\x01.tga", "/../x.tga"}) {
        EXPECT_EQ(thumbnails(suffix), shown) << "name ending in " << suffix.size() << " bytes";
    }

    // Type-4 streams that share bytes inflate, all together, no more than the
    // archive could if none were shared: 1032 bytes per byte of the archive.
    // Entry 1 stands alone, entry 2 runs over entry 3; each could inflate
    // about 1032 times its payload, the largest images' 512 MiB of pixels
    // included (their streams are damaged, so no test really inflates).
    struct budget_case {
        const char* what;
        tex_writer_archive archive;
        bool shared;
        std::vector<unsigned> refused;  // entries refused for the budget
    };
    const auto garbage = [](const std::string& name) {
        tex_writer_entry e = tex_type4_entry(name, 16384, 16384, {});
        e.payload.assign(600000, 0xFF);
        return e;
    };
    std::vector<budget_case> cases;
    cases.push_back({"shared", test::archive_of({garbage("a.tga"), garbage("b.tga"), garbage("c.tga")}), true, {3}});
    cases.push_back({"apart", test::archive_of({garbage("a.tga"), garbage("b.tga"), garbage("c.tga")}), false, {}});
    // Solid textures deflate almost as far as deflate goes: a sound archive
    // of them is never short of budget.
    std::vector<tex_writer_entry> solid;
    for (unsigned k = 0; k < 6; ++k) {
        solid.push_back(tex_type4_entry("s" + std::to_string(k) + ".tga", 1024, 1024,
                                        std::vector<std::uint16_t>(1024 * 1024, 0xF0F0), 9));
    }
    cases.push_back({"solid", test::archive_of(solid), false, {}});
    for (const budget_case& c : cases) {
        temp_dir dir;
        test::write_file(dir / "b.pak", c.shared ? overlapping(c.archive, 2) : tex_build_archive(c.archive));
        const auto r = tex({"test", "b.pak"}, dir.path());
        std::vector<unsigned> refused;
        for (unsigned i = 1; i < c.archive.entries.size(); ++i) {
            const std::string& name = c.archive.entries[i].name;
            if (has(r.out, "entry " + std::to_string(i) + " (" + name + "): its pixels need")) refused.push_back(i);
        }
        EXPECT_EQ(refused, c.refused) << c.what << "\n" << r.out;
        // The extractor's report says the same.
        const auto x = run_extractor({"b.pak"}, dir.path());
        EXPECT_EQ(count_of(x.out, "would inflate to more than the archive's size allows"), c.refused.size()) << c.what;
    }
#else
    GTEST_SKIP() << "morvex_tex is not built";
#endif
}

// ---------------------------------------------------------------------------
// No display is ever needed: a display that never answers changes nothing.

TEST(NoDisplay, AnUnansweringDisplayDoesntHoldTheRun)
{
    // A listener that accepts connections and never says a word.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int display = -1;
    for (int n = 40; n < 100 && display < 0; ++n) {
        addr.sin_port = htons(static_cast<std::uint16_t>(6000 + n));
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) display = n;
    }
    ASSERT_GE(display, 0);
    ASSERT_EQ(listen(s, 8), 0);
    temp_dir dir;
    test::write_archive(dir, "d.pak", test::archive_of({tex_type6_entry("p.png", 1, 1, pixels6(1, 3)),
                                                  tex_type6_entry("b.bmp", 1, 1, pixels6(1, 4))}));
    for (const char* mode : {"", "-no-convert"}) {
        std::vector<std::string> args{"d.pak"};
        if (*mode) args.push_back(mode);
        const auto r = test::run_program(MORVEX_EXTRACTOR_PATH, args, dir.path(),
                                         {"DISPLAY=127.0.0.1:" + std::to_string(display)});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r.out, "extraction of b.bmp ok\n")) << r.out;
    }
    close(s);
}

}  // namespace
