// What every program's main does first and last: the system's start-up, and
// a failure no command caught said in one line under the program's name. Kept
// apart from the extractor's run, which the other programs don't link.
#include "app/app.hpp"
#include "app/platform.hpp"

#include <cstdio>
#include <exception>
#include <new>

int app_main(int argc, char** argv, const char* program, int failed, int (*run)(int, char**))
{
    app_start(argc, argv);
    int status = failed;
    try {
        status = run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    }
    return status & 0xFF;
}
