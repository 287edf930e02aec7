// End-to-end: damaged and hostile archives. Every problem is one "ERROR : " line,
// the walk goes on, the exit status stays 0, memory stays bounded and nothing is
// written outside the current folder, nor anything for an entry that failed.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::run_extractor;
using test::temp_dir;

std::vector<std::uint16_t> pixels4(unsigned n)
{
    std::vector<std::uint16_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = static_cast<std::uint16_t>(0xF000u | (k * 0x1357u));
    return px;
}

std::vector<std::uint32_t> pixels6(unsigned n)
{
    std::vector<std::uint32_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = 0x80000000u | (k * 0x2468ACu);
    return px;
}

std::uint32_t widened(std::uint16_t p)
{
    std::uint32_t out = 0;
    for (unsigned shift = 0; shift < 16; shift += 4) out |= ((p >> shift) & 15u) * 17u << (shift * 2);
    return out;
}

std::vector<std::uint8_t> zlib_of(const std::vector<std::uint8_t>& raw)
{
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> out(len);
    if (compress(out.data(), &len, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) return {};
    out.resize(len);
    return out;
}

bool has(const std::string& out, const std::string& text)
{
    return out.find(text) != std::string::npos;
}

std::string progress(unsigned count)
{
    const unsigned dots = count == 0 ? 0 : 67 * (count - 1) / count;
    return "progress : " + std::string(dots, '.') + "ok\n";
}

// An archive of an index entry and `entries`, written as bytes (so tests can cut it).
std::vector<std::uint8_t> archive_of(std::vector<tex_writer_entry> entries)
{
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    for (auto& e : entries) a.entries.push_back(std::move(e));
    return tex_build_archive(a);
}

// ---------------------------------------------------------------------------
// Archive too short, header and table cut short.

TEST(CutShortArchive, FewerThanFourBytesIsReportedAndRefused)
{
    const std::vector<std::vector<std::uint8_t>> cases = {{}, {'T'}, {'T', 'E'}, {'T', 'E', 'X'}};
    for (const auto& bytes : cases) {
        temp_dir dir;
        test::write_file(dir / "s.pak", bytes);
        const auto r = run_extractor({"s.pak"}, dir.path());
        EXPECT_EQ(r.status, 0);
        // "TEX" alone has a missing version, counted as 0: still no archive we decode.
        EXPECT_TRUE(has(r.out, "version   : 0\n\nERROR : the archive holds only " + std::to_string(bytes.size()) +
                                   " bytes, fewer than its 4-byte signature and version\n"
                                   "don't know how to decode (signature and/or version not suported\n"))
            << r.out;
        EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"s.pak"});
    }
}

TEST(CutShortArchive, HeaderCutShortCountsMissingBytesAsZero)
{
    temp_dir dir;
    std::vector<std::uint8_t> bytes = archive_of({});
    bytes.resize(6);  // the file count's two low bytes only: 2, 0 and then nothing
    test::write_file(dir / "h.pak", bytes);
    const auto r = run_extractor({"h.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "decoding as TEX\nERROR : header cut short: the archive holds 6 of its 256 bytes\n"
                           "nb files : 0x00000001 = 1\nunknown  : 0x00000000 = 0\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "ERROR : table of 1 entries needs 12 bytes, the archive holds 0 after its header: "
                           "only 0 entries are read\n"));
    EXPECT_EQ(r.err, progress(0));
}

