// Field readers, record parsing and the padding dump.
#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "app/app.hpp"
#include "app/gallery_page.hpp"
#include "app/tex_cli.hpp"
#include "format/format.hpp"
#include "words/escape.hpp"

namespace {

TEST(FieldReaders, ReadLittleEndianAtAnyOffset)
{
    const std::array<std::uint8_t, 7> b{0xAA, 0x2C, 0x01, 0x00, 0x80, 0xFF, 0xEE};
    EXPECT_EQ(tex_le16(b, 1), 0x012C);
    EXPECT_EQ(tex_le16(b, 4), 0xFF80);  // high byte set: full 16-bit value
    EXPECT_EQ(tex_le32(b, 1), 0x8000012Cu);
    EXPECT_EQ(tex_le32(b, 3), 0xEEFF8000u);
}

TEST(Records, EntryHeaderFieldsComeFromTheirOffsets)
{
    std::array<std::uint8_t, tex_entry_header_size> block{};
    for (std::size_t k = 0; k < 32; ++k) block[k] = static_cast<std::uint8_t>('a' + k % 26);
    block[32] = 0xFF;  // width 0xFFFF
    block[33] = 0xFF;
    block[34] = 0x34;  // height 0x1234
    block[35] = 0x12;
    block[36] = 4;
    block[37] = 0x2C;  // rep_c_sz 300, unaligned
    block[38] = 0x01;
    block[79] = 9;
    const tex_entry_header h = tex_parse_entry_header(block);
    EXPECT_EQ(h.width, 65535);
    EXPECT_EQ(h.height, 0x1234);
    EXPECT_EQ(h.rep_t_id, 4);
    EXPECT_EQ(h.rep_c_sz, 300u);
    EXPECT_EQ(h.padding[38], 9);
    // 32 non-zero bytes are the whole name; the width's low byte is not part of it.
    EXPECT_EQ(tex_entry_name(h), "abcdefghijklmnopqrstuvwxyzabcdef");
    block[5] = 0;
    EXPECT_EQ(tex_entry_name(tex_parse_entry_header(block)), "abcde");
}

TEST(Records, HeaderAndTableEntry)
{
    std::array<std::uint8_t, tex_header_size> hb{};
    hb[0] = 't';
    hb[1] = 'E';
    hb[2] = 'x';
    hb[3] = 3;
    tex_put_le32(hb, 4, 0x01020304);
    tex_put_le32(hb, 8, 0xCAFEBABE);
    hb[255] = 1;
    const tex_header h = tex_parse_header(hb);
    EXPECT_TRUE(tex_signature_matches(h.signature));
    EXPECT_EQ(h.file_count, 0x01020304u);
    EXPECT_EQ(h.second_word, 0xCAFEBABEu);
    EXPECT_EQ(h.padding[243], 1);

    const std::array<std::uint8_t, tex_table_entry_size> tb{4, 1, 0, 0, 0x3C, 1, 0, 0, 1, 0, 0, 0x80};
    const tex_table_entry e = tex_parse_table_entry(tb);
    EXPECT_EQ(e.type_id, 0x104u);
    EXPECT_EQ(e.offset, 0x13Cu);
    EXPECT_EQ(e.compressed_size, 0x80000001u);
}

TEST(Records, SignatureIgnoresLetterCaseOnly)
{
    auto sig = [](const char* s) { return std::array<std::uint8_t, 3>{std::uint8_t(s[0]), std::uint8_t(s[1]), std::uint8_t(s[2])}; };
    EXPECT_TRUE(tex_signature_matches(sig("TEX")));
    EXPECT_TRUE(tex_signature_matches(sig("tex")));
    EXPECT_TRUE(tex_signature_matches(sig("TeX")));
    EXPECT_FALSE(tex_signature_matches(sig("TEY")));
    EXPECT_FALSE(tex_signature_matches(sig("T\0X")));
    EXPECT_FALSE(tex_signature_matches(sig("\x14""EX")));  // 'T' ^ 0x40 is no letter case
}

TEST(Records, PrintableNameEscapesControlBytesOnly)
{
    EXPECT_EQ(tex_printable_name("sky.tga"), "sky.tga");
    EXPECT_EQ(tex_printable_name("a\x1b[2Jb\x7f\xc3\xa9"), "a\\x1B[2Jb\\x7F\xc3\xa9");
    // C1 controls, raw or UTF-8 encoded, are escaped; valid UTF-8 and other
    // bytes are not.
    const std::pair<const char*, const char*> cases[] = {
        {"a\x9b" "31mb", "a\\x9B31mb"},                  // a raw CSI
        {"\x80\x9f", "\\x80\\x9F"},
        {"a\xc2\x9b" "31m", "a\\xC2\\x9B31m"},        // U+009B, CSI in UTF-8
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xC2\\x80\\xC2\\x9F\xc2\xa0"},  // U+00A0 stays
        {"\xe2\x82\xac\xf0\x9f\x98\x80", "\xe2\x82\xac\xf0\x9f\x98\x80"},  // euro sign, emoji
        {"\xe9t\xe9", "\xe9t\xe9"},                       // Latin-1, not UTF-8: left alone
        {"\xe2\x9b", "\xe2\\x9B"},                       // a cut sequence: its C1 byte escaped
        {"\xc0\x9b", "\xc0\\x9B"},                       // an overlong form is no sequence
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(tex_printable_name(in), out) << in;
}

// The characters a name could use to pass for another (bidi overrides and
// isolates, zero-width marks, noncharacters) are hidden from every medium
// alike: shown as their bytes on a terminal and on the page, as the exact
// code point in JSON.
TEST(Escapers, EveryMediumShowsHiddenCharactersAsTheirCodes)
{
    struct escape_case {
        const char* in;
        const char* terminal;
        const char* json;
        const char* page;
    };
    const escape_case cases[] = {
        {"a\xE2\x80\xAEgpj.exe", "a\\xE2\\x80\\xAEgpj.exe", "\"a\\u202egpj.exe\"", "a\\xE2\\x80\\xAEgpj.exe"},  // right-to-left override
        {"\xE2\x81\xA6x\xE2\x81\xA9", "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9", "\"\\u2066x\\u2069\"",
         "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9"},                                                   // an isolate
        {"z\xE2\x80\x8Dw", "z\\xE2\\x80\\x8Dw", "\"z\\u200dw\"", "z\\xE2\\x80\\x8Dw"},                   // zero-width joiner
        {"\xEF\xBB\xBF" "b", "\\xEF\\xBB\\xBFb", "\"\\ufeffb\"", "\\xEF\\xBB\\xBFb"},                       // byte order mark
        {"\xF0\x9F\xBF\xBE", "\\xF0\\x9F\\xBF\\xBE", "\"\\ud83f\\udffe\"", "\\xF0\\x9F\\xBF\\xBE"},   // U+1FFFE, a noncharacter
        {"a\xC2\x9B", "a\\xC2\\x9B", "\"a\\u009b\"", "a\\xC2\\x9B"},                                   // C1 CSI
        {"\xE2\x82\xAC\xC3\xA9", "\xE2\x82\xAC\xC3\xA9", "\"\xE2\x82\xAC\xC3\xA9\"", "\xE2\x82\xAC\xC3\xA9"},  // shown as they are
    };
    for (const escape_case& c : cases) {
        EXPECT_EQ(tex_printable_name(c.in), c.terminal) << c.in;
        EXPECT_EQ(tex_json_string(c.in), c.json) << c.in;
        EXPECT_EQ(gallery_html_text(c.in), c.page) << c.in;
    }
}

std::string padding_dump(std::span<const std::uint8_t> run)
{
    testing::internal::CaptureStdout();
    report_padding(run, "TITLE");
    return testing::internal::GetCapturedStdout();
}

TEST(ReportPadding, SilentWhenAllZero)
{
    std::array<std::uint8_t, 244> zeros{};
    EXPECT_EQ(padding_dump(zeros), "");
}

TEST(ReportPadding, DumpsTheWholeRunInRowsOfSixteen)
{
    std::array<std::uint8_t, 39> run{};
    run[38] = 0xAB;
    EXPECT_EQ(padding_dump(run),
              "TITLE"
              "\n00 : 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00"
              "\n10 : 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00"
              "\n20 : 00 00 00 00 00 00 AB\n");

    std::array<std::uint8_t, 244> big{};
    std::iota(big.begin(), big.end(), std::uint8_t{0});
    const std::string dump = padding_dump(big);
    EXPECT_NE(dump.find("\nF0 : F0 F1 F2 F3\n"), std::string::npos);
    EXPECT_NE(dump.find("\n10 : 10 11 12 13 14 15 16 17 - 18 19 1A 1B 1C 1D 1E 1F\n"), std::string::npos);
}

}  // namespace
