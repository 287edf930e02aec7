// morvex_bench_floor: the least work any extractor of the archive must do,
// as the benchmark's floor. It reads the archive, inflates each type-4 payload
// with the inflater the extractor uses, widens every pixel to 32 bits (type 6:
// reorders them) and writes as many bytes to as many files as the extractor
// writes for TGA names: an 18-byte header and 4 bytes per pixel. No report, no
// checks beyond what keeps it in bounds, no temporary names, no image object,
// rows in the order they come.
//
// With -no-convert, the floor of raw mode: each payload copied as stored into
// a file of the entry's name, by the kernel (copy_file_range) where it can.
//
//   morvex_bench_floor ARCHIVE [-no-convert]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "extract/extract.hpp"
#include "tex/tex.hpp"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A buffer that only grows, so that memory is taken once for the largest entry.
template <typename T>
struct reusable {
    std::unique_ptr<T[]> data;
    std::size_t size = 0;
    T* take(std::size_t n)
    {
        if (n > size) {
            data.reset(new T[n]);
            size = n;
        }
        return data.get();
    }
};

// Pixels are widened and written a slice at a time: a slice that is still in
// the cache when the kernel copies it out costs less than a whole image.
constexpr std::size_t slice_pixels = 64 * 1024;
constexpr std::size_t page_size = 4096;

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

// Writes the TGA header, then the pixels that `make` produces slice by slice.
// Each slice is built half a page away from its file offset's place in a page:
// the kernel copies much more slowly from a source just behind the
// destination within a page.
template <typename Make>
int write_file(const std::string& name, std::span<const std::uint8_t> header, std::size_t count,
               std::uint8_t* buffer, Make make)
{
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return -1;
    bool ok = write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
    std::size_t at = header.size();
    for (std::size_t first = 0; ok && first < count; first += slice_pixels) {
        const std::size_t n = std::min(slice_pixels, count - first);
        const std::size_t phase = ((at + page_size / 2) % page_size) & ~std::size_t{63};
        const std::span<std::uint32_t> slice(reinterpret_cast<std::uint32_t*>(buffer + phase), n);
        make(first, slice);
        ok = write(fd, slice.data(), n * 4) == static_cast<ssize_t>(n * 4);
        at += n * 4;
    }
    return close(fd) == 0 && ok ? 0 : -1;
}

// Copies `len` archive bytes from `at` into a new file; through a buffer
// when the kernel can't copy between the two files itself.
int copy_raw(int archive, std::uint64_t at, std::size_t len, const std::string& name, reusable<std::uint8_t>& buffer)
{
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return -1;
    auto from = static_cast<off_t>(at);
    std::size_t left = len;
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = copy_file_range(archive, &from, fd, nullptr, left, 0);
        if (n <= 0) break;
        left -= static_cast<std::size_t>(n);
    }
    if (left > 0) {
        std::uint8_t* b = buffer.take(left);
        ok = pread(archive, b, left, from) == static_cast<ssize_t>(left) &&
             write(fd, b, left) == static_cast<ssize_t>(left);
    }
    return close(fd) == 0 && ok ? 0 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool as_stored = argc == 3 && std::string(argv[2]) == "-no-convert";
    if (argc != 2 && !as_stored) {
        std::fprintf(stderr, "usage: morvex_bench_floor ARCHIVE [-no-convert]\n");
        return 1;
    }
    std::unique_ptr<std::FILE, file_closer> f(std::fopen(argv[1], "rb"));
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    std::array<std::uint8_t, tex_header_size> header_block{};
    tex_read_block(f.get(), header_block);
    const tex_header header = tex_parse_header(header_block);
    std::vector<tex_table_entry> table(header.file_count);
    for (tex_table_entry& e : table) {
        std::array<std::uint8_t, tex_table_entry_size> block{};
        tex_read_block(f.get(), block);
        e = tex_parse_table_entry(block);
    }

    const pixel_layout layout{16, 8, 0, 24};  // B, G, R, A in memory: as a TGA stores them
    reusable<std::uint8_t> payload, inflated;
    const std::unique_ptr<std::uint8_t, free_deleter> slices(
        static_cast<std::uint8_t*>(std::aligned_alloc(page_size, slice_pixels * 4 + page_size)));
    int failures = 0;
    for (std::size_t i = 1; i < table.size(); ++i) {
        std::array<std::uint8_t, tex_entry_header_size> block{};
        if (tex_seek(f.get(), table[i].offset) != 0 || tex_read_block(f.get(), block) != block.size()) {
            ++failures;
            continue;
        }
        const tex_entry_header h = tex_parse_entry_header(block);
        const std::size_t count = std::size_t{h.width} * h.height;
        const std::size_t len = table[i].compressed_size;
        if (as_stored) {
            if (copy_raw(fileno(f.get()), std::uint64_t{table[i].offset} + tex_entry_header_size, len,
                         tex_entry_name(h), payload) != 0) {
                ++failures;
            }
            continue;
        }
        std::uint8_t* in = payload.take(len);
        if (std::fread(in, 1, len, f.get()) != len) {
            ++failures;
            continue;
        }
        std::array<std::uint8_t, 18> tga{};
        tga[2] = 2;
        tex_put_le16(tga, 12, h.width);
        tex_put_le16(tga, 14, h.height);
        tga[16] = 32;
        tga[17] = 8;
        const std::string name = tex_entry_name(h);
        int rc = -1;
        if (h.rep_t_id == 4) {
            std::size_t produced = 0;
            const std::uint8_t* argb4444 = inflated.take(count * 2);
            if (inflate_zlib({in, len}, {inflated.data.get(), count * 2}, produced) == 0 && produced == count * 2) {
                rc = write_file(name, tga, count, slices.get(), [&](std::size_t at, std::span<std::uint32_t> out) {
                    widen_argb4444({argb4444 + at * 2, out.size() * 2}, out, layout);
                });
            }
        } else if (h.rep_t_id == 6 && len >= count * 4) {
            rc = write_file(name, tga, count, slices.get(), [&](std::size_t at, std::span<std::uint32_t> out) {
                convert_argb8888({in + at * 4, out.size() * 4}, out, layout);
            });
        }
        if (rc != 0) ++failures;
    }
    if (failures != 0) std::fprintf(stderr, "morvex_bench_floor: %d entries failed\n", failures);
    return failures == 0 ? 0 : 1;
}
