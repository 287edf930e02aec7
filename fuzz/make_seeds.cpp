// morvex_fuzz_seeds DIR: writes the fuzzing seed corpus into DIR with the archive
// writer: well-formed archives of both types in every format, and one archive
// for each kind of damage the extractor must survive. Each is at most a few KiB.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "format/format.hpp"
#include "format/writer.hpp"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

std::vector<std::uint16_t> pixels4(unsigned n)
{
    std::vector<std::uint16_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = static_cast<std::uint16_t>(0x8000u + k * 0x0F1Du);
    return px;
}

std::vector<std::uint32_t> pixels6(unsigned n)
{
    std::vector<std::uint32_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = 0xC0000000u + k * 0x00102030u;
    return px;
}

bytes zlib_of(const bytes& raw)
{
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    bytes out(len);
    if (compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) return {};
    out.resize(len);
    return out;
}

// A type-4 entry whose stream inflates to exactly `raw_len` bytes of pixels.
tex_writer_entry type4_inflating_to(const std::string& name, std::uint16_t w, std::uint16_t h, std::size_t raw_len)
{
    tex_writer_entry e = tex_type4_entry(name, w, h, {});
    bytes raw(raw_len);
    for (std::size_t k = 0; k < raw_len; ++k) raw[k] = static_cast<std::uint8_t>(k * 37 + 11);
    e.payload = zlib_of(raw);
    return e;
}

tex_writer_archive with(std::vector<tex_writer_entry> entries)
{
    tex_writer_archive a;
    a.entries.push_back(tex_placeholder_entry("index"));
    for (auto& e : entries) a.entries.push_back(std::move(e));
    return a;
}

tex_writer_archive well_formed()
{
    return with({tex_type4_entry("a.tga", 4, 3, pixels4(12)), tex_type6_entry("b.png", 3, 2, pixels6(6)),
                 tex_type4_entry("c.BMP", 2, 5, pixels4(10)), tex_type6_entry("d.pcx", 2, 2, pixels6(4))});
}

bytes cut(const tex_writer_archive& a, std::size_t length)
{
    bytes b = tex_build_archive(a);
    b.resize(std::min(length, b.size()));
    return b;
}

