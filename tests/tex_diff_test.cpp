// morvex_tex diff end to end: every kind of change between two archives told
// apart (renames and type changes too), in the same words whatever the
// threads, as text, JSON or a verdict.
#include <gtest/gtest.h>

#if defined(MORVEX_TEX_PATH)

#include <functional>

#include "format/writer.hpp"
#include "support/json.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using test::temp_dir;

test::run_result tex(const std::vector<std::string>& args, const fs::path& cwd, const std::string& jobs = "1")
{
    return test::run_program(MORVEX_TEX_PATH, args, cwd, {"MORVEX_TEX_JOBS=" + jobs});
}

std::vector<std::uint16_t> sky_pixels()
{
    std::vector<std::uint16_t> px(8);
    for (std::size_t k = 0; k < px.size(); ++k) px[k] = static_cast<std::uint16_t>(0xF000 | (k * 0x111));
    return px;
}

// The same pixels as 8-bit channels: each 4-bit level n is n * 17.
std::vector<std::uint32_t> sky_argb()
{
    std::vector<std::uint32_t> px;
    for (const std::uint16_t p : sky_pixels()) {
        std::uint32_t argb = 0;
        for (unsigned shift = 0; shift < 16; shift += 4) argb |= ((p >> shift) & 0xFu) * 17u << (2 * shift);
        px.push_back(argb);
    }
    return px;
}

// What both archives start from: a type-4 texture, two type-6 ones, one more.
std::vector<tex_writer_entry> base()
{
    return {tex_type4_entry("sky.tga", 4, 2, sky_pixels(), 6),
            tex_type6_entry("ui/ring.png", 3, 3, std::vector<std::uint32_t>(9, 0x80FF0000u)),
            tex_type6_entry("ground.bmp", 2, 1, std::vector<std::uint32_t>(2, 0xFF00FF00u)),
            tex_type6_entry("old.tga", 1, 1, std::vector<std::uint32_t>(1, 0xFF0000FFu))};
}

TEST(TexDiff, EveryKindOfChangeToldApart)
{
    struct diff_case {
        const char* what;
        std::function<void(std::vector<tex_writer_entry>&)> change;
        int status;
        std::string out;  // standard output, whole
        std::vector<std::string> args = {};
    };
    const std::vector<diff_case> cases = {
        {"the same", [](std::vector<tex_writer_entry>&) {}, 0, ""},
        {"two pixels", [](std::vector<tex_writer_entry>& e) {
             std::vector<std::uint16_t> px = sky_pixels();
             px[1] ^= 0x0010;  // green one level off: 17
             px[6] += 0x0300;  // red three levels up: 51
             e[0] = tex_type4_entry("sky.tga", 4, 2, px, 6);
         },
         1,
         "sky.tga: 2 of 8 pixels differ (largest channel difference 51)\n"
         "a.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"same pixels, other bytes", [](std::vector<tex_writer_entry>& e) { e[0] = tex_type4_entry("sky.tga", 4, 2, sky_pixels(), 1); },
         1, "sky.tga: same pixels, other bytes\na.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"size", [](std::vector<tex_writer_entry>& e) {
             e[2] = tex_type6_entry("ground.bmp", 3, 1, std::vector<std::uint32_t>(3, 0xFF00FF00u));
         },
         1,
         "ground.bmp: size or type changed (2 x 1 type 6, now 3 x 1 type 6)\n"
         "a.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"gone and new", [](std::vector<tex_writer_entry>& e) {
             e[3] = tex_type6_entry("new.tga", 1, 1, std::vector<std::uint32_t>(1, 0xFF0000FEu));
         },
         1, "only in a.pak: old.tga\nonly in b.pak: new.tga\na.pak and b.pak differ: 0 changed, 1 only in a.pak, 1 only in b.pak\n"},
        {"renamed", [](std::vector<tex_writer_entry>& e) { e[3].name = "new.tga"; }, 1,
         "old.tga: renamed to new.tga\na.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"renamed, two alike: the first in B's order takes it", [](std::vector<tex_writer_entry>& e) {
             e[2].name = "g1.bmp";
             e.insert(e.begin() + 3, e[2]);
             e[3].name = "g2.bmp";
         },
         1,
         "ground.bmp: renamed to g1.bmp\nonly in b.pak: g2.bmp\n"
         "a.pak and b.pak differ: 1 changed, 0 only in a.pak, 1 only in b.pak\n"},
        {"same bytes, other size: no rename", [](std::vector<tex_writer_entry>& e) {
             e[2] = tex_type6_entry("tall.bmp", 1, 2, std::vector<std::uint32_t>(2, 0xFF00FF00u));
         },
         1,
         "only in a.pak: ground.bmp\nonly in b.pak: tall.bmp\n"
         "a.pak and b.pak differ: 0 changed, 1 only in a.pak, 1 only in b.pak\n"},
        {"type 4 to 6, same pixels", [](std::vector<tex_writer_entry>& e) { e[0] = tex_type6_entry("sky.tga", 4, 2, sky_argb()); },
         1, "sky.tga: type changed (4, now 6), same pixels\na.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"type 4 to 6, a pixel off", [](std::vector<tex_writer_entry>& e) {
             std::vector<std::uint32_t> px = sky_argb();
             px[5] += 3;  // blue
             e[0] = tex_type6_entry("sky.tga", 4, 2, px);
         },
         1,
         "sky.tga: type changed (4, now 6), 1 of 8 pixels differ (largest channel difference 3)\n"
         "a.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"type 6 to 4, same pixels", [](std::vector<tex_writer_entry>& e) {
             e[2] = tex_type4_entry("ground.bmp", 2, 1, std::vector<std::uint16_t>(2, 0xF0F0));
         },
         1, "ground.bmp: type changed (6, now 4), same pixels\na.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"type and size", [](std::vector<tex_writer_entry>& e) {
             e[2] = tex_type4_entry("ground.bmp", 3, 1, std::vector<std::uint16_t>(3, 0xF0F0));
         },
         1,
         "ground.bmp: size or type changed (2 x 1 type 6, now 3 x 1 type 4)\n"
         "a.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"a damaged stream", [](std::vector<tex_writer_entry>& e) { e[0].payload.back() ^= 1; }, 1,
         "sky.tga: other bytes; the pixels can't be compared: damaged zlib stream (bad data, cut short, or a wrong "
         "check value)\na.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n"},
        {"patterns", [](std::vector<tex_writer_entry>& e) { e[1].payload[0] ^= 0xFF; e[3].name = "other.tga"; }, 1,
         "ui/ring.png: 1 of 9 pixels differ (largest channel difference 255)\n"
         "a.pak and b.pak differ: 1 changed, 0 only in a.pak, 0 only in b.pak\n",
         {"ui/"}},
        {"left out", [](std::vector<tex_writer_entry>& e) { e[1].payload[0] ^= 0xFF; }, 0, "", {"-x", "ui/*"}},
        {"the verdict", [](std::vector<tex_writer_entry>& e) { e[1].payload[0] ^= 0xFF; }, 1, "a.pak and b.pak differ\n", {"-q"}},
    };
    for (const diff_case& c : cases) {
        temp_dir dir;
        test::write_archive(dir, "a.pak", test::archive_of(base()));
        std::vector<tex_writer_entry> changed = base();
        c.change(changed);
        test::write_archive(dir, "b.pak", test::archive_of(changed));
        std::vector<std::string> args = {"diff", "a.pak", "b.pak"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        for (const std::string jobs : {"1", "3"}) {
            const auto r = tex(args, dir.path(), jobs);
            EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
            EXPECT_EQ(r.out, c.out) << c.what << ", " << jobs << " threads";
            EXPECT_EQ(r.err, "") << c.what;
        }
    }
}

