// Entry point of morvex_tex_extractor.
#include "app/app.hpp"

int main(int argc, char** argv)
{
    return extractor_main(argc, argv);
}
