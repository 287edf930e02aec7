// The packing tool: round trips with the extractor, patching an archive, the
// well-formedness of what it writes, and refusing bad input without writing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "app/app.hpp"
#include "app/platform.hpp"
#include "bench/textures.hpp"
#include "entries/ordered.hpp"
#include "files/output_system.hpp"
#include "pack/pack.hpp"
#include "pack/source.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::list_dir;
using test::read_file;
using test::rgba_image;
using test::temp_dir;

test::run_result run_pack(const std::vector<std::string>& args, const fs::path& cwd)
{
    return test::run_program(MORVEX_PACK_PATH, args, cwd);
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Pixels that reach every channel value; alpha too unless `opaque`.
rgba_image pattern(std::uint32_t w, std::uint32_t h, std::uint32_t seed, bool opaque)
{
    rgba_image img{w, h, std::vector<std::uint32_t>(std::size_t{w} * h)};
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::uint32_t& p : img.argb) {
        x = x * 1664525u + 1013904223u;
        p = opaque ? (x >> 8) | 0xFF000000u : x;
    }
    return img;
}

// Images written here, not by the graphics library the tool reads them with.
void write_png(const fs::path& path, const rgba_image& img)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = img.width;
    image.height = img.height;
    image.format = PNG_FORMAT_BGRA;  // a little-endian 0xAARRGGBB
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, img.argb.data(), 0, nullptr));
}

void write_le(std::ofstream& out, std::uint32_t v, int bytes)
{
    for (int k = 0; k < bytes; ++k) out.put(static_cast<char>(v >> (8 * k)));
}

void write_tga(const fs::path& path, const rgba_image& img)
{
    std::ofstream out(path, std::ios::binary);
    const std::uint8_t head[12] = {0, 0, 2};
    out.write(reinterpret_cast<const char*>(head), sizeof head);
    write_le(out, img.width, 2);
    write_le(out, img.height, 2);
    out.put(32);
    out.put(0x28);  // 8 alpha bits, rows from the top
    for (std::uint32_t p : img.argb) write_le(out, p, 4);
}

void write_bmp(const fs::path& path, const rgba_image& img)
{
    const std::uint32_t stride = (img.width * 3 + 3) & ~3u;
    std::ofstream out(path, std::ios::binary);
    out.write("BM", 2);
    write_le(out, 54 + stride * img.height, 4);
    write_le(out, 0, 4);
    write_le(out, 54, 4);
    write_le(out, 40, 4);
    write_le(out, img.width, 4);
    write_le(out, img.height, 4);  // rows from the bottom
    write_le(out, 1, 2);
    write_le(out, 24, 2);
    for (int k = 0; k < 6; ++k) write_le(out, 0, 4);
    for (std::uint32_t row = img.height; row-- > 0;) {
        for (std::uint32_t x = 0; x < img.width; ++x) write_le(out, img.at(x, row), 3);
        write_le(out, 0, stride - img.width * 3);
    }
}

struct stored_entry {
    tex_entry_header header;
    std::vector<std::uint8_t> bytes;  // header and payload as stored
    std::string name() const { return tex_entry_name(header); }
    std::vector<std::uint8_t> payload() const { return {bytes.begin() + tex_entry_header_size, bytes.end()}; }
};

struct stored_archive {
    tex_header header;
    std::vector<stored_entry> entries;
};

// Reads an archive and checks that it is well formed: padding zero, every field
// stored twice agrees, entries end to end in increasing offsets up to the end.
stored_archive read_well_formed(const fs::path& path)
{
    const std::vector<std::uint8_t> f = read_file(path);
    stored_archive a{};
    EXPECT_GE(f.size(), tex_header_size);
    if (f.size() < tex_header_size) return a;
    a.header = tex_parse_header(std::span(f).first<tex_header_size>());
    EXPECT_EQ(std::string(a.header.signature.begin(), a.header.signature.end()), "TEX");
    EXPECT_EQ(a.header.version, 3);
    EXPECT_EQ(a.header.padding, decltype(a.header.padding){});
    std::size_t next = tex_header_size + std::size_t{a.header.file_count} * tex_table_entry_size;
    for (std::uint32_t i = 0; i < a.header.file_count; ++i) {
        const auto t = tex_parse_table_entry(std::span(f).subspan(tex_header_size + i * 12).first<12>());
        EXPECT_EQ(t.offset, next) << "entry " << i;
        if (t.offset + tex_entry_header_size + std::size_t{t.compressed_size} > f.size()) {
            ADD_FAILURE() << "entry " << i << " past the end";
            return a;
        }
        stored_entry e;
        e.header = tex_parse_entry_header(std::span(f).subspan(t.offset).first<tex_entry_header_size>());
        EXPECT_EQ(t.type_id, e.header.rep_t_id) << "entry " << i;
        EXPECT_EQ(t.compressed_size, e.header.rep_c_sz) << "entry " << i;
        EXPECT_EQ(e.header.padding, decltype(e.header.padding){}) << "entry " << i;
        const auto end = f.begin() + static_cast<std::ptrdiff_t>(t.offset + tex_entry_header_size + t.compressed_size);
        e.bytes.assign(f.begin() + t.offset, end);
        next = t.offset + e.bytes.size();
        a.entries.push_back(std::move(e));
    }
    EXPECT_EQ(next, f.size());
    return a;
}

// Type-4 pixels inflated here and widened nibble by nibble to 0xAARRGGBB.
std::vector<std::uint32_t> decode_type4(const stored_entry& e)
{
    const std::vector<std::uint8_t> payload = e.payload();
    std::vector<std::uint8_t> raw(std::size_t{e.header.width} * e.header.height * 2);
    uLongf len = static_cast<uLongf>(raw.size());
    EXPECT_EQ(uncompress(raw.data(), &len, payload.data(), static_cast<uLong>(payload.size())), Z_OK);
    EXPECT_EQ(len, raw.size());
    std::vector<std::uint32_t> out(raw.size() / 2);
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::uint32_t p = tex_le16(raw, 2 * k);
        for (unsigned n = 0; n < 4; ++n) out[k] |= ((p >> (4 * n)) & 15u) * 17u << (8 * n);
    }
    return out;
}

std::vector<std::uint32_t> decode_type6(const stored_entry& e)
{
    const std::vector<std::uint8_t> payload = e.payload();
    std::vector<std::uint32_t> out(payload.size() / 4);
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = tex_le32(payload, 4 * k);
    return out;
}

// Each channel to the level 17 * k nearest to it, found by trying all 16.
std::uint32_t rounded(std::uint32_t argb)
{
    std::uint32_t out = 0;
    for (unsigned shift = 0; shift < 32; shift += 8) {
        const int v = static_cast<int>((argb >> shift) & 0xFF);
        int best = 0;
        for (int k = 1; k < 16; ++k) best = std::abs(17 * k - v) < std::abs(17 * best - v) ? k : best;
        out |= static_cast<std::uint32_t>(17 * best) << shift;
    }
    return out;
}

rgba_image read_image(const fs::path& path)
{
    return path.extension() == ".png" ? test::read_png(path) : test::read_tga(path);
}