TEST(TexDiff, JsonAndTrouble)
{
    temp_dir dir;
    test::write_archive(dir, "a.pak", test::archive_of(base()));
    std::vector<tex_writer_entry> changed = base();
    changed[0] = tex_type4_entry("sky.tga", 4, 2, sky_pixels(), 1);
    changed[2] = tex_type4_entry("ground.bmp", 2, 1, std::vector<std::uint16_t>(2, 0xF0F0));
    changed[3].name = "new.tga";
    changed.erase(changed.begin() + 1);
    changed.push_back(tex_type6_entry("extra.tga", 1, 1, std::vector<std::uint32_t>(1, 0xFF0000FEu)));
    test::write_archive(dir, "b.pak", test::archive_of(changed));
    const auto r = tex({"diff", "--json", "a.pak", "b.pak"}, dir.path());
    EXPECT_EQ(r.status, 1);
    const test::json j = test::parse_json(r.out);
    EXPECT_FALSE(std::get<bool>(j["same"].v));
    ASSERT_EQ(j["changes"].size(), 5u);
    EXPECT_EQ(j["changes"][0]["name"].str(), "sky.tga");
    EXPECT_EQ(j["changes"][0]["change"].str(), "same_pixels");
    EXPECT_EQ(j["changes"][0]["pixels_differ"].num(), 0);
    EXPECT_EQ(j["changes"][0]["a"]["width"].num(), 4);
    EXPECT_EQ(j["changes"][1]["change"].str(), "only_in_a");
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(j["changes"][1]["b"].v));
    const test::json& type = j["changes"][2];
    EXPECT_EQ(type["change"].str(), "type");
    EXPECT_EQ(type["a"]["type"].num(), 6);
    EXPECT_EQ(type["b"]["type"].num(), 4);
    EXPECT_EQ(type["pixels"].num(), 2);
    EXPECT_EQ(type["pixels_differ"].num(), 0);
    const test::json& renamed = j["changes"][3];
    EXPECT_EQ(renamed["change"].str(), "renamed");
    EXPECT_EQ(renamed["name"].str(), "old.tga");
    EXPECT_EQ(renamed["a_name"].str(), "old.tga");
    EXPECT_EQ(renamed["b_name"].str(), "new.tga");
    EXPECT_EQ(renamed["a"]["index"].num() - 1, renamed["b"]["index"].num());
    EXPECT_EQ(j["changes"][4]["change"].str(), "only_in_b");
    EXPECT_EQ(j["changed"].num(), 3);
    EXPECT_EQ(j["only_in_a"].num(), 1);
    EXPECT_EQ(j["only_in_b"].num(), 1);
    // Trouble: exit 2, whatever the other archive holds.
    test::write_file(dir / "notes.txt", {'x'});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"diff", "a.pak", "missing.pak"}, {"diff", "notes.txt", "a.pak"}, {"diff", "a.pak"}, {"diff", "-q", "--json", "a.pak", "b.pak"}}) {
        const auto t = tex(args, dir.path());
        EXPECT_EQ(t.status, 2) << args.back();
        EXPECT_EQ(t.out, "") << args.back();
    }
}

}  // namespace

#endif
