// morvex_bench_floor: the least work any extractor of the archive must do,
// as the benchmark's floor. It reads the archive, inflates each type-4 payload
// with the inflater the extractor uses, widens every pixel to 32 bits and
// writes one file per entry under the entry's name, in the format its
// extension selects, through the fastest writer of that format there is:
//   .tga  an 18-byte header and 4 bytes per pixel, widened a slice at a time
//         straight into the write buffer, rows in the order they come;
//   .png  libdeflate's zlib compressor at level 1 with the "sub" filter;
//   .bmp, .pcx  the bytes of the format written directly;
// the last three are the project's own writers (write_png, write_bmp and
// write_pcx), which do exactly that. No report, no checks beyond what keeps
// it in bounds, no temporary names, no placing in order.
//
// With --raw, the floor of raw mode: each payload read into a buffer with one
// pread and written to a file of the entry's name with one write. With
// --raw-copy-range, the same copy done by the kernel (copy_file_range), to
// measure which of the two is cheaper.
//
// With --jobs N, the entries are spread over N threads, each taking the next
// entry not yet taken, with buffers of its own; nothing is kept in order.
//
//   morvex_bench_floor ARCHIVE [--raw | --raw-copy-range] [--jobs N]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "entries/entries.hpp"

namespace {

enum class floor_mode { convert, raw_buffer, raw_copy_range };

struct floor_options {
    const char* archive = nullptr;
    floor_mode mode = floor_mode::convert;
    unsigned jobs = 1;
};

// Where an entry's 80-byte header lies, from the archive's table.
struct floor_entry {
    std::uint64_t offset;
    std::uint32_t len;  // the table's payload size
};

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
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

// One thread's buffers.
struct floor_worker {
    reusable<std::uint8_t> payload, inflated;
    reusable<std::uint32_t> image;
    std::unique_ptr<std::uint8_t, free_deleter> slices{
        static_cast<std::uint8_t*>(std::aligned_alloc(page_size, slice_pixels * 4 + page_size))};
};

class file_fd {
public:
    explicit file_fd(const std::string& name) : fd_(open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666))
    {
    }
    ~file_fd()
    {
        if (fd_ >= 0) close(fd_);
    }
    file_fd(const file_fd&) = delete;
    file_fd& operator=(const file_fd&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failing close counts. 0 or -1.
    int finish()
    {
        const int rc = close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

int write_all(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Writes the TGA header, then the pixels that `make` produces slice by slice.
// Each slice is built half a page away from its file offset's place in a page:
// the kernel copies much more slowly from a source just behind the
// destination within a page.
template <typename Make>
int write_tga_slices(const std::string& name, const tex_entry_header& h, std::uint8_t* buffer, Make make)
{
    std::array<std::uint8_t, 18> header{};
    header[2] = 2;
    tex_put_le16(header, 12, h.width);
    tex_put_le16(header, 14, h.height);
    header[16] = 32;
    header[17] = 8;
    const std::size_t count = std::size_t{h.width} * h.height;
    if (!buffer) return -1;
    file_fd out(name);
    if (out.get() < 0) return -1;
    bool ok = write_all(out.get(), header.data(), header.size()) == 0;
    std::size_t at = header.size();
    for (std::size_t first = 0; ok && first < count; first += slice_pixels) {
        const std::size_t n = std::min(slice_pixels, count - first);
        const std::size_t phase = ((at + page_size / 2) % page_size) & ~std::size_t{63};
        const std::span<std::uint32_t> slice(reinterpret_cast<std::uint32_t*>(buffer + phase), n);
        make(first, slice);
        ok = write_all(out.get(), reinterpret_cast<const std::uint8_t*>(slice.data()), n * 4) == 0;
        at += n * 4;
    }
    return out.finish() == 0 && ok ? 0 : -1;
}

// Writes a decoded image through the project's writer of its format.
int write_whole_image(const std::string& name, image_format format, const tex_entry_header& h,
                      const std::uint32_t* pixels)
{
    file_fd out(name);
    if (out.get() < 0) return -1;
    const int rc = write_image(out.get(), format, image_view{h.width, h.height, h.width, pixels});
    return out.finish() == 0 ? rc : -1;
}

int convert_entry(int archive, const floor_entry& e, const tex_entry_header& h, floor_worker& w)
{
    const std::string name = tex_entry_name(h);
    const image_format format = image_format_for(name);
    const std::size_t count = std::size_t{h.width} * h.height;
    const std::uint64_t payload_at = e.offset + tex_entry_header_size;
    if (format == image_format::none || count == 0) return -1;
    if (h.rep_t_id == 6) {
        if (e.len < count * 4) return -1;
        if (format != image_format::tga) {
            // Bytes B, G, R, A are the image's own pixels in memory.
            std::uint32_t* px = w.image.take(count);
            const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(px), count * 4);
            if (tex_pread(archive, bytes, payload_at) != bytes.size()) return -1;
            return write_whole_image(name, format, h, px);
        }
        std::uint8_t* in = w.payload.take(count * 4);
        if (tex_pread(archive, {in, count * 4}, payload_at) != count * 4) return -1;
        return write_tga_slices(name, h, w.slices.get(), [&](std::size_t at, std::span<std::uint32_t> out) {
            convert_argb8888({in + at * 4, out.size() * 4}, out);
        });
    }
    if (h.rep_t_id != 4) return -1;
    std::uint8_t* in = w.payload.take(e.len);
    if (tex_pread(archive, {in, e.len}, payload_at) != e.len) return -1;
    std::uint8_t* argb4444 = w.inflated.take(count * 2);
    std::size_t produced = 0;
    if (inflate_zlib({in, e.len}, {argb4444, count * 2}, produced) != 0 || produced != count * 2) return -1;
    if (format == image_format::tga) {
        return write_tga_slices(name, h, w.slices.get(), [&](std::size_t at, std::span<std::uint32_t> out) {
            widen_argb4444({argb4444 + at * 2, out.size() * 2}, out);
        });
    }
    std::uint32_t* px = w.image.take(count);
    widen_argb4444({argb4444, count * 2}, {px, count});
    return write_whole_image(name, format, h, px);
}

// The payload as stored: one pread into a buffer and one write.
int copy_buffered(int archive, std::uint64_t at, std::uint32_t len, const std::string& name, floor_worker& w)
{
    file_fd out(name);
    if (out.get() < 0) return -1;
    std::uint8_t* b = w.payload.take(len);
    const bool ok = tex_pread(archive, {b, len}, at) == len && write_all(out.get(), b, len) == 0;
    return out.finish() == 0 && ok ? 0 : -1;
}

// The payload as stored, copied by the kernel from file to file; through a
// buffer where it can't.
int copy_in_kernel(int archive, std::uint64_t at, std::uint32_t len, const std::string& name, floor_worker& w)
{
    file_fd out(name);
    if (out.get() < 0) return -1;
    auto from = static_cast<off_t>(at);
    std::size_t left = len;
    while (left > 0) {
        const ssize_t n = copy_file_range(archive, &from, out.get(), nullptr, left, 0);
        if (n <= 0) break;
        left -= static_cast<std::size_t>(n);
    }
    bool ok = true;
    if (left > 0) {
        std::uint8_t* b = w.payload.take(left);
        ok = tex_pread(archive, {b, left}, static_cast<std::uint64_t>(from)) == left &&
             write_all(out.get(), b, left) == 0;
    }
    return out.finish() == 0 && ok ? 0 : -1;
}

int floor_one(int archive, const floor_entry& e, floor_mode mode, floor_worker& w)
{
    std::array<std::uint8_t, tex_entry_header_size> block{};
    if (tex_pread(archive, block, e.offset) != block.size()) return -1;
    const tex_entry_header h = tex_parse_entry_header(block);
    const std::uint64_t payload_at = e.offset + tex_entry_header_size;
    switch (mode) {
    case floor_mode::raw_buffer:
        return copy_buffered(archive, payload_at, e.len, tex_entry_name(h), w);
    case floor_mode::raw_copy_range:
        return copy_in_kernel(archive, payload_at, e.len, tex_entry_name(h), w);
    case floor_mode::convert:
        break;
    }
    return convert_entry(archive, e, h, w);
}

// The table's entries after the first, which is never extracted. Only what
// keeps the floor in bounds is checked: the table and every payload lie
// within the archive, so that no size read from it asks for more memory.
int read_table(int archive, std::vector<floor_entry>& out)
{
    struct stat st {};
    if (fstat(archive, &st) != 0) return -1;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::array<std::uint8_t, tex_header_size> header_block{};
    if (tex_pread(archive, header_block, 0) != header_block.size()) return -1;
    const tex_header header = tex_parse_header(header_block);
    if (header.file_count == 0) return 0;
    if (std::uint64_t{header.file_count} * tex_table_entry_size > size - tex_header_size) {
        errno = EINVAL;
        return -1;
    }
    std::vector<std::uint8_t> table(std::size_t{header.file_count} * tex_table_entry_size);
    if (tex_pread(archive, table, tex_header_size) != table.size()) return -1;
    for (std::size_t i = 1; i < header.file_count; ++i) {
        const tex_table_entry t = tex_parse_table_entry(
            std::span<const std::uint8_t, tex_table_entry_size>(table.data() + i * tex_table_entry_size,
                                                                tex_table_entry_size));
        if (std::uint64_t{t.offset} + tex_entry_header_size + t.compressed_size > size) {
            errno = EINVAL;
            return -1;
        }
        out.push_back({t.offset, t.compressed_size});
    }
    return 0;
}

int parse_options(int argc, char** argv, floor_options& o)
{
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--raw") {
            o.mode = floor_mode::raw_buffer;
        } else if (a == "--raw-copy-range") {
            o.mode = floor_mode::raw_copy_range;
        } else if (a == "--jobs" && k + 1 < argc) {
            const long n = std::strtol(argv[++k], nullptr, 10);
            if (n < 1 || n > 64) return -1;
            o.jobs = static_cast<unsigned>(n);
        } else if (!o.archive && !a.starts_with("-")) {
            o.archive = argv[k];
        } else {
            return -1;
        }
    }
    return o.archive ? 0 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    floor_options options;
    if (parse_options(argc, argv, options) != 0) {
        std::fprintf(stderr, "usage: morvex_bench_floor ARCHIVE [--raw | --raw-copy-range] [--jobs N]\n");
        return 1;
    }
    const int archive = open(options.archive, O_RDONLY | O_CLOEXEC);
    std::vector<floor_entry> entries;
    if (archive < 0 || read_table(archive, entries) != 0) {
        std::perror(options.archive);
        return 1;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<int> failures{0};
    const auto work = [&] {
        floor_worker w;
        for (std::size_t i = next++; i < entries.size(); i = next++) {
            if (floor_one(archive, entries[i], options.mode, w) != 0) ++failures;
        }
    };
    if (options.jobs == 1) {
        work();
    } else {
        std::vector<std::thread> threads;
        for (unsigned k = 0; k < options.jobs; ++k) threads.emplace_back(work);
        for (std::thread& t : threads) t.join();
    }
    close(archive);
    if (failures != 0) std::fprintf(stderr, "morvex_bench_floor: %d entries failed\n", failures.load());
    return failures == 0 ? 0 : 1;
}
