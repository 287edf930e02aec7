// Interim: the graphics library's start-up, for the packer's loaders only.
#include "extract/extract.hpp"

#include <cerrno>
#include <cstdlib>

#include <allegro.h>

int start_image_library()
{
    static bool started = false;
    if (started) return 0;
    if (install_allegro(SYSTEM_NONE, &errno, std::atexit) != 0) return -1;
    _rgb_r_shift_32 = 16;
    _rgb_g_shift_32 = 8;
    _rgb_b_shift_32 = 0;
    _rgb_a_shift_32 = 24;
    started = true;
    return 0;
}
