// One zlib stream, inflating or deflating, ended with its owner: the entry
// job inflates type-4 payloads too large to inflate in one call through it.
// (The packer deflates with libdeflate: pack/payload.hpp.)
#pragma once

#include <zlib.h>

class zlib_stream {
public:
    zlib_stream() = default;
    zlib_stream(const zlib_stream&) = delete;
    zlib_stream& operator=(const zlib_stream&) = delete;
    ~zlib_stream()
    {
        if (mode_ == mode::inflating) inflateEnd(&z);
        if (mode_ == mode::deflating) deflateEnd(&z);
    }

    // 0, or -1 when zlib can't start one (out of memory).
    int start_inflate()
    {
        if (mode_ != mode::none || inflateInit(&z) != Z_OK) return -1;
        mode_ = mode::inflating;
        return 0;
    }
    int start_deflate(int level)
    {
        if (mode_ != mode::none || deflateInit(&z, level) != Z_OK) return -1;
        mode_ = mode::deflating;
        return 0;
    }

    z_stream z{};

private:
    enum class mode { none, inflating, deflating };
    mode mode_ = mode::none;
};