TEST(CutShortArchive, HugeFileCountWalksOnlyTheRecordsPresent)
{
    temp_dir dir;
    tex_writer_archive a;
    a.file_count = 0xFFFFFFFFu;
    a.entries.push_back(tex_placeholder_entry("index"));
    a.entries.push_back(tex_type6_entry("one.tga", 2, 2, pixels6(4)));
    std::vector<std::uint8_t> bytes = tex_build_archive(a);
    bytes.resize(1024, 0xEE);  // records past the two real ones point past the end
    test::write_file(dir / "c.pak", bytes);
    const auto r = run_extractor({"c.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "ERROR : table of 4294967295 entries needs 51539607540 bytes, the archive holds 768 "
                           "after its header: only 64 entries are read\n"))
        << r.out.substr(0, 2000);
    EXPECT_TRUE(has(r.out, "\nfile 63 @ offset"));
    EXPECT_FALSE(has(r.out, "\nfile 64"));
    EXPECT_TRUE(has(r.out, "extraction of one.tga ok\n"));
    EXPECT_EQ(test::read_tga(dir / "one.tga").at(1, 1), pixels6(4)[3]);
    EXPECT_EQ(r.err, progress(64));
}

TEST(CutShortArchive, RecordCutInTheMiddleIsNotWalked)
{
    temp_dir dir;
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    a.entries.push_back(tex_type6_entry("x.tga", 1, 1, pixels6(1)));
    a.entries.push_back(tex_type6_entry("y.tga", 1, 1, pixels6(1)));
    std::vector<std::uint8_t> bytes = tex_build_archive(a);
    bytes.resize(tex_header_size + 2 * tex_table_entry_size + 5);
    test::write_file(dir / "t.pak", bytes);
    const auto r = run_extractor({"t.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "ERROR : table of 3 entries needs 36 bytes, the archive holds 29 after its header: "
                           "only 2 entries are read\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "\nfile 1\n"));
    EXPECT_FALSE(has(r.out, "\nfile 2\n"));
    // Entry 1's offset now lies past the end.
    EXPECT_TRUE(has(r.out, "ERROR : entry 1 lies past the end of the archive (offset 0x00000174, archive 285 bytes)\n"));
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"t.pak"});
}

// ---------------------------------------------------------------------------
// Entries past the end, headers and payloads cut short.

TEST(EntryPastTheEnd, OffsetPastTheEndOrHeaderCutShortExtractsNothing)
{
    temp_dir dir;
    tex_writer_entry far = tex_type6_entry("far.tga", 1, 1, pixels6(1));
    far.offset = 0x7FFFFFF0u;
    far.write_body = false;
    tex_writer_entry at_end = tex_type6_entry("end.tga", 1, 1, pixels6(1));
    at_end.write_body = false;  // offset filled in below: exactly the archive's size
    tex_writer_entry last = tex_type6_entry("cut.tga", 1, 1, pixels6(1));
    std::vector<std::uint8_t> bytes = archive_of({far, tex_type6_entry("ok.tga", 1, 1, pixels6(1)), at_end, last});
    const std::size_t size = bytes.size() - 84 + 40;  // 40 of the last header's 80 bytes
    tex_put_le32(bytes, tex_header_size + 3 * tex_table_entry_size + 4, static_cast<std::uint32_t>(size));
    bytes.resize(size);
    test::write_file(dir / "e.pak", bytes);
    const auto r = run_extractor({"e.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    const std::string archive_bytes = std::to_string(size) + " bytes)\n";
    EXPECT_TRUE(has(r.out, "ERROR : entry 1 lies past the end of the archive (offset 0x7FFFFFF0, archive " +
                               archive_bytes))
        << r.out;
    EXPECT_TRUE(has(r.out, "extraction of ok.tga ok\n"));
    EXPECT_TRUE(has(r.out, "ERROR : entry 3 lies past the end of the archive"));
    EXPECT_TRUE(has(r.out, "ERROR : entry 4 header cut short: the archive holds 40 of its 80 bytes\n"));
    EXPECT_FALSE(has(r.out, "filename : cut.tga"));
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"e.pak", "ok.tga"}));
    EXPECT_EQ(r.err, progress(5));
}

