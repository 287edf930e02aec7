// Fuzz target: the packer's JPEG decoder on one input. Besides the sanitizers, it
// aborts when an image is accepted whose pixels don't match its size, or an
// input is refused without a reason.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "images/images.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pack_image image;
    std::string reason;
    const int rc = pack_decode_jpeg({data, size}, image, reason);
    if (rc == 0 && (image.width == 0 || image.argb.size() != std::size_t{image.width} * image.height)) std::abort();
    if (rc != 0 && reason.empty()) std::abort();
    return 0;
}
