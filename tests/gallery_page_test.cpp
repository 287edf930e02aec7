// The gallery page writer: hostile names escaped for text and attributes
// alike (no name can open or close a tag, an attribute or a character
// reference), base64 and SHA-256 against published and independently
// computed values, every card within its byte bound, and a page whose tags
// balance, whose only script and style sheet are the ones its policy hashes.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <cctype>

#include "app/gallery_page.hpp"

namespace {

struct escape_case {
    std::string raw;
    std::string shown;
};

TEST(GalleryPage, EscapesHostileText)
{
    const escape_case cases[] = {
        {"plain/name_01.tga", "plain/name_01.tga"},
        {"a<b>c", "a&lt;b&gt;c"},
        {"&amp;", "&amp;amp;"},
        {"\"'", "&quot;&#39;"},
        {"</script><script>alert(1)</script>", "&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"x\" onerror=\"alert(1)", "x&quot; onerror=&quot;alert(1)"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x01\x1f\x7f", "\\x01\\x1F\\x7F"},
        {"\n\r\t", "\\x0A\\x0D\\x09"},
        {"\x1b[31mred", "\\x1B[31mred"},
        // Not UTF-8: stray bytes, a cut sequence, overlong forms, a
        // surrogate, past U+10FFFF.
        {"\xff\xfe", "\\xFF\\xFE"},
        {"\x80x", "\\x80x"},
        {"\xe2\x82", "\\xE2\\x82"},
        {"\xc0\xaf", "\\xC0\\xAF"},
        {"\xe0\x80\xbc", "\\xE0\\x80\\xBC"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        // Valid UTF-8 stays as it is.
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"},
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"\xef\xbf\xbd", "\xef\xbf\xbd"},
        // C1 controls, line and paragraph separators, marks that reorder or
        // hide text, noncharacters: shown as bytes.
        {"\xc2\x85", "\\xC2\\x85"},
        {"\xc2\x9b", "\\xC2\\x9B"},
        {"a\xe2\x80\xa8" "b", "a\\xE2\\x80\\xA8b"},
        {"\xe2\x80\xa9", "\\xE2\\x80\\xA9"},
        {"abc\xe2\x80\xaegpj.exe", "abc\\xE2\\x80\\xAEgpj.exe"},
        {"\xe2\x81\xa6", "\\xE2\\x81\\xA6"},
        {"\xe2\x80\x8b", "\\xE2\\x80\\x8B"},
        {"\xef\xbb\xbf", "\\xEF\\xBB\\xBF"},
        {"\xef\xbf\xbe", "\\xEF\\xBF\\xBE"},
        {"\xef\xb7\x90", "\\xEF\\xB7\\x90"},
    };
    for (const auto& c : cases) EXPECT_EQ(gallery_html_text(c.raw), c.shown) << c.raw;
}

TEST(GalleryPage, CutsLongTextAtACharacter)
{
    const escape_case cases[] = {
        {"abcdef", "abcd..."},
        {"abcd", "abcd"},
        {"abc\xc3\xa9", "abc..."},        // the 2-byte character would pass the limit
        {"ab\xff\xff", "ab\\xFF\\xFF"},  // bytes shown one by one, each its own unit
        {"<<<<<", "&lt;&lt;&lt;&lt;..."},
    };
    for (const auto& c : cases) EXPECT_EQ(gallery_html_text(c.raw, 4), c.shown) << c.raw;
}

// True when `s` is valid UTF-8 without any C0 control or DEL.
bool clean_utf8(const std::string& s)
{
    for (std::size_t k = 0; k < s.size();) {
        const auto c = static_cast<unsigned char>(s[k]);
        if (c < 0x20 || c == 0x7F) return false;
        std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF5 ? 4 : 0;
        if (n == 0 || k + n > s.size()) return false;
        for (std::size_t j = 1; j < n; ++j)
            if ((static_cast<unsigned char>(s[k + j]) & 0xC0) != 0x80) return false;
        k += n;
    }
    return true;
}

TEST(GalleryPage, NoTextCanBecomeMarkup)
{
    // Random names of bytes weighted towards the ones that matter.
    std::mt19937 random(20261207);
    const std::string special = "<>&\"'=/;#\\`\x00\x0a\x0d\x1b\x7f\x80\xbf\xc2\xe2\xed\xef\xf0\xf4\xff";
    for (int round = 0; round < 20000; ++round) {
        std::string raw;
        const std::size_t length = random() % 40;
        for (std::size_t k = 0; k < length; ++k)
            raw += random() % 2 ? special[random() % (special.size() + 1) % special.size()]
                                : static_cast<char>(random() % 256);
        const std::string shown = gallery_html_text(raw);
        ASSERT_EQ(shown.find_first_of("<>\"'"), std::string::npos) << shown;
        ASSERT_TRUE(clean_utf8(shown)) << shown;
        // Every '&' is one of the page's own references.
        for (std::size_t at = shown.find('&'); at != std::string::npos; at = shown.find('&', at + 1)) {
            const std::string rest = shown.substr(at, 6);
            ASSERT_TRUE(rest.rfind("&amp;", 0) == 0 || rest.rfind("&lt;", 0) == 0 || rest.rfind("&gt;", 0) == 0 ||
                        rest.rfind("&quot;", 0) == 0 || rest.rfind("&#39;", 0) == 0)
                << shown;
        }
    }
}

TEST(GalleryPage, Base64)
{
    const std::pair<std::string, std::string> cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [raw, want] : cases)
        EXPECT_EQ(gallery_base64(std::vector<std::uint8_t>(raw.begin(), raw.end())), want) << raw;
}

TEST(GalleryPage, Sha256)
{
    // Digests from Python's hashlib, around every padding boundary.
    const std::pair<std::string, std::string> cases[] = {
        {"", "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="},
        {"abc", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "JI1qYdIGOLjlwCaTDD5gOaM85Flk/yFn9uzt1BnbBsE="},
        {std::string(55, 'a'), "n0OQ+NMMLdkuyfCVtl4rmumwqSWlJY4kHJ8ekQ9zQxg="},
        {std::string(56, 'a'), "s1Q5pKxvCUi21vnjxq8PX1kM4g8b3nCQ73lwaG7Gc4o="},
        {std::string(63, 'a'), "fT50oF19sVvOStnsBljqmOPwbu7PFrTG//LaRX3cLzQ="},
        {std::string(64, 'a'), "/+BU/nrgy23GXDr5th1SCfQ5hR20PQulmXM33xVGaOs="},
        {std::string(1000, 'a'), "Qe3s5C1j6Nm/UVqbppMuHCDLyfWl0TRkWttdsblzfqM="},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(gallery_sha256_base64(text), want) << text.size() << " bytes";
}

gallery_card card_of(std::uint32_t index, const std::string& name)
{
    gallery_card card;
    card.index = index;
    card.name = name;
    card.width = 64;
    card.height = 32;
    card.type = 4;
    card.payload_size = 1234;
    card.transparent = 0;
    card.thumbnail_mime = "image/webp";
    card.thumbnail = {'R', 'I', 'F', 'F'};
    card.thumbnail_width = 64;
    card.thumbnail_height = 32;
    card.extract_command = "morvex_tex extract a.pak -- '" + name + "'";
    card.extract_png_command = "morvex_tex extract -C a --format png a.pak -- '" + name + "'";
    return card;
}

// A card as the page writes it for pictures of at most `side` pixels a side,
// shown in a box of at most 256.
std::string card_text(const gallery_card& card, unsigned side = 128)
{
    std::string text;
    gallery_sink sink;
    sink.text = &text;
    sink.thumbnail_side = side;
    sink.thumbnail_box = std::min(side, 256u);
    gallery_card_write(sink, card);
    return text;
}

TEST(GalleryPage, EveryCardWithinItsBound)
{
    for (const unsigned side : {128u, 256u, 512u, 1024u}) {
        // Every field at its worst: each byte the longest to escape, the
        // picture at its cap for the size.
        gallery_card worst = card_of(0xFFFFFFFFu, std::string(1000, '"'));
        worst.header_read = true;
        worst.type = 0xFFFFFFFFu;
        worst.width = worst.height = worst.payload_size = 0xFFFFFFFFu;
        worst.problems.assign(1000, std::string(5000, '"'));
        worst.extract_command = std::string(gallery_max_command_bytes, '"');
        worst.extract_png_command = std::string(gallery_max_command_bytes, '"');
        worst.thumbnail.assign(gallery_thumbnail_cap(side), 0xFF);
        worst.thumbnail_width = worst.thumbnail_height = side;
        const std::string shown = card_text(worst, side);
        EXPECT_NE(shown.find("<img "), std::string::npos) << side;
        EXPECT_LE(shown.size(), gallery_card_max_bytes(side)) << side;
        EXPECT_NE(shown.find("and 992 more problems"), std::string::npos);
        worst.first = true;
        worst.header_read = false;
        worst.no_thumbnail_reason = std::string(5000, '<');
        worst.thumbnail.clear();
        EXPECT_LE(card_text(worst, side).size(), gallery_card_max_bytes(side)) << side;
        // One byte past the cap: left out, and said to be.
        worst.thumbnail.assign(gallery_thumbnail_cap(side) + 1, 0xFF);
        worst.no_thumbnail_reason.clear();
        EXPECT_NE(card_text(worst, side).find("thumbnail too large to embed"), std::string::npos) << side;
    }
    // The cap: 96 KiB up to 256 a side, then 1.5 bytes a pixel.
    EXPECT_EQ(gallery_thumbnail_cap(1), gallery_max_thumbnail_bytes);
    EXPECT_EQ(gallery_thumbnail_cap(256), gallery_max_thumbnail_bytes);
    EXPECT_EQ(gallery_thumbnail_cap(512), 384u * 1024);
    EXPECT_EQ(gallery_thumbnail_cap(1024), 1536u * 1024);

    // Past the caps, things are left out and said to be.
    gallery_card over = card_of(7, "big");
    over.thumbnail.assign(gallery_max_thumbnail_bytes + 1, 0);
    over.extract_command = std::string(gallery_max_command_bytes + 1, 'x');
    over.extract_png_command.clear();
    const std::string left_out = card_text(over);
    EXPECT_EQ(left_out.find("<img "), std::string::npos);
    EXPECT_NE(left_out.find("thumbnail too large to embed (98,305 bytes)"), std::string::npos);
    EXPECT_NE(left_out.find("(the command is too long to show)"), std::string::npos);
    EXPECT_LT(left_out.size(), 2048u);
}

TEST(GalleryPage, ThumbnailShownInItsBox)
{
    struct box_case {
        std::uint32_t width, height;
        unsigned side;      // the page's --size; the box is at most 256
        const char* mime;
        const char* want;  // the img's attributes before alt, or null for no image
    };
    const box_case cases[] = {
        {64, 32, 128, "image/webp", "class=\"sharp\" width=\"128\" height=\"64\""},   // enlarged twice
        {16, 8, 128, "image/webp", "class=\"sharp\" width=\"128\" height=\"64\""},    // 8 times
        {100, 50, 128, "image/png", "class=\"sharp\" width=\"100\" height=\"50\""},   // no whole factor
        {128, 1, 128, "image/webp", "class=\"sharp\" width=\"128\" height=\"1\""},
        {1, 1, 256, "image/webp", "class=\"sharp\" width=\"256\" height=\"256\""},
        {200, 100, 1024, "image/webp", "class=\"sharp\" width=\"200\" height=\"100\""},
        // Larger than the 256 box: shrunk to fit it, smoothly.
        {512, 256, 512, "image/webp", "width=\"256\" height=\"128\""},
        {1024, 3, 1024, "image/png", "width=\"256\" height=\"1\""},
        {1000, 999, 1024, "image/webp", "width=\"256\" height=\"256\""},
        {129, 1, 128, "image/webp", nullptr},   // larger than the page's pictures
        {1025, 1, 1024, "image/webp", nullptr},
        {0, 10, 128, "image/webp", nullptr},
        {64, 32, 128, "text/html", nullptr},    // not an image type the page shows
        {64, 32, 128, "image/webp\"><script>", nullptr},
    };
    for (const auto& c : cases) {
        gallery_card card = card_of(1, "x");
        card.thumbnail_width = c.width;
        card.thumbnail_height = c.height;
        card.thumbnail_mime = c.mime;
        const std::string shown = card_text(card, c.side);
        if (c.want) {
            EXPECT_NE(shown.find(std::string("<img ") + c.want + " alt=\"\" src=\"data:" + c.mime + ";base64,UklGRg==\">"),
                      std::string::npos)
                << shown;
        } else {
            EXPECT_EQ(shown.find("<img"), std::string::npos) << shown;
            EXPECT_NE(shown.find("thumbnail not shown"), std::string::npos) << shown;
        }
    }
}

TEST(GalleryPage, CardWords)
{
    struct words_case {
        const char* what;
        void (*change)(gallery_card&);
        std::vector<std::string> want;
        std::vector<std::string> not_want;
    };
    const words_case cases[] = {
        {"a plain entry", [](gallery_card&) {},
         {"<dt>size</dt><dd>64 x 32</dd>", "<dd>4: ARGB4444, zlib</dd>", "<dd>1,234 bytes</dd>", "<dd>opaque</dd>",
          "data-problems=\"0\"", "class=\"card\"", "data-width=\"64\" data-height=\"32\"",
          "<div class=\"command\"><code>morvex_tex extract a.pak -- &#39;n.tga&#39;</code>"
          "<button type=\"button\" class=\"copy\" hidden>copy</button></div>",
          "<div class=\"command\"><code>morvex_tex extract -C a --format png a.pak -- &#39;n.tga&#39;</code>"
          "<button type=\"button\" class=\"copy\" hidden>copy</button></div>"},
         {"damaged", "first entry", "problems\">"}},
        {"type 6, transparent",
         [](gallery_card& c) {
             c.type = 6;
             c.transparent = 1;
         },
         {"<dd>6: ARGB8888</dd>", "<dd>has transparent pixels</dd>"},
         {}},
        {"unknown type, not decoded",
         [](gallery_card& c) {
             c.type = 9;
             c.transparent = -1;
             c.thumbnail.clear();
             c.no_thumbnail_reason = "unknown type 9";
         },
         {"<dd>9: unknown</dd>", "<dd>not known</dd>", "<p class=\"none\">unknown type 9</p>"},
         {"<img"}},
        {"the first entry",
         [](gallery_card& c) {
             c.first = true;
             c.extract_command.clear();
             c.extract_png_command.clear();
         },
         {"the archive's first entry, never extracted"},
         {"<code>"}},
        {"no header",
         [](gallery_card& c) {
             c.header_read = false;
             c.payload_size = 1;
         },
         {"its header can't be read", "<dd>1 byte</dd>"},
         {"<dt>size</dt>", "<dt>type</dt>", "data-width"}},
        {"problems",
         [](gallery_card& c) { c.problems = {"padding not zero", "inflate: <damaged> & cut"}; },
         {"class=\"card damaged\"", "data-problems=\"2\"",
          "<ul class=\"problems\"><li>padding not zero</li><li>inflate: &lt;damaged&gt; &amp; cut</li></ul>"},
         {}},
    };
    for (const auto& c : cases) {
        gallery_card card = card_of(3, "n.tga");
        c.change(card);
        const std::string shown = card_text(card);
        for (const auto& w : c.want) EXPECT_NE(shown.find(w), std::string::npos) << c.what << ": " << w;
        for (const auto& w : c.not_want) EXPECT_EQ(shown.find(w), std::string::npos) << c.what << ": " << w;
    }
}

// A small HTML checker for the page's own markup: tags, their attributes
// (always double-quoted), elements balanced, and the raw text of script and
// style elements.
struct parsed_page {
    std::vector<std::string> errors;
    std::map<std::string, int> elements;  // count by name
    std::vector<std::string> scripts, styles;
    std::string csp;
    std::set<std::string> ids;
};

parsed_page parse_page(const std::string& page)
{
    static const std::set<std::string> void_elements = {"meta", "img", "input", "br", "link"};
    parsed_page out;
    std::vector<std::string> open;
    std::size_t at = 0;
    if (page.rfind("<!DOCTYPE html>\n", 0) != 0) out.errors.push_back("no doctype");
    at = page.find('\n') + 1;
    while (at < page.size()) {
        const std::size_t lt = page.find('<', at);
        if (lt == std::string::npos) break;
        if (page.find('>', at) < lt) out.errors.push_back("stray > at " + std::to_string(at));
        const bool closing = page.compare(lt, 2, "</") == 0;
        std::size_t k = lt + (closing ? 2 : 1);
        std::size_t name_end = k;
        while (name_end < page.size() && std::isalnum(static_cast<unsigned char>(page[name_end]))) ++name_end;
        const std::string name = page.substr(k, name_end - k);
        if (name.empty()) {
            out.errors.push_back("bad tag at " + std::to_string(lt));
            break;
        }
        k = name_end;
        // Attributes: a space, a name, and either nothing or ="value" with
        // no '<', '>' or '"' inside.
        std::map<std::string, std::string> attributes;
        while (k < page.size() && page[k] == ' ') {
            ++k;
            std::size_t e = k;
            while (e < page.size() && ((page[e] >= 'a' && page[e] <= 'z') || page[e] == '-')) ++e;
            const std::string attribute = page.substr(k, e - k);
            std::string value;
            if (page.compare(e, 2, "=\"") == 0) {
                const std::size_t close = page.find('"', e + 2);
                value = page.substr(e + 2, close - e - 2);
                if (value.find_first_of("<>") != std::string::npos) out.errors.push_back("markup in " + attribute);
                e = close + 1;
            }
            if (attribute.empty()) out.errors.push_back("empty attribute name at " + std::to_string(k));
            if (attributes.count(attribute)) out.errors.push_back("attribute twice: " + attribute);
            if (attribute.rfind("on", 0) == 0) out.errors.push_back("event attribute " + attribute);
            attributes[attribute] = value;
            k = e;
        }
        if (page[k] != '>') {
            out.errors.push_back("tag " + name + " not closed at " + std::to_string(k));
            break;
        }
        at = k + 1;
        if (closing) {
            if (open.empty() || open.back() != name)
                out.errors.push_back("</" + name + "> closes " + (open.empty() ? "nothing" : open.back()));
            else
                open.pop_back();
            continue;
        }
        ++out.elements[name];
        if (attributes.count("id") && !out.ids.insert(attributes["id"]).second)
            out.errors.push_back("id twice: " + attributes["id"]);
        if (name == "meta" && attributes["http-equiv"] == "Content-Security-Policy") out.csp = attributes["content"];
        if (name == "script" || name == "style") {
            // Raw text up to the first end tag of its kind.
            const std::size_t end = page.find("</" + name + ">", at);
            (name == "script" ? out.scripts : out.styles).push_back(page.substr(at, end - at));
            at = end;
        }
        if (!void_elements.count(name)) open.push_back(name);
    }
    if (!open.empty()) out.errors.push_back("left open: " + open.back());
    return out;
}

// A page of `cards` cards with hostile names and problems, into `sink`;
// gallery_end's result.
int write_hostile_page(gallery_sink& sink, int cards)
{
    gallery_archive_info archive;
    archive.name = "</title><script>alert(1)</script>\xff.pak";
    archive.size = 123456789;
    archive.count = static_cast<std::uint32_t>(cards);
    archive.problem_count = 3;
    archive.problems = {"table <cut> & \"short\"", "entry 2: header past the end"};
    gallery_begin(sink, archive);
    const std::string names[] = {"</script><script>alert(1)</script>", "\" onmouseover=\"alert(1)", "'><img src=x>",
                                 "&lt;b&gt;", std::string("\0\x01\x1b[2J\x7f", 5), "\xc0\xaf\xed\xa0\x80\xff",
                                 "a\xe2\x80\xa8" "b\xe2\x80\xae", "<!--", "]]><![CDATA[", "</article></main>"};
    for (int k = 0; k < cards; ++k) {
        gallery_card card = card_of(static_cast<std::uint32_t>(k), names[static_cast<std::size_t>(k) % std::size(names)]);
        card.first = k == 0;
        card.problems = {names[static_cast<std::size_t>(k + 1) % std::size(names)]};
        gallery_card_write(sink, card);
    }
    return gallery_end(sink);
}

std::string hostile_page(int cards)
{
    std::string page;
    gallery_sink sink;
    sink.text = &page;
    EXPECT_EQ(write_hostile_page(sink, cards), 0);
    return page;
}

TEST(GalleryPage, PageParsesWithHostileNames)
{
    const std::string page = hostile_page(25);
    const parsed_page p = parse_page(page);
    EXPECT_TRUE(p.errors.empty()) << p.errors.front();
    EXPECT_EQ(p.elements.at("article"), 25);
    EXPECT_EQ(p.elements.at("img"), 25);
    EXPECT_EQ(p.elements.at("script"), 1);
    EXPECT_EQ(p.elements.at("style"), 1);
    EXPECT_EQ(p.elements.at("title"), 1);
    EXPECT_EQ(p.elements.count("a"), 0u);
    EXPECT_EQ(p.elements.count("link"), 0u);
    ASSERT_EQ(p.scripts.size(), 1u);
    ASSERT_EQ(p.styles.size(), 1u);
    // The policy allows nothing but data: images and the page's own script
    // and style sheet, by their hashes.
    EXPECT_EQ(p.csp, "default-src 'none'; img-src data:; style-src 'sha256-" + gallery_sha256_base64(p.styles[0]) +
                         "'; script-src 'sha256-" + gallery_sha256_base64(p.scripts[0]) +
                         "'; base-uri 'none'; form-action 'none'");
    EXPECT_NE(page.find("<meta name=\"color-scheme\" content=\"light dark\">"), std::string::npos);
    EXPECT_NE(page.find("123,456,789 bytes, 25 entries, <span id=\"problem-count\" class=\"bad\">3 problems</span> "),
              std::string::npos);
    EXPECT_NE(page.find("<li>and 15 more problems on the cards</li>"), std::string::npos);
    EXPECT_NE(page.find("<li>table &lt;cut&gt; &amp; &quot;short&quot;</li>"), std::string::npos);
    EXPECT_NE(page.find("<h1>&lt;/title&gt;&lt;script&gt;alert(1)&lt;/script&gt;\\xFF.pak</h1>"), std::string::npos);
    // The controls only the script shows.
    EXPECT_NE(page.find("<div id=\"controls\" hidden>"), std::string::npos);
}

TEST(GalleryPage, ArchiveLinesWithoutProblems)
{
    gallery_archive_info archive;
    archive.name = "one.pak";
    archive.size = 1;
    archive.count = 1;
    std::string page;
    gallery_sink sink;
    sink.text = &page;
    gallery_begin(sink, archive);
    EXPECT_EQ(gallery_end(sink), 0);
    EXPECT_NE(page.find("<p class=\"summary\">1 byte, 1 entry, <span id=\"problem-count\">no problems</span> "),
              std::string::npos);
    // The count known at the end is written over the summary's, in place,
    // in the problem colour.
    std::string counted_page;
    gallery_sink counted;
    counted.text = &counted_page;
    gallery_begin(counted, archive);
    EXPECT_EQ(gallery_end(counted, 1234), 0);
    EXPECT_EQ(counted_page.size(), page.size());
    const std::size_t at = page.find("<span id=\"problem-count\"");
    const std::size_t end = page.find("</p>", at);
    EXPECT_EQ(counted_page.substr(0, at), page.substr(0, at));
    EXPECT_EQ(counted_page.substr(at, end - at).find("<span id=\"problem-count\" class=\"bad\">1,234 problems</span> "), 0u)
        << counted_page.substr(at, end - at);
    EXPECT_EQ(counted_page.substr(end), page.substr(end));
    EXPECT_EQ(page.find("class=\"problems\""), std::string::npos);
    EXPECT_EQ(page.find("<section id=\"first-problems\""), std::string::npos);
    for (const std::string* text : {&page, &counted_page}) {
        const parsed_page p = parse_page(*text);
        EXPECT_TRUE(p.errors.empty()) << p.errors.front();
    }
}

TEST(GalleryPage, TheTopSaysTheProblemsInTheProblemColour)
{
    struct top_case {
        const char* what;
        std::vector<std::string> archive_problems;
        std::vector<std::vector<std::string>> card_problems;  // each card's, in table order
        std::vector<std::string> want;                         // in the page, in this order
        std::vector<std::string> not_want;
    };
    const std::vector<top_case> cases = {
        {"sound", {}, {{}, {}}, {"<span id=\"problem-count\">no problems</span>"}, {"class=\"bad\"", "<section"}},
        {"the archive's own",
         {"the table runs past the end"},
         {{}, {}},
         {"<span id=\"problem-count\" class=\"bad\">1 problem</span>", "<li>the table runs past the end</li>"},
         {"<section"}},
        {"a cut archive's entries",
         {},
         {{}, {"payload runs past the end of the archive"}, {}, {"header at 0x00002305 lies past the end", "b<c"}},
         {"<span id=\"problem-count\" class=\"bad\">3 problems</span>",
          "<section id=\"first-problems\" aria-label=\"the first problems\"><ul class=\"problems\">"
          "<li>entry 1 (name1.tga): payload runs past the end of the archive</li>"
          "<li>entry 3 (-): header at 0x00002305 lies past the end</li><li>entry 3 (-): b&lt;c</li></ul></section>"},
         {"more problem"}},
        {"the first ten of many",
         {},
         {{"p0"}, {"p1", "p2", "p3", "p4"}, {"p5", "p6", "p7", "p8", "p9", "p10", "p11"}},
         {"<li>entry 0 (name0.tga): p0</li>", "<li>entry 2 (name2.tga): p9</li><li>and 2 more problems on the cards</li>"},
         {"p10", "p11"}},
        {"one past the ten", {}, {std::vector<std::string>(11, "x")}, {"<li>and 1 more problem on the cards</li>"}, {}},
        {"many past the ten", {}, {std::vector<std::string>(12, "x")}, {"<li>and 2 more problems on the cards</li>"}, {}},
    };
    for (const top_case& c : cases) {
        gallery_archive_info archive;
        archive.name = "a.pak";
        archive.count = static_cast<std::uint32_t>(c.card_problems.size());
        archive.problems = c.archive_problems;
        std::string page;
        gallery_sink sink;
        sink.text = &page;
        gallery_begin(sink, archive);
        std::uint64_t count = c.archive_problems.size();
        for (std::size_t k = 0; k < c.card_problems.size(); ++k) {
            gallery_card card = card_of(static_cast<std::uint32_t>(k), "name" + std::to_string(k) + ".tga");
            card.header_read = k != 3;
            card.problems = c.card_problems[k];
            count += card.problems.size();
            gallery_card_write(sink, card);
        }
        ASSERT_EQ(gallery_end(sink, count), 0);
        // What the top of the page shows: the archive's lines, and the
        // section written after the cards that the style sheet puts there.
        const std::size_t section = page.find("<section");
        const std::string top = page.substr(page.find("<body>"), page.find("<main") - page.find("<body>")) +
                                (section == std::string::npos ? "" : page.substr(section, page.find("</section>") + 10 - section));
        std::size_t from = 0;
        for (const std::string& w : c.want) {
            const std::size_t at = top.find(w, from);
            EXPECT_NE(at, std::string::npos) << c.what << ": " << w;
            if (at != std::string::npos) from = at + w.size();
        }
        for (const std::string& w : c.not_want) EXPECT_EQ(top.find(w), std::string::npos) << c.what << ": " << w;
        const parsed_page p = parse_page(page);
        EXPECT_TRUE(p.errors.empty()) << c.what << ": " << p.errors.front();
    }
}

TEST(GalleryPage, AProblemOncePerCard)
{
    struct once_case {
        std::string reason;
        std::vector<std::string> problems;
        std::string box;  // what the picture's box says
        bool once = true;  // each problem once on the card
    };
    const std::vector<once_case> cases = {
        {"not decoded: damaged zlib stream", {"damaged zlib stream"}, "not decoded"},
        {"not decoded: zlib stream damaged (inflate: bad)", {"padding not zero", "zlib stream damaged (inflate: bad)"},
         "not decoded"},
        {"not decoded: a <b>; c & d", {"a <b>", "c & d"}, "not decoded"},
        {"payload runs past the end of the archive", {"payload runs past the end of the archive"}, "see its problems"},
        // Not a problem of the card: said whole.
        {"not decoded: alpha; echo", {"alpha", "charlie"}, "not decoded: alpha; echo", false},
        {"no thumbnail: Cannot allocate memory", {"padding not zero"}, "no thumbnail: Cannot allocate memory"},
        {"shown at entry 2", {}, "shown at entry 2"},
    };
    for (const once_case& c : cases) {
        gallery_card card = card_of(4, "n.tga");
        card.thumbnail.clear();
        card.no_thumbnail_reason = c.reason;
        card.problems = c.problems;
        const std::string shown = card_text(card);
        EXPECT_NE(shown.find("<p class=\"none\">" + gallery_html_text(c.box) + "</p>"), std::string::npos)
            << c.reason << "\n" << shown;
        for (const std::string& problem : c.problems) {
            const std::string text = gallery_html_text(problem);
            std::size_t times = 0;
            for (std::size_t at = shown.find(text); at != std::string::npos; at = shown.find(text, at + 1)) ++times;
            if (c.once) {
                EXPECT_EQ(times, 1u) << c.reason << ": " << problem;
            }
        }
    }
}

TEST(GalleryPage, WritesToAStreamAndReportsAFailedOne)
{
    const std::string want = hostile_page(3);
    std::vector<char> room(want.size() + 16);
    for (const std::size_t size : {room.size(), want.size() / 2}) {
        std::FILE* f = fmemopen(room.data(), size, "w");
        ASSERT_NE(f, nullptr);
        std::setvbuf(f, nullptr, _IONBF, 0);  // every write reaches the buffer, or fails, at once
        gallery_sink sink;
        sink.file = f;
        const int rc = write_hostile_page(sink, 3);
        std::fclose(f);
        if (size == room.size()) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(std::string(room.data(), want.size()), want);
        } else {
            EXPECT_EQ(rc, -1);
        }
    }
}

}  // namespace
