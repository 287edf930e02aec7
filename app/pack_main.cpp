// Entry point of morvex_tex_pack.
#include "app/app.hpp"

int main(int argc, char** argv)
{
    return app_main(argc, argv, "morvex_tex_pack", 1, pack_main);
}