std::vector<std::pair<std::string, std::function<bytes()>>> seeds()
{
    return {
        {"well-formed", [] { return tex_build_archive(well_formed()); }},
        {"empty", [] { return tex_build_archive(tex_writer_archive{}); }},
        {"index-only", [] { return tex_build_archive(with({})); }},
        {"lower-case-signature",
         [] {
             tex_writer_archive a = with({tex_type6_entry("x.tga", 1, 1, pixels6(1))});
             a.signature = {'t', 'e', 'x'};
             return tex_build_archive(a);
         }},
        {"version-2",
         [] {
             tex_writer_archive a = well_formed();
             a.version = 2;
             return tex_build_archive(a);
         }},
        {"three-bytes", [] { return bytes{'T', 'E', 'X'}; }},
        {"header-cut", [] { return cut(well_formed(), 100); }},
        {"table-cut", [] { return cut(well_formed(), tex_header_size + 2 * tex_table_entry_size + 7); }},
        {"payload-cut", [] {
             const bytes b = tex_build_archive(well_formed());
             return cut(well_formed(), b.size() - 5);
         }},
        {"count-huge",
         [] {
             tex_writer_archive a = well_formed();
             a.file_count = 0xFFFFFFFFu;
             return tex_build_archive(a);
         }},
        {"offset-past-end",
         [] {
             tex_writer_entry far = tex_type6_entry("far.tga", 1, 1, pixels6(1));
             far.offset = 0x7FFFFFF0u;
             far.write_body = false;
             return tex_build_archive(with({far, tex_type6_entry("near.tga", 1, 1, pixels6(1))}));
         }},
        {"entry-header-cut",
         [] {
             const tex_writer_archive a = with({tex_type6_entry("x.tga", 1, 1, pixels6(1)),
                                               tex_type6_entry("y.tga", 1, 1, pixels6(1))});
             return cut(a, tex_build_archive(a).size() - 4 - 40);
         }},
        {"payload-past-end",
         [] {
             tex_writer_entry e = tex_type4_entry("p.tga", 2, 2, pixels4(4));
             e.table_size = 0xFFFFFFF0u;
             return tex_build_archive(with({e, tex_type6_entry("q.tga", 1, 1, pixels6(1))}));
         }},
        {"type4-short", [] { return tex_build_archive(with({type4_inflating_to("s.tga", 4, 4, 11)})); }},
        {"type4-long", [] { return tex_build_archive(with({type4_inflating_to("l.png", 2, 2, 40)})); }},
        {"type4-not-zlib",
         [] {
             tex_writer_entry e = tex_type4_entry("z.tga", 2, 2, pixels4(4));
             e.payload = {0x78, 0x9C, 0xFF, 0x00, 0x13, 0x37, 0x42};
             return tex_build_archive(with({e}));
         }},
        {"type6-short",
         [] {
             tex_writer_entry e = tex_type6_entry("s6.tga", 3, 3, pixels6(9));
             e.payload.resize(30);
             return tex_build_archive(with({e}));
         }},
        {"zero-sizes",
         [] {
             return tex_build_archive(with({tex_type6_entry("w0.tga", 0, 3, {}), tex_type4_entry("h0.png", 3, 0, {}),
                                            tex_type4_entry("00.bmp", 0, 0, {})}));
         }},
        {"huge-images",
         [] {
             tex_writer_entry big4 = tex_type4_entry("big4.tga", 65535, 65535, {});
             big4.payload = zlib_of(bytes(20, 0xAB));
             tex_writer_entry big6 = tex_type6_entry("big6.tga", 16385, 16384, {});
             big6.payload.assign(20, 0x5A);
             return tex_build_archive(with({big4, big6}));
         }},
        {"wide-strip", [] { return tex_build_archive(with({tex_type6_entry("strip.tga", 1024, 1, pixels6(1024))})); }},
        {"unsafe-names",
         [] {
             tex_writer_entry ctl = tex_type6_entry("", 1, 1, pixels6(1));
             ctl.raw_name = std::array<std::uint8_t, tex_name_size>{'c', 0x1B, '[', '2', 'J', '.', 't', 'g', 'a'};
             return tex_build_archive(with({tex_type6_entry("/tmp/abs.tga", 1, 1, pixels6(1)),
                                            tex_type6_entry("../up.tga", 1, 1, pixels6(1)),
                                            tex_type6_entry("a/../../b.tga", 1, 1, pixels6(1)), ctl,
                                            tex_type6_entry("nodir/x.tga", 1, 1, pixels6(1)),
                                            tex_type6_entry("..ok.tga", 1, 1, pixels6(1))}));
         }},
        {"full-length-names",
         [] {
             tex_writer_entry e = tex_type6_entry("", 1, 1, pixels6(1));
             std::array<std::uint8_t, tex_name_size> name{};
             for (std::size_t k = 0; k < name.size(); ++k) name[k] = static_cast<std::uint8_t>('a' + k % 26);
             name[28] = '.', name[29] = 't', name[30] = 'g', name[31] = 'a';
             e.raw_name = name;
             return tex_build_archive(with({e}));
         }},
        {"formats-and-types",
         [] {
             tex_writer_entry five = tex_type6_entry("five.tga", 1, 1, pixels6(1));
             five.type = 5;
             return tex_build_archive(with({tex_type6_entry("pic.jpg", 1, 1, pixels6(1)),
                                            tex_type4_entry("noext", 1, 1, pixels4(1)), five}));
         }},
        {"mismatches-and-padding",
         [] {
             tex_writer_archive a = well_formed();
             a.padding[0] = 0x11;
             a.padding[243] = 0x22;
             a.second_word = 0xDEADBEEF;
             a.entries[1].rep_c_sz = 3;
             a.entries[2].table_type = 4;
             a.entries[3].padding[38] = 0x33;
             return tex_build_archive(a);
         }},
        {"shared-and-reversed-offsets",
         [] {
             tex_writer_archive a = well_formed();
             const bytes laid = tex_build_archive(a);
             a.entries[4].offset = tex_le32(laid, tex_header_size + 1 * tex_table_entry_size + 4);
             a.entries[4].write_body = false;
             return tex_build_archive(a);
         }},
    };
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: morvex_fuzz_seeds DIR\n");
        return 1;
    }
    const fs::path dir = argv[1];
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const auto& [name, make] : seeds()) {
        const bytes b = make();
        const fs::path path = dir / name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || (!b.empty() && std::fwrite(b.data(), 1, b.size(), f) != b.size()) || std::fclose(f) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
