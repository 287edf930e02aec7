// Entries from images, reading the archive `replace` patches, and writing the
// output beside its final name.
#include "pack/pack.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "extract/extract.hpp"

namespace {

using u64 = unsigned long long;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The byte just past an archive's last entry when laid out as the writer does;
// above this an entry's offset no longer fits in 32 bits.
constexpr std::uint64_t max_entry_offset = UINT32_MAX;

bool all_zero(std::span<const std::uint8_t> run)
{
    for (std::uint8_t b : run) {
        if (b != 0) return false;
    }
    return true;
}

// Reads exactly `block.size()` bytes at `offset`; false when the file is shorter.
bool read_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> block)
{
    return tex_seek(file, offset) == 0 && tex_read_block(file, block) == block.size();
}

// The size of a regular file; -1 for anything else (a folder opens too).
int regular_file_size(std::FILE* f, std::uint64_t& size)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return -1;
    size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

// Reads and checks entry `i`; prints why it is refused.
int read_source_entry(std::FILE* file, std::uint64_t size, const std::string& path, std::uint32_t i,
                      const tex_table_entry& record, pack_source_entry& out)
{
    const char* shown = path.c_str();
    std::array<std::uint8_t, tex_entry_header_size> block{};
    if (std::uint64_t{record.offset} + tex_entry_header_size > size || !read_at(file, record.offset, block)) {
        pack_error("%s: entry %u lies past the end of the archive (offset %u, archive %llu bytes)", shown, i,
                   record.offset, static_cast<u64>(size));
        return -1;
    }
    out.header = tex_parse_entry_header(block);
    if (!all_zero(out.header.padding)) {
        pack_error("%s: entry %u: its 39 bytes of padding aren't all zero", shown, i);
        return -1;
    }
    if (record.type_id != out.header.rep_t_id) {
        pack_error("%s: entry %u: its two type ids differ (%u in the table, %u in the entry)", shown, i,
                   record.type_id, out.header.rep_t_id);
        return -1;
    }
    if (record.compressed_size != out.header.rep_c_sz) {
        pack_error("%s: entry %u: its two payload sizes differ (%u in the table, %u in the entry)", shown, i,
                   record.compressed_size, out.header.rep_c_sz);
        return -1;
    }
    const std::uint64_t payload_at = std::uint64_t{record.offset} + tex_entry_header_size;
    if (payload_at + record.compressed_size > size) {
        pack_error("%s: entry %u: its %u payload bytes run past the end of the archive", shown, i,
                   record.compressed_size);
        return -1;
    }
    out.payload.assign(record.compressed_size, 0);
    if (!read_at(file, payload_at, out.payload)) {
        pack_error("%s: entry %u: can't read its payload: %s", shown, i, std::strerror(errno));
        return -1;
    }
    return 0;
}

// Checks the header and returns the table records, or -1 with the reason.
int read_source_table(std::FILE* file, std::uint64_t size, const std::string& path, tex_header& header,
                      std::vector<tex_table_entry>& table)
{
    const char* shown = path.c_str();
    std::array<std::uint8_t, tex_header_size> block{};
    if (!read_at(file, 0, block)) {
        pack_error("%s: not a TEX archive: %llu bytes, fewer than its 256-byte header", shown,
                   static_cast<u64>(size));
        return -1;
    }
    header = tex_parse_header(block);
    if (!tex_signature_matches(header.signature) || header.version != tex_version) {
        pack_error("%s: not a TEX version 3 archive", shown);
        return -1;
    }
    if (!all_zero(header.padding)) {
        pack_error("%s: the header's 244 bytes of padding aren't all zero", shown);
        return -1;
    }
    const std::uint64_t records = (size - tex_header_size) / tex_table_entry_size;
    if (header.file_count > records) {
        pack_error("%s: its table of %u entries runs past the end of the archive", shown, header.file_count);
        return -1;
    }
    std::vector<std::uint8_t> bytes(std::size_t{header.file_count} * tex_table_entry_size);
    if (!read_at(file, tex_header_size, bytes)) {
        pack_error("%s: can't read its table: %s", shown, std::strerror(errno));
        return -1;
    }
    table.reserve(header.file_count);
    // The output lays entries end to end; an archive whose entries can't all be
    // addressed that way is refused before any payload is read.
    std::uint64_t next = tex_header_size + bytes.size();
    for (std::uint32_t i = 0; i < header.file_count; ++i) {
        const auto record = std::span(bytes).subspan(std::size_t{i} * tex_table_entry_size);
        table.push_back(tex_parse_table_entry(record.first<tex_table_entry_size>()));
        if (next > max_entry_offset) {
            pack_error("%s: its entries add up to more than a TEX archive can address", shown);
            return -1;
        }
        next += tex_entry_header_size + std::uint64_t{table.back().compressed_size};
    }
    return 0;
}

}  // namespace