TEST(PackRoundTrip, CreateGivesBackEveryPixelThroughTheExtractor)
{
    temp_dir dir;
    const std::vector<std::pair<std::string, rgba_image>> images = {
        {"a.png", pattern(37, 21, 1, false)}, {"b.tga", pattern(16, 9, 2, false)},
        {"c.bmp", pattern(5, 3, 3, true)},    {"exactly-thirty-two-bytes-xx.png", pattern(1, 1, 4, false)}};
    std::vector<std::string> args = {"create", "out.pak"};
    for (const auto& [name, img] : images) {
        if (name.ends_with(".png")) write_png(dir / name, img);
        if (name.ends_with(".tga")) write_tga(dir / name, img);
        if (name.ends_with(".bmp")) write_bmp(dir / name, img);
        args.push_back(name);
    }
    for (const char* type : {"6", "4"}) {
        SCOPED_TRACE(type);
        fs::remove(dir / "out.pak");
        args.insert(args.begin(), {"--type", type});
        const test::run_result packed = run_pack(args, dir.path());
        args.erase(args.begin(), args.begin() + 2);
        ASSERT_EQ(packed.status, 0) << packed.err;
        EXPECT_EQ(packed.err, "");

        const stored_archive a = read_well_formed(dir / "out.pak");
        ASSERT_EQ(a.entries.size(), images.size() + 1);
        const std::vector<std::uint8_t> placeholder = [] {
            std::vector<std::uint8_t> b(tex_entry_header_size, 0);
            b[36] = 6;
            return b;
        }();
        EXPECT_EQ(a.entries[0].bytes, placeholder);
        EXPECT_EQ(a.header.second_word, 0u);

        temp_dir out;
        const test::run_result extracted = test::run_extractor({(dir / "out.pak").string()}, out.path());
        EXPECT_FALSE(has(extracted.out, "ERROR")) << extracted.out;
        for (std::size_t k = 0; k < images.size(); ++k) {
            const auto& [name, img] = images[k];
            const stored_entry& e = a.entries[k + 1];
            EXPECT_EQ(e.name(), name);
            EXPECT_EQ(e.header.rep_t_id, type[0] - '0');
            ASSERT_EQ(e.header.width, img.width);
            ASSERT_EQ(e.header.height, img.height);
            std::vector<std::uint32_t> want = img.argb;
            if (type[0] == '4') std::transform(want.begin(), want.end(), want.begin(), rounded);
            EXPECT_EQ(type[0] == '4' ? decode_type4(e) : decode_type6(e), want) << name;
            if (!name.ends_with(".bmp")) {
                EXPECT_EQ(read_image(out / name).argb, want) << name;
            }
        }
    }
}

// An archive as another tool might have made it: a first entry with content, a
// second word, both pixel types and an entry of a type no image has.
tex_writer_archive made_elsewhere()
{
    tex_writer_archive a;
    a.second_word = 0xC0FFEE11;
    tex_writer_entry first;
    first.name = "sky.tga";  // the same name as an image: still never replaced
    first.type = 6;
    first.payload = {1, 2, 3, 4, 5};
    a.entries.push_back(first);
    std::vector<std::uint16_t> p4(40 * 24);
    for (std::size_t k = 0; k < p4.size(); ++k) p4[k] = static_cast<std::uint16_t>(k * 7919u);
    a.entries.push_back(tex_type4_entry("sky.tga", 40, 24, p4, 1));
    a.entries.push_back(tex_type6_entry("rings.png", 19, 11, pattern(19, 11, 5, false).argb));
    tex_writer_entry other;
    other.name = "notes.txt";
    other.type = 9;
    other.payload = {'h', 'i'};
    a.entries.push_back(other);
    a.entries.push_back(tex_type6_entry("badge.tga", 8, 8, pattern(8, 8, 6, false).argb));
    // Extracted to formats without alpha, yet holding some: put back
    // unchanged, they must stay as they are.
    a.entries.push_back(tex_type6_entry("flag.pcx", 9, 5, pattern(9, 5, 10, false).argb));
    for (std::size_t k = 0; k < p4.size(); k += 3) p4[k] |= 0xF000;
    a.entries.push_back(tex_type4_entry("ramp.bmp", 40, 24, p4));
    return a;
}

TEST(PackReplace, UnchangedImagesKeepTheArchiveAndAnEditedOneTakesItsEntrysType)
{
    temp_dir dir;
    const fs::path in = test::write_archive(dir, "in.pak", made_elsewhere());
    const std::vector<std::uint8_t> original = read_file(in);
    temp_dir images;
    test::run_extractor({in.string()}, images.path());
    const std::vector<std::string> names = list_dir(images.path());
    ASSERT_EQ(names, (std::vector<std::string>{"badge.tga", "flag.pcx", "ramp.bmp", "rings.png", "sky.tga"}));

    const auto replace = [&](const std::string& out) {
        std::vector<std::string> args = {"-q", "replace", in.string(), out};
        for (const std::string& name : names) args.push_back((images / name).string());
        return run_pack(args, dir.path());
    };
    test::run_result r = replace("same.pak");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");  // -q
    EXPECT_EQ(read_file(dir / "same.pak"), original);

    // Edit two images: one of each type, the type-4 one to a new size.
    rgba_image sky = pattern(13, 7, 7, false);
    write_tga(images / "sky.tga", sky);
    write_tga(images / "badge.tga", pattern(8, 8, 8, false));
    r = replace("new.pak");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(in), original);

    const stored_archive before = read_well_formed(in);
    const stored_archive after = read_well_formed(dir / "new.pak");
    ASSERT_EQ(after.entries.size(), before.entries.size());
    EXPECT_EQ(after.header.second_word, 0xC0FFEE11u);
    for (std::size_t k : {0, 2, 3, 5, 6}) EXPECT_EQ(after.entries[k].bytes, before.entries[k].bytes) << k;
    const stored_entry& sky_entry = after.entries[1];
    EXPECT_EQ(sky_entry.header.rep_t_id, 4);
    EXPECT_EQ(sky_entry.header.width, 13);
    std::transform(sky.argb.begin(), sky.argb.end(), sky.argb.begin(), rounded);
    EXPECT_EQ(decode_type4(sky_entry), sky.argb);
    EXPECT_EQ(after.entries[4].header.rep_t_id, 6);
    EXPECT_EQ(decode_type6(after.entries[4]), pattern(8, 8, 8, false).argb);
}

// Entries stored with folders and under names the images' files don't have.
tex_writer_archive with_folders()
{
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry());
    a.entries.push_back(tex_type6_entry("g/s.tga", 4, 4, pattern(4, 4, 20, false).argb));
    a.entries.push_back(tex_type6_entry("s.tga", 4, 4, pattern(4, 4, 21, false).argb));
    a.entries.push_back(tex_type6_entry("shade.bmp", 6, 2, pattern(6, 2, 22, false).argb));
    return a;
}