TEST(EntryPastTheEnd, PayloadPastTheEndWritesNothingRawOrConverted)
{
    for (const bool raw : {false, true}) {
        temp_dir dir;
        tex_writer_entry huge = tex_type6_entry("huge.tga", 1, 1, pixels6(1));
        huge.table_size = 0xFFFFFFF0u;  // the table's size is the one read
        std::vector<std::uint8_t> bytes = archive_of({huge, tex_type6_entry("next.tga", 1, 1, pixels6(1)),
                                                      tex_type4_entry("tail.tga", 8, 8, pixels4(64))});
        bytes.resize(bytes.size() - 3);
        test::write_file(dir / "p.pak", bytes);
        test::write_file(dir / "tail.tga", {1, 2, 3});
        std::vector<std::string> args{"p.pak"};
        if (raw) args.push_back("-no-convert");
        const auto r = run_extractor(args, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r.out, "ERROR : payload of huge.tga runs past the end of the archive (4294967280 bytes at "
                               "0x000001D0, archive " +
                                   std::to_string(bytes.size()) +
                                   " bytes)\nERROR : extraction of huge.tga was impossible\n"))
            << r.out;
        EXPECT_TRUE(has(r.out, "extraction of next.tga ok\n"));
        EXPECT_TRUE(has(r.out, "ERROR : payload of tail.tga runs past the end of the archive"));
        EXPECT_TRUE(has(r.out, "ERROR : extraction of tail.tga was impossible\n"));
        // No file for the failed entries; an existing one is left as it was.
        EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"next.tga", "p.pak", "tail.tga"}));
        EXPECT_EQ(test::read_file(dir / "tail.tga"), (std::vector<std::uint8_t>{1, 2, 3}));
    }
}

// ---------------------------------------------------------------------------
// Payloads that don't fill the image.

TEST(ShortPixels, Type4MissingPixelsAreTransparentBlack)
{
    // 4 * 3 pixels, but the stream holds 5 whole pixels and one byte of a sixth.
    const auto px = pixels4(5);
    std::vector<std::uint8_t> raw;
    for (std::uint16_t p : px) {
        raw.push_back(static_cast<std::uint8_t>(p));
        raw.push_back(static_cast<std::uint8_t>(p >> 8));
    }
    raw.push_back(0xAB);
    const std::vector<std::uint8_t> stream = zlib_of(raw);

    for (const char* name : {"short.tga", "short.png"}) {
        temp_dir dir;
        tex_writer_entry e = tex_type4_entry(name, 4, 3, pixels4(12));
        e.payload = stream;
        test::write_file(dir / "s.pak", archive_of({e}));
        const auto r = run_extractor({"s.pak"}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r.out, "ERROR : out_len != width * height * 2\n"
                               "        11     != 4 * 3 * 2 (24)\n"
                               "extraction of " +
                                   std::string(name) + " ok\n"))
            << r.out;
        const test::rgba_image img =
            name[6] == 't' ? test::read_tga(dir / name) : test::read_png(dir / name);
        ASSERT_EQ(img.argb.size(), 12u);
        for (unsigned k = 0; k < 5; ++k) EXPECT_EQ(img.argb[k], widened(px[k])) << k;
        EXPECT_EQ(img.argb[5], widened(0x00AB));  // the lone byte is the low half
        for (unsigned k = 6; k < 12; ++k) EXPECT_EQ(img.argb[k], 0u) << k;
    }
}

TEST(ShortPixels, Type6PayloadShorterThanTheImageIsRefused)
{
    temp_dir dir;
    tex_writer_entry e = tex_type6_entry("few.tga", 4, 4, pixels6(16));
    e.payload.resize(60);
    test::write_file(dir / "f.pak", archive_of({e, tex_type6_entry("after.png", 1, 1, pixels6(1))}));
    const auto r = run_extractor({"f.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "ERROR : payload of few.tga holds 60 bytes, fewer than 4 * 4 * 4 (64)\n"
                           "ERROR : extraction of few.tga was impossible\n"))
        << r.out;
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"after.png", "f.pak"}));
}

