// Reading image files within bounds, and which two paths are one file, over
// the system's primitives (input_posix.cpp or input_windows.cpp).
#include "files/files.hpp"
#include "files/input.hpp"

#include <cerrno>
#include <cstring>

namespace {

// Opens a regular file of at most pack_max_file_size bytes.
int open_image_file(const std::string& path, unique_fd& f, std::uint64_t& size, std::string& reason)
{
    pack_file_kind kind{};
    if (pack_open_file(path, f, kind, size) != 0) {
        reason = std::strerror(errno);
        return -1;
    }
    // Refusals of the file's kind or size are no system error: errno 0.
    if (kind != pack_file_kind::regular) {
        reason = kind == pack_file_kind::folder ? "a folder, not an image file" : "not a regular file (a device, FIFO or socket)";
        errno = 0;
        return -1;
    }
    if (size > pack_max_file_size) {
        reason = std::to_string(size) + " bytes; an image file holds at most 1 GiB";
        errno = 0;
        return -1;
    }
    return 0;
}

}  // namespace

int pack_check_image_file(const std::string& path, std::string& reason)
{
    unique_fd f;
    std::uint64_t size = 0;
    return open_image_file(path, f, size, reason);
}

int pack_read_image_file(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason)
{
    unique_fd f;
    std::uint64_t size = 0;
    if (open_image_file(path, f, size, reason) != 0) return -1;
    out.assign(static_cast<std::size_t>(size), 0);  // at most pack_max_file_size
    std::size_t got = 0;
    while (got < out.size()) {
        const long long n = pack_read(f, std::span(out).subspan(got));
        if (n < 0) {
            reason = std::strerror(errno);
            return -1;
        }
        if (n == 0) {
            reason = "the file got shorter while it was read";
            errno = 0;
            return -1;
        }
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

// A file's identity is the first part of its state.
int file_identity_of(const std::string& path, file_identity& out)
{
    file_state state;
    if (file_state_of(path, state) != 0) return -1;
    out = state.id;
    return 0;
}

int file_identity_of_fd(int fd, file_identity& out)
{
    file_state state;
    if (file_state_of_fd(fd, state) != 0) return -1;
    out = state.id;
    return 0;
}

bool same_file(const std::string& in_path, const std::string& out_path)
{
    file_identity in, out;
    return in_path == out_path ||
           (file_identity_of(in_path, in) == 0 && file_identity_of(out_path, out) == 0 && in == out);
}
