// Type-4 payloads inflated in one call: a complete zlib stream into a buffer
// of known capacity, by libdeflate, with zlib's word on why a stream failed.
#include "entries/entries.hpp"

#include <mutex>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

namespace {

// Decompressors hold only tables, rebuilt for every stream: a call takes one
// from here (or makes one) and gives it back, so there are never more than
// the threads inflating at once, and all are freed at the end of the run.
// Not thread_local: where thread storage is emulated (MinGW's), a thread's
// objects may be destroyed after their storage is freed.
class decompressor_pool {
public:
    decompressor_pool() = default;
    decompressor_pool(const decompressor_pool&) = delete;
    decompressor_pool& operator=(const decompressor_pool&) = delete;
    ~decompressor_pool()
    {
        for (libdeflate_decompressor* d : idle_) libdeflate_free_decompressor(d);
    }
    libdeflate_decompressor* take()
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            if (!idle_.empty()) {
                libdeflate_decompressor* d = idle_.back();
                idle_.pop_back();
                return d;
            }
        }
        return libdeflate_alloc_decompressor();
    }
    void give(libdeflate_decompressor* d)
    {
        const std::lock_guard<std::mutex> hold(lock_);
        try {
            idle_.push_back(d);
        } catch (const std::bad_alloc&) {
            libdeflate_free_decompressor(d);
        }
    }

private:
    std::mutex lock_;
    std::vector<libdeflate_decompressor*> idle_;
};

decompressor_pool decompressors;

// One decompressor for the length of a call.
struct decompressor_lease {
    libdeflate_decompressor* d = decompressors.take();
    decompressor_lease() = default;
    decompressor_lease(const decompressor_lease&) = delete;
    decompressor_lease& operator=(const decompressor_lease&) = delete;
    ~decompressor_lease()
    {
        if (d) decompressors.give(d);
    }
};

}  // namespace

int inflate_zlib(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t& produced)
{
    const decompressor_lease decompressor;
    if (!decompressor.d) return -1;
    // The same contract as zlib's one-shot uncompress: a complete zlib stream
    // (header checked, Adler-32 checked, bytes after the stream ignored) into
    // at most out.size() bytes; a damaged stream or one that needs more room
    // fails. Into no room at all, zlib decodes into one byte of its own and
    // reports success, with nothing produced, for a stream of at most one byte.
    std::uint8_t scratch = 0;
    std::uint8_t* dest = out.empty() ? &scratch : out.data();
    const std::size_t room = out.empty() ? 1 : out.size();
    std::size_t out_len = 0;
    if (libdeflate_zlib_decompress(decompressor.d, in.data(), in.size(), dest, room, &out_len) !=
        LIBDEFLATE_SUCCESS) {
        // Why it failed, as zlib tells it: libdeflate may take a stream cut
        // short for one that needs more room. Only failures pay for this.
        uLongf len = static_cast<uLongf>(out.size());
        return uncompress(dest, &len, in.data(), static_cast<uLong>(in.size())) == Z_BUF_ERROR ? -2 : -1;
    }
    produced = out.empty() ? 0 : out_len;
    return 0;
}
