// Entry point of morvex_tex_pack.
#include "app/platform.hpp"
#include "app/app.hpp"
#include "pack/pack.hpp"

int main(int argc, char** argv)
{
    app_start(argc, argv);
    return pack_main(argc, argv);
}
