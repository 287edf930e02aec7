// The machine on POSIX systems: closing a descriptor (unique_fd), the
// processors this process may run on, the allocator's treatment of freed
// memory.
#include "files/files.hpp"

#include <algorithm>
#include <thread>

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    if (this != &other) reset(other.release());
    return *this;
}

void unique_fd::reset(int fd) noexcept
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int unique_fd::close() noexcept
{
    return fd_ >= 0 ? ::close(release()) : 0;
}

// Every entry takes and frees buffers of the same few sizes (image, payload,
// inflation room, the PNG writer's). Left to its defaults, the allocator hands
// buffers above 128 KiB back to the kernel on every free and takes fresh pages
// for the next entry: measured on the benchmark's PNG names, a quarter of the
// run went to page faults. Freed memory up to 64 MiB is kept for reuse
// instead. The allocator keeps that much in each of its arenas, and by
// default a thread that finds the others' arenas busy gets one of its own:
// one arena serves every thread, so that what is kept stays 64 MiB however
// many workers run (they allocate a few large buffers an entry, so they
// hardly ever wait for each other there).
void keep_freed_memory()
{
#ifndef __EMSCRIPTEN__  // the browser's allocator has one arena and keeps what is freed
    static const bool done = [] {
        mallopt(M_ARENA_MAX, 1);
        mallopt(M_MMAP_THRESHOLD, 64 << 20);
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
        return true;
    }();
    (void)done;
#endif
}

unsigned usable_processors()
{
#ifdef __EMSCRIPTEN__
    return 1;  // the page runs the library on its worker alone
#else
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    return std::max(1u, std::thread::hardware_concurrency());
#endif
}