TEST(PackReplace, PathsNamesDryRunAndWarnings)
{
    temp_dir dir;
    const fs::path in = test::write_archive(dir, "in.pak", with_folders());
    fs::create_directories(dir / "x" / "g");
    fs::create_directories(dir / "other");
    write_tga(dir / "x" / "g" / "s.tga", pattern(4, 4, 30, false));
    write_tga(dir / "other" / "s.tga", pattern(4, 4, 31, false));
    write_bmp(dir / "a-file-name-longer-than-thirty-two-bytes.bmp", pattern(3, 3, 32, true));
    const std::string long_bmp = "a-file-name-longer-than-thirty-two-bytes.bmp";

    // A path with folders patches the entry stored with the most of them.
    test::run_result r = run_pack({"-q", "replace", "in.pak", "out.pak", "x/g/s.tga", "other/s.tga",
                                   long_bmp + "=shade.bmp"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    stored_archive out = read_well_formed(dir / "out.pak");
    ASSERT_EQ(out.entries.size(), 4u);
    EXPECT_EQ(decode_type6(out.entries[1]), pattern(4, 4, 30, false).argb);
    EXPECT_EQ(decode_type6(out.entries[2]), pattern(4, 4, 31, false).argb);
    EXPECT_EQ(decode_type6(out.entries[3]), pattern(3, 3, 32, true).argb);
    EXPECT_TRUE(has(r.err, "warning: " + long_bmp + ": the file carries no alpha; entry 3")) << r.err;
    EXPECT_TRUE(has(r.err, "warning: " + long_bmp + ": 3 x 3 pixels replace the 6 x 2 of entry 3")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;

    // A dry run says what would happen, every refusal included, and writes nothing.
    fs::remove(dir / "out.pak");
    const std::vector<std::string> files = list_dir(dir.path());
    // A missing file is said missing, not looked for among the entries.
    r = run_pack({"--dry-run", "-v", "replace", "in.pak", "out.pak", "x/g/s.tga", "gone/s.tga", "icon.png",
                  long_bmp + "=nothere.tga"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "entry 1: g/s.tga") && has(r.out, "would be replaced from x/g/s.tga")) << r.out;
    EXPECT_TRUE(has(r.out, "entry 3: shade.bmp") && has(r.out, "would be kept")) << r.out;
    EXPECT_TRUE(has(r.out, "3 images refused")) << r.out;
    EXPECT_TRUE(has(r.err, "gone/s.tga: No such file") && has(r.err, "icon.png: No such file") &&
                has(r.err, "no entry named nothere.tga")) << r.err;
    // Without -v, only what changes.
    r = run_pack({"--dry-run", "replace", "in.pak", "out.pak", "x/g/s.tga"}, dir.path());
    EXPECT_FALSE(has(r.out, "kept")) << r.out;
    r = run_pack({"-n", "replace", "in.pak", "out.pak", "x/g/s.tga"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir.path()), files);

    // create stores an image under the name given after '='.
    r = run_pack({"-q", "create", "new.pak", long_bmp + "=g/short.bmp"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    out = read_well_formed(dir / "new.pak");
    ASSERT_EQ(out.entries.size(), 2u);
    EXPECT_EQ(out.entries[1].name(), "g/short.bmp");
}

TEST(PackRefuses, BadInputWithOneClearMessageAndWritesNothing)
{
    temp_dir dir;
    const fs::path in = test::write_archive(dir, "in.pak", made_elsewhere());
    write_png(dir / "rings.png", pattern(3, 3, 9, false));
    write_png(dir / "thirty-three-bytes-long-name-x.png", pattern(1, 1, 9, false));
    test::write_file(dir / "broken.png", {0x89, 'P', 'N', 'G', 1, 2, 3});
    test::write_file(dir / "icon.gif", {'G', 'I', 'F', '8', '9', 'a'});
    write_tga(dir / "cut.tga", pattern(4, 4, 9, false));
    fs::resize_file(dir / "cut.tga", 18 + 4 * 15);
    fs::create_symlink("/dev/zero", dir / "zero.tga");
    write_png(dir / "huge.png", pattern(1, 1, 9, false));
    std::vector<std::uint8_t> huge = read_file(dir / "huge.png");
    std::fill(huge.begin() + 16, huge.begin() + 24, std::uint8_t{0});
    huge[18] = huge[19] = huge[22] = huge[23] = 0xFF;  // declares 65535 x 65535
    const auto crc = static_cast<std::uint32_t>(crc32(0, huge.data() + 12, 17));
    for (int k = 0; k < 4; ++k) huge[29 + k] = static_cast<std::uint8_t>(crc >> (24 - 8 * k));
    test::write_file(dir / "huge.png", huge);
    tex_writer_archive padded = made_elsewhere();
    padded.entries[2].padding[5] = 1;
    test::write_archive(dir, "padded.pak", padded);
    ASSERT_EQ(link((dir / "in.pak").c_str(), (dir / "link.pak").c_str()), 0);
    fs::create_directory(dir / "tree");
    fs::copy_file(dir / "rings.png", dir / "tree" / "b.png");
    const std::vector<std::string> files = list_dir(dir.path());

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"create", "out.pak", "missing.png"}, "missing.png: No such file or directory"},
        {{"create", "out.pak", "rings.png", "broken.png"}, "broken.png: not a PNG image"},
        {{"create", "out.pak", "icon.gif"}, "icon.gif: unknown image format"},
        {{"create", "out.pak", "rings.png", "cut.tga"}, "cut.tga: truncated TGA image"},
        {{"create", "out.pak", "zero.tga"}, "zero.tga: not a regular file"},
        {{"create", "out.pak", "huge.png"}, "huge.png: 65535 x 65535 pixels"},
        {{"create", "out.pak", "thirty-three-bytes-long-name-x.png"}, "at most 32"},
        {{"create", "out.pak", "rings.png", "../" + dir.path().filename().string() + "/rings.png"},
         "both be stored as rings.png"},
        {{"create", "rings.png", "rings.png"}, "another file than the images"},
        {{"create", "-f", "tree/b.png", "tree"}, "another file than the images"},
        {{"create", "--dry-run", "tree/b.png", "tree"}, "another file than the images"},
        {{"replace", "missing.pak", "out.pak", "rings.png"}, "missing.pak: No such file or directory"},
        {{"replace", "in.pak", "out.pak", "rings.png", "icon.gif"}, "no entry named icon.gif"},
        {{"replace", "padded.pak", "out.pak", "rings.png"}, "entry 2 (rings.png): padding not zero"},
        {{"replace", "--type", "4", "in.pak", "out.pak", "rings.png"}, "--type is for create"},
        {{"create", "out.pak"}, "at least one IMAGE"},
        {{"pack", "out.pak", "rings.png"}, "unknown command"},
        {{"--type", "5", "create", "out.pak", "rings.png"}, "invalid type"},
    };
    for (const auto& [args, message] : cases) {
        const test::run_result r = run_pack(args, dir.path());
        EXPECT_EQ(r.status, 1) << args[0] << " " << message;
        EXPECT_TRUE(has(r.err, "morvex_tex_pack: ") && has(r.err, message)) << r.err;
        if (!has(r.err, "Try ")) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        EXPECT_EQ(r.out, "") << message;
        EXPECT_EQ(list_dir(dir.path()), files) << message;
    }
    EXPECT_EQ(read_file(in), tex_build_archive(made_elsewhere()));
    EXPECT_EQ(read_file(dir / "tree" / "b.png"), read_file(dir / "rings.png"));

    // Standard output that can't be written: the lines go out first, so the
    // archive isn't written either.
    const test::run_result full = test::run_program(
        "/bin/sh", {"-c", std::string("exec '") + MORVEX_PACK_PATH + "' create out.pak rings.png > /dev/full"}, dir.path());
    EXPECT_EQ(full.status, 1);
    EXPECT_TRUE(has(full.err, "can't write to standard output: out.pak not written")) << full.err;
    EXPECT_EQ(list_dir(dir.path()), files);
}

TEST(PackCommandLine, HelpVersionAndOneLinePerEntry)
{
    temp_dir dir;
    test::run_result r = run_pack({"--help"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "create OUT.pak IMAGE[=NAME]|FOLDER...") && has(r.out, "placeholder")) << r.out;
    r = run_pack({"--version"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "morvex_tex_pack 1.0\n");
    r = run_pack({}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "--help")) << r.err;

    write_tga(dir / "-dash.tga", pattern(2, 2, 1, false));
    r = run_pack({"create", "out.pak", "--", "-dash.tga"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_TRUE(has(r.out, "-dash.tga")) << r.out;
}

TEST(PackSource, RefusesArchivesItCannotKeepByteForByte)
{
    temp_dir dir;
    const auto refused = [&](const std::function<void(tex_writer_archive&)>& damage) {
        tex_writer_archive a = made_elsewhere();
        damage(a);
        pack_source source;
        return pack_open_source(test::write_archive(dir, "x.pak", a).string(), source) != 0;
    };
    EXPECT_FALSE(refused([](tex_writer_archive&) {}));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.version = 2; }));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.padding[243] = 1; }));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.file_count = 1000; }));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.entries[1].table_type = 6; }));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.entries[2].rep_c_sz = 1; }));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.entries[4].table_size = 1u << 20; }));
    EXPECT_TRUE(refused([](tex_writer_archive& a) { a.entries[3].offset = 1u << 30; a.entries[3].write_body = false; }));
}