void pack_error(const char* format, ...)
{
    std::fprintf(stderr, "%s: ", pack_program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

std::string pack_entry_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int pack_check_entry_name(const std::string& path, const std::string& name)
{
    if (name.empty()) {
        pack_error("%s: no file name to store it under", path.c_str());
        return -1;
    }
    if (name.size() > tex_name_size) {
        pack_error("%s: its name is %zu bytes long; an entry's name holds at most 32", path.c_str(), name.size());
        return -1;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            pack_error("%s: its name holds a control byte", tex_printable_name(path).c_str());
            return -1;
        }
    }
    if (image_format_for(name) == image_format::none) {
        pack_error("%s: unknown image format (the name must end in .png, .tga, .bmp or .pcx)", path.c_str());
        return -1;
    }
    return 0;
}

std::uint16_t pack_argb4444(std::uint32_t argb)
{
    const std::uint32_t a = pack_nearest_nibble(argb >> 24);
    const std::uint32_t r = pack_nearest_nibble((argb >> 16) & 0xFF);
    const std::uint32_t g = pack_nearest_nibble((argb >> 8) & 0xFF);
    const std::uint32_t b = pack_nearest_nibble(argb & 0xFF);
    return static_cast<std::uint16_t>(a << 12 | r << 8 | g << 4 | b);
}

tex_writer_entry pack_image_entry(const std::string& name, const pack_image& image, std::uint8_t type)
{
    if (type == 4) {
        std::vector<std::uint16_t> pixels(image.argb.size());
        for (std::size_t k = 0; k < pixels.size(); ++k) pixels[k] = pack_argb4444(image.argb[k]);
        return tex_type4_entry(name, image.width, image.height, pixels, 9);
    }
    return tex_type6_entry(name, image.width, image.height, image.argb);
}

int pack_read_source(const std::string& path, pack_source& out)
{
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        pack_error("%s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    std::uint64_t size = 0;
    if (regular_file_size(file.get(), size) != 0) {
        pack_error("%s: not a regular file", path.c_str());
        return -1;
    }
    std::vector<tex_table_entry> table;
    if (read_source_table(file.get(), size, path, out.header, table) != 0) return -1;
    out.entries.resize(table.size());
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        if (read_source_entry(file.get(), size, path, i, table[i], out.entries[i]) != 0) return -1;
    }
    return 0;
}

tex_writer_entry pack_kept_entry(pack_source_entry&& entry)
{
    tex_writer_entry e;
    e.raw_name = entry.header.filename;
    e.name = tex_entry_name(entry.header);
    e.width = entry.header.width;
    e.height = entry.header.height;
    e.type = entry.header.rep_t_id;
    e.payload = std::move(entry.payload);
    return e;
}

namespace {

// A type-4 entry's pixels as stored; false when its stream doesn't inflate to
// exactly its width * height pixels.
bool stored_argb4444(const pack_source_entry& entry, std::vector<std::uint16_t>& out)
{
    const std::size_t count = std::size_t{entry.header.width} * entry.header.height;
    std::vector<std::uint8_t> raw(count * 2);
    std::size_t produced = 0;
    // A stream that inflates to more than the image fails here.
    if (inflate_zlib(entry.payload, raw, produced) != 0 || produced != raw.size()) return false;
    out.resize(count);
    for (std::size_t k = 0; k < count; ++k) out[k] = tex_le16(raw, 2 * k);
    return true;
}

}  // namespace

bool pack_entry_holds(const pack_source_entry& entry, const pack_image& image)
{
    const tex_entry_header& h = entry.header;
    if (h.width != image.width || h.height != image.height) return false;
    // An image from a file without alpha says nothing about the entry's alpha.
    const std::uint32_t mask = image.has_alpha ? 0xFFFFFFFFu : 0x00FFFFFFu;
    if (h.rep_t_id == 6) {
        if (entry.payload.size() != image.argb.size() * 4) return false;
        for (std::size_t k = 0; k < image.argb.size(); ++k) {
            if (((tex_le32(entry.payload, 4 * k) ^ image.argb[k]) & mask) != 0) return false;
        }
        return true;
    }
    if (h.rep_t_id != 4) return false;
    std::vector<std::uint16_t> stored;
    if (!stored_argb4444(entry, stored)) return false;
    const std::uint32_t mask4 = image.has_alpha ? 0xFFFFu : 0x0FFFu;
    for (std::size_t k = 0; k < image.argb.size(); ++k) {
        if (((stored[k] ^ pack_argb4444(image.argb[k])) & mask4) != 0) return false;
    }
    return true;
}

bool pack_entry_has_alpha(const pack_source_entry& entry)
{
    if (entry.header.rep_t_id == 6) {
        for (std::size_t k = 3; k < entry.payload.size(); k += 4) {
            if (entry.payload[k] != 0xFF) return true;
        }
        return false;
    }
    std::vector<std::uint16_t> stored;
    if (entry.header.rep_t_id != 4 || !stored_argb4444(entry, stored)) return false;
    for (std::uint16_t p : stored) {
        if (p >> 12 != 15) return true;
    }
    return false;
}

bool pack_same_file(const std::string& in_path, const std::string& out_path)
{
    if (in_path == out_path) return true;
    struct stat in_st {};
    struct stat out_st {};
    return stat(in_path.c_str(), &in_st) == 0 && stat(out_path.c_str(), &out_st) == 0 &&
           in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino;
}

int pack_write_output(const std::string& path, const tex_writer_archive& archive)
{
    std::uint64_t next = tex_header_size + archive.entries.size() * tex_table_entry_size;
    for (const tex_writer_entry& e : archive.entries) {
        if (next > max_entry_offset || e.payload.size() > UINT32_MAX) {
            pack_error("%s: the entries add up to more than a TEX archive can address", path.c_str());
            return -1;
        }
        next += tex_entry_header_size + e.payload.size();
    }

    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string temporary = folder + "." + pack_entry_name(path) + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        pack_error("%s: can't create a temporary file beside it: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    // The permissions a new file gets, not the temporary file's owner-only ones.
    const mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd, 0666 & ~mask) == 0;
    close(fd);
    int error = errno;
    try {
        written = written && tex_write_archive(temporary.c_str(), archive) == 0;
        error = errno;
    } catch (const std::exception& e) {
        std::remove(temporary.c_str());
        pack_error("%s: can't write it: %s", path.c_str(), e.what());
        return -1;
    }
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (written) error = errno;
        std::remove(temporary.c_str());
        pack_error("%s: can't write it: %s", path.c_str(), std::strerror(error));
        return -1;
    }
    return 0;
}