// The whole block of entry i as the report prints it for a stream that
// doesn't inflate: the fields, then only the verdict.
std::string failed_stream_block(const std::vector<std::uint8_t>& bytes, std::uint32_t i, const std::string& name,
                                std::uint32_t next_offset)
{
    const std::uint32_t offset = tex_le32(bytes, tex_header_size + i * tex_table_entry_size + 4);
    const std::uint32_t size = tex_le32(bytes, tex_header_size + i * tex_table_entry_size + 8);
    char head[200];
    std::snprintf(head, sizeof head,
                  "\nfile %u @ offset 0x%08X (%u)\nfile datas size... compressed = 0x%08X (%u), in_file = 0x%08X (%d)\n",
                  i, offset, offset, size, size, next_offset ? next_offset - offset : 0,
                  next_offset ? static_cast<int>(next_offset - offset) : 0);
    char fields[200];
    std::snprintf(fields, sizeof fields,
                  "   filename : %s\n   width    : 2\n   height   : 2\n   rep_t_id : 0x04 (4)\n"
                  "   rep_c_sz : 0x%08X (%u)\n   (skip 39 bytes of padding)\n",
                  name.c_str(), size, size);
    return head + std::string(fields) + "ERROR : extraction of " + name + " was impossible\n";
}

TEST(ShortPixels, StreamsThatDontInflateGetOnlyTheVerdict)
{
    // A checksum that doesn't match, a reserved block type, and a stream of
    // 25 bytes where 2 * 2 pixels leave room for 2 * 2 * 6: nothing of their
    // own is printed, in both the one-call and the piecewise inflation.
    tex_writer_entry checksum = tex_type4_entry("checksum.tga", 2, 2, pixels4(4));
    checksum.payload.back() ^= 0x01;
    tex_writer_entry damaged = tex_type4_entry("damaged.tga", 2, 2, pixels4(4));
    damaged.payload[2] = 0x07;  // last block, type 3: reserved
    tex_writer_entry longer = tex_type4_entry("longer.tga", 2, 2, pixels4(4));
    longer.payload = zlib_of(std::vector<std::uint8_t>(25, 0x42));
    const std::vector<std::uint8_t> bytes = archive_of({checksum, damaged, longer});
    temp_dir dir;
    test::write_file(dir / "d.pak", bytes);
    const auto r = run_extractor({"d.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    const auto offset = [&](std::uint32_t i) { return tex_le32(bytes, tex_header_size + i * tex_table_entry_size + 4); };
    const std::string tail = failed_stream_block(bytes, 1, "checksum.tga", offset(2)) +
                             failed_stream_block(bytes, 2, "damaged.tga", offset(3)) +
                             failed_stream_block(bytes, 3, "longer.tga", 0);
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"d.pak"});
}

// ---------------------------------------------------------------------------
// Image sizes: empty, too large, and memory that stays bounded.

TEST(ImageSize, ZeroWidthOrHeightMakesNoImage)
{
    temp_dir dir;
    tex_writer_entry w0 = tex_type6_entry("w0.tga", 0, 5, {});
    tex_writer_entry h0 = tex_type4_entry("h0.png", 7, 0, {});
    test::write_file(dir / "z.pak", archive_of({w0, h0}));
    const auto r = run_extractor({"z.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "can't create bitmap of 0 * 5 pixels 32bpp\nERROR : extraction of w0.tga was impossible\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "can't create bitmap of 7 * 0 pixels 32bpp\nERROR : extraction of h0.png was impossible\n"));
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"z.pak"});
}

// Runs the extractor from a forked copy of this process, so that the peak
// resident size of the copy's children is this run's alone. Exec carries the
// copy's own size over into that peak, so it is measured above this process's.
struct measured_run {
    int status = -1;
    std::string out;
    long peak_kib = -1;       // the extractor's peak resident size
    long baseline_kib = -1;   // this process's, which the peak may include
};