// ---------------------------------------------------------------------------
// What OUT.pak may be, and what an interruption leaves.

TEST(PackOutput, WhatOutPakMayBe)
{
    temp_dir dir;
    write_tga(dir / "sky.tga", pattern(3, 2, 1, false));
    ASSERT_EQ(run_pack({"-q", "create", "ref.pak", "sky.tga"}, dir.path()).status, 0);
    const std::vector<std::uint8_t> archive = read_file(dir / "ref.pak");
    const std::vector<std::uint8_t> mine{'m', 'i', 'n', 'e'};
    test::write_file(dir / "outside", mine);
    struct out_case {
        const char* what;
        std::string out;
        std::function<void()> plant;
        bool force;
        int status;
        bool written;  // OUT.pak then holds the archive, as a regular file
    };
    const std::vector<out_case> cases = {
        {"new", "new.pak", [] {}, false, 0, true},
        {"an archive", "old.pak", [&] { test::write_file(dir / "old.pak", tex_build_archive(made_elsewhere())); }, false, 2, false},
        {"an archive, forced", "old2.pak", [&] { test::write_file(dir / "old2.pak", tex_build_archive(made_elsewhere())); }, true, 0, true},
        {"a text", "notes.pak", [&] { test::write_file(dir / "notes.pak", mine); }, false, 2, false},
        {"a text, forced", "forced.pak", [&] { test::write_file(dir / "forced.pak", mine); }, true, 0, true},
        {"the image forgotten", "d1.png", [&] { write_png(dir / "d1.png", pattern(1, 1, 2, false)); }, false, 2, false},
        {"an image's name", "new.TGA", [] {}, false, 2, false},
        {"a link out", "link.pak", [&] { fs::create_symlink(dir / "outside", dir / "link.pak"); }, false, 0, true},
        {"a folder", "folder.pak", [&] { fs::create_directory(dir / "folder.pak"); }, true, 2, false},
        {"a long name", std::string(250, 'n') + ".pak", [] {}, false, 0, true},
    };
    for (const out_case& c : cases) {
        c.plant();
        const auto before = fs::exists(dir / c.out) && !fs::is_directory(dir / c.out) ? read_file(dir / c.out) : std::vector<std::uint8_t>{};
        std::vector<std::string> args{"-q", "create", c.out, "sky.tga"};
        if (c.force) args.insert(args.begin(), "--force");
        const test::run_result r = run_pack(args, dir.path());
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        if (c.written) {
            EXPECT_FALSE(fs::is_symlink(dir / c.out)) << c.what;
            EXPECT_EQ(read_file(dir / c.out), archive) << c.what;
        } else {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.what << ": " << r.err;
            if (!fs::is_directory(dir / c.out) && !before.empty()) {
                EXPECT_EQ(read_file(dir / c.out), before) << c.what;
            }
        }
    }
    EXPECT_EQ(read_file(dir / "outside"), mine);

    // Streams are written through and stay what they are.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::vector<std::uint8_t> through_fifo;
    std::thread reader([&] { through_fifo = read_file(dir / "fifo"); });
    EXPECT_EQ(run_pack({"-q", "create", "fifo", "sky.tga"}, dir.path()).status, 0);
    reader.join();
    EXPECT_EQ(through_fifo, archive);
    if (mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        EXPECT_EQ(run_pack({"-q", "create", "null", "sky.tga"}, dir.path()).status, 0);
        struct stat st {};
        EXPECT_TRUE(stat((dir / "null").c_str(), &st) == 0 && S_ISCHR(st.st_mode));
    }
    // "-" is standard output; the entry lines go to standard error then.
    const test::run_result to_stdout = run_pack({"create", "-", "sky.tga"}, dir.path());
    EXPECT_EQ(to_stdout.status, 0) << to_stdout.err;
    EXPECT_EQ(std::vector<std::uint8_t>(to_stdout.out.begin(), to_stdout.out.end()), archive);
    EXPECT_TRUE(has(to_stdout.err, "entry 1: sky.tga")) << to_stdout.err;
}

// The packer in a child process that interrupts itself with `sig` once its
// output file is made, before any entry is written into it.
int interrupted_pack(const fs::path& dir, int sig, bool named_only)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(99);
        if (!freopen("/dev/null", "w", stdout)) _exit(98);
        static int signal_to_raise = 0;
        signal_to_raise = sig;
        app_catch_interrupts();
        output_test.named_files_only = named_only;
        output_test.after_create = [](const std::string&) { std::raise(signal_to_raise); };
        std::string program = "morvex_tex_pack", force = "-f", command = "create", out = "out.pak", image = "sky.tga";
        char* argv[] = {program.data(), force.data(), command.data(), out.data(), image.data(), nullptr};
        _exit(pack_main(5, argv) == 0 ? 0 : 97);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

TEST(PackOutput, AnInterruptedWriteLeavesNothing)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool named_only : {false, true}) {
            temp_dir dir;
            write_tga(dir / "sky.tga", pattern(64, 64, 1, false));
            const std::vector<std::uint8_t> old = tex_build_archive(made_elsewhere());
            test::write_file(dir / "out.pak", old);
            EXPECT_EQ(interrupted_pack(dir.path(), sig, named_only), sig);
            EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"out.pak", "sky.tga"}))
                << "signal " << sig << ", named only: " << named_only;
            EXPECT_EQ(read_file(dir / "out.pak"), old);
        }
    }
}

// ---------------------------------------------------------------------------
// Names, memory and bytes.

