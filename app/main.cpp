// Entry point of morvex_tex_extractor.
#include "app/app.hpp"
#include "app/platform.hpp"

int main(int argc, char** argv)
{
    app_start(argc, argv);
    return extractor_main(argc, argv);
}
