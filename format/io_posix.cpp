// format/'s reading and writing at an offset, on POSIX systems.
#include "format/format.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <unistd.h>

std::size_t tex_pread(int fd, std::span<std::uint8_t> block, std::uint64_t offset)
{
    std::size_t got = 0;
    while (got < block.size() && offset + got <= static_cast<std::uint64_t>(INT64_MAX)) {
        const ssize_t n = pread(fd, block.data() + got, block.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.end(), std::uint8_t{0});
    return got;
}

int tex_pwrite(int fd, std::span<const std::uint8_t> block, std::uint64_t offset)
{
    for (std::size_t done = 0; done < block.size();) {
        const ssize_t n = pwrite(fd, block.data() + done, block.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int write_all(int fd, const void* bytes, std::size_t size)
{
    const auto* data = static_cast<const std::uint8_t*>(bytes);
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}
