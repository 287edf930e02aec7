// The escapers of every medium (terminal lines and JSON here,
// HTML in gallery_page.hpp, shell words in the gallery) and the one UTF-8
// reader and set of hidden characters they all share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The valid UTF-8 character that starts at s[at]: its length (1 to 4) with
// its code point in `cp`; 0 for a byte that starts none (overlong forms,
// surrogates and anything past U+10FFFF are no characters). The one UTF-8
// reader of every escaper: terminal lines, JSON, pages and shell words.
std::size_t tex_utf8_char(std::string_view s, std::size_t at, std::uint32_t& cp);

// True for the characters no presentation shows as themselves: controls (C0,
// DEL, C1), line and paragraph separators, the marks that reorder or hide
// text (bidi embeddings, overrides and isolates, zero-width ones), and
// noncharacters. A stored name could use them to pass for another.
bool tex_hidden_char(std::uint32_t cp);

// A name fit to print on a terminal: bytes that are no UTF-8 character below
// 0xA0 (a raw C1 byte drives some terminals) and every byte of a hidden
// character are shown as \xNN; everything else, valid UTF-8 or not, as is.
std::string tex_printable_name(const std::string& name);

// "s" inside JSON quotes: valid UTF-8 as is, '"', '\' and control bytes
// escaped, hidden characters as \uXXXX, and every byte that is not part of
// valid UTF-8 as \u00XX. The one JSON escaper: the programs' --json and the
// page's worker.
std::string tex_json_string(const std::string& s);