TEST(PackNames, NothingTheReadersWouldRefuseIsStored)
{
    temp_dir dir;
    write_png(dir / "a.png", pattern(1, 1, 1, false));
    for (const std::string operand : {"a.png=/etc/x.tga", "a.png=../../y.tga", "a.png=g/../y.tga", "a.png=x\x1b.tga"}) {
        const test::run_result r = run_pack({"create", "o.pak", operand}, dir.path());
        EXPECT_EQ(r.status, 1) << operand;
        EXPECT_TRUE(has(r.err, "(the NAME given for a.png): it ")) << r.err;
        EXPECT_FALSE(has(r.err, "\x1b")) << "a control byte reached the terminal";
        EXPECT_FALSE(fs::exists(dir / "o.pak")) << operand;
    }
    // Paths and options are shown with their control bytes escaped too.
    const test::run_result r = run_pack({"create", "o.pak", "-\x1b]0;pwned\ax.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "\\x1B]0;pwned\\x07x.pak")) << r.err;
}

TEST(PackReplace, SaysWhichEntriesItKeepsThoughNothingCouldExtractThem)
{
    temp_dir dir;
    tex_writer_archive a = made_elsewhere();
    a.entries[6].payload[a.entries[6].payload.size() / 2] ^= 0x55;  // ramp.bmp's stream damaged
    test::write_archive(dir, "in.pak", a);
    write_png(dir / "rings.png", pattern(19, 11, 9, false));
    const test::run_result r = run_pack({"-q", "replace", "in.pak", "out.pak", "rings.png"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "warning: in.pak: entry 3 (notes.txt) kept as stored, though it can't be extracted: unknown type 9"))
        << r.err;
    EXPECT_TRUE(has(r.err, "warning: in.pak: entry 6 (ramp.bmp) kept as stored, though it can't be extracted: damaged zlib"))
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    // ... the same entries `test` finds.
    const test::run_result t = test::run_program(MORVEX_TEX_PATH, {"test", "out.pak"}, dir.path());
    EXPECT_TRUE(has(t.out, "entry 3 (notes.txt): unknown type 9") && has(t.out, "entry 6 (ramp.bmp): damaged zlib")) << t.out;

    // IN.pak read through a FIFO, as every reader reads one.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::thread writer([&] { test::write_file(dir / "fifo", read_file(dir / "in.pak")); });
    const test::run_result piped = run_pack({"-q", "replace", "fifo", "piped.pak", "rings.png"}, dir.path());
    writer.join();
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(read_file(dir / "piped.pak"), read_file(dir / "out.pak"));
}

// A BMP of a few bytes that declares a large image: run-length coded, it
// ends at once, every pixel black.
void write_tiny_rle_bmp(const fs::path& path, std::uint32_t side)
{
    std::ofstream out(path, std::ios::binary);
    const std::uint32_t palette = 2 * 4, data = 2, offset = 14 + 40 + palette;
    out.write("BM", 2);
    write_le(out, offset + data, 4);
    write_le(out, 0, 4);
    write_le(out, offset, 4);
    write_le(out, 40, 4);
    write_le(out, side, 4);
    write_le(out, side, 4);
    write_le(out, 1, 2);
    write_le(out, 8, 2);
    write_le(out, 1, 4);  // RLE8
    write_le(out, data, 4);
    write_le(out, 0, 4);
    write_le(out, 0, 4);
    write_le(out, 2, 4);
    write_le(out, 0, 4);
    write_le(out, 0, 4);
    write_le(out, 0xFFFFFF, 4);
    out.put(0);
    out.put(1);  // end of the bitmap
}

TEST(PackMemory, OneImageAWorker)
{
    if (test::sanitized) GTEST_SKIP() << "a sanitizer's memory is not the program's";
    temp_dir dir;
    // Each 2048 x 2048: a 16 MiB image from a 70-byte file.
    constexpr long image_kib = 16 * 1024;
    std::vector<std::string> one{"-q", "-j", "1", "create", "one.pak"}, six{"-q", "create", "six.pak"};
    for (int k = 0; k < 6; ++k) {
        const std::string name = "b" + std::to_string(k) + ".bmp";
        write_tiny_rle_bmp(dir / name, 2048);
        if (k == 0) one.push_back(name);
        six.push_back(name);
    }
    for (const bool dry : {false, true}) {
        // Each run writes over the last's archive.
        one.insert(one.begin(), dry ? "-n" : "-f");
        six.insert(six.begin(), dry ? "-n" : "-f");
        const test::run_result a = run_pack(one, dir.path());
        ASSERT_EQ(a.status, 0) << a.err;
        for (const long workers : {1, 2, 3}) {
            SCOPED_TRACE("dry run: " + std::to_string(dry) + ", -j " + std::to_string(workers));
            std::vector<std::string> args = six;
            args.insert(args.begin(), {"-j", std::to_string(workers)});
            const test::run_result b = run_pack(args, dir.path());
            ASSERT_EQ(b.status, 0) << b.err;
            if (workers == 1) {
                // Six images cost what one costs, give or take less than one image.
                EXPECT_LT(b.peak_kib, a.peak_kib + 8 * 1024);
            } else {
                EXPECT_LT(b.peak_kib, workers * image_kib + 64 * 1024);
            }
        }
    }
    EXPECT_EQ(read_well_formed(dir / "six.pak").entries.size(), 7u);
}

// ---------------------------------------------------------------------------
// Threads and levels.

// A texture of the benchmark's (smooth gradients with some noise), widened
// from the 4-bit levels type 4 keeps.
rgba_image texture(std::uint32_t w, std::uint32_t h, std::uint32_t seed)
{
    rgba_image img{w, h, std::vector<std::uint32_t>(std::size_t{w} * h)};
    const std::vector<std::uint16_t> levels = bench::argb4444_texture(w, h, seed);
    for (std::size_t k = 0; k < levels.size(); ++k) {
        for (unsigned n = 0; n < 4; ++n) img.argb[k] |= ((levels[k] >> (4 * n)) & 15u) * 17u << (8 * n);
    }
    return img;
}

// The bytes a type-4 payload must inflate to.
std::vector<std::uint8_t> argb4444_bytes(const std::vector<std::uint32_t>& argb)
{
    std::vector<std::uint8_t> out(argb.size() * 2);
    for (std::size_t k = 0; k < argb.size(); ++k) tex_put_le16(out, 2 * k, pack_argb4444(argb[k]));
    return out;
}

TEST(PackPayload, EveryLevelIsAZlibStreamOfThePixels)
{
    struct image_case {
        const char* what;
        rgba_image image;
    };
    const std::vector<image_case> images = {
        {"a texture", texture(256, 256, 1)},
        {"noise, which doesn't compress", pattern(64, 48, 2, false)},
        {"one pixel", pattern(1, 1, 3, false)},
    };
    for (const image_case& c : images) {
        const std::vector<std::uint8_t> pixels = argb4444_bytes(c.image.argb);
        std::vector<std::size_t> sizes;
        for (int level = pack_level_fastest; level <= pack_level_best; ++level) {
            SCOPED_TRACE(std::string(c.what) + ", level " + std::to_string(level));
            pack_image image;
            image.width = static_cast<std::uint16_t>(c.image.width);
            image.height = static_cast<std::uint16_t>(c.image.height);
            image.argb = c.image.argb;
            pack_payload payload;
            ASSERT_EQ(pack_make_payload(image, 4, level, payload), 0);
            const std::vector<std::uint8_t>& stream = payload.deflated;
            ASSERT_GE(stream.size(), 6u);
            EXPECT_EQ(stream[0], 0x78);  // deflate, a 32 KiB window
            EXPECT_EQ((stream[0] * 256 + stream[1]) % 31, 0);
            // zlib's own inflation, which checks the stream's checksum too.
            std::vector<std::uint8_t> back(pixels.size() + 1);
            uLongf len = static_cast<uLongf>(back.size());
            ASSERT_EQ(uncompress(back.data(), &len, stream.data(), static_cast<uLong>(stream.size())), Z_OK);
            back.resize(len);
            EXPECT_EQ(back, pixels);
            sizes.push_back(stream.size());
        }
        if (std::string(c.what) == "a texture") {
            // The slower levels find shorter streams; the best one shorter than
            // zlib's level 9, which the packer used before.
            EXPECT_GT(sizes.front(), sizes[8]);
            EXPECT_GE(sizes[8], sizes.back());
            std::vector<std::uint16_t> px(c.image.argb.size());
            std::transform(c.image.argb.begin(), c.image.argb.end(), px.begin(), pack_argb4444);
            EXPECT_LT(sizes.back() * 100, tex_make_type4_payload(px, 9).size() * 95);
        }
    }
    for (const int level : {0, 13, -1}) {
        pack_image image;
        image.width = image.height = 1;
        image.argb = {0xFF000000u};
        pack_payload payload;
        EXPECT_EQ(pack_make_payload(image, 4, level, payload), -1) << level;
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST(PackWorkers, JobsComeBackInOrderAndResultsWaitWithinTheBudget)
{
    // Each job takes `peak` while it runs and keeps `kept` until finished.
    constexpr std::uint64_t peak = 10, kept = 4, budget = 20;
    for (const unsigned workers : {1u, 2u, 3u, 16u}) {
        SCOPED_TRACE(workers);
        std::mutex lock;
        std::uint64_t held = 0, most = 0;
        std::vector<std::uint32_t> finished;
        ordered_options o;
        o.workers = workers;
        o.memory_budget = budget;
        o.results_kept = true;
        run_ordered_jobs(
            60, o, [](std::uint32_t i) { return ordered_job{i % 5 != 4, 0}; },
            [&](std::uint32_t) -> std::uint64_t {
                std::lock_guard<std::mutex> hold(lock);
                held += kept;
                most = std::max(most, held + peak - kept);
                return kept;
            },
            [&](std::uint32_t i) {
                std::lock_guard<std::mutex> hold(lock);
                finished.push_back(i);
                if (i % 5 != 4) held -= kept;
            });
        std::vector<std::uint32_t> order(60);
        std::iota(order.begin(), order.end(), 0u);
        EXPECT_EQ(finished, order);
        EXPECT_LE(most, budget + workers * peak);
    }
}

TEST(PackWorkers, TheSameArchiveAndLinesWhateverTheThreads)
{
    temp_dir dir;
    // Images of several sizes and formats, so that jobs finish out of order.
    std::vector<std::string> images;
    tex_writer_archive source = test::archive_of({});
    for (std::uint32_t k = 0; k < 14; ++k) {
        const std::uint32_t w = k % 3 == 0 ? 300 : 17 + 5 * k, h = k % 4 == 0 ? 200 : 9 + k;
        const rgba_image img = k % 2 ? texture(w, h, k) : pattern(w, h, k, false);
        const std::string name = "i" + std::to_string(k) + (k % 3 == 1 ? ".png" : ".tga");
        k % 3 == 1 ? write_png(dir / name, img) : write_tga(dir / name, img);
        images.push_back(name);
        // The source holds half of them as they are, the others as other
        // pixels; type-4 entries are zlib's streams at its level 6.
        std::vector<std::uint32_t> held = k % 2 ? img.argb : pattern(w, h, 100 + k, false).argb;
        std::vector<std::uint16_t> px(held.size());
        std::transform(held.begin(), held.end(), px.begin(), pack_argb4444);
        const auto w16 = static_cast<std::uint16_t>(w), h16 = static_cast<std::uint16_t>(h);
        source.entries.push_back(k % 4 == 3 ? tex_type6_entry(name, w16, h16, held) : tex_type4_entry(name, w16, h16, px));
    }
    test::write_archive(dir, "in.pak", source);
    test::write_file(dir / "broken.png", {0x89, 'P', 'N', 'G', 1});
    std::vector<std::string> with_broken = images, broken_in_place = images;
    with_broken.insert(with_broken.begin() + 7, "broken.png");
    broken_in_place[8] = "broken.png=i8.tga";

    struct run_case {
        const char* what;
        std::vector<std::string> args;  // OUT.pak is "out.pak"
        int status;
    };
    const auto cat = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<run_case> cases = {
        {"create, type 4", cat({"-t", "4", "create", "out.pak"}, images), 0},
        {"create, type 4, best", cat({"--best", "-t", "4", "create", "out.pak"}, images), 0},
        {"create, type 6", cat({"create", "out.pak"}, images), 0},
        {"create stops at a broken image", cat({"-t", "4", "create", "out.pak"}, with_broken), 1},
        {"create, dry run past a broken image", cat({"-n", "-t", "4", "create", "out.pak"}, with_broken), 1},
        {"replace", cat({"replace", "in.pak", "out.pak"}, images), 0},
        {"replace stops at a broken image", cat({"replace", "in.pak", "out.pak"}, broken_in_place), 1},
    };
    const stored_archive in = read_well_formed(dir / "in.pak");
    for (const run_case& c : cases) {
        std::optional<test::run_result> first;
        std::vector<std::uint8_t> archive;
        for (const char* jobs : {"1", "2", "3", "16"}) {
            SCOPED_TRACE(std::string(c.what) + ", -j " + jobs);
            fs::remove(dir / "out.pak");
            const test::run_result r = run_pack(cat({"-j", jobs}, c.args), dir.path());
            EXPECT_EQ(r.status, c.status) << r.err;
            const std::vector<std::uint8_t> bytes =
                fs::exists(dir / "out.pak") ? read_file(dir / "out.pak") : std::vector<std::uint8_t>{};
            EXPECT_EQ(bytes.empty(), c.status != 0);
            if (!first) {
                first = r;
                archive = bytes;
                continue;
            }
            EXPECT_EQ(bytes, archive);
            EXPECT_EQ(r.out, first->out);
            EXPECT_EQ(r.err, first->err);
        }
        if (std::string(c.what) != "replace") continue;
        // Only the entries that get other pixels are written anew: the
        // others keep zlib's streams byte for byte.
        const stored_archive out = read_well_formed(dir / "out.pak");
        ASSERT_EQ(out.entries.size(), in.entries.size());
        for (std::size_t k = 1; k < out.entries.size(); ++k) {
            SCOPED_TRACE(in.entries[k].name());
            const bool unchanged = (k - 1) % 2 == 1;
            EXPECT_EQ(out.entries[k].bytes == in.entries[k].bytes, unchanged);
            EXPECT_TRUE(has(first->out, (k < 10 ? "entry  " : "entry ") + std::to_string(k) + ": ")) << first->out;
            if (!unchanged && out.entries[k].header.rep_t_id == 4) {
                std::vector<std::uint32_t> want = read_image(dir / images[k - 1]).argb;
                std::transform(want.begin(), want.end(), want.begin(), rounded);
                EXPECT_EQ(decode_type4(out.entries[k]), want);
            }
        }
    }
}

TEST(PackCommandLine, LevelsAndThreadsAsZipAndGzipSpellThem)
{
    temp_dir dir;
    std::vector<std::string> images;
    for (std::uint32_t k = 0; k < 3; ++k) {
        images.push_back("t" + std::to_string(k) + ".tga");
        write_tga(dir / images.back(), texture(128, 96, k));
    }
    const auto archive_of_run = [&](std::vector<std::string> options, const std::vector<std::string>& env = {}) {
        options.insert(options.end(), {"-q", "-t", "4", "create", "out.pak"});
        options.insert(options.end(), images.begin(), images.end());
        fs::remove(dir / "out.pak");
        const test::run_result r = test::run_program(MORVEX_PACK_PATH, options, dir.path(), env);
        EXPECT_EQ(r.status, 0) << r.err;
        return fs::exists(dir / "out.pak") ? read_file(dir / "out.pak") : std::vector<std::uint8_t>{};
    };
    // Spellings of one setting give one archive.
    const std::vector<std::vector<std::vector<std::string>>> same = {
        {{"-1"}, {"--fast"}, {"--level", "1"}, {"--level=1"}, {"-9", "--fast"}},
        {{}, {"-6"}, {"--level", "6"}, {"--level=6"}, {"-1", "-6"}, {"-j", "2"}, {"-j2"}, {"--jobs", "3"},
         {"--jobs=16"}},
        {{"--best"}, {"--level", "12"}, {"--level=12"}, {"--fast", "--best"}},
        {{"-9"}, {"--level=9"}},
    };
    std::vector<std::size_t> sizes;
    for (const auto& spellings : same) {
        const std::vector<std::uint8_t> first = archive_of_run(spellings[0]);
        ASSERT_FALSE(first.empty());
        read_well_formed(dir / "out.pak");
        for (const auto& spelled : spellings) EXPECT_EQ(archive_of_run(spelled), first) << spelled.size();
        sizes.push_back(first.size());
    }
    EXPECT_GT(sizes[0], sizes[1]);   // -1 against the default
    EXPECT_GE(sizes[1], sizes[2]);   // the default against --best
    EXPECT_EQ(archive_of_run({}, {"MORVEX_TEX_JOBS=1"}), archive_of_run({}, {"MORVEX_TEX_JOBS=3"}));

    // What isn't a level or a number of threads: a usage error (2 under
    // morvex_tex), naming it.
    struct refusal {
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char* says;
    };
    const std::vector<refusal> refusals = {
        {{"--level", "0"}, {}, "invalid level '0': 1 to 12"},
        {{"--level=13"}, {}, "invalid level '13': 1 to 12"},
        {{"--level", "x"}, {}, "invalid level 'x'"},
        {{"--level"}, {}, "option '--level' needs a value"},
        {{"-0"}, {}, "unknown option '-0'"},
        {{"-10"}, {}, "unknown option '-10'"},
        {{"--fast=1"}, {}, "unknown option '--fast=1'"},
        {{"-j", "0"}, {}, "invalid number of threads '0': 1 to 256"},
        {{"-j257"}, {}, "invalid number of threads '257'"},
        {{"--jobs=abc"}, {}, "invalid number of threads 'abc'"},
        {{}, {"MORVEX_TEX_JOBS=abc"}, "MORVEX_TEX_JOBS takes a number from 1 to 256, not abc"},
    };
    for (const refusal& r : refusals) {
        // Options may follow the operands: one that wants a value can come last.
        std::vector<std::string> args = {"create", "no.pak", images[0]};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const test::run_result pack = test::run_program(MORVEX_PACK_PATH, args, dir.path(), r.env);
        EXPECT_EQ(pack.status, 1) << r.says;
        EXPECT_TRUE(has(pack.err, r.says)) << pack.err;
        const test::run_result tex = test::run_program(MORVEX_TEX_PATH, args, dir.path(), r.env);
        EXPECT_EQ(tex.status, 2) << r.says;
        EXPECT_TRUE(has(tex.err, r.says)) << tex.err;
        EXPECT_FALSE(fs::exists(dir / "no.pak"));
    }
    // -j with MORVEX_TEX_JOBS unusable: -j decides.
    EXPECT_EQ(archive_of_run({"-j", "2"}, {"MORVEX_TEX_JOBS=abc"}), archive_of_run({}));

    // replace writes the entries it patches at the level asked for.
    ASSERT_FALSE(archive_of_run({"--fast"}).empty());
    fs::rename(dir / "out.pak", dir / "fast.pak");
    write_tga(dir / images[1], texture(128, 96, 9));
    std::vector<std::size_t> patched;
    for (const char* level : {"--fast", "--best"}) {
        const test::run_result r =
            run_pack({"-q", level, "replace", "fast.pak", "p.pak", images[0], images[1]}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const stored_archive a = read_well_formed(dir / "p.pak");
        ASSERT_EQ(a.entries.size(), 4u);
        EXPECT_EQ(a.entries[1].bytes, read_well_formed(dir / "fast.pak").entries[1].bytes);  // unchanged
        patched.push_back(a.entries[2].bytes.size());
    }
    EXPECT_GT(patched[0], patched[1]);
}

// ---------------------------------------------------------------------------
// The library's requests: a request in, the result's entries and notes out,
// nothing printed and no process run.

// The type-4 entry sky.tga of made_elsewhere() as its extracted file holds it.
rgba_image sky_as_extracted()
{
    rgba_image img{40, 24, std::vector<std::uint32_t>(40 * 24)};
    for (std::size_t k = 0; k < img.argb.size(); ++k) {
        const auto p = static_cast<std::uint16_t>(k * 7919u);
        for (unsigned n = 0; n < 4; ++n) img.argb[k] |= ((p >> (4 * n)) & 15u) * 17u << (8 * n);
    }
    return img;
}

// Entries whose payloads hold other than their pixels: a type-4 stream of
// half its pixels, all opaque, and opaque type-6 pixels followed by bytes
// that would read as a transparent pixel.
tex_writer_archive with_odd_payloads()
{
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry());
    a.entries.push_back(tex_type4_entry("short4.tga", 4, 4, std::vector<std::uint16_t>(8, 0xFFFF)));
    tex_writer_entry long6 = tex_type6_entry("long6.tga", 2, 2, pattern(2, 2, 40, true).argb);
    long6.payload.insert(long6.payload.end(), {1, 2, 3, 0});
    a.entries.push_back(long6);
    return a;
}

TEST(PackRequests, EntriesAndNotesAsData)
{
    temp_dir dir;
    const auto at = [&](const std::string& name) { return (dir / name).string(); };
    write_tga(dir / "a.tga", pattern(4, 2, 50, false));
    write_png(dir / "b.png", pattern(3, 3, 51, false));
    write_png(dir / "twin.png", pattern(1, 1, 58, false));
    write_bmp(dir / "opaque2.bmp", pattern(2, 2, 52, true));
    write_bmp(dir / "opaque4.bmp", pattern(4, 4, 53, true));
    write_png(dir / "a-name-longer-than-thirty-two-bytes.png", pattern(1, 1, 54, false));
    test::write_file(dir / "broken.png", {0x89, 'P', 'N', 'G', 1});
    test::write_file(dir / "notes.pak", {'m', 'i', 'n', 'e'});
    write_tga(dir / "sky.tga", sky_as_extracted());
    write_png(dir / "rings.png", pattern(19, 11, 5, false));
    fs::create_directory(dir / "empty");
    test::write_archive(dir, "in.pak", made_elsewhere());
    test::write_archive(dir, "odd.pak", with_odd_payloads());
    tex_writer_archive twins;
    twins.entries.push_back(tex_type6_entry("only.tga", 1, 1, pattern(1, 1, 55, false).argb));
    twins.entries.push_back(tex_type6_entry("twin.tga", 1, 1, pattern(1, 1, 56, false).argb));
    twins.entries.push_back(tex_type6_entry("twin.bmp", 1, 1, pattern(1, 1, 57, false).argb));
    tex_writer_entry text;
    text.name = "text.txt";
    text.type = 9;
    twins.entries.push_back(text);
    test::write_archive(dir, "twins.pak", twins);
    tex_writer_archive padded = made_elsewhere();
    for (tex_writer_entry& e : padded.entries) e.padding[3] = 1;
    test::write_archive(dir, "padded.pak", padded);

    using f = pack_fate;
    using k = pack_note_kind;
    struct request_case {
        const char* what;
        bool replace;
        std::function<void(pack_request&)> make;  // output, source and images (relative to dir)
        int rc;
        std::vector<std::pair<pack_fate, std::string>> entries;
        std::vector<pack_note_kind> notes;
        std::uint32_t refused;
        bool written;
        std::function<void(const pack_result&)> more = [](const pack_result&) {};
    };
    const std::vector<request_case> cases = {
        {"create: a placeholder, then every image", false,
         [&](pack_request& r) { r.images = {{at("a.tga"), ""}, {at("b.png"), "g/b.png"}}; r.type = 4; }, 0,
         {{f::placeholder, ""}, {f::added, "a.tga"}, {f::added, "g/b.png"}}, {}, 0, true,
         [&](const pack_result& r) {
             EXPECT_EQ(r.entries[1].type, 4);
             EXPECT_EQ(r.entries[1].width, 4);
             EXPECT_EQ(r.entries[2].from, at("b.png"));
         }},
        {"create, dry run: every refusal in its turn", false,
         [&](pack_request& r) {
             r.images = {{at("missing.png"), ""}, {at("a-name-longer-than-thirty-two-bytes.png"), ""}, {at("a.tga"), ""},
                         {at("b.png"), "a.tga"}, {at("broken.png"), ""}};
             r.dry_run = true;
         },
         0, {{f::placeholder, ""}, {f::added, "a.tga"}},
         {k::name_too_long, k::names_collide, k::image_unreadable, k::image_undecodable}, 4, false,
         [&](const pack_result& r) {
             EXPECT_EQ(r.notes[0].a, 39u);
             EXPECT_EQ(r.notes[1].other, at("a.tga"));
             EXPECT_EQ(r.notes[1].path, at("b.png"));
             EXPECT_EQ(r.notes[3].after, 2u);
         }},
        {"create stops at the first image refused", false,
         [&](pack_request& r) { r.images = {{at("a.tga"), ""}, {at("broken.png"), ""}}; }, -1,
         {{f::placeholder, ""}, {f::added, "a.tga"}}, {k::image_undecodable}, 1, false},
        {"create over a file that is no archive", false,
         [&](pack_request& r) { r.output = at("notes.pak"); r.images = {{at("a.tga"), ""}}; }, -1, {},
         {k::output_refused}, 0, false,
         [](const pack_result& r) { EXPECT_EQ(r.notes[0].a, static_cast<std::uint64_t>(path_refusal::other_kind)); }},
        {"create over it, forced", false,
         [&](pack_request& r) { r.output = at("notes.pak"); r.images = {{at("a.tga"), ""}}; r.force = true; }, 0,
         {{f::placeholder, ""}, {f::added, "a.tga"}}, {}, 0, true},
        {"create into one of its images", false,
         [&](pack_request& r) { r.output = at("a.tga"); r.images = {{at("a.tga"), ""}}; }, -1, {}, {k::output_is_image}, 0,
         false},
        {"create of a type that holds no image", false,
         [&](pack_request& r) { r.images = {{at("a.tga"), ""}}; r.type = 5; }, -1, {}, {k::type_not_image}, 0, false},
        {"create from a folder without images", false, [&](pack_request& r) { r.images = {{at("empty"), ""}}; }, -1, {},
         {k::folder_empty}, 0, false},
        {"replace: kept, unchanged and replaced, with the warnings in their places", true,
         [&](pack_request& r) {
             r.source = at("in.pak");
             r.images = {{at("sky.tga"), ""}, {at("rings.png"), ""}, {at("opaque2.bmp"), "badge.tga"}};
         },
         0,
         {{f::kept, "sky.tga"}, {f::unchanged, "sky.tga"}, {f::unchanged, "rings.png"}, {f::kept, "notes.txt"},
          {f::replaced, "badge.tga"}, {f::kept, "flag.pcx"}, {f::kept, "ramp.bmp"}},
         {k::kept_undecodable, k::alpha_dropped, k::size_changed}, 0, true,
         [](const pack_result& r) {
             EXPECT_EQ(r.notes[0].entry, 3u);
             EXPECT_EQ(r.notes[0].findings, (std::vector<tex_finding>{{tex_finding_kind::unknown_type, 9}}));
             EXPECT_EQ(r.notes[1].after, 4u);
             EXPECT_EQ(std::vector<std::uint64_t>({r.notes[2].a, r.notes[2].b, r.notes[2].c, r.notes[2].d}),
                       std::vector<std::uint64_t>({2, 2, 8, 8}));
         }},
        {"replace, dry run: no such entry, two of one stem, no image type", true,
         [&](pack_request& r) {
             r.source = at("twins.pak");
             r.images = {{at("a.tga"), "only.tga"}, {at("twin.png"), ""}, {at("a.tga"), "text.txt"}};
             r.dry_run = true;
         },
         0, {{f::kept, "only.tga"}, {f::kept, "twin.tga"}, {f::kept, "twin.bmp"}, {f::kept, "text.txt"}},
         {k::no_entry, k::stems_ambiguous, k::entry_not_image, k::kept_undecodable}, 3, false,
         [](const pack_result& r) {
             EXPECT_EQ(r.notes[0].a, 1u);  // only the first has it
             EXPECT_EQ(r.notes[1].name, "twin.bmp");
             EXPECT_EQ(r.notes[1].other_name, "twin.tga");
             EXPECT_EQ(r.notes[2].a, 9u);
         }},
        {"replace refuses an archive it can't keep, naming a few findings", true,
         [&](pack_request& r) {
             r.source = at("padded.pak");
             r.images = {{at("rings.png"), ""}};
             r.findings_kept = 2;
         },
         -1, {}, {k::source_finding, k::source_finding, k::source_findings_more}, 0, false,
         [](const pack_result& r) {
             EXPECT_EQ(r.notes[0].entry, 0u);
             EXPECT_EQ(r.notes[1].name, "sky.tga");
             EXPECT_EQ(r.notes[2].a, 5u);  // seven entries' padding in all
         }},
        {"replace: only the pixels a payload holds count", true,
         [&](pack_request& r) {
             r.source = at("odd.pak");
             r.images = {{at("opaque4.bmp"), "short4.tga"}, {at("opaque2.bmp"), "long6.tga"}};
         },
         0, {{f::kept, ""}, {f::replaced, "short4.tga"}, {f::replaced, "long6.tga"}}, {}, 0, true},
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const request_case& t = cases[c];
        SCOPED_TRACE(t.what);
        pack_request request;
        request.output = at("out" + std::to_string(c) + ".pak");
        t.make(request);
        const std::vector<std::uint8_t> before = fs::exists(request.output) ? read_file(request.output) : std::vector<std::uint8_t>{};
        pack_result result;
        const int rc = t.replace ? pack_replace(request, result) : pack_create(request, result);
        EXPECT_EQ(rc, t.rc);
        std::vector<std::pair<pack_fate, std::string>> entries;
        for (const pack_entry& e : result.entries) entries.emplace_back(e.fate, e.name);
        EXPECT_EQ(entries, t.entries);
        std::vector<pack_note_kind> notes;
        for (const pack_note& n : result.notes) notes.push_back(n.kind);
        EXPECT_EQ(notes, t.notes);
        EXPECT_EQ(result.images_refused, t.refused);
        if (notes != t.notes) continue;
        t.more(result);
        // Nothing is under the output's name until the archive is placed.
        EXPECT_EQ(fs::exists(request.output) ? read_file(request.output) : std::vector<std::uint8_t>{}, before);
        EXPECT_EQ(result.pending != nullptr, t.written);
        EXPECT_EQ(pack_place(result), 0);
        if (t.written) {
            EXPECT_EQ(read_well_formed(request.output).entries.size(), t.entries.size());
        } else {
            EXPECT_EQ(fs::exists(request.output) ? read_file(request.output) : std::vector<std::uint8_t>{}, before);
        }
    }
}

}  // namespace
