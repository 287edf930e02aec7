// The machine on Windows: closing a C runtime descriptor (unique_fd), the
// processors this process may run on; the system's heap keeps and reuses
// freed blocks of its own accord.
#include "files/files.hpp"
#include "files/windows.hpp"

#include <algorithm>
#include <bit>
#include <thread>

#include <io.h>

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    if (this != &other) reset(other.release());
    return *this;
}

void unique_fd::reset(int fd) noexcept
{
    if (fd_ >= 0) _close(fd_);
    fd_ = fd;
}

int unique_fd::close() noexcept
{
    return fd_ >= 0 ? _close(release()) : 0;
}

void keep_freed_memory() {}

unsigned usable_processors()
{
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}