measured_run run_measured(const std::vector<std::string>& args, const fs::path& cwd)
{
    measured_run m;
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    m.baseline_kib = self.ru_maxrss;
    int fds[2];
    if (pipe(fds) != 0) return m;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const test::run_result r = run_extractor(args, cwd);
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        const long head[2] = {r.status, usage.ru_maxrss};
        bool ok = write(fds[1], head, sizeof head) == sizeof head;
        ok = ok && write(fds[1], r.out.data(), r.out.size()) == static_cast<ssize_t>(r.out.size());
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    long head[2] = {-1, -1};
    if (read(fds[0], head, sizeof head) == sizeof head) {
        m.status = static_cast<int>(head[0]);
        m.peak_kib = head[1];
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) m.out.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return m;
}

TEST(ImageSize, HugeImagesAreRefusedByAreaWithoutTakingTheirMemory)
{
    temp_dir dir;
    tex_writer_entry big4 = tex_type4_entry("big4.tga", 65535, 65535, {});
    big4.payload.assign(20, 0x5A);
    tex_writer_entry big6 = big4;
    big6.name = "big6.tga";
    big6.type = 6;
    tex_writer_entry over = big6;  // 16385 * 16384: one row too many
    over.name = "over.png";
    over.width = 16385;
    over.height = 16384;
    // Very wide but small in area: converted.
    tex_writer_entry strip = tex_type6_entry("strip.tga", 65535, 1, pixels6(65535));
    test::write_file(dir / "b.pak", archive_of({big4, big6, over, strip}));
    for (const char* mode : {"", "-no-convert"}) {
        std::vector<std::string> args{"b.pak"};
        if (*mode) args.push_back(mode);
        const measured_run m = run_measured(args, dir.path());
        EXPECT_EQ(m.status, 0);
        EXPECT_GT(m.peak_kib, 0);
        // A 65535 * 65535 image is 16 GiB; a few MiB is all this archive may cost.
        EXPECT_LT(m.peak_kib, m.baseline_kib + 32 * 1024) << "mode '" << mode << "'";
        if (*mode) continue;  // raw: the payloads are written as stored
        EXPECT_TRUE(has(m.out, "ERROR : big4.tga is 65535 * 65535 pixels, more than the 16384 * 16384 this tool "
                               "converts\nERROR : extraction of big4.tga was impossible\n"))
            << m.out;
        EXPECT_TRUE(has(m.out, "ERROR : big6.tga is 65535 * 65535 pixels"));
        EXPECT_TRUE(has(m.out, "ERROR : over.png is 16385 * 16384 pixels"));
        EXPECT_TRUE(has(m.out, "extraction of strip.tga ok\n"));
        EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"b.pak", "strip.tga"}));
        EXPECT_EQ(test::read_tga(dir / "strip.tga").at(65534, 0), pixels6(65535)[65534]);
    }
}

// A zlib stream of `size` zero bytes, made a piece at a time.
std::vector<std::uint8_t> zeros_stream(std::size_t size)
{
    z_stream z{};
    deflateInit(&z, 9);
    std::vector<std::uint8_t> zeros(1 << 16, 0), out(1 << 16), stream;
    std::size_t left = size;
    int rc = Z_OK;
    do {
        const std::size_t n = std::min(left, zeros.size());
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(n);
        left -= n;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            stream.insert(stream.end(), out.data(), out.data() + (out.size() - z.avail_out));
        } while (z.avail_out == 0);
    } while (left > 0 || rc != Z_STREAM_END);
    deflateEnd(&z);
    return stream;
}

TEST(ImageSize, ALargeEntryNeedsItsImageAndLittleMore)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's own memory blurs the figure";
#endif
    // 8192 * 8192 pixels: a 256 MiB image, whose stream inflates to 128 MiB;
    // the room a single inflation call would need is not taken.
    temp_dir dir;
    tex_writer_entry big = tex_type4_entry("big.tga", 8192, 8192, {});
    big.payload = zeros_stream(std::size_t{8192} * 8192 * 2);
    test::write_file(dir / "m.pak", archive_of({big}));
    big.payload.clear();
    big.payload.shrink_to_fit();
    const measured_run m = run_measured({"m.pak"}, dir.path());
    EXPECT_EQ(m.status, 0);
    EXPECT_TRUE(has(m.out, "extraction of big.tga ok\n")) << m.out;
    EXPECT_LT(m.peak_kib, m.baseline_kib + (256 + 64) * 1024);
}

