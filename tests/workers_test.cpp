// Entries decoded on worker threads: the report, the progress bar and every
// file the same, byte for byte, whatever the number of workers.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

std::vector<std::uint16_t> pixels4(unsigned n, unsigned seed)
{
    std::vector<std::uint16_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = static_cast<std::uint16_t>((k + seed) * 0x1357u);
    return px;
}

std::vector<std::uint32_t> pixels6(unsigned n, unsigned seed)
{
    std::vector<std::uint32_t> px(n);
    for (unsigned k = 0; k < n; ++k) px[k] = (k + seed) * 0x2468ACE1u;
    return px;
}

// Archives of many kinds, well formed and damaged: the first entry is the
// index, the rest as listed.
std::map<std::string, std::vector<std::uint8_t>> archives()
{
    std::map<std::string, std::vector<std::uint8_t>> out;
    const auto make = [](std::vector<tex_writer_entry> entries) {
        tex_writer_archive a;
        a.entries.push_back(tex_placeholder_entry("index"));
        for (auto& e : entries) a.entries.push_back(std::move(e));
        return tex_build_archive(a);
    };
    std::vector<tex_writer_entry> mixed;
    const char* names[] = {"a.tga", "b.png", "c.bmp", "d.pcx", "a.tga", "big.tga", "e.TGA", "f.png"};
    for (unsigned k = 0; k < 8; ++k) {
        const std::uint16_t w = k == 5 ? 300 : static_cast<std::uint16_t>(3 + k), h = k == 5 ? 200 : 5;
        mixed.push_back(k % 2 ? tex_type6_entry(names[k], w, h, pixels6(std::uint32_t{w} * h, k))
                              : tex_type4_entry(names[k], w, h, pixels4(std::uint32_t{w} * h, k)));
    }
    out["mixed, a name shared by two entries"] = make(mixed);

    std::vector<tex_writer_entry> damaged = mixed;
    damaged[0].payload.back() ^= 1;                                     // checksum
    damaged[1].payload.resize(damaged[1].payload.size() - 4);           // type 6 short
    damaged[2].type = 5;                                                // unknown type
    damaged[3].table_size = 0xFFFFFF00u;                                // past the end
    damaged[4].padding[3] = 7;                                          // padding
    damaged[4].rep_c_sz = 1;                                            // sizes differ
    damaged[6].name = "../up.tga";                                      // unsafe name
    damaged[7].width = 0;                                               // no pixels
    std::vector<std::uint8_t> bytes = make(damaged);
    out["damaged entries"] = bytes;
    bytes.resize(bytes.size() - 700);
    out["cut short"] = bytes;

    std::vector<tex_writer_entry> repeats = {mixed[0], mixed[1], mixed[5]};
    tex_writer_entry again = mixed[0];
    again.write_body = false;
    repeats.push_back(again);
    std::vector<std::uint8_t> r = make(repeats);
    tex_put_le32(r, tex_header_size + 4 * tex_table_entry_size + 4, tex_le32(r, tex_header_size + tex_table_entry_size + 4));
    tex_put_le32(r, tex_header_size + 2 * tex_table_entry_size + 8, 0x4000);  // runs over the next header
    out["repeats and overlaps"] = r;
    return out;
}

struct run_outputs {
    test::run_result result;
    std::map<std::string, std::vector<std::uint8_t>> files;
};

run_outputs run_with(const std::vector<std::uint8_t>& archive, unsigned workers, bool raw)
{
    temp_dir dir;
    fs::create_directory(dir / "out");
    test::write_file(dir / "a.pak", archive);
    std::vector<std::string> args{"../a.pak"};
    if (raw) args.push_back("-no-convert");
    run_outputs o;
    o.result = test::run_program(MORVEX_EXTRACTOR_PATH, args, dir / "out", {"MORVEX_TEX_JOBS=" + std::to_string(workers)});
    for (const auto& e : fs::directory_iterator(dir / "out")) o.files[e.path().filename().string()] = test::read_file(e.path());
    return o;
}

TEST(Workers, EveryNumberOfWorkersGivesTheSameReportAndFiles)
{
    for (const auto& [what, archive] : archives()) {
        for (const bool raw : {false, true}) {
            const run_outputs one = run_with(archive, 1, raw);
            EXPECT_EQ(one.result.status, 0) << what;
            EXPECT_FALSE(one.files.empty()) << what;
            for (const unsigned workers : {2u, 3u, 8u}) {
                const run_outputs many = run_with(archive, workers, raw);
                const std::string label = what + (raw ? ", raw, " : ", converted, ") + std::to_string(workers) + " workers";
                EXPECT_EQ(many.result.status, one.result.status) << label;
                EXPECT_EQ(many.result.out, one.result.out) << label;
                EXPECT_EQ(many.result.err, one.result.err) << label;
                EXPECT_TRUE(many.files == one.files) << label;
            }
        }
    }
}

}  // namespace
