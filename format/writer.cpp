// The archive writer: lays out a described archive and writes it to memory or
// to a file. Well formed unless an override says otherwise.
#include "format/format.hpp"
#include "format/writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include <zlib.h>

namespace {

// A piece of the archive at an absolute offset.
struct chunk {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> header_block(const tex_writer_archive& a)
{
    std::vector<std::uint8_t> b(tex_header_size, 0);
    std::copy(a.signature.begin(), a.signature.end(), b.begin());
    b[3] = a.version;
    tex_put_le32(b, 4, a.file_count.value_or(static_cast<std::uint32_t>(a.entries.size())));
    tex_put_le32(b, 8, a.second_word);
    std::copy(a.padding.begin(), a.padding.end(), b.begin() + 12);
    return b;
}

std::vector<std::uint8_t> entry_block(const tex_writer_entry& e)
{
    std::vector<std::uint8_t> b(tex_entry_header_size + e.payload.size(), 0);
    if (e.raw_name) {
        std::copy(e.raw_name->begin(), e.raw_name->end(), b.begin());
    } else {
        std::copy_n(e.name.begin(), std::min(e.name.size(), tex_name_size), b.begin());
    }
    tex_put_le16(b, 32, e.width);
    tex_put_le16(b, 34, e.height);
    b[36] = e.type;
    tex_put_le32(b, 37, e.rep_c_sz.value_or(static_cast<std::uint32_t>(e.payload.size())));
    std::copy(e.padding.begin(), e.padding.end(), b.begin() + 41);
    std::copy(e.payload.begin(), e.payload.end(), b.begin() + tex_entry_header_size);
    return b;
}

std::vector<chunk> lay_out(const tex_writer_archive& a)
{
    std::vector<chunk> out;
    out.push_back({0, header_block(a)});
    std::vector<std::uint8_t> table(a.entries.size() * tex_table_entry_size, 0);
    std::uint64_t next = tex_header_size + table.size();
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const tex_writer_entry& e = a.entries[i];
        const std::uint64_t at = e.offset ? *e.offset : next;
        if (at > UINT32_MAX) throw std::length_error("entry offset beyond 4 GiB");
        const auto size = static_cast<std::uint32_t>(e.payload.size());
        tex_put_le32(table, i * tex_table_entry_size, e.table_type.value_or(e.type));
        tex_put_le32(table, i * tex_table_entry_size + 4, static_cast<std::uint32_t>(at));
        tex_put_le32(table, i * tex_table_entry_size + 8, e.table_size.value_or(size));
        if (e.write_body) {
            out.push_back({at, entry_block(e)});
            next = std::max(next, at + tex_entry_header_size + e.payload.size());
        }
    }
    out.push_back({tex_header_size, std::move(table)});
    return out;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::vector<std::uint8_t> tex_build_archive(const tex_writer_archive& archive)
{
    std::vector<std::uint8_t> out;
    for (const chunk& c : lay_out(archive)) {
        const std::uint64_t end = c.offset + c.bytes.size();
        // Where size_t is 32 bits (WebAssembly) an archive may lie beyond memory's reach.
        if (end > out.max_size()) throw std::bad_alloc();
        if (out.size() < end) out.resize(static_cast<std::size_t>(end), 0);
        std::copy(c.bytes.begin(), c.bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(c.offset));
    }
    return out;
}

namespace {

// 64-bit absolute seek of a stream; 0 on success.
int seek_to(std::FILE* file, std::uint64_t offset)
{
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return -1;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

}  // namespace

int tex_write_archive(const char* path, const tex_writer_archive& archive)
{
    const std::vector<chunk> chunks = lay_out(archive);
    std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "wb"));
    if (!f) return -1;
    for (const chunk& c : chunks) {
        if (seek_to(f.get(), c.offset) != 0) return -1;
        // An empty table has no storage: fwrite must not see its null pointer.
        if (!c.bytes.empty() && std::fwrite(c.bytes.data(), 1, c.bytes.size(), f.get()) != c.bytes.size()) return -1;
    }
    return std::fclose(f.release()) == 0 ? 0 : -1;
}

std::vector<std::uint8_t> tex_make_type4_payload(std::span<const std::uint16_t> pixels, int level)
{
    std::vector<std::uint8_t> raw(pixels.size() * 2);
    for (std::size_t k = 0; k < pixels.size(); ++k) tex_put_le16(raw, 2 * k, pixels[k]);
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> out(len);
    if (compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), level) != Z_OK) {
        throw std::runtime_error("zlib compression failed");
    }
    out.resize(len);
    return out;
}

