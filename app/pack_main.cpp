// Entry point of morvex_tex_pack.
#include "pack/pack.hpp"

int main(int argc, char** argv)
{
    return pack_main(argc, argv);
}
