// morvex_bench_pack_floor: the least work any packer of a folder of images
// must do, as the benchmark's floor for `create`. On one thread, it reads each
// image file beneath FOLDER (sorted by path, as create takes them) with one
// read, decodes it with the packer's decoders, makes its payload as the packer
// does (type 4: the ARGB4444 pixels deflated by libdeflate at LEVEL; type 6:
// the pixels as they are in memory) and writes it with one write, entry after
// entry; then the table and the header. No checks beyond what keeps it in
// bounds, no unnamed file, no order kept by workers. The archive is the one
// `create -t TYPE --level LEVEL OUT.pak FOLDER` writes, byte for byte.
//
// LEVEL zlibN deflates with zlib's compress2 at level N instead: with zlib9,
// the archive the packer wrote before it compressed with libdeflate, byte for
// byte, for the least that took.
//
//   morvex_bench_pack_floor OUT.pak TYPE LEVEL|zlibN FOLDER
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <zlib.h>

#include "pack/pack.hpp"

namespace {

namespace fs = std::filesystem;

int read_whole(const std::string& path, std::vector<std::uint8_t>& out)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > pack_max_file_size) {
        if (fd >= 0) close(fd);
        return -1;
    }
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = read(fd, out.data() + got, out.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return got == out.size() ? 0 : -1;
}

// The images beneath the folder, as (stored name, path), sorted by name.
std::vector<std::pair<std::string, std::string>> images_in(const std::string& folder)
{
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (!e.is_regular_file() || image_format_for(e.path().filename().string()) == image_format::none) continue;
        found.emplace_back(fs::relative(e.path(), folder).generic_string(), e.path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// One entry: its header block and payload written at the end of the file.
int add_entry(int fd, std::uint64_t& next, std::vector<std::uint8_t>& table, std::size_t index, const std::string& name,
              std::uint16_t width, std::uint16_t height, std::uint8_t type, const std::uint8_t* payload, std::size_t size)
{
    auto block = tex_entry_header_block(name, width, height, type);
    tex_put_le32(block, 37, static_cast<std::uint32_t>(size));
    tex_put_le32(table, index * tex_table_entry_size, type);
    tex_put_le32(table, index * tex_table_entry_size + 4, static_cast<std::uint32_t>(next));
    tex_put_le32(table, index * tex_table_entry_size + 8, static_cast<std::uint32_t>(size));
    if (write_all(fd, block.data(), block.size()) != 0 || write_all(fd, payload, size) != 0) return -1;
    next += block.size() + size;
    return 0;
}

// The payload zlib's compress2 makes of the image's ARGB4444 pixels.
int zlib_payload(pack_image& image, int level, pack_payload& out)
{
    std::vector<std::uint8_t> pixels(image.argb.size() * 2);
    pack_type4_pixels(image.argb, pixels);
    uLongf size = compressBound(static_cast<uLong>(pixels.size()));
    out.type = 4;
    out.deflated.resize(size);
    if (compress2(out.deflated.data(), &size, pixels.data(), static_cast<uLong>(pixels.size()), level) != Z_OK) return -1;
    out.deflated.resize(size);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: morvex_bench_pack_floor OUT.pak TYPE LEVEL|zlibN FOLDER\n");
        return 1;
    }
    const auto type = static_cast<std::uint8_t>(std::atoi(argv[2]));
    const bool zlib = std::strncmp(argv[3], "zlib", 4) == 0;
    const int level = std::atoi(argv[3] + (zlib ? 4 : 0));
    const auto images = images_in(argv[4]);
    const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || (type != 4 && type != 6) || !pack_level_valid(level) || (zlib && (type != 4 || level > 9))) {
        std::perror(argv[1]);
        return 1;
    }
    const std::size_t count = images.size() + 1;
    std::vector<std::uint8_t> table(count * tex_table_entry_size);
    std::uint64_t next = tex_header_size + table.size();
    if (lseek(fd, static_cast<off_t>(next), SEEK_SET) < 0 ||
        add_entry(fd, next, table, 0, "", 0, 0, 6, nullptr, 0) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<std::uint8_t> file;
    for (std::size_t k = 0; k < images.size(); ++k) {
        const auto& [name, path] = images[k];
        pack_image image;
        pack_payload payload;
        std::string reason;
        if (read_whole(path, file) != 0 || pack_decode_image(file, path, image, reason) != 0 ||
            (zlib ? zlib_payload(image, level, payload) : pack_make_payload(image, type, level, payload)) != 0) {
            std::fprintf(stderr, "morvex_bench_pack_floor: %s: can't pack it %s\n", path.c_str(), reason.c_str());
            return 1;
        }
        // Type 6: the pixels in memory are the payload's little-endian words.
        const auto* bytes = type == 4 ? payload.deflated.data() : reinterpret_cast<const std::uint8_t*>(payload.argb.data());
        const std::size_t size = type == 4 ? payload.deflated.size() : payload.argb.size() * 4;
        if (add_entry(fd, next, table, k + 1, name, image.width, image.height, type, bytes, size) != 0) {
            std::perror(argv[1]);
            return 1;
        }
    }
    std::vector<std::uint8_t> header(tex_header_size);
    std::memcpy(header.data(), "TEX", 3);
    header[3] = tex_version;
    tex_put_le32(header, 4, static_cast<std::uint32_t>(count));
    if (tex_pwrite(fd, table, tex_header_size) != 0 || tex_pwrite(fd, header, 0) != 0 || close(fd) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
