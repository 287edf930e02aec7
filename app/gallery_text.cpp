// What the gallery page writes as text: names and messages escaped for
// HTML (gallery_html_text), images as base64, and the SHA-256 digests the
// page's policy allows its own style sheet and script by.
#include "app/gallery_page.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "words/escape.hpp"

std::string gallery_html_text(std::string_view raw, std::size_t max_bytes)
{
    std::string out;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(raw[k]); };
    const auto escape_bytes = [&](std::size_t at, std::size_t n) {
        for (std::size_t k = at; k < at + n; ++k) {
            static constexpr char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[byte(k) >> 4];
            out += hex[byte(k) & 15];
        }
    };
    std::size_t at = 0;
    while (at < raw.size()) {
        const unsigned char c = byte(at);
        // The character (or lone byte) that starts here.
        std::uint32_t cp = 0;
        std::size_t n = tex_utf8_char(raw, at, cp);
        const bool valid = n > 0;
        if (!valid) n = 1;
        if (at + n > max_bytes) {
            out += "...";
            break;
        }
        if (!valid || tex_hidden_char(cp)) {
            escape_bytes(at, n);
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '\'') {
            out += "&#39;";
        } else {
            out.append(raw.substr(at, n));
        }
        at += n;
    }
    return out;
}

std::string gallery_base64(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t k = 0;
    for (; k + 3 <= bytes.size(); k += 3) {
        const std::uint32_t v = std::uint32_t{bytes[k]} << 16 | std::uint32_t{bytes[k + 1]} << 8 | bytes[k + 2];
        for (int shift = 18; shift >= 0; shift -= 6) out += digits[v >> shift & 63];
    }
    if (k < bytes.size()) {
        const bool two = k + 1 < bytes.size();
        const std::uint32_t v = std::uint32_t{bytes[k]} << 16 | (two ? std::uint32_t{bytes[k + 1]} << 8 : 0);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += two ? digits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string gallery_sha256_base64(std::string_view text)
{
    static constexpr std::array<std::uint32_t, 64> k = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    // The message, a 0x80 byte, zeros up to 56 mod 64, and its length in bits.
    std::vector<std::uint8_t> m(text.begin(), text.end());
    const std::uint64_t bits = std::uint64_t{m.size()} * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8) m.push_back(static_cast<std::uint8_t>(bits >> shift));
    const auto rotr = [](std::uint32_t x, int n) { return x >> n | x << (32 - n); };
    for (std::size_t block = 0; block < m.size(); block += 64) {
        std::array<std::uint32_t, 64> w{};
        for (std::size_t t = 0; t < 16; ++t)
            w[t] = std::uint32_t{m[block + 4 * t]} << 24 | std::uint32_t{m[block + 4 * t + 1]} << 16 |
                   std::uint32_t{m[block + 4 * t + 2]} << 8 | m[block + 4 * t + 3];
        for (std::size_t t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = h;
        for (std::size_t t = 0; t < 64; ++t) {
            const std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
            const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + ch + k[t] + w[t];
            const std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
            const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            const std::uint32_t t2 = s0 + maj;
            v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (std::size_t j = 0; j < 8; ++j) h[j] += v[j];
    }
    std::vector<std::uint8_t> digest;
    for (const std::uint32_t word : h)
        for (int shift = 24; shift >= 0; shift -= 8) digest.push_back(static_cast<std::uint8_t>(word >> shift));
    return gallery_base64(digest);
}
