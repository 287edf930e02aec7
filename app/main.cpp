// Entry point of morvex_tex_extractor.
#include "app/app.hpp"

int main(int argc, char** argv)
{
    return app_main(argc, argv, "morvex_tex_extractor", -1, extractor_main);
}