// ---------------------------------------------------------------------------
// Stored names: relative paths inside the current folder only.

TEST(StoredNames, UnsafeNamesAreRefusedAndNothingIsWritten)
{
    temp_dir top;
    const fs::path work = top / "work";
    fs::create_directory(work);
    fs::create_directory(work / "sub");
    const std::string outside = (top / "abs.tga").string();
    tex_writer_entry ctl = tex_type6_entry("", 1, 1, pixels6(1));
    ctl.raw_name = std::array<std::uint8_t, tex_name_size>{'a', '\n', 'b', '.', 't', 'g', 'a'};
    const std::vector<tex_writer_entry> entries = {
        tex_type6_entry(outside, 1, 1, pixels6(1)),
        tex_type6_entry("../up.tga", 1, 1, pixels6(1)),
        tex_type6_entry("sub/../../up2.tga", 1, 1, pixels6(1)),
        tex_type6_entry("sub/..", 1, 1, pixels6(1)),
        ctl,
        tex_type6_entry("..dots.tga", 1, 1, pixels6(1)),  // not a ".." component: fine
        tex_type6_entry("sub/in.tga", 1, 1, pixels6(1)),  // existing folder: fine
    };
    test::write_file(top / "n.pak", archive_of(entries));
    for (const char* mode : {"", "-no-convert"}) {
        std::vector<std::string> args{"../n.pak"};
        if (*mode) args.push_back(mode);
        const auto r = run_extractor(args, work);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r.out, "ERROR : refusing to write " + outside +
                                   ": it is an absolute path\nERROR : extraction of " + outside +
                                   " was impossible\n"))
            << r.out;
        EXPECT_TRUE(has(r.out, "ERROR : refusing to write ../up.tga: it has a \"..\" component\n"));
        EXPECT_TRUE(has(r.out, "ERROR : refusing to write sub/../../up2.tga: it has a \"..\" component\n"));
        EXPECT_TRUE(has(r.out, "ERROR : refusing to write sub/..: it has a \"..\" component\n"));
        EXPECT_TRUE(has(r.out, "   filename : a\\x0Ab.tga\n"));
        EXPECT_TRUE(has(r.out, "ERROR : refusing to write a\\x0Ab.tga: it holds a control byte\n"
                               "ERROR : extraction of a\\x0Ab.tga was impossible\n"));
        EXPECT_TRUE(has(r.out, "extraction of ..dots.tga ok\n"));
        EXPECT_TRUE(has(r.out, "extraction of sub/in.tga ok\n"));
        EXPECT_EQ(test::list_dir(top.path()), (std::vector<std::string>{"n.pak", "work"}));
        EXPECT_EQ(test::list_dir(work), (std::vector<std::string>{"..dots.tga", "sub"}));
        EXPECT_EQ(test::list_dir(work / "sub"), std::vector<std::string>{"in.tga"});
        fs::remove(work / "..dots.tga");
        fs::remove(work / "sub" / "in.tga");
    }
}

