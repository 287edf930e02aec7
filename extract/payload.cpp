// Payload loading, output names and output files, and raw output.
#include "extract/extract.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

bool no_convert = false;

namespace {

using u64 = unsigned long long;

// True when the name's folder exists and, once links are followed, lies
// outside the current folder. A folder that doesn't exist fails later, when the
// file can't be created; the last component is never followed, since the
// output replaces it by renaming.
bool escapes_through_link(const std::string& name)
{
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos) return false;
    const std::unique_ptr<char, decltype(&std::free)> folder(realpath(name.substr(0, slash + 1).c_str(), nullptr),
                                                              &std::free);
    if (!folder) return false;
    const std::unique_ptr<char, decltype(&std::free)> here(realpath(".", nullptr), &std::free);
    if (!here) return true;
    const std::string inside = std::string(here.get()) == "/" ? "/" : std::string(here.get()) + "/";
    const std::string resolved = std::string(folder.get()) + "/";
    return resolved.compare(0, inside.size(), inside) != 0;
}

// The reason a stored name can't be used as an output path, or null.
const char* unsafe_name_reason(const std::string& name)
{
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) return "it holds a control byte";
    }
    if (!name.empty() && name.front() == '/') return "it is an absolute path";
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return "it has a \"..\" component";
        start = end + 1;
    }
    return escapes_through_link(name) ? "its folder is a link that leads outside the current folder" : nullptr;
}

// A name beside the output that keeps its extension, which selects the format.
std::string temporary_name(const std::string& name)
{
    const std::size_t slash = name.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    return name.substr(0, base) + ".~" + std::to_string(getpid()) + "~" + name.substr(base);
}

// A payload copied from the archive's descriptor at its own offsets, so the
// stream's position never moves.
struct copy_job {
    int archive_fd;
    off_t from;
    std::uint32_t len;
};

// Copies by read and write, where the kernel can't copy between the files.
int copy_by_reading(int in, off_t from, int out, std::size_t left)
{
    std::vector<std::uint8_t> chunk(std::min<std::size_t>(left, std::size_t{1} << 20));
    while (left > 0) {
        const ssize_t got = pread(in, chunk.data(), std::min(left, chunk.size()), from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;  // an error, or the archive shrank under us
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(out, chunk.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return -1;
            done += put;
        }
        from += got;
        left -= static_cast<std::size_t>(got);
    }
    return 0;
}

// The payload goes from file to file inside the kernel: one copy, no buffer.
int copy_raw_file(const char* path, void* context)
{
    const auto* job = static_cast<const copy_job*>(context);
    const int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) return -1;
    off_t from = job->from;
    std::size_t left = job->len;
    int rc = 0;
    while (left > 0) {
        const ssize_t n = copy_file_range(job->archive_fd, &from, out, nullptr, left, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            rc = copy_by_reading(job->archive_fd, from, out, left);
            break;
        }
        if (n <= 0) {
            rc = -1;
            break;
        }
        left -= static_cast<std::size_t>(n);
    }
    return close(out) == 0 ? rc : -1;
}

}  // namespace

int check_output_name(const std::string& name)
{
    const char* reason = unsafe_name_reason(name);
    if (!reason) return 0;
    std::printf("ERROR : refusing to write %s: %s\n", tex_printable_name(name).c_str(), reason);
    return -1;
}

// The payload's position (the stream's), or -1 after saying that the payload
// runs past the end of the archive.
off_t payload_position(const tex_archive& archive, std::uint32_t len, const std::string& name)
{
    const off_t at = ftello(archive.file);
    if (at < 0 || static_cast<std::uint64_t>(at) + len > archive.size) {
        std::printf("ERROR : payload of %s runs past the end of the archive (%u bytes at 0x%08llX, archive %llu "
                    "bytes)\n",
                    tex_printable_name(name).c_str(), len, static_cast<u64>(at), static_cast<u64>(archive.size));
        return -1;
    }
    return at;
}

int read_payload(const tex_archive& archive, std::uint32_t len, const std::string& name, byte_buffer& out)
{
    const off_t at = payload_position(archive, len, name);
    if (at < 0) return -1;
    const std::string shown = tex_printable_name(name);
    out.data.reset(new (std::nothrow) std::uint8_t[len ? len : 1]);
    if (!out.data) {
        std::printf("can't allocate %u bytes for SRC buffer of %s\n", len, shown.c_str());
        return -1;
    }
    out.size = len;
    const std::size_t got = std::fread(out.data.get(), 1, len, archive.file);
    tex_seek(archive.file, static_cast<std::uint64_t>(at));
    if (got != len) {
        std::printf("ERROR : payload of %s cut short: read %zu of its %u bytes\n", shown.c_str(), got, len);
        out = byte_buffer{};
        return -1;
    }
    return 0;
}

int write_output_file(const std::string& name, int (*write)(const char* path, void* context), void* context)
{
    const std::string temporary = temporary_name(name);
    if (write(temporary.c_str(), context) != 0 || std::rename(temporary.c_str(), name.c_str()) != 0) {
        std::remove(temporary.c_str());
        return -1;
    }
    return 0;
}

int copy_raw(const tex_archive& archive, std::uint32_t len, const std::string& name)
{
    const off_t at = payload_position(archive, len, name);
    if (at < 0) return -1;
    copy_job job{fileno(archive.file), at, len};
    if (write_output_file(name, copy_raw_file, &job) != 0) {
        std::printf("ERROR, can't create %s for output\n", tex_printable_name(name).c_str());
        return -1;
    }
    return 0;
}
