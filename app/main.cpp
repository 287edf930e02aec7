// Entry point of morvex_tex_extractor.
#include "app/app.hpp"
#include "app/platform.hpp"

int main(int argc, char** argv)
{
    app_start(argc, argv);
    // -1 leaves the process as 255, as POSIX systems keep 8 bits of it;
    // Windows would keep all 32.
    return extractor_main(argc, argv) & 0xFF;
}