TEST(StoredNames, FoldersAreMadeBeneathTheFolderAndSymlinksAreReplacedNotFollowed)
{
    temp_dir dir;
    const fs::path target = dir / "target.tga";
    test::write_file(target, {7, 7, 7});
    fs::create_symlink(target, dir / "link.tga");
    temp_dir outside;
    fs::create_symlink(outside.path(), dir / "away");
    test::write_file(dir / "l.pak", archive_of({tex_type6_entry("link.tga", 1, 1, pixels6(1)),
                                                tex_type6_entry("new/deeper/x.tga", 1, 1, pixels6(1)),
                                                tex_type6_entry("away/y.tga", 1, 1, pixels6(1)),
                                                tex_type6_entry("gone/z.tga", 1, 1, pixels6(1))}));
    // A folder in the way of the last one's: it can't be made, and nothing is.
    test::write_file(dir / "gone", {1});
    const auto r = run_extractor({"l.pak"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "extraction of link.tga ok\n")) << r.out;
    EXPECT_TRUE(has(r.out, "extraction of new/deeper/x.tga ok\n")) << r.out;
    EXPECT_TRUE(has(r.out, "ERROR : refusing to write away/y.tga: its folder is a link that leads outside the current folder\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "ERROR, can't create gone/z.tga for output\n")) << r.out;
    EXPECT_EQ(test::read_file(target), (std::vector<std::uint8_t>{7, 7, 7}));
    EXPECT_FALSE(fs::is_symlink(dir / "link.tga"));
    EXPECT_EQ(test::read_tga(dir / "link.tga").at(0, 0), pixels6(1)[0]);
    EXPECT_EQ(test::read_tga(dir / "new" / "deeper" / "x.tga").at(0, 0), pixels6(1)[0]);
    EXPECT_TRUE(fs::is_empty(outside.path()));
    EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"away", "gone", "l.pak", "link.tga", "new", "target.tga"}));
}

TEST(StoredNames, FolderLinksLeadingOutsideAreRefused)
{
    temp_dir top;
    const fs::path work = top / "work";
    fs::create_directories(work / "real");
    fs::create_directory(top / "elsewhere");
    fs::create_directory_symlink(top / "elsewhere", work / "out");
    fs::create_directory_symlink(work / "real", work / "in");  // a link that stays inside is fine
    test::write_file(top / "s.pak", archive_of({tex_type6_entry("out/x.tga", 1, 1, pixels6(1)),
                                                tex_type6_entry("in/y.tga", 1, 1, pixels6(1))}));
    const auto r = run_extractor({"../s.pak", "-no-convert"}, work);
    EXPECT_TRUE(has(r.out, "ERROR : refusing to write out/x.tga: its folder is a link that leads outside the "
                           "current folder\nERROR : extraction of out/x.tga was impossible\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "extraction of in/y.tga ok\n"));
    EXPECT_TRUE(test::list_dir(top / "elsewhere").empty());
    EXPECT_EQ(test::list_dir(work / "real"), std::vector<std::string>{"y.tga"});
}

// ---------------------------------------------------------------------------
// Archives beyond 2 GiB and up to 4 GiB plus the last entry.

TEST(BigArchive, EntriesPastTwoAndNearFourGiBAreExtracted)
{
    temp_dir dir;
    tex_writer_entry mid = tex_type4_entry("mid.tga", 16, 16, pixels4(256));
    mid.offset = 0x80000010u;
    tex_writer_entry top = tex_type6_entry("top.png", 16, 16, pixels6(256));
    top.offset = 0xFFFFFF00u;  // the payload ends past 4 GiB
    tex_writer_archive a;
    a.entries = {tex_placeholder_entry("index"), mid, top};
    const fs::path path = test::write_archive(dir, "big.pak", a);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    ASSERT_EQ(static_cast<std::uint64_t>(st.st_size), std::uint64_t{0xFFFFFF00u} + 80 + 1024);
    if (static_cast<std::uint64_t>(st.st_blocks) * 512 > (64u << 20)) {
        fs::remove(path);
        GTEST_SKIP() << "this file system doesn't store holes";
    }
    const auto r = run_extractor({"big.pak"}, dir.path());
    fs::remove(path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
    EXPECT_TRUE(has(r.out, "file 2 @ offset 0xFFFFFF00 (4294967040)\n"));
    EXPECT_TRUE(has(r.out, "extraction of mid.tga ok\n"));
    EXPECT_TRUE(has(r.out, "extraction of top.png ok\n"));
    EXPECT_EQ(test::read_tga(dir / "mid.tga").at(15, 15), widened(pixels4(256)[255]));
    EXPECT_EQ(test::read_png(dir / "top.png").at(15, 15), pixels6(256)[255]);
}

}  // namespace
