// app/platform.hpp on POSIX systems: arguments are bytes already, and the C
// library matches wildcards.
#include "app/platform.hpp"

#include <fnmatch.h>
#include <unistd.h>

void app_start(int&, char**&) {}

bool app_wildcard_match(const char* pattern, const char* name)
{
    return fnmatch(pattern, name, 0) == 0;
}

bool app_is_terminal(int fd)
{
    return isatty(fd) != 0;
}
