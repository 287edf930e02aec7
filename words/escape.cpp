// The escapers of every medium over one UTF-8 reader: what a terminal, a
// JSON document, a page or a shell is shown of names and paths that may hold
// any byte.
#include "words/escape.hpp"
#include "words/words.hpp"

#include <cstdio>

std::size_t tex_utf8_char(std::string_view s, std::size_t at, std::uint32_t& cp)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(at);
    cp = lead;
    if (lead < 0x80) return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        cp = lead & 0x0Fu;
        if (lead == 0xE0) lo = 0xA0;  // no overlong forms
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        cp = lead & 0x07u;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + len > s.size() || byte(at + 1) < lo || byte(at + 1) > hi) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if (byte(at + k) < 0x80 || byte(at + k) > 0xBF) return 0;
        cp = cp << 6 | (byte(at + k) & 0x3Fu);
    }
    return len;
}

bool tex_hidden_char(std::uint32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || (cp >= 0x200B && cp <= 0x200F) ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x2069) || cp == 0xFEFF ||
           (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

namespace {

void append_escaped(std::string& out, unsigned char c)
{
    char esc[5];
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    out += esc;
}

}  // namespace

std::string tex_printable_name(const std::string& name)
{
    std::string out;
    out.reserve(name.size());
    for (std::size_t k = 0; k < name.size();) {
        std::uint32_t cp = 0;
        const std::size_t len = tex_utf8_char(name, k, cp);
        const auto c = static_cast<unsigned char>(name[k]);
        if (len == 0) {
            // Not UTF-8: a raw C1 byte (0x80-0x9F) is a control code to some
            // terminals; other bytes are left for the terminal to show.
            if (c <= 0x9F) {
                append_escaped(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++k;
        } else if (tex_hidden_char(cp)) {
            for (std::size_t j = k; j < k + len; ++j) append_escaped(out, static_cast<unsigned char>(name[j]));
            k += len;
        } else {
            out.append(name, k, len);
            k += len;
        }
    }
    return out;
}

std::string tex_json_string(const std::string& s)
{
    std::string out = "\"";
    for (std::size_t at = 0; at < s.size();) {
        const auto c = static_cast<unsigned char>(s[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++at;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++at;
        } else if (std::uint32_t cp = 0; c >= 0x80 && tex_utf8_char(s, at, cp) > 0) {
            // Hidden characters (the C1 controls, bidi marks, ...) escaped
            // too, exactly: a terminal showing the JSON may obey them.
            const std::size_t n = tex_utf8_char(s, at, cp);
            if (!tex_hidden_char(cp)) {
                out.append(s, at, n);
            } else if (cp <= 0xFFFF) {
                out += format_text("\\u%04x", static_cast<unsigned>(cp));
            } else {
                out += format_text("\\u%04x\\u%04x", static_cast<unsigned>(0xD800 + ((cp - 0x10000) >> 10)),
                                   static_cast<unsigned>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            }
            at += n;
        } else {
            out += format_text("\\u%04x", c);
            ++at;
        }
    }
    return out + "\"";
}