std::vector<std::uint8_t> tex_make_type6_payload(std::span<const std::uint32_t> pixels)
{
    std::vector<std::uint8_t> out(pixels.size() * 4);
    for (std::size_t k = 0; k < pixels.size(); ++k) tex_put_le32(out, 4 * k, pixels[k]);
    return out;
}

tex_writer_entry tex_placeholder_entry(const std::string& name)
{
    tex_writer_entry e;
    e.name = name;
    e.type = 6;
    return e;
}

tex_writer_entry tex_type4_entry(const std::string& name, std::uint16_t width, std::uint16_t height,
                                 std::span<const std::uint16_t> pixels, int level)
{
    tex_writer_entry e;
    e.name = name;
    e.width = width;
    e.height = height;
    e.type = 4;
    e.payload = tex_make_type4_payload(pixels, level);
    return e;
}

tex_writer_entry tex_type6_entry(const std::string& name, std::uint16_t width, std::uint16_t height,
                                 std::span<const std::uint32_t> pixels)
{
    tex_writer_entry e;
    e.name = name;
    e.width = width;
    e.height = height;
    e.type = 6;
    e.payload = tex_make_type6_payload(pixels);
    return e;
}

int tex_payload_write(tex_payload_out& out, std::span<const std::uint8_t> piece)
{
    if (out.written + piece.size() > UINT32_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    if (out.fd >= 0 && tex_pwrite(out.fd, piece, out.at + out.written) != 0) return -1;
    out.written += piece.size();
    return 0;
}

int tex_sink_begin(tex_archive_sink& sink, int fd, std::uint32_t count)
{
    sink = tex_archive_sink{fd, count, 0, tex_header_size + std::uint64_t{count} * tex_table_entry_size};
    if (sink.next > UINT32_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    return 0;
}

std::array<std::uint8_t, tex_entry_header_size> tex_entry_header_block(const std::string& name, std::uint16_t width,
                                                                      std::uint16_t height, std::uint8_t type)
{
    std::array<std::uint8_t, tex_entry_header_size> b{};
    std::copy_n(name.begin(), std::min(name.size(), tex_name_size), b.begin());
    tex_put_le16(b, 32, width);
    tex_put_le16(b, 34, height);
    b[36] = type;
    return b;
}

int tex_sink_add(tex_archive_sink& sink, std::span<const std::uint8_t, tex_entry_header_size> header,
                 const std::function<int(tex_payload_out&)>& write_payload)
{
    // Offsets are 32-bit: an entry must start below 4 GiB.
    if (sink.added >= sink.count || sink.next > UINT32_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    tex_payload_out payload{sink.fd, sink.next + tex_entry_header_size, 0};
    if (write_payload(payload) != 0) return -1;
    const auto size = static_cast<std::uint32_t>(payload.written);
    std::array<std::uint8_t, tex_entry_header_size> block{};
    std::copy(header.begin(), header.end(), block.begin());
    tex_put_le32(block, 37, size);
    std::array<std::uint8_t, tex_table_entry_size> record{};
    tex_put_le32(record, 0, block[36]);
    tex_put_le32(record, 4, static_cast<std::uint32_t>(sink.next));
    tex_put_le32(record, 8, size);
    if (sink.fd >= 0 && (tex_pwrite(sink.fd, block, sink.next) != 0 ||
                         tex_pwrite(sink.fd, record, tex_header_size + std::uint64_t{sink.added} * tex_table_entry_size) != 0)) {
        return -1;
    }
    ++sink.added;
    sink.next = payload.at + payload.written;
    return 0;
}

int tex_sink_finish(tex_archive_sink& sink, std::array<std::uint8_t, 3> signature, std::uint32_t second_word)
{
    if (sink.added != sink.count) {
        errno = EINVAL;
        return -1;
    }
    std::array<std::uint8_t, tex_header_size> block{};
    std::copy(signature.begin(), signature.end(), block.begin());
    block[3] = tex_version;
    tex_put_le32(block, 4, sink.count);
    tex_put_le32(block, 8, second_word);
    return sink.fd >= 0 ? tex_pwrite(sink.fd, block, 0) : 0;
}
