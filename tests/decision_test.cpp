// From an archive's layout to what every walk does with an entry: the
// index's findings for the entry and the one decision, made directly (no
// program run), for every kind of entry the decision tells apart.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "entries/walk.hpp"
#include "files/files.hpp"
#include "format/writer.hpp"
#include "support/support.hpp"

namespace {

using k = tex_finding_kind;

tex_writer_entry pixel(const std::string& name)
{
    return tex_type6_entry(name, 1, 1, std::vector<std::uint32_t>(1, 0xFF336699u));
}

// Where the writer puts entry i of the archive as it stands.
std::uint32_t offset_of(const tex_writer_archive& a, std::size_t i)
{
    return tex_le32(tex_build_archive(a), tex_header_size + i * tex_table_entry_size + 4);
}

// Record 2 points at entry 1's header, with entry 1's size unless given.
void second_record(tex_writer_archive& a, std::optional<std::uint32_t> size = std::nullopt)
{
    const std::uint32_t at = offset_of(a, 1);
    a.entries[2] = a.entries[1];
    a.entries[2].write_body = false;
    a.entries[2].offset = at;
    if (size) a.entries[2].table_size = size;
}

struct decision_case {
    const char* what;
    std::function<void(tex_writer_archive&)> lay_out;  // entry 1 is the one looked at
    std::vector<k> findings;                           // the index's, in report order
    entry_step step;
    k why = k::no_memory;                              // a refusal's reason
    std::function<void(entry_options&, name_filter&)> ask = nullptr;
    std::uint32_t look_at = 1;
};

TEST(Decision, FromLayoutToFindingsToStep)
{
    const std::vector<decision_case> cases = {
        {"sound", [](tex_writer_archive&) {}, {}, entry_step::run},
        {"the first entry", [](tex_writer_archive&) {}, {}, entry_step::none, k::no_memory, nullptr, 0},
        {"header past the end", [](tex_writer_archive& a) { a.entries[1].offset = 1u << 20; a.entries[1].write_body = false; },
         {k::entry_past_end}, entry_step::refuse, k::entry_past_end},
        {"padding", [](tex_writer_archive& a) { a.entries[1].padding[3] = 9; }, {k::entry_padding}, entry_step::run},
        {"sizes differ", [](tex_writer_archive& a) { a.entries[1].rep_c_sz = 3; }, {k::sizes_differ}, entry_step::run},
        {"types differ", [](tex_writer_archive& a) { a.entries[1].table_type = 0x106; }, {k::types_differ}, entry_step::run},
        {"unknown type", [](tex_writer_archive& a) { a.entries[1].type = 5; }, {k::unknown_type},
         entry_step::refuse, k::unknown_type},
        {"payload past the end", [](tex_writer_archive& a) { a.entries[1].table_size = 1u << 20; },
         {k::sizes_differ, k::payload_past_end}, entry_step::refuse, k::payload_past_end},
        {"runs over the next header", [](tex_writer_archive& a) { a.entries[1].table_size = 4 + 80 + 4; },
         {k::sizes_differ, k::runs_over_header}, entry_step::run},
        {"a second record of one entry", [](tex_writer_archive& a) { second_record(a); }, {k::repeat}, entry_step::repeat,
         k::no_memory, nullptr, 2},
        {"... with another size", [](tex_writer_archive& a) { second_record(a, 2); },
         {k::sizes_differ, k::repeat_other_size}, entry_step::refuse, k::repeat_other_size, nullptr, 2},
        {"a control byte", [](tex_writer_archive& a) { a.entries[1].name = "a\x01.tga"; }, {}, entry_step::refuse, k::name_refused},
        {"no image format", [](tex_writer_archive& a) { a.entries[1].name = "a.txt"; }, {}, entry_step::refuse,
         k::no_image_format},
        {"no image format, raw", [](tex_writer_archive& a) { a.entries[1].name = "a.txt"; }, {}, entry_step::run,
         k::no_memory, [](entry_options& o, name_filter&) { o.raw = true; }},
        {"no pixels", [](tex_writer_archive& a) { a.entries[1].width = 0; }, {}, entry_step::refuse, k::no_pixels},
        {"too many pixels", [](tex_writer_archive& a) { a.entries[1].width = a.entries[1].height = 65535; }, {},
         entry_step::refuse, k::too_many_pixels},
        {"left out by the filter", [](tex_writer_archive&) {}, {}, entry_step::skip, k::no_memory,
         [](entry_options&, name_filter& f) { f.include = {"ui/*"}; }},
        {"taken by the filter", [](tex_writer_archive&) {}, {}, entry_step::run, k::no_memory,
         [](entry_options&, name_filter& f) { f.include = {"s?y.*"}; f.exclude = {"*.png"}; }},
        {"excluded", [](tex_writer_archive&) {}, {}, entry_step::skip, k::no_memory,
         [](entry_options&, name_filter& f) { f.exclude = {"SKY.TGA"}; f.ignore_case = true; }},
        {"no header to filter by", [](tex_writer_archive& a) { a.entries[1].offset = 1u << 20; a.entries[1].write_body = false; },
         {k::entry_past_end}, entry_step::skip, k::no_memory, [](entry_options&, name_filter& f) { f.include = {"*"}; }},
    };
    for (const decision_case& c : cases) {
        tex_writer_archive a = test::archive_of({pixel("sky.tga"), pixel("two.tga")});
        c.lay_out(a);
        test::temp_dir dir;
        const auto path = test::write_archive(dir, "a.pak", a);
        tex_archive_file file;
        ASSERT_EQ(tex_open_archive(path.string().c_str(), file), 0);
        tex_index index;
        ASSERT_EQ(tex_open_index(file.fd, file.size, index), 0);
        tex_table_cursor cursor{&index, {}, 0, 0};
        entry_walk budgets = entry_walk_start(index);
        entry_options options;
        name_filter filter;
        if (c.ask) {
            c.ask(options, filter);
            if (!filter.include.empty() || !filter.exclude.empty()) options.filter = &filter;
        }
        // Records before the one looked at are decided first, as a walk does.
        entry_plan plan;
        tex_entry_view v;
        for (std::uint32_t i = 0; i <= c.look_at; ++i) {
            v = tex_read_entry(index, cursor, i);
            plan = decide_entry(index, v, options, budgets);
        }
        std::vector<k> kinds;
        for (const tex_finding& f : tex_entry_findings(index, v)) kinds.push_back(f.kind);
        EXPECT_EQ(kinds, c.findings) << c.what;
        EXPECT_EQ(plan.step, c.step) << c.what;
        if (c.step == entry_step::refuse) {
            EXPECT_EQ(plan.why.kind, c.why) << c.what;
        }
        if (c.step == entry_step::run) {
            EXPECT_EQ(plan.request.payload_offset, v.payload_offset) << c.what;
            EXPECT_EQ(plan.request.name, tex_entry_name(v.header)) << c.what;
        }
    }
}

}  // namespace
