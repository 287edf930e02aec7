// Parsing the three records from whole blocks of bytes.
#include "format/format.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>


tex_header tex_parse_header(std::span<const std::uint8_t, tex_header_size> block)
{
    tex_header h{};
    std::copy_n(block.begin(), 3, h.signature.begin());
    h.version = block[3];
    h.file_count = tex_le32(block, 4);
    h.second_word = tex_le32(block, 8);
    std::copy_n(block.begin() + 12, tex_header_padding_size, h.padding.begin());
    return h;
}

tex_table_entry tex_parse_table_entry(std::span<const std::uint8_t, tex_table_entry_size> block)
{
    return tex_table_entry{tex_le32(block, 0), tex_le32(block, 4), tex_le32(block, 8)};
}

tex_entry_header tex_parse_entry_header(std::span<const std::uint8_t, tex_entry_header_size> block)
{
    tex_entry_header h{};
    std::copy_n(block.begin(), tex_name_size, h.filename.begin());
    h.width = tex_le16(block, 32);
    h.height = tex_le16(block, 34);
    h.rep_t_id = block[36];
    h.rep_c_sz = tex_le32(block, 37);
    std::copy_n(block.begin() + 41, tex_entry_padding_size, h.padding.begin());
    return h;
}

std::string tex_entry_name(const tex_entry_header& header)
{
    const auto* first = reinterpret_cast<const char*>(header.filename.data());
    return std::string(first, strnlen(first, tex_name_size));
}

bool tex_signature_matches(std::span<const std::uint8_t> leading)
{
    static constexpr char expected[] = "TEX";
    if (leading.size() < 3) return false;
    for (std::size_t k = 0; k < 3; ++k) {
        std::uint8_t c = leading[k];
        if (c >= 'a' && c <= 'z') c = static_cast<std::uint8_t>(c - 'a' + 'A');
        if (c != static_cast<std::uint8_t>(expected[k])) return false;
    }
    return true;
}

bool tex_recognised(std::span<const std::uint8_t> leading)
{
    return leading.size() >= tex_leading_size && tex_signature_matches(leading) && leading[3] == tex_version;
}
